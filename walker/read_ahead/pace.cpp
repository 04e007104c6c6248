#include "walker/read_ahead/pace.h"

#include <algorithm>
#include <cstdint>

#include "walker/read_ahead/platform.h"

namespace tallyroot::platform::ahead {

using namespace tuning;

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
  return std::clamp<std::size_t>(limit / kDescriptorShare, 1, kMaxDescriptorsAhead);
}

Pace PaceFor(const PaceInputs& in, const Pace& previous) {
  const bool waiting = in.blockedShare
                           ? *in.blockedShare > (previous.waitsOnDevice ? kCpuBelow : kWaitingAbove)
                           : in.remote;
  Pace pace;
  pace.helpers = in.cpuHelpers;
  if (!waiting) {
    // The walking thread reads only where reads are known to be CPU work,
    // and never on a share, where any read may wait for seconds.
    pace.walkerReads = in.blockedShare.has_value() && !in.remote;
    return pace;
  }
  pace.waitsOnDevice = true;
  if (in.rotational && in.readers <= kRotationalReaders) {
    pace.helpers = std::min(kRotationalReaders, std::max(1u, in.readersAtOnce));
    pace.inodeOrder = true;
    return pace;
  }
  pace.helpers = std::clamp(in.readers, 1u, std::max(1u, in.readersAtOnce));
  pace.window = kWaitingWindow;
  pace.spread = in.foldersInTurn;
  // Where the folders wait on the device but their entries' sizes come from
  // memory (a cold local disk reads a block of inodes at once), sizes are
  // read in larger items, so that handing them out costs less than reading.
  const double entries = in.secondsPerSizeRead > 0 ? kItemSeconds / in.secondsPerSizeRead : 1;
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

PaceControl::PaceControl(double cpuTick, unsigned readersAtOnce)
    : cpuTick_(cpuTick), blocked_(cpuTick) {
  kept_.readersAtOnce = readersAtOnce;
}

bool PaceControl::StartWalk(ReadPace held, unsigned cpuHelpers) {
  held_ = held;
  kept_.cpuHelpers = cpuHelpers;
  sampleNext_ = true;  // the first read is timed in full to learn the cost soon
  // Names a walk has looked up are known to the kernel for the next one.
  spread_ = FolderSpread();
  return Decide();
}

bool PaceControl::NoteDevice(const DeviceFacts& facts) {
  if (!deviceKnown_ || facts.device != device_.device || facts.remote != device_.remote) {
    deviceKnown_ = true;
    device_ = facts;
    // What another device's reads cost says nothing of this one's.
    blocked_ = BlockedShare(cpuTick_);
    seeks_ = SeekCheck();
    probe_.Restart(device_.rotational ? kRotationalReaders : kDeviceReaders);
    probeSeeded_ = false;
  }
  return Decide();
}

bool PaceControl::Sampled() {
  return pace_.waitsOnDevice || sampleNext_ || !blocked_.Known() ||
         ++unsampled_ % kUnsampledReads == 0;
}

bool PaceControl::NoteRead(const ReadCost& cost, std::size_t reads, bool listing, double seconds,
                           unsigned crowd) {
  if (cost.cpuSeconds >= 0) {
    sampleNext_ = false;
  } else if (reads > 0 && cost.wallSeconds > kSlowReadSeconds * double(reads)) {
    sampleNext_ = true;
  }
  // A rotational disk whose listings wait less than a head takes to seek is
  // read as any other device.
  if (listing && device_.rotational && cost.cpuSeconds >= 0) {
    seeks_.Add(cost.BlockedSeconds());
    if (seeks_.Seeks() == false) {
      device_.rotational = false;
      probe_.Restart(kDeviceReaders);
    }
  }
  if (!listing && reads > 0) {
    double& perRead = kept_.secondsPerSizeRead;
    perRead += (cost.wallSeconds / double(reads) - perRead) * kSizeReadWeight;
    spread_.Add(cost.wallSeconds, reads, crowd);
  }
  blocked_.Add(cost);
  readsDone_ += reads;
  if (pace_.waitsOnDevice) probe_.Note(readsDone_, idleSeconds_, seconds);
  return Decide();
}

bool PaceControl::Decide() {
  PaceInputs in = kept_;
  if (held_ == ReadPace::CpuBound) {
    in.blockedShare = 0.0;
  } else if (held_ == ReadPace::DeviceBound) {
    in.blockedShare = 1.0;
  } else {
    if (blocked_.Known()) in.blockedShare = blocked_.Share();
    in.remote = device_.remote;
  }
  // Reads that hardly touch the CPU (a share, a FUSE mount) wait on a far
  // end that serves many at once: the probe starts with all the readers.
  if (!probeSeeded_ && in.blockedShare && *in.blockedShare > kLatencyBoundAbove &&
      !device_.rotational) {
    probeSeeded_ = true;
    probe_.Restart(kMaxHelpers);
  }
  in.rotational = device_.rotational;
  in.readers = probe_.Readers();
  in.foldersInTurn = spread_.InTurn();
  const Pace next = PaceFor(in, pace_);
  if (next == pace_) return false;
  pace_ = next;
  return true;
}

void FolderSpread::Add(double seconds, std::size_t reads, unsigned crowd) {
  if (reads == 0) return;
  const double perEntry = seconds / double(reads);
  if (crowd == 1) {
    alone_ += perEntry, ++aloneCount_;
  } else if (crowd >= kCrowd) {
    crowded_ += perEntry, ++crowdedCount_;
  }
  if (aloneCount_ < kSpreadSamples || crowdedCount_ < kSpreadSamples) return;
  inTurn_ = crowded_ / crowdedCount_ > kCrowdedSlowdown * alone_ / aloneCount_;
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
  const double period = kProbePeriodSeconds;
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
