#include "walker/read_ahead_pace.h"

#include <algorithm>
#include <cstdint>

#include "walker/read_ahead_system.h"

namespace tallyroot::platform::ahead {
namespace {

// Above this share of blocked time the reads wait on the device; below the
// lower one they are CPU work again. Reads the page cache answers are blocked
// for a few per cent of their time at most; a cold local disk, whose folders
// wait while most sizes come from inode blocks read with them, for a quarter
// to a half.
constexpr double kWaitingAbove = 0.25;
constexpr double kCpuBelow = 0.1;

// Read time, summed over threads, before a share is trusted, and after which
// older reads count for half: the share follows what the walk meets now.
constexpr double kTrustAfterSeconds = 0.02;
constexpr double kHalveAfterSeconds = 0.2;

// On a device that waits, enough children read ahead that every helper finds
// a read to wait on, and work items of about this long: a size read that
// waits is an item of its own, so a small folder's sizes are read side by
// side, not one after another.
constexpr std::size_t kWaitingWindow = 64;
constexpr double kItemSeconds = 0.002;
constexpr std::size_t kCpuChunk = 512;

// A period of the reader probe: at least this long (shorter while the
// readers are fewer than any device starts with, see ReaderProbe::Note), and
// this many reads finished per reader. What a doubling of the readers must gain
// in reads per second to be kept (on a virtual disk 8 to 16 readers gain
// 12 to 29% per period, and the walk is faster at 16), and the share of the
// period that the helpers may have spent without work for it to count.
constexpr double kProbePeriodSeconds = 0.1;
constexpr double kProbePeriodReads = 8;
constexpr double kProbeGain = 1.15;
constexpr double kProbeIdleShare = 0.1;

// A listing blocked for less than this was answered from a cache; the
// median wait of those that waited longer, below which no head seeks (a
// 15,000 rpm disk takes 2 ms for half a turn alone).
constexpr double kWaitedSeconds = 0.00005;
constexpr double kSeekSeconds = 0.001;

// Descriptors held by listings read ahead, beyond one per open listing.
constexpr std::size_t kMaxDescriptorsAhead = 256;

}  // namespace

ReadAheadSettings DefaultReadAhead() {
  const unsigned cpus = UsableCpus();
  ReadAheadSettings settings;
  settings.on = cpus > 1;
  settings.helpers = cpus > 1 ? cpus - 1 : 1;
  return settings;
}

std::size_t DescriptorCap() {
  const std::size_t limit = OpenDescriptorLimit();
  if (limit == SIZE_MAX) return kMaxDescriptorsAhead;
  return std::clamp<std::size_t>(limit / 8, 1, kMaxDescriptorsAhead);
}

// The CPU time and the run delay are read outside the wall time, so that the
// timer's own reads of them count as CPU time, never as time blocked.
ReadTimer::ReadTimer(bool sampled) : sampled_(sampled) {
  if (sampled_) {
    runDelayStart_ = ThreadRunDelaySeconds();
    cpuStart_ = ThreadCpuSeconds();
  }
  wallStart_ = std::chrono::steady_clock::now();
}

ReadCost ReadTimer::Stop() const {
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart_;
  if (!sampled_) return {wall.count(), -1, -1};
  const double cpuEnd = ThreadCpuSeconds();
  const double cpu = cpuEnd < 0 || cpuStart_ < 0 ? -1 : cpuEnd - cpuStart_;
  const double runDelayEnd = ThreadRunDelaySeconds();
  const double runDelay = runDelayEnd < 0 || runDelayStart_ < 0 ? -1 : runDelayEnd - runDelayStart_;
  return {wall.count(), cpu, runDelay};
}

void BlockedShare::Add(const ReadCost& cost) {
  if (cost.cpuSeconds < 0) return;
  if (wall_ > kHalveAfterSeconds) {
    wall_ /= 2;
    blocked_ /= 2;
  }
  wall_ += std::max(0.0, cost.WallSeconds());
  blocked_ += cost.BlockedSeconds();
}

bool BlockedShare::Known() const { return wall_ >= kTrustAfterSeconds; }

Pace PaceFor(double blockedShare, unsigned cpuHelpers, const Pace& previous, bool rotational,
             unsigned readers, double secondsPerSizeRead) {
  const bool waiting = blockedShare > (previous.waitsOnDevice ? kCpuBelow : kWaitingAbove);
  Pace pace;
  pace.helpers = cpuHelpers;
  if (!waiting) return pace;
  pace.waitsOnDevice = true;
  if (rotational && readers <= kRotationalReaders) {
    // The walking thread and one helper: a handover for every entry would
    // cost more than the second reader gains on a disk that seeks.
    pace.helpers = 1;
    pace.inodeOrder = true;
    return pace;
  }
  pace.walkerReads = false;  // its waits let window events through instead
  pace.helpers = std::clamp(readers, 1u, kMaxHelpers);
  pace.window = kWaitingWindow;
  // Where the folders wait on the device but their entries' sizes come from
  // memory (a cold local disk reads a block of inodes at once), sizes are
  // read in larger items, so that handing them out costs less than reading.
  const double entries = secondsPerSizeRead > 0 ? kItemSeconds / secondsPerSizeRead : 1;
  pace.chunk = 1;
  while (pace.chunk * 2 <= std::min(entries, double(kCpuChunk))) pace.chunk *= 2;
  // The cost of a size read wanders around its typical value: a chunk one
  // step off is kept, or every wobble would change the pace and wake every
  // helper.
  if (previous.waitsOnDevice &&
      (previous.chunk == pace.chunk * 2 || previous.chunk * 2 == pace.chunk)) {
    pace.chunk = previous.chunk;
  }
  return pace;
}

void SeekCheck::Add(double blockedSeconds) {
  if (seeks_ || blockedSeconds < kWaitedSeconds) return;
  waits_[count_++] = blockedSeconds;
  if (count_ < waits_.size()) return;
  const auto median = waits_.begin() + static_cast<long>(waits_.size() / 2);
  std::nth_element(waits_.begin(), median, waits_.end());
  seeks_ = *median >= kSeekSeconds;
}

void ReaderProbe::Restart(unsigned readers) {
  *this = ReaderProbe();
  readers_ = readers;
}

unsigned ReaderProbe::Note(std::uint64_t done, double idleSeconds, double seconds) {
  if (settled_) return readers_;
  // Readers just started finish their first reads only a read's time later:
  // a period starts once as many reads as readers have finished since.
  if (periodStart_ < 0 || done < countFrom_) {
    StartPeriod(done, idleSeconds, seconds);
    return readers_;
  }
  // A doubling from few readers either nearly doubles the rate (a device
  // that serves reads side by side) or lowers it (a head that seeks), which
  // a shorter period tells apart as well; each period at few readers is time
  // a device that serves many is read slowly. So a period is as much shorter
  // as the readers are fewer than the kDeviceReaders any other device starts
  // with: a rotational disk that gains from parallel reads goes from two
  // readers to 16 in 0.09 s of a cold walk so, against 0.18 s with short
  // periods only below 8 readers.
  const double period =
      kProbePeriodSeconds * std::min(1.0, double(readers_) / double(kDeviceReaders));
  const double elapsed = seconds - periodStart_;
  if (halfAt_ < 0 && elapsed >= period / 2) {
    halfAt_ = seconds;
    doneAtHalf_ = done;
  }
  if (elapsed < period || double(done - doneAtStart_) < kProbePeriodReads * readers_) {
    return readers_;
  }
  // A walk reads faster as it widens, whatever the readers: early on, a
  // period that read clearly faster in its second half than in its first
  // says more of the walk than of the device, and decides nothing. (Taken
  // as the rate before a doubling, it made 32 readers look a gain on a cold
  // disk, where they read a fifth slower than 16 once the walk was wide.)
  if (seconds > halfAt_ &&
      double(done - doneAtHalf_) / (seconds - halfAt_) >
          kProbeGain * double(doneAtHalf_ - doneAtStart_) / (halfAt_ - periodStart_)) {
    StartPeriod(done, idleSeconds, seconds);
    return readers_;
  }
  const double rate = double(done - doneAtStart_) / elapsed;
  // Helpers that found nothing to read say how much work there is, not what
  // the device serves. Before any rate is known (early in a walk) such a
  // period decides nothing. After a doubling, the readers added found too
  // little work, and go again: helpers that look for work and find none
  // cost the others CPU time and the lock (a cold walk that kept 32 readers
  // with some idle took 1.7 to 1.9 s, against 1.3 s at 16).
  const bool idle = idleSeconds - idleAtStart_ > kProbeIdleShare * readers_ * elapsed;
  if (!idle || rateBefore_ > 0) {
    if (rateBefore_ > 0 && (idle || rate < kProbeGain * rateBefore_)) {
      readers_ /= 2;
      settled_ = true;
      return readers_;
    }
    if (readers_ >= kMaxHelpers) {
      settled_ = true;
      return readers_;
    }
    rateBefore_ = rate;
    readers_ *= 2;
    countFrom_ = done + readers_;
  }
  StartPeriod(done, idleSeconds, seconds);
  return readers_;
}

void ReaderProbe::StartPeriod(std::uint64_t done, double idleSeconds, double seconds) {
  periodStart_ = seconds;
  doneAtStart_ = done;
  idleAtStart_ = idleSeconds;
  halfAt_ = -1;
}

}  // namespace tallyroot::platform::ahead
