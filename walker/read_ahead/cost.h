// What a read costs, and the share of recent read time spent blocked on the
// device: the one signal the pace (pace.h) is decided from.
//
// Reads that wait on the device (a cold disk, a share, a FUSE mount) finish
// sooner the more are in flight; reads the page cache answers are CPU work,
// where more threads than CPUs only add contention. The two are told apart
// by the share of the reads' time spent off the CPU without waiting for one
// (preemption is not counted where the platform tells it, so that a busy
// machine does not pass for a slow device).
//
// Contract:
//  - ReadTimer measures one read (or batch of reads) on the calling thread;
//    sampled, it costs a few system calls, so it wraps work items, never
//    single entries, and while reads are CPU work only a sample of them.
//  - BlockedShare sums wall time against CPU time over recent read time,
//    long enough for the platform's CPU clock (tuning.h). Not thread-safe
//    (the scheduler holds its lock).
#pragma once

#include <algorithm>
#include <chrono>

namespace tallyroot::platform::ahead {

// The cost of one timed read: its time, the CPU time it took, and the time
// it waited for a CPU (preempted by other work). -1 where not measured.
struct ReadCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double runDelaySeconds = 0;

  // The time less that spent waiting for a CPU, since other work on the
  // machine is not the device; and of that, the time not on a CPU: blocked
  // in the kernel. Only where the CPU time is known.
  double WallSeconds() const { return wallSeconds - std::max(0.0, runDelaySeconds); }
  double BlockedSeconds() const { return std::max(0.0, WallSeconds() - cpuSeconds); }
};

// Starts timing at construction; Stop() gives the cost since then. Only a
// `sampled` timer learns CPU time and run delay; the cost of another has
// them -1 and tells BlockedShare nothing.
class ReadTimer {
 public:
  explicit ReadTimer(bool sampled);
  ReadCost Stop() const;

 private:
  std::chrono::steady_clock::time_point wallStart_;
  bool sampled_;
  double cpuStart_ = 0;
  double runDelayStart_ = 0;
};

// The share of recent read time spent blocked, 0..1.
class BlockedShare {
 public:
  // `cpuTick`: how coarsely the platform counts a thread's CPU time, in
  // seconds (0 for an exact clock).
  explicit BlockedShare(double cpuTick = 0);
  void Add(const ReadCost& cost);
  double Share() const;
  // Whether enough read time was seen for the share to mean something:
  // less of it where an exact clock shows the reads to be plain CPU work.
  bool Known() const;

 private:
  double cpuTick_;
  double trustAfter_;
  double halveAfter_;
  double wall_ = 0;
  double cpu_ = 0;
};

}  // namespace tallyroot::platform::ahead
