// How much the read-ahead does at once, and who reads: every decision on the
// pace, and the state it is decided from. The scheduler (scheduler.h) only
// tells PaceControl what each read cost and does what the Pace says.
//
// Contract:
//  - PaceFor is a pure function of what was measured and of the device.
//  - PaceControl is not thread-safe (the scheduler holds its lock). It
//    learns from every read (ReadCost, cost.h), from the time helpers found
//    no work, and from what the outermost folder of a walk says of its
//    device; each of these returns whether the pace changed.
//  - Until the reads' cost is known, at the start of a walk on a device not
//    read before, the walking thread does not read: a first read of a slow
//    device must not keep the window from its events.
//  - Every number it decides with is in tuning.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "walker/read_ahead/cost.h"
#include "walker/read_ahead/node.h"
#include "walker/read_ahead/read_ahead.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {

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

// What the pace is decided from.
struct PaceInputs {
  std::optional<double> blockedShare;            // none until enough read time was seen
  unsigned cpuHelpers = 1;                       // helpers that suit CPU-bound reads
  bool remote = false;                           // the walk's root is on a network share
  bool rotational = false;                       // its disk's head seeks, as far as known
  unsigned readers = tuning::kDeviceReaders;     // what ReaderProbe found it serves best
  unsigned readersAtOnce = tuning::kMaxHelpers;  // what the system serves at once at most
  double secondsPerSizeRead = 0.001;             // what one size read took of late
  bool foldersInTurn = false;                    // a folder's reads were found to run in turn
};

// `previous` is the pace until now, so that it does not flap at a boundary.
Pace PaceFor(const PaceInputs& in, const Pace& previous);

// Whether a disk that calls itself rotational has a head that seeks (virtual
// disks often call themselves rotational): told by the median wait of the
// first folder listings that waited at all, so that a few answered from the
// drive's own cache do not decide it.
class SeekCheck {
 public:
  // How long one folder listing was blocked.
  void Add(double blockedSeconds);
  // Unknown until enough listings have waited.
  std::optional<bool> Seeks() const { return seeks_; }

 private:
  std::array<double, tuning::kSeekSamples> waits_{};
  std::size_t count_ = 0;
  std::optional<bool> seeks_;
};

// Whether the size reads of one folder run side by side or largely in turn,
// as on a share just mounted (tuning.h).
class FolderSpread {
 public:
  // A size read of `reads` entries took `seconds` while `crowd` size reads
  // of the same folder ran, itself included.
  void Add(double seconds, std::size_t reads, unsigned crowd);
  bool InTurn() const { return inTurn_; }

 private:
  double alone_ = 0, crowded_ = 0;  // summed seconds per entry
  unsigned aloneCount_ = 0, crowdedCount_ = 0;
  bool inTurn_ = false;
};

// How many readers a device whose reads wait serves best: it doubles them,
// one period of reading at a time, while the reads finished per second grow
// by a clear margin; when a doubling gains too little, or the readers it
// added find too little work, it goes back and stays there. A period in
// which the walk itself still sped up (as it widens) decides nothing.
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

  unsigned readers_ = tuning::kDeviceReaders;
  bool settled_ = false;
  double periodStart_ = -1;
  std::uint64_t doneAtStart_ = 0;
  double idleAtStart_ = 0;
  double halfAt_ = -1;  // when the period was half over; -1 before
  std::uint64_t doneAtHalf_ = 0;
  std::uint64_t countFrom_ = 0;  // a period starts once this many reads are done
  double rateBefore_ = 0;        // with half the readers; 0 before the first period
};

// The pace's state and decisions, for the one walk open at a time.
class PaceControl {
 public:
  // `cpuTick`: how coarsely this platform counts a thread's CPU time;
  // `readersAtOnce`: how many reads it serves at once at most.
  PaceControl(double cpuTick, unsigned readersAtOnce);

  // A walk starts; `held` holds the pace for tests and benchmarks. What the
  // last walk learnt of the reads' cost holds until this one's reads say
  // otherwise.
  bool StartWalk(ReadPace held, unsigned cpuHelpers);
  // The outermost folder of a walk was read. A device not read before is
  // measured anew: its share unknown, its readers probed from the start.
  bool NoteDevice(const DeviceFacts& facts);
  // Whether the next read is timed in full: every read until the share is
  // known and while they wait on the device, else a sample.
  bool Sampled();
  // A read of `reads` entries (a folder read counts one) ended; `listing`
  // for a folder read, else `crowd` size reads of its folder ran with it
  // (itself included). `seconds` is the time now.
  bool NoteRead(const ReadCost& cost, std::size_t reads, bool listing, double seconds,
                unsigned crowd = 1);
  // Helpers spent `seconds` finding no work while a walk was open.
  void NoteIdle(double seconds) { idleSeconds_ += seconds; }

  const Pace& Now() const { return pace_; }

 private:
  bool Decide();

  double cpuTick_;
  ReadPace held_ = ReadPace::Measured;
  DeviceFacts device_;
  bool deviceKnown_ = false;
  bool probeSeeded_ = false;  // the probe was started for reads that hardly touch the CPU
  BlockedShare blocked_;
  SeekCheck seeks_;
  FolderSpread spread_;
  ReaderProbe probe_;
  unsigned unsampled_ = 0;
  bool sampleNext_ = true;
  std::uint64_t readsDone_ = 0;
  // What the pace is decided from that is not measured anew at each
  // decision: the helpers for CPU work, the system's bound, a size read's cost.
  PaceInputs kept_;
  double idleSeconds_ = 0;
  Pace pace_;
};

// On when this process may use two CPUs or more, with one helper fewer than
// the CPUs for CPU-bound reads.
ReadAheadSettings DefaultReadAhead();

// Descriptors that listings read ahead may hold.
std::size_t DescriptorCap();

}  // namespace tallyroot::platform::ahead
