// The pace's decisions fed directly, as no slow or rotational disk is at hand.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/fixture_tree.h"
#include "walker/read_ahead/pace.h"
#include "walker/read_ahead/posix/rotational.h"

namespace {

using namespace tallyroot::platform::ahead;
using namespace tallyroot::platform::ahead::tuning;
using tallyroot::platform::posix::IsRotational;
using tallyroot::testing::FixtureTree;

// Folder reads blocked `share` of their time, each with size reads of `perSizeRead` s an entry.
struct Fed {
  explicit Fed(bool rotational = false, unsigned readers = kMaxHelpers) : pace(0, readers) {
    pace.StartWalk(tallyroot::platform::ReadPace::Measured, 1);
    pace.NoteDevice(1, rotational, false);
  }
  const Pace& Reads(double share, double perSizeRead = 0.002 / 64, int reads = 200) {
    for (int i = 0; i < reads; ++i) {
      pace.NoteRead({0.01, 0.01 * (1 - share), 0}, 1, true);
      pace.NoteRead({perSizeRead * 64, perSizeRead * 64 * (1 - share), 0}, 64, false);
    }
    return pace.Now();
  }
  PaceControl pace;
};

TEST(ReadPace, ReadsThatWaitOnTheDeviceGetMoreReadersAndTheWindowsThreadWaits) {
  const Pace cpu = Fed().Reads(0.02);
  EXPECT_EQ(cpu, Pace{.walkerReads = true});
  EXPECT_EQ(Fed().pace.Now(), Pace{});  // cost not yet known
  const Pace cold = Fed().Reads(0.93);  // sizes come with the folders' blocks: no far end
  EXPECT_EQ(std::tuple(cold.helpers, cold.walkerReads, cold.waitsOnDevice),
            std::tuple(kDeviceReaders, false, true));
  EXPECT_GT(Fed().Reads(0.97, 0.002).window, cpu.window);
  // Late in a cold walk, reads blocked a tenth of their time still wait.
  Fed late;
  late.Reads(0.4);
  EXPECT_TRUE(late.Reads(0.08, 0.002 / 64, 2000).waitsOnDevice);
  EXPECT_FALSE(late.Reads(0.01, 0.002 / 64, 2000).waitsOnDevice);

  // A chunk one step off is kept, or every wobble would wake every helper.
  Fed chunked;
  const std::size_t settled = chunked.Reads(0.9, 0.002 / 300, 1000).chunk;
  EXPECT_GE(settled, 128u);
  for (const double entries : {200.0, 450.0, 200.0, 450.0})
    EXPECT_EQ(chunked.Reads(0.9, 0.002 / entries, 500).chunk, settled) << entries;
  EXPECT_LE(chunked.Reads(0.9, 0.002 / 30, 1000).chunk, 32u);

  EXPECT_EQ(Fed(true).Reads(0.05), cpu);  // a head that seeks matters only while reads wait
  EXPECT_EQ(Fed(false, 1).Reads(0.97, 0.002).helpers, 1u);  // one read at a time: wine's server
}

TEST(ReadPace, CountsTimeOffTheCpuAsBlockedButNotPreemption) {
  PaceControl pace(0, kMaxHelpers);
  const auto add = [&](int reads, ReadCost cost) {
    for (int i = 0; i < reads; ++i) pace.NoteRead(cost, 1, true);
    return pace.BlockedShare();
  };
  EXPECT_FALSE(add(1, {0.001, 0.0009, 0}));  // one read says little
  EXPECT_TRUE(add(50, {0.001, 0.0009, 0}));
  add(100, {0.01, 0.001, 0.009});              // off the CPU, all of it waiting for one
  EXPECT_LT(*add(10, {0.001, -1, -1}), 0.11);  // not timed in full: tells nothing
  EXPECT_GT(*add(400, {0.001, 0.0001, 0}), 0.8);
  EXPECT_LT(*add(1000, {0.001, 0.001, 0}), 0.1);  // older reads fade once the page cache answers
}

// The cost of `ms` of sleep or busy loop, and the share of it taken for blocked.
std::pair<ReadCost, double> Timed(int ms, bool sleep) {
  ReadCost cost = ReadCost::Start(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (sleep) std::this_thread::sleep_until(until);
  for (volatile std::uint64_t sink = 0; std::chrono::steady_clock::now() < until;) sink = sink + 1;
  cost.Stop();
  return {cost, cost.BlockedSeconds() / cost.WallSeconds()};
}

TEST(ReadPace, TimesASleepAsBlockedAndABusyLoopAsCpu) {
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
}

// Laid out as the kernel does: a partition's folder lies inside its disk's.
TEST(ReadPace, FindsARotationalDiskForItsPartitionsAndNothingForOtherDevices) {
  FixtureTree sys;
  sys.Folder("devices/sda/queue"), sys.Folder("devices/sda/sda1");
  sys.Folder("devices/nvme0n1/queue"), sys.Folder("devices/nvme0n1/nvme0n1p2");
  std::ofstream(sys.Path("devices/sda/queue/rotational")) << "1\n";
  std::ofstream(sys.Path("devices/nvme0n1/queue/rotational")) << "0\n";
  const std::pair<const char*, const char*> links[] = {
      {"8:0", "sda"}, {"8:1", "sda/sda1"}, {"259:0", "nvme0n1"}, {"259:2", "nvme0n1/nvme0n1p2"}};
  for (const auto& [device, folder] : links)
    sys.Link(std::string("dev/block/") + device, std::string("../../devices/") + folder);
  for (const auto& [major, minor, rotational] :  // 0:45: FUSE, NFS, tmpfs, no block device
       {std::tuple(8, 0, true), {8, 1, true}, {259, 0, false}, {259, 2, false}, {0, 45, false}})
    EXPECT_EQ(IsRotational(major, minor, sys.Root()), rotational) << major << ":" << minor;
}

}  // namespace
