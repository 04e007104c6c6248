// The pace replayed from read costs as each platform's clock reports them: Linux's
// exact one, and Windows' GetThreadTimes, which moves in ticks of 15.6 ms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "walker/read_ahead/pace.h"

namespace {

using namespace tallyroot::platform::ahead;
using tallyroot::platform::ReadPace;

// Reads on one thread, their CPU time as the clock shows it: with a tick, it moves
// by whole ticks as the thread's running total passes them.
struct Replay {
  explicit Replay(double tick, bool remote = false, bool rotational = false, unsigned readers = 64)
      : tick(tick), pace(tick, readers) {
    pace.StartWalk(ReadPace::Measured, 1);
    pace.NoteDevice(1, rotational, remote);
  }

  // One read of `reads` entries, `wall` s with `cpu` s on the CPU; a folder read if `listing`.
  void Read(double wall, double cpu, std::size_t reads, bool listing) {
    const double before = Clock();
    trueCpu += cpu;
    const bool sampled = pace.Sampled();
    pace.NoteRead({wall, sampled ? Clock() - before : -1, sampled ? 0.0 : -1.0}, reads, listing);
  }
  // `count` reads, one in eight a folder read. Returns whether the walking thread was ever
  // let read; `waited`, whether the pace waited.
  bool Run(int count, double wall, double cpu, std::size_t reads = 64, bool* waited = nullptr) {
    bool walkerRead = false;
    for (int i = 0; i < count; ++i) {
      Read(wall, cpu, reads, i % 8 == 0);
      walkerRead = walkerRead || pace.Now().walkerReads;
      if (waited) *waited = *waited || pace.Now().waitsOnDevice;
    }
    return walkerRead;
  }
  // `count` reads of 64 entries at `perEntry` s each, blocked `share` of their time.
  const Pace& Blocked(double share, double perEntry = 0.002 / 64, int count = 400) {
    Run(count, perEntry * 64, perEntry * 64 * (1 - share));
    return pace.Now();
  }
  double Clock() const { return tick > 0 ? std::floor(trueCpu / tick) * tick : trueCpu; }

  double tick;
  PaceControl pace;
  double trueCpu = 0.0001;  // a thread's clock starts anywhere within a tick
};

class PaceReplay : public ::testing::TestWithParam<double> {};

INSTANTIATE_TEST_SUITE_P(Clocks, PaceReplay, ::testing::Values(0.0, 0.015625),
                         [](const auto& info) { return info.param > 0 ? "ticks" : "exact"; });

TEST_P(PaceReplay, AWarmTreeIsReadAsCpuWorkOnceItsCostIsKnownAndNeverBefore) {
  Replay replay(GetParam());
  // Trusted after 2 ms of plain CPU work on an exact clock, 16 ticks on a ticking one.
  const int before = static_cast<int>((GetParam() > 0 ? 16 * GetParam() : 0.002) / 0.0005) - 2;
  bool waited = false;
  EXPECT_FALSE(replay.Run(before, 0.0005, 0.0005, 64, &waited));
  EXPECT_TRUE(replay.Run(4000, 0.0005, 0.00048, 64, &waited));
  EXPECT_FALSE(waited);
  replay.pace.StartWalk(ReadPace::Measured, 1);
  replay.pace.NoteDevice(1, false, false);  // the next walk, on the same device, knows it
  EXPECT_TRUE(replay.pace.Now().walkerReads);
  replay.pace.NoteDevice(2, false, false);  // measured anew: its reads may wait
  EXPECT_FALSE(replay.pace.Now().walkerReads);
  EXPECT_TRUE(replay.Run(4000, 0.0005, 0.00048));
}

// A cold disk, shares answering in 5 ms or 2 s, and a share unread, whose reads may yet wait.
TEST_P(PaceReplay, WaitingReadsKeepTheirReadersUntilThePageCacheAnswers) {
  for (const auto& [remote, count, wall, cpu, reads, helpers] :
       {std::tuple(false, 2000, 0.0015, 0.0009, 64u, tuning::kDeviceReaders),
        {false, 200, 0.005, 0.00005, 1u, tuning::kMaxHelpers},
        {false, 200, 2.0, 0.00005, 1u, tuning::kMaxHelpers},
        {true, 0, 0.0, 0.0, 1u, tuning::kMaxHelpers}}) {
    Replay replay(GetParam(), remote);
    EXPECT_FALSE(replay.Run(count, wall, cpu, reads)) << wall;
    EXPECT_TRUE(replay.pace.Now().waitsOnDevice) << wall;
    EXPECT_EQ(replay.pace.Now().helpers, helpers) << wall;
    EXPECT_EQ(replay.Run(8000, 0.0005, 0.00049), !remote) << wall;
    EXPECT_FALSE(replay.pace.Now().waitsOnDevice) << wall;
  }
}

// More read at once, and in larger items, while reads wait; a chunk one step off is kept, or
// every wobble would wake every helper.
TEST_P(PaceReplay, ReadsThatWaitAreReadWideAndInSteadyItems) {
  const Pace cpu = Replay(GetParam()).Blocked(0.02);
  EXPECT_EQ(cpu, Pace{.walkerReads = true});
  EXPECT_GT(Replay(GetParam()).Blocked(0.97, 0.002).window, cpu.window);
  Replay late(GetParam());  // late in a cold walk, reads blocked a tenth of their time still wait
  late.Blocked(0.4);
  EXPECT_TRUE(late.Blocked(0.08, 0.002 / 64, 2000).waitsOnDevice);
  // and a hundredth while listings wait on the disk (told on an exact clock), until they do not
  const auto sizesFromMemory = [&](double listingBlocked, int count) {
    for (int i = 0; i < count; ++i)
      i % 8 ? late.Read(0.002, 0.002, 64, false) : late.Read(listingBlocked + 1e-4, 1e-4, 1, true);
    return late.pace.Now().waitsOnDevice;
  };
  EXPECT_EQ(sizesFromMemory(0.0002, 4000), GetParam() == 0);
  EXPECT_FALSE(sizesFromMemory(0.00001, 8000));
  Replay chunked(GetParam());
  const std::size_t settled = chunked.Blocked(0.9, 0.002 / 300, 1000).chunk;
  EXPECT_GE(settled, 128u);
  for (const double entries : {200.0, 450.0, 200.0, 450.0})
    EXPECT_EQ(chunked.Blocked(0.9, 0.002 / entries, 500).chunk, settled) << entries;
  EXPECT_LE(chunked.Blocked(0.9, 0.002 / 30, 1000).chunk, 32u);
  // A head that seeks matters only while reads wait; wine's one server: one read at a time.
  EXPECT_EQ(Replay(GetParam(), false, true).Blocked(0.05), cpu);
  EXPECT_EQ(Replay(GetParam(), false, false, 1).Blocked(0.97, 0.002).helpers, 1u);
}

// A share just mounted serves eight lookups of one folder at once 2.2 times slower each.
TEST(PaceReplayFreshShare, FoldersWhoseReadsRunInTurnAreToldFromThoseThatRunSideBySide) {
  PaceControl pace(0, 64);
  const auto read = [&](double seconds, unsigned crowd) {
    pace.NoteRead({seconds, 0.0001, 0}, 1, false, crowd);
  };
  // One walk each on the same device: what the first found must not decide the second.
  for (const bool inTurn : {true, false}) {
    pace.StartWalk(ReadPace::DeviceBound, 1);
    pace.NoteDevice(1, false, false);
    for (int i = 0; i < 20; ++i) {
      EXPECT_FALSE(i == 15 && pace.Now().spread);  // too few reads to tell
      read(0.017, 1);
      read(inTurn ? 0.038 : 0.016, 8);
      if (i >= 15) read(0.5, 2);  // two at once tell nothing
    }
    EXPECT_EQ(pace.Now().spread, inTurn);
  }
}

// A head waits 4 to 16 ms a listing, a virtual disk 0.15 to 0.6 ms; a third come from a cache.
TEST(PaceReplayRotational, TheSeekCheckDecidesTheReaders) {
  for (const bool seeks : {false, true}) {
    Replay replay(0, false, true);
    for (int i = 0; i < 100; ++i) {
      const double blocked =
          i % 3 == 0 ? (seeks ? 0.0003 : 0.0) : (seeks ? 0.004 : 0.00015) * (1 + (i % 16) / 5.0);
      replay.Read(blocked + 0.0001, 0.0001, 1, true);
    }
    EXPECT_TRUE(replay.pace.Now().waitsOnDevice);
    EXPECT_EQ(replay.pace.Now().inodeOrder, seeks);
    EXPECT_EQ(replay.pace.Now().helpers,
              seeks ? tuning::kRotationalReaders : tuning::kDeviceReaders);
  }
}

}  // namespace
