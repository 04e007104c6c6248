// The read-ahead's pace: what it makes of the reads' cost and of the device,
// since no slow or rotational disk is at hand to show it whole.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/fixture_tree.h"
#include "walker/read_ahead/pace.h"
#include "walker/read_ahead/posix/rotational.h"

namespace {

using namespace tallyroot::platform::ahead;
using namespace tallyroot::platform::ahead::tuning;
using tallyroot::platform::posix::IsRotational;
using tallyroot::testing::FixtureTree;

// The pace for reads blocked `share` of their time (none: not known yet).
Pace PaceOf(std::optional<double> share, const Pace& previous = {}, double perSizeRead = 0.002,
            unsigned readers = kMaxHelpers, bool rotational = false, bool remote = false) {
  PaceInputs in;
  in.blockedShare = share;
  in.readers = readers;
  in.rotational = rotational;
  in.remote = remote;
  in.secondsPerSizeRead = perSizeRead;
  return PaceFor(in, previous);
}

TEST(ReadPace, ReadsThatWaitOnTheDeviceGetManyHelpersExceptOnARotationalDisk) {
  // Helpers, whether the walking thread reads, whether it waits on the device.
  const Pace cpu = PaceOf(0.02);
  EXPECT_EQ(std::tuple(cpu.helpers, cpu.walkerReads, cpu.waitsOnDevice),
            std::tuple(1u, true, false));
  // Waiting, the walking thread lets window events through.
  const Pace device = PaceOf(0.9);
  EXPECT_EQ(std::tuple(device.helpers, device.walkerReads, device.waitsOnDevice),
            std::tuple(kMaxHelpers, false, true));
  EXPECT_GT(device.window, cpu.window);
  EXPECT_LT(device.chunk, cpu.chunk);
  // Sizes that come from memory while the folders wait: larger items.
  EXPECT_GT(PaceOf(0.9, {}, 0.00001).chunk, 64u);

  // Reads the page cache answers against a cold disk's (blocked a quarter to a
  // half of their time); back to CPU work only when the share has clearly fallen.
  EXPECT_FALSE(PaceOf(0.05).waitsOnDevice);
  const Pace waiting = PaceOf(0.3);
  EXPECT_TRUE(waiting.waitsOnDevice);
  EXPECT_TRUE(PaceOf(0.2, waiting).waitsOnDevice);
  EXPECT_FALSE(PaceOf(0.05, waiting).waitsOnDevice);
  // A size read that wobbles around 2 ms / 300 keeps its chunk; one that
  // takes four times as long gets a smaller one.
  const Pace chunked = PaceOf(0.9, {}, 0.002 / 300);
  EXPECT_EQ(chunked.chunk, 256u);
  EXPECT_EQ(PaceOf(0.9, chunked, 0.002 / 520).chunk, 256u);
  EXPECT_EQ(PaceOf(0.9, chunked, 0.002 / 130).chunk, 256u);
  EXPECT_EQ(PaceOf(0.9, chunked, 0.002 / 70).chunk, 64u);

  // A disk head: two helpers in inode order, and the window's thread waits.
  const Pace disk = PaceOf(0.9, {}, 0.002, kRotationalReaders, true);
  EXPECT_TRUE(disk.inodeOrder);
  EXPECT_EQ(std::tuple(disk.helpers, disk.walkerReads), std::tuple(kRotationalReaders, false));
  // A rotational disk whose reads the page cache answers is read as any.
  EXPECT_EQ(PaceOf(0.02, {}, 0.002, 2, true), PaceOf(0.02, {}, 0.002, 16, false));

  // Until the cost is known, and on a share whatever it costs, the window's
  // thread reads nothing; a share is read as a device that waits from the start.
  EXPECT_FALSE(PaceOf(std::nullopt).walkerReads);
  EXPECT_FALSE(PaceOf(std::nullopt).waitsOnDevice);
  EXPECT_TRUE(PaceOf(std::nullopt, {}, 0.002, 16, false, true).waitsOnDevice);
  EXPECT_FALSE(PaceOf(0.01, {}, 0.002, 16, false, true).walkerReads);

  // A system that serves two reads at once (wine's server) gets two readers
  // whatever the device serves, and a folder's reads in turn spread.
  PaceInputs wine;
  wine.blockedShare = 0.9;
  wine.readersAtOnce = 2;
  wine.foldersInTurn = true;
  EXPECT_EQ(PaceFor(wine, {}).helpers, 2u);
  EXPECT_TRUE(PaceFor(wine, {}).spread);
  wine.blockedShare = 0.02;
  EXPECT_FALSE(PaceFor(wine, {}).spread);  // spreading is for devices that wait
}

// Reads per second with n readers, from a device whose every read takes
// `latency` (readers added finish their first read that much later); `rate`
// may also take the time, for a walk whose rate changes as it goes. Until
// `sparseUntil` seconds the walk offers work to 8 readers only, and after
// that to `workFor`.
template <typename Rate>
unsigned ProbeOn(Rate rate, unsigned start = kRotationalReaders, double latency = 0.001,
                 double sparseUntil = 0, unsigned workFor = kMaxHelpers) {
  constexpr double kStep = 0.001;
  ReaderProbe probe;
  probe.Restart(start);
  std::vector<unsigned> started{start};  // the readers at each step so far
  double done = 0, idle = 0;
  for (int step = 1; step < 10000; ++step) {
    const double seconds = step * kStep;
    const std::size_t lag = static_cast<std::size_t>(latency / kStep);
    unsigned reading = started[started.size() > lag ? started.size() - 1 - lag : 0];
    const unsigned offered = seconds < sparseUntil ? 8 : workFor;
    if (reading > offered) {
      idle += (reading - offered) * kStep;
      reading = offered;
    }
    if constexpr (std::is_invocable_v<Rate, unsigned, double>) {
      done += rate(reading, seconds) * kStep;
    } else {
      done += rate(reading) * kStep;
    }
    started.push_back(probe.Note(static_cast<std::uint64_t>(done), idle, seconds));
  }
  return started.back();
}

TEST(ReadPace, ReadersAreDoubledOnlyWhileMoreReadFaster) {
  // A disk head: more readers only seek more.
  EXPECT_EQ(ProbeOn([](unsigned n) { return n <= 2 ? 300.0 : 300.0 / (1 + 0.1 * n); }), 2u);
  // A rotational disk that serves reads side by side after all.
  EXPECT_EQ(ProbeOn([](unsigned n) { return 50000.0 * std::min(n, 16u); }), 16u);
  EXPECT_EQ(ProbeOn([](unsigned n) { return 500.0 * n; }), kMaxHelpers);
  // Any other device: a network mount takes all there are, a full SSD queue 16.
  EXPECT_EQ(ProbeOn([](unsigned n) { return 500.0 * n; }, kDeviceReaders), kMaxHelpers);
  EXPECT_EQ(ProbeOn([](unsigned n) { return 500.0 * std::min(n, 16u); }, kDeviceReaders), 16u);
  // The same, while the walk widens over its first 0.3 s: the walk reading
  // faster is not taken for more readers reading faster.
  EXPECT_EQ(ProbeOn(
                [](unsigned n, double seconds) {
                  return 30000.0 * std::min(n, 16u) * std::min(1.0, 0.25 + seconds / 0.4);
                },
                kDeviceReaders),
            16u);
  // A share that answers after 20 ms, with little to read ahead in the first second.
  EXPECT_EQ(ProbeOn([](unsigned n) { return n / 0.02; }, kDeviceReaders, 0.02, 1.0), kMaxHelpers);
  // A walk that has work for 16 readers at most: the readers added beyond
  // them find none, and go again.
  EXPECT_EQ(ProbeOn([](unsigned n) { return 500.0 * n; }, kRotationalReaders, 0.001, 0, 16), 16u);
  const Pace wide = PaceOf(0.9, {}, 0.002, 16, true);
  EXPECT_EQ(wide.helpers, 16u);
  EXPECT_FALSE(wide.inodeOrder);
}

TEST(ReadPace, ARotationalDiskWhoseReadsWaitLessThanAHeadSeeksIsReadAsAny) {
  const auto seeks = [](auto blocked) {
    SeekCheck check;
    for (int listing = 0; listing < 40; ++listing) check.Add(blocked(listing));
    return check.Seeks();
  };
  // Listings answered from the page cache say nothing of the head.
  EXPECT_FALSE(seeks([](int) { return 0.00001; }).has_value());
  // A virtual disk: 0.15 to 0.6 ms, a third of them from the cache.
  EXPECT_EQ(seeks([](int i) { return i % 3 == 0 ? 0.0 : 0.00015 + 0.00003 * (i % 16); }), false);
  // A disk head: 4 to 12 ms, a third answered from the drive's own cache.
  EXPECT_EQ(seeks([](int i) { return i % 3 == 0 ? 0.0003 : 0.004 + 0.0005 * (i % 16); }), true);
}

TEST(ReadPace, CountsTimeOffTheCpuAsBlockedButNotPreemption) {
  BlockedShare share;
  share.Add({0.001, 0.001, 0});
  EXPECT_FALSE(share.Known());  // one read says little
  for (int i = 0; i < 50; ++i) share.Add({0.001, 0.001, 0});
  EXPECT_TRUE(share.Known());
  // Off the CPU for 90% of the time, all of it waiting for a CPU.
  for (int i = 0; i < 100; ++i) share.Add({0.01, 0.001, 0.009});
  EXPECT_LT(share.Share(), 0.01);
  // Reads that were not timed in full tell nothing.
  for (int i = 0; i < 10; ++i) share.Add({0.001, -1, -1});
  EXPECT_LT(share.Share(), 0.01);

  for (int i = 0; i < 400; ++i) share.Add({0.001, 0.0001, 0});
  EXPECT_GT(share.Share(), 0.8);
  // Older reads fade: a walk that reaches the page cache is CPU work again.
  for (int i = 0; i < 1000; ++i) share.Add({0.001, 0.001, 0});
  EXPECT_LT(share.Share(), 0.1);
}

// The cost a ReadTimer finds in `ms` milliseconds of sleep or of a busy loop,
// and the share of it a BlockedShare takes for blocked.
std::pair<ReadCost, double> Timed(int ms, bool sleep) {
  const ReadTimer timer(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (sleep) std::this_thread::sleep_until(until);
  for (volatile std::uint64_t sink = 0; std::chrono::steady_clock::now() < until;) sink = sink + 1;
  const ReadCost cost = timer.Stop();
  BlockedShare share;
  share.Add(cost);
  return {cost, share.Share()};
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
