#include "walker/read_ahead/pace.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "walker/read_ahead/platform.h"

namespace tallyroot::platform::ahead {

using namespace tuning;

static double SteadySeconds() {
  using std::chrono::duration;
  return duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The CPU time and the run delay are read outside the wall time, so that the
// timer's own reads of them count as CPU time, never as time blocked (they
// had made warm walks pass for waiting on the device).
ReadCost ReadCost::Start(bool sampled) {
  ReadCost start;
  if (sampled) {
    start.runDelaySeconds = ThreadRunDelaySeconds();
    start.cpuSeconds = ThreadCpuSeconds();
  }
  start.wallSeconds = SteadySeconds();
  return start;
}

void ReadCost::Stop() {
  wallSeconds = SteadySeconds() - wallSeconds;
  const auto since = [](double start, double end) { return end < 0 ? -1 : end - start; };
  if (cpuSeconds >= 0) cpuSeconds = since(cpuSeconds, ThreadCpuSeconds());
  if (runDelaySeconds >= 0) runDelaySeconds = since(runDelaySeconds, ThreadRunDelaySeconds());
}

PaceControl::PaceControl(double cpuTick, unsigned readersAtOnce)
    : cpuTick_(cpuTick),
      trustAfter_(std::max(kTrustAfterSeconds, kTicksToTrust * cpuTick)),
      readersAtOnce_(std::max(1u, readersAtOnce)) {}

bool PaceControl::StartWalk(ReadPace held, unsigned cpuHelpers) {
  held_ = held;
  cpuHelpers_ = cpuHelpers;
  sampleNext_ = true;  // the first read is timed in full to learn the cost soon
  // The names the last walk looked up are known by now.
  alone_ = crowded_ = 0;
  aloneCount_ = crowdedCount_ = 0;
  return Decide();
}

bool PaceControl::NoteDevice(std::uint64_t device, bool rotational, bool remote) {
  if (device_ != device || remote_ != remote) {
    // What another device's reads cost says nothing of this one's.
    device_ = device;
    rotational_ = rotational;
    remote_ = remote;
    latencyBound_ = false;
    secondsPerSizeRead_.reset();
    wall_ = cpu_ = 0;
    waited_ = slow_ = 0;
    listings_ = listingsWaited_ = 0;
  }
  return Decide();
}

bool PaceControl::Sampled() {
  return pace_.waitsOnDevice || sampleNext_ || !BlockedShare() ||
         ++unsampled_ % kUnsampledReads == 0;
}

bool PaceControl::NoteRead(const ReadCost& cost, std::size_t reads, bool listing, unsigned crowd) {
  if (cost.cpuSeconds >= 0) {
    sampleNext_ = false;
  } else if (reads > 0 && cost.wallSeconds > kSlowReadSeconds * double(reads)) {
    sampleNext_ = true;
  }
  if (listing && cost.cpuSeconds >= 0) NoteListing(cost.BlockedSeconds());
  if (!listing && reads > 0) {
    const double perRead = cost.wallSeconds / double(reads);
    secondsPerSizeRead_ =
        secondsPerSizeRead_.value_or(perRead) * (1 - kSizeReadWeight) + perRead * kSizeReadWeight;
    if (crowd == 1) {
      alone_ += perRead, ++aloneCount_;
    } else if (crowd >= kCrowd) {
      crowded_ += perRead, ++crowdedCount_;
    }
  }
  // CPU time is summed as measured, not cut at each read's wall time: with a
  // ticking clock a read's CPU time is often more than its wall time, as
  // often 0, and only the sums are right. Older reads count for half once
  // there are enough, so the share follows what the walk meets now.
  if (cost.cpuSeconds >= 0) {
    if (wall_ > std::max(kHalveAfterSeconds, 2 * trustAfter_)) wall_ /= 2, cpu_ /= 2;
    wall_ += std::max(0.0, cost.WallSeconds());
    cpu_ += cost.cpuSeconds;
  }
  return Decide();
}

std::optional<double> PaceControl::BlockedShare() const {
  const double share = wall_ > 0 ? std::clamp(1 - cpu_ / wall_, 0.0, 1.0) : 0;
  // An exact clock that shows plain CPU work is trusted sooner.
  if (wall_ >= trustAfter_ ||
      (cpuTick_ == 0 && wall_ >= kTrustCpuWorkAfterSeconds && share < kCpuBelow)) {
    return share;
  }
  return std::nullopt;
}

bool PaceControl::Decide() {
  const std::optional<double> share = held_ == ReadPace::CpuBound      ? 0.0
                                      : held_ == ReadPace::DeviceBound ? 1.0
                                                                       : BlockedShare();
  const bool remote = held_ == ReadPace::Measured && remote_;
  // Compared with the previous pace, so that it does not flap at a boundary.
  const double waitingAbove = cpuTick_ > 0 ? kWaitingAboveTicking : kWaitingAbove;
  // Reads that waited keep waiting while listings still wait on the device,
  // however little of the read time that is (the end of a cold walk).
  const bool listingsWait = listingsWaited_ > kListingsWaitingAbove * listings_;
  const bool waiting =
      share ? (pace_.waitsOnDevice ? *share > kCpuBelow || listingsWait : *share > waitingAbove)
            : remote;
  // Not while a disk may still seek, and not where sizes come quickly from
  // blocks read with the folders: that is a cold local disk.
  latencyBound_ = latencyBound_ || remote ||
                  (!rotational_ && share && *share > kLatencyBoundAbove &&
                   secondsPerSizeRead_.value_or(0) > kLatencySizeReadSeconds);
  Pace next;
  next.helpers = cpuHelpers_;
  if (!waiting) {
    // Never on a share, where any read may wait for seconds.
    next.walkerReads = share.has_value() && !remote;
  } else if (rotational_) {
    next.waitsOnDevice = true;
    next.helpers = std::min(kRotationalReaders, readersAtOnce_);
    next.inodeOrder = true;
  } else {
    next.waitsOnDevice = true;
    next.helpers = std::min(latencyBound_ ? kMaxHelpers : kDeviceReaders, readersAtOnce_);
    next.window = kWaitingWindow;
    next.spread = FoldersReadInTurn();
    // Where sizes come from memory while folders wait (a cold local disk
    // reads a block of inodes at once), items are larger, so that handing
    // them out costs less than reading.
    const double entries =
        std::min(kItemSeconds / secondsPerSizeRead_.value_or(0.001), double(kCpuChunk));
    next.chunk = 1;
    while (double(next.chunk * 2) <= entries) next.chunk *= 2;
    // A chunk one step off is kept, or every wobble of a size read's cost
    // would change the pace and wake every helper.
    if (pace_.waitsOnDevice && (pace_.chunk == next.chunk * 2 || pace_.chunk * 2 == next.chunk))
      next.chunk = pace_.chunk;
  }
  if (next == pace_) return false;
  pace_ = next;
  return true;
}

bool PaceControl::FoldersReadInTurn() const {
  return aloneCount_ >= kSpreadSamples && crowdedCount_ >= kSpreadSamples &&
         crowded_ / crowdedCount_ > kCrowdedSlowdown * alone_ / aloneCount_;
}

void PaceControl::NoteListing(double blockedSeconds) {
  const bool waited = blockedSeconds >= kWaitedSeconds;
  if (rotational_ && waited) NoteSeek(blockedSeconds);
  // With a ticking clock a listing's blocked time is a tick's error.
  if (cpuTick_ > 0) return;
  if (listings_ >= kListingsCounted) listings_ /= 2, listingsWaited_ /= 2;
  listings_ += 1;
  listingsWaited_ += waited ? 1 : 0;
}

// The median wait is as long as a seek when half of the waits are; a disk
// whose head does not seek is read as any other device.
void PaceControl::NoteSeek(double blockedSeconds) {
  if (waited_ == kSeekSamples) return;
  slow_ += blockedSeconds >= kSeekSeconds ? 1 : 0;
  if (++waited_ == kSeekSamples && 2 * slow_ < kSeekSamples) rotational_ = false;
}

}  // namespace tallyroot::platform::ahead
