// What the pace is told of reads: blocked time as it is summed, as Linux's clocks time it.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "walker/read_ahead/pace.h"

namespace {

using namespace tallyroot::platform::ahead;

// The cost of `ms` of sleep or busy loop, and the share of it taken for blocked.
std::pair<ReadCost, double> Timed(int ms, bool sleep) {
  ReadCost cost = ReadCost::Start(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (sleep) std::this_thread::sleep_until(until);
  for (volatile std::uint64_t sink = 0; std::chrono::steady_clock::now() < until;) sink = sink + 1;
  cost.Stop();
  return {cost, cost.BlockedSeconds() / cost.WallSeconds()};
}

TEST(ReadPace, CountsASleepAsBlockedButNeitherABusyLoopNorPreemption) {
  EXPECT_GT(Timed(20, true).second, 0.8);
  EXPECT_LT(Timed(20, false).second, 0.3);
  // A busy loop sharing its CPU with a spinner waits for it, and is no block.
  cpu_set_t before, one;
  ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof one, &one), 0);
  std::atomic<bool> stop{false};
  std::thread spinner([&] {
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    while (!stop.load(std::memory_order_relaxed)) continue;
  });
  const auto [shared, share] = Timed(60, false);
  stop = true;
  spinner.join();
  pthread_setaffinity_np(pthread_self(), sizeof before, &before);
  EXPECT_GT(shared.runDelaySeconds, 0.01);
  EXPECT_LT(share, 0.3);
  // Summed by the pace, too: time off the CPU is blocked, time waiting for one is not.
  for (const auto& [cost, blocked] : {std::pair(Timed(20, true).first, true), {shared, false}}) {
    PaceControl pace(0, tuning::kMaxHelpers);
    for (int i = 0; i < 10; ++i) pace.NoteRead(cost, 1, true);
    EXPECT_EQ(pace.BlockedShare().value_or(-1) > 0.3, blocked);
  }
}

}  // namespace
