// How long the whole machine stood still while a load ran: one real-time
// thread per CPU, each bound to its CPU, wakes every millisecond and marks a
// shared heartbeat. The longest gap between two heartbeats is the longest
// time in which no CPU could run even a real-time thread (on a virtual
// machine, the host taking every CPU away). It tells a stretch without
// events that the machine caused from one the program caused: traced cold
// loads here had the window go 35 ms without events while neither CPU
// recorded a single scheduler event for 34.9 ms.
//
// Needs the right to real-time scheduling (root, or CAP_SYS_NICE); without
// it Stop says -1. Each wake costs a few microseconds, 1,000 times a second
// on each CPU.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace tallyroot::bench {

class MachineStalls {
 public:
  ~MachineStalls() { Stop(); }

  void Start() {
    Stop();
    stop_ = false;
    allowed_ = true;
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) != 0) CPU_ZERO(&usable);
    started_ = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &usable)) watchers_.emplace_back([this, cpu] { Watch(cpu); });
    }
    // Starting the threads takes milliseconds of its own: count from when
    // every one of them beats.
    while (started_.load() < watchers_.size()) std::this_thread::yield();
    lastNs_ = NowNs();
    longestNs_ = 0;
  }
  // The longest stall since Start, in seconds; -1 without real-time rights.
  double Stop() {
    if (watchers_.empty()) return result_;
    stop_ = true;
    for (std::thread& watcher : watchers_) watcher.join();
    watchers_.clear();
    result_ = allowed_ ? double(longestNs_.load()) * 1e-9 : -1;
    return result_;
  }

 private:
  static std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  }

  void Watch(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    const sched_param fifo{1};
    if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0 ||
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0) {
      allowed_ = false;
      ++started_;
      return;
    }
    ++started_;
    while (!stop_.load(std::memory_order_relaxed)) {
      const timespec period{0, 1'000'000};
      clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
      const std::int64_t now = NowNs();
      const std::int64_t gap = now - lastNs_.exchange(now);
      for (std::int64_t longest = longestNs_.load();
           gap > longest && !longestNs_.compare_exchange_weak(longest, gap);) {
      }
    }
  }

  std::vector<std::thread> watchers_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> allowed_{true};
  std::atomic<std::size_t> started_{0};
  std::atomic<std::int64_t> lastNs_{0};     // the latest heartbeat of any CPU
  std::atomic<std::int64_t> longestNs_{0};  // the longest gap between two
  double result_ = -1;
};

}  // namespace tallyroot::bench
