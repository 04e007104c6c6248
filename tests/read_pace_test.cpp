// The read-ahead's pace: what it makes of the reads' cost and of the device,
// since no slow or rotational disk is at hand to show it whole.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
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

// A pace fed `reads` folder reads blocked `share` of their time, then size
// reads of `perSizeRead` seconds an entry.
struct Fed {
  explicit Fed(bool rotational = false, bool remote = false, unsigned readersAtOnce = kMaxHelpers)
      : pace(0, readersAtOnce) {
    pace.StartWalk(tallyroot::platform::ReadPace::Measured, 1);
    pace.NoteDevice(1, rotational, remote);
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
  // Helpers, whether the walking thread reads, whether it waits on the device.
  const auto shape = [](const Pace& pace) {
    return std::tuple(pace.helpers, pace.walkerReads, pace.waitsOnDevice);
  };
  const Pace cpu = Fed().Reads(0.02);
  EXPECT_EQ(shape(cpu), std::tuple(1u, true, false));
  // A cold local disk: a disk's readers, also where its folders are blocked
  // 0.93 of the time, as its sizes come quickly from blocks read with them.
  // Reads that hardly touch the CPU, each waiting (a share): every reader.
  EXPECT_EQ(shape(Fed().Reads(0.4)), std::tuple(kDeviceReaders, false, true));
  EXPECT_EQ(shape(Fed().Reads(0.93)), std::tuple(kDeviceReaders, false, true));
  const Pace share = Fed().Reads(0.97, 0.002);
  EXPECT_EQ(shape(share), std::tuple(kMaxHelpers, false, true));
  EXPECT_GT(share.window, cpu.window);
  EXPECT_LT(share.chunk, cpu.chunk);
  // Back to CPU work only where the page cache answers: late in a cold
  // walk, reads still blocked a tenth of their time keep their readers.
  Fed cold;
  cold.Reads(0.4);
  EXPECT_TRUE(cold.Reads(0.08, 0.002 / 64, 2000).waitsOnDevice);
  EXPECT_FALSE(cold.Reads(0.01, 0.002 / 64, 2000).waitsOnDevice);

  // Sizes that come from memory while the folders wait: larger items. A
  // size read whose cost wobbles within a factor of two keeps its chunk,
  // or every wobble would wake every helper; one far dearer gets a smaller.
  Fed chunked;
  const std::size_t settled = chunked.Reads(0.9, 0.002 / 300, 1000).chunk;
  EXPECT_GE(settled, 128u);
  for (const double entries : {200.0, 450.0, 200.0, 450.0})
    EXPECT_EQ(chunked.Reads(0.9, 0.002 / entries, 500).chunk, settled) << entries;
  EXPECT_LE(chunked.Reads(0.9, 0.002 / 30, 1000).chunk, 32u);

  // A disk head: two helpers in inode order; read as any disk while the
  // page cache answers.
  const Pace disk = Fed(true).Reads(0.9);
  EXPECT_EQ(std::tuple(disk.helpers, disk.inodeOrder), std::tuple(kRotationalReaders, true));
  EXPECT_EQ(Fed(true).Reads(0.02), cpu);

  // Until the cost is known, and on a share whatever it costs, the window's
  // thread reads nothing; a share waits on the device from the start.
  EXPECT_EQ(shape(Fed().pace.Now()), std::tuple(1u, false, false));
  EXPECT_EQ(shape(Fed(false, true).pace.Now()), std::tuple(kMaxHelpers, false, true));
  EXPECT_FALSE(Fed(false, true).Reads(0.01).walkerReads);
  // A system that serves one read at a time (wine's server) gets one reader.
  EXPECT_EQ(Fed(false, false, 1).Reads(0.97, 0.002).helpers, 1u);
}

TEST(ReadPace, CountsTimeOffTheCpuAsBlockedButNotPreemption) {
  PaceControl pace(0, kMaxHelpers);
  const auto add = [&](int reads, ReadCost cost) {
    for (int i = 0; i < reads; ++i) pace.NoteRead(cost, 1, true);
  };
  add(1, {0.001, 0.0009, 0});
  EXPECT_FALSE(pace.BlockedShare());  // one read says little
  add(50, {0.001, 0.0009, 0});
  EXPECT_TRUE(pace.BlockedShare());
  // Off the CPU for 90% of the time, all of it waiting for a CPU.
  add(100, {0.01, 0.001, 0.009});
  EXPECT_LT(*pace.BlockedShare(), 0.11);
  // Reads that were not timed in full tell nothing.
  add(10, {0.001, -1, -1});
  EXPECT_LT(*pace.BlockedShare(), 0.11);

  add(400, {0.001, 0.0001, 0});
  EXPECT_GT(*pace.BlockedShare(), 0.8);
  // Older reads fade: a walk that reaches the page cache is CPU work again.
  add(1000, {0.001, 0.001, 0});
  EXPECT_LT(*pace.BlockedShare(), 0.1);
}

// The cost timed over `ms` milliseconds of sleep or of a busy loop, and the
// share of it taken for blocked.
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

  // Sharing one CPU with a spinning thread, a busy loop waits for it about half
  // of the time: the kernel's count says so, and the share takes it for no block.
  cpu_set_t before, one;
  ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof one, &one), 0);
  std::atomic<bool> stop{false};
  std::thread spinner([&] {
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    while (!stop.load(std::memory_order_relaxed)) {
    }
  });
  const auto [shared, share] = Timed(60, false);
  stop = true;
  spinner.join();
  pthread_setaffinity_np(pthread_self(), sizeof before, &before);
  EXPECT_GT(shared.runDelaySeconds, 0.01);
  EXPECT_LT(share, 0.3);
}

// A sysfs as the kernel lays it out: /sys/dev/block/MAJ:MIN links to the
// device's folder, and a partition's folder lies inside its disk's.
TEST(ReadPace, FindsARotationalDiskForItsPartitionsAndNothingForOtherDevices) {
  FixtureTree sys;
  sys.Folder("devices/sda/queue"), sys.Folder("devices/sda/sda1");
  sys.Folder("devices/nvme0n1/queue"), sys.Folder("devices/nvme0n1/nvme0n1p2");
  std::ofstream(sys.Path("devices/sda/queue/rotational")) << "1\n";
  std::ofstream(sys.Path("devices/nvme0n1/queue/rotational")) << "0\n";
  for (const auto& [device, folder] : {std::pair("8:0", "sda"),
                                       {"8:1", "sda/sda1"},
                                       {"259:0", "nvme0n1"},
                                       {"259:2", "nvme0n1/nvme0n1p2"}})
    sys.Link(std::string("dev/block/") + device, std::string("../../devices/") + folder);
  for (const auto& [major, minor, rotational] :  // 0:45: FUSE, NFS, tmpfs, no block device
       {std::tuple(8, 0, true), {8, 1, true}, {259, 0, false}, {259, 2, false}, {0, 45, false}})
    EXPECT_EQ(IsRotational(major, minor, sys.Root()), rotational) << major << ":" << minor;
}

}  // namespace
