#include "walker/read_ahead_pace.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace tallyroot::platform::ahead {
namespace {

// Above this share of blocked time the reads wait on the device; below the
// lower one they are CPU work again.
constexpr double kWaitingAbove = 0.3;
constexpr double kCpuBelow = 0.1;

// Read time, summed over threads, before a share is trusted, and after which
// older reads count for half: the share follows what the walk meets now.
constexpr double kTrustAfterSeconds = 0.002;
constexpr double kHalveAfterSeconds = 0.05;

// On a device that waits, enough children read ahead and small enough work
// items that every helper finds a read to wait on.
constexpr std::size_t kWaitingWindow = 64;
constexpr std::size_t kWaitingChunk = 8;

// Parallel random reads make a disk head seek: two readers at most, each
// reading a folder's sizes in inode order, which is roughly disk order.
constexpr unsigned kRotationalReaders = 2;

// Descriptors held by listings read ahead, beyond one per open listing.
constexpr std::size_t kMaxDescriptorsAhead = 256;

struct ThreadUsage {
  double cpuSeconds;
  long sleeps;
};

ThreadUsage Usage() {
  struct rusage usage {};
  getrusage(RUSAGE_THREAD, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw};
}

bool ReadFlag(const std::string& path, bool& flag) {
  std::ifstream file(path);
  int value = 0;
  if (!(file >> value)) return false;
  flag = value != 0;
  return true;
}

unsigned UsableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

ReadAheadSettings DefaultReadAhead() {
  const unsigned cpus = UsableCpus();
  ReadAheadSettings settings;
  settings.on = cpus > 1;
  settings.helpers = cpus > 1 ? cpus - 1 : 1;
  return settings;
}

std::size_t DescriptorCap() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kMaxDescriptorsAhead;
  }
  return std::clamp<std::size_t>(limit.rlim_cur / 8, 1, kMaxDescriptorsAhead);
}

ReadTimer::ReadTimer() : wallStart_(std::chrono::steady_clock::now()) {
  const ThreadUsage usage = Usage();
  cpuStart_ = usage.cpuSeconds;
  sleepsStart_ = usage.sleeps;
}

ReadCost ReadTimer::Stop() const {
  const ThreadUsage usage = Usage();
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart_;
  return {wall.count(), usage.cpuSeconds - cpuStart_, usage.sleeps - sleepsStart_};
}

void BlockedShare::Add(const ReadCost& cost) {
  if (wall_ > kHalveAfterSeconds) {
    wall_ /= 2;
    blocked_ /= 2;
  }
  wall_ += cost.wallSeconds;
  // Off the CPU without ever sleeping is preemption, not the device.
  if (cost.sleeps > 0 && cost.wallSeconds > cost.cpuSeconds) {
    blocked_ += cost.wallSeconds - cost.cpuSeconds;
  }
}

bool BlockedShare::Known() const { return wall_ >= kTrustAfterSeconds; }

Pace PaceFor(double blockedShare, bool rotational, unsigned cpuHelpers, bool wasWaiting) {
  const bool waiting = blockedShare > (wasWaiting ? kCpuBelow : kWaitingAbove);
  Pace pace;
  pace.helpers = cpuHelpers;
  if (!waiting) return pace;
  pace.waitsOnDevice = true;
  pace.walkerReads = false;  // its waits let window events through instead
  if (rotational) {
    pace.helpers = kRotationalReaders;
    pace.inodeOrder = true;
    return pace;
  }
  pace.helpers = kMaxHelpers;
  pace.window = kWaitingWindow;
  pace.chunk = kWaitingChunk;
  return pace;
}

bool IsRotational(unsigned major, unsigned minor, const std::string& sysRoot) {
  const std::string device =
      sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  bool rotational = false;
  // A partition has no queue of its own; its disk's is one level up.
  if (ReadFlag(device + "/queue/rotational", rotational)) return rotational;
  if (ReadFlag(device + "/../queue/rotational", rotational)) return rotational;
  return false;
}

bool IsRotationalDevice(dev_t device) { return IsRotational(major(device), minor(device)); }

}  // namespace tallyroot::platform::ahead
