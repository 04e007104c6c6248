// How much the read-ahead does at once, and who reads, decided from the
// share of recent read time blocked (off the CPU, not waiting for one) and,
// once reads wait, from whether listings still wait on the device.
// Reads the page cache answers are CPU work, where more threads than CPUs
// only add contention; reads that wait on the device finish sooner the more
// are in flight. Time preempted is not counted where the platform tells it.
//
// Contract:
//  - Not thread-safe: the scheduler holds its lock around every call and
//    does what the Pace says. Each call returns whether the pace changed.
//  - Until the reads' cost is known on a device not read before, the walking
//    thread does not read: a slow device must not keep the window from its
//    events.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "walker/read_ahead/read_ahead.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {

// The cost of one read (or batch) on the calling thread: its time, CPU time
// and time waiting for a CPU; the last two -1 where not measured.
struct ReadCost {
  double wallSeconds = 0;
  double cpuSeconds = -1;
  double runDelaySeconds = -1;
  // The cost from Start to Stop; only a `sampled` read learns CPU time and run delay.
  static ReadCost Start(bool sampled);
  void Stop();
  // The time less that spent waiting for a CPU; of that, the time blocked.
  double WallSeconds() const { return wallSeconds - std::max(0.0, runDelaySeconds); }
  double BlockedSeconds() const { return std::max(0.0, WallSeconds() - cpuSeconds); }
};

struct Pace {
  unsigned helpers = 1;                     // helper threads reading
  std::size_t window = tuning::kCpuWindow;  // child folders read ahead below each open listing
  std::size_t chunk = tuning::kCpuChunk;    // entries whose sizes one work item reads
  bool walkerReads = false;                 // the walking thread reads what it needs itself
  bool inodeOrder = false;                  // a work item reads sizes in inode order
  bool waitsOnDevice = false;
  bool spread = false;  // one size read a folder, while other folders have work
  bool operator==(const Pace&) const = default;
};

// The pace's state and decisions, for the one walk open at a time.
class PaceControl {
 public:
  PaceControl(double cpuTick, unsigned readersAtOnce);  // platform.h's CpuClockTick, ReadersAtOnce
  // A walk starts, with the pace `held` for tests and benchmarks. What the
  // last walk learnt holds until this one's reads say otherwise.
  bool StartWalk(ReadPace held, unsigned cpuHelpers);
  // The outermost folder of a walk was read; another device is measured anew.
  bool NoteDevice(std::uint64_t device, bool rotational, bool remote);
  // Whether the next read is timed in full: all until the share is known
  // and while reads wait, else a sample.
  bool Sampled();
  // A read of `reads` entries ended: a folder read (`listing`, one entry),
  // else a size read that ran with `crowd` of its folder's (itself included).
  bool NoteRead(const ReadCost& cost, std::size_t reads, bool listing, unsigned crowd = 1);

  // The share of recent read time blocked, once enough was seen to trust it.
  std::optional<double> BlockedShare() const;
  const Pace& Now() const { return pace_; }

 private:
  bool Decide();
  // A listing timed in full: whether it waited on the device (kWaitedSeconds)
  // counts for the seek check and for whether listings still wait.
  void NoteListing(double blockedSeconds);
  // Whether a disk that calls itself rotational (as virtual disks often do)
  // has a head that seeks: told by the median wait of the first listings that
  // waited at all, so a few answered from the drive's cache do not decide it.
  void NoteSeek(double blockedSeconds);  // a listing that waited
  // Whether the size reads of one folder run side by side or largely in turn,
  // as on a share just mounted (tuning.h): reads alone against crowded ones.
  bool FoldersReadInTurn() const;

  const double cpuTick_;
  const double trustAfter_;  // read time summed before the share is trusted
  const unsigned readersAtOnce_;
  ReadPace held_ = ReadPace::Measured;
  unsigned cpuHelpers_ = 1;
  // The device of the walk, and what it says and was found to be.
  std::optional<std::uint64_t> device_;
  bool rotational_ = false, remote_ = false;
  bool latencyBound_ = false;  // its reads hardly touch the CPU: a far end serves many at once
  double wall_ = 0, cpu_ = 0;  // recent read time, and the CPU time in it
  std::size_t waited_ = 0, slow_ = 0;  // seek check: listings that waited, those as long as a seek
  double listings_ = 0, listingsWaited_ = 0;  // recent listings; of them, those that waited
  double alone_ = 0, crowded_ = 0;            // this walk's size reads: summed seconds per entry
  unsigned aloneCount_ = 0, crowdedCount_ = 0;
  std::optional<double> secondsPerSizeRead_;  // of late; none before the first
  unsigned unsampled_ = 0;
  bool sampleNext_ = true;
  Pace pace_;
};

}  // namespace tallyroot::platform::ahead
