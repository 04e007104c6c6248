// How much the read-ahead does at once, decided from what the reads cost.
//
// Reads that wait on the device (a cold disk, a network share, a FUSE mount)
// finish sooner the more of them are in flight; reads that the page cache
// answers are CPU work, where more threads than CPUs only add contention. The
// two are told apart by the share of the reads' time that the reading thread
// spent off the CPU without waiting for one: time lost to preemption by other
// work on the machine is not counted, so a busy machine does not pass for a
// slow device.
//
// Contract:
//  - ReadTimer measures one read (or batch of reads) on the calling thread;
//    sampled, it costs four system calls on a helper and eight elsewhere (on
//    Linux; on Windows it learns no CPU time, and the pace stays that of
//    CPU-bound reads unless a test holds it at the device's), so
//    it wraps work items, never single entries, and while reads are CPU work
//    only a sample of them.
//  - BlockedShare follows the most recent few tens of milliseconds of read
//    time; it is not thread-safe (the scheduler holds its lock).
//  - PaceFor is a pure function of what was measured and of the device.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "walker/folder_listing.h"

namespace tallyroot::platform::ahead {

// The cost of one timed read: its time, the CPU time it took, and the time
// it waited for a CPU (preempted by other work). -1 where not measured.
struct ReadCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double runDelaySeconds = 0;

  // The time neither on a CPU nor waiting for one, that is blocked in the
  // kernel; and the time less that spent waiting for a CPU, since other
  // work on the machine is not the device. Only where the CPU time is known.
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
  void Add(const ReadCost& cost);
  double Share() const { return wall_ > 0 ? blocked_ / wall_ : 0; }
  // Whether enough read time was seen for the share to mean something.
  bool Known() const;

 private:
  double wall_ = 0;
  double blocked_ = 0;
};

struct Pace {
  unsigned helpers = 1;     // helper threads reading
  std::size_t window = 4;   // child folders read ahead below each open listing
  std::size_t chunk = 512;  // entries whose sizes one work item reads
  bool walkerReads = true;  // the walking thread reads what it needs itself
  bool inodeOrder = false;  // a work item reads sizes in inode order
  bool waitsOnDevice = false;

  bool operator==(const Pace&) const = default;
};

// On when this process may use two CPUs or more, with one helper fewer than
// the CPUs for CPU-bound reads.
ReadAheadSettings DefaultReadAhead();

// Descriptors that listings read ahead may hold: an eighth of the soft limit,
// so that read-ahead never takes those a deep walk needs for its own open
// listings.
std::size_t DescriptorCap();

// Hard cap on helper threads, whatever the device.
inline constexpr unsigned kMaxHelpers = 64;

// Readers on a device whose reads wait until a probe has shown that more
// help: on a rotational one, and on any other.
inline constexpr unsigned kRotationalReaders = 2;
inline constexpr unsigned kDeviceReaders = 16;

// The pace for reads that were blocked `blockedShare` of their time, with
// `cpuHelpers` the helpers that suit CPU-bound reads. `previous` is the pace
// until now: the switch back to CPU-bound reading needs a clearly lower
// share than the switch away from it, and the chunk changes only by more
// than a step, so that the pace does not flap at a boundary. `readers` is
// what ReaderProbe found the device serves best while its reads wait, and
// `rotational` whether its head may seek. `secondsPerSizeRead` is what one
// size read took of late.
Pace PaceFor(double blockedShare, unsigned cpuHelpers, const Pace& previous, bool rotational,
             unsigned readers, double secondsPerSizeRead);

// Whether a disk that calls itself rotational has a head that seeks. A read
// that misses every cache waits for the head to move and the platter to
// turn, milliseconds on any such disk; virtual disks often call themselves
// rotational all the same, and answer in a fraction of a millisecond. Told
// from the first folder listings that waited on the device at all, by their
// median wait, so that a few answered from the drive's own cache do not
// decide it.
class SeekCheck {
 public:
  // How long one folder listing was blocked.
  void Add(double blockedSeconds);
  // Unknown until enough listings have waited.
  std::optional<bool> Seeks() const { return seeks_; }

 private:
  std::array<double, 16> waits_{};
  std::size_t count_ = 0;
  std::optional<bool> seeks_;
};

// How many readers a device whose reads wait serves best. More reads in
// flight help a network or FUSE mount up to dozens, a local SSD or virtual
// disk up to its queue, and a disk whose head must seek not at all; each
// helper more also costs CPU time in switches and in looking for work. The
// probe starts with kRotationalReaders on a rotational disk, kDeviceReaders
// on any other, and doubles them, one period of reading at a time, while the
// reads finished per second grow by a clear margin; when a doubling gains
// too little, or the readers it added find too little work, it goes back
// and stays there. A period in which the walk itself still sped up (early
// in a walk, as it widens) decides nothing.
class ReaderProbe {
 public:
  void Restart(unsigned readers);
  // `done` counts the reads finished so far, `idleSeconds` the time helpers
  // spent finding no work during the walks, `seconds` is the time now.
  // Returns the readers to use.
  unsigned Note(std::uint64_t done, double idleSeconds, double seconds);
  unsigned Readers() const { return readers_; }

 private:
  void StartPeriod(std::uint64_t done, double idleSeconds, double seconds);

  unsigned readers_ = kRotationalReaders;
  bool settled_ = false;
  double periodStart_ = -1;
  std::uint64_t doneAtStart_ = 0;
  double idleAtStart_ = 0;
  double halfAt_ = -1;  // when the period was half over; -1 before
  std::uint64_t doneAtHalf_ = 0;
  std::uint64_t countFrom_ = 0;  // a period starts once this many reads are done
  double rateBefore_ = 0;        // with half the readers; 0 before the first period
};

}  // namespace tallyroot::platform::ahead
