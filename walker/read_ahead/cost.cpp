#include "walker/read_ahead/cost.h"

#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {

// The CPU time and the run delay are read outside the wall time, so that the
// timer's own reads of them count as CPU time, never as time blocked (they
// had made warm walks pass for waiting on the device).
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

BlockedShare::BlockedShare(double cpuTick)
    : cpuTick_(cpuTick),
      trustAfter_(std::max(tuning::kTrustAfterSeconds, tuning::kTicksToTrust * cpuTick)),
      halveAfter_(std::max(tuning::kHalveAfterSeconds, 2 * trustAfter_)) {}

// CPU time is summed as measured, not cut at each read's wall time: with a
// ticking clock a read's CPU time is often more than its wall time, and as
// often 0, and only the sums are right.
void BlockedShare::Add(const ReadCost& cost) {
  if (cost.cpuSeconds < 0) return;
  if (wall_ > halveAfter_) {
    wall_ /= 2;
    cpu_ /= 2;
  }
  wall_ += std::max(0.0, cost.WallSeconds());
  cpu_ += cost.cpuSeconds;
}

bool BlockedShare::Known() const {
  return wall_ >= trustAfter_ || (cpuTick_ == 0 && wall_ >= tuning::kTrustCpuWorkAfterSeconds &&
                                  Share() < tuning::kCpuBelow);
}

double BlockedShare::Share() const {
  return wall_ > 0 ? std::clamp(1 - cpu_ / wall_, 0.0, 1.0) : 0;
}

}  // namespace tallyroot::platform::ahead
