// How much the read-ahead does at once, decided from what the reads cost.
//
// Reads that wait on the device (a cold disk, a network share, a FUSE mount)
// finish sooner the more of them are in flight; reads that the page cache
// answers are CPU work, where more threads than CPUs only add contention. The
// two are told apart by the share of the reads' time that the reading thread
// spent asleep in them. Time lost to preemption by other work on the machine
// is not sleep, so a busy machine does not pass for a slow device.
//
// Contract:
//  - ReadTimer measures one read (or batch of reads) on the calling thread;
//    it costs two system calls, so it wraps work items, never single entries.
//  - BlockedShare follows the most recent few tens of milliseconds of read
//    time; it is not thread-safe (the scheduler holds its lock).
//  - PaceFor is a pure function of what was measured and of the device.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "walker/folder_listing.h"

namespace tallyroot::platform::ahead {

// The cost of one timed read.
struct ReadCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long sleeps = 0;  // voluntary context switches: the thread waited for something
};

// Starts timing at construction; Stop() gives the cost since then.
class ReadTimer {
 public:
  ReadTimer();
  ReadCost Stop() const;

 private:
  std::chrono::steady_clock::time_point wallStart_;
  double cpuStart_ = 0;
  long sleepsStart_ = 0;
};

// The share of recent read time spent blocked, 0..1.
class BlockedShare {
 public:
  void Add(const ReadCost& cost);
  double Share() const { return wall_ > 0 ? blocked_ / wall_ : 0; }
  // Whether enough read time was seen for the share to mean something.
  bool Known() const;
  void Reset() { wall_ = blocked_ = 0; }

 private:
  double wall_ = 0;
  double blocked_ = 0;
};

struct Pace {
  unsigned helpers = 1;    // helper threads reading
  std::size_t window = 4;  // child folders read ahead below each open listing
  std::size_t chunk = 512; // entries whose sizes one work item reads
  bool walkerReads = true; // the walking thread reads what it needs itself
  bool inodeOrder = false; // a work item reads sizes in inode order
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

// The pace for reads that were blocked `blockedShare` of their time, on a
// rotational device or not, with `cpuHelpers` the helpers that suit CPU-bound
// reads. `wasWaiting` is the previous decision: the switch back to CPU-bound
// reading needs a clearly lower share than the switch away from it, so that
// the pace does not flap at the boundary.
Pace PaceFor(double blockedShare, bool rotational, unsigned cpuHelpers, bool wasWaiting);

// Whether the block device `major`:`minor` (or, for a partition, the disk it
// belongs to) is rotational, as sysfs under `sysRoot` says. False where sysfs
// does not know the device (network and FUSE mounts, tmpfs, ...).
bool IsRotational(unsigned major, unsigned minor, const std::string& sysRoot = "/sys");

// The same for a device number as stat gives it.
bool IsRotationalDevice(dev_t device);

}  // namespace tallyroot::platform::ahead
