// The pace controller replayed from read costs as each platform reports them:
// Linux's exact thread clock, and Windows' GetThreadTimes, which counts CPU
// time in ticks of 15.6 ms, so that a single read costs 0 or a whole tick.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "walker/read_ahead/pace.h"

namespace {

using namespace tallyroot::platform::ahead;
using tallyroot::platform::ReadPace;

constexpr double kWindowsTick = 0.015625;

// Feeds a PaceControl reads on one thread, turning their true CPU time into
// what the platform's clock shows: with a tick, the clock moves by whole
// ticks as the thread's running total passes them.
class Replay {
 public:
  explicit Replay(double tick, std::uint64_t device = 1, bool remote = false)
      : tick_(tick), pace_(tick, 64) {
    pace_.StartWalk(ReadPace::Measured, 1);
    pace_.NoteDevice(device, false, remote);
  }

  // `count` reads of `reads` entries each, each taking `wall` seconds of
  // which `cpu` on the CPU. Returns whether the walking thread was ever let
  // read, and, in `waited`, whether the pace ever waited on the device.
  bool Run(int count, double wall, double cpu, std::size_t reads = 64, bool* waited = nullptr) {
    bool walkerRead = false;
    for (int i = 0; i < count; ++i) {
      const double before = Clock();
      trueCpu_ += cpu;
      const bool sampled = pace_.Sampled();
      const ReadCost cost{wall, sampled ? Clock() - before : -1, sampled ? 0.0 : -1.0};
      pace_.NoteRead(cost, reads, i % 8 == 0);
      walkerRead = walkerRead || pace_.Now().walkerReads;
      if (waited) *waited = *waited || pace_.Now().waitsOnDevice;
    }
    return walkerRead;
  }

  PaceControl& Control() { return pace_; }
  const Pace& Now() const { return pace_.Now(); }

 private:
  double Clock() const { return tick_ > 0 ? std::floor(trueCpu_ / tick_) * tick_ : trueCpu_; }

  double tick_;
  PaceControl pace_;
  double trueCpu_ = 0.0001;  // a thread's clock starts anywhere within a tick
};

struct Platform {
  std::string name;
  double tick;
};

class PaceReplay : public ::testing::TestWithParam<Platform> {};

INSTANTIATE_TEST_SUITE_P(Clocks, PaceReplay,
                         ::testing::Values(Platform{"exact", 0}, Platform{"ticks", kWindowsTick}),
                         [](const auto& info) { return info.param.name; });

// A warm tree: sizes from the page cache, 96% of each read on the CPU.
TEST_P(PaceReplay, AWarmTreeIsReadAsCpuWorkOnceItsCostIsKnownAndNeverBefore) {
  Replay replay(GetParam().tick);
  // Before the share is known nobody may let the window's thread read: 2 ms
  // of reads plainly CPU work on an exact clock, 16 ticks on a ticking one.
  const double trustAfter = GetParam().tick > 0 ? 16 * GetParam().tick : 0.002;
  const int before = static_cast<int>(trustAfter / 0.0005) - 2;
  EXPECT_FALSE(replay.Run(before, 0.0005, 0.00048));
  bool waited = false;
  EXPECT_TRUE(replay.Run(4000, 0.0005, 0.00048, 64, &waited));
  EXPECT_FALSE(waited);
  EXPECT_EQ(replay.Now().helpers, 1u);
  EXPECT_TRUE(replay.Now().walkerReads);
}

// A share that answers each request after 5 ms, and one after 2 s: reads
// that hardly touch the CPU. Both leave CPU-bound reading for all the
// readers there are, and the window's thread never reads on them.
TEST_P(PaceReplay, ASlowShareIsReadByHelpersOnly) {
  for (const double wall : {0.005, 2.0}) {
    Replay replay(GetParam().tick);
    bool waited = false;
    EXPECT_FALSE(replay.Run(200, wall, 0.00005, 1, &waited)) << wall;
    EXPECT_TRUE(waited) << wall;
    EXPECT_TRUE(replay.Now().waitsOnDevice) << wall;
    EXPECT_EQ(replay.Now().helpers, tuning::kMaxHelpers) << wall;
  }
}

// A cold local disk, a third of its read time blocked: waits on the device
// on either clock, and goes back to CPU work once the page cache answers.
TEST_P(PaceReplay, AColdDiskWaitsUntilThePageCacheAnswers) {
  Replay replay(GetParam().tick);
  bool waited = false;
  replay.Run(2000, 0.0015, 0.0009, 64, &waited);
  EXPECT_TRUE(waited);
  EXPECT_TRUE(replay.Now().waitsOnDevice);
  EXPECT_EQ(replay.Now().helpers, tuning::kDeviceReaders);
  EXPECT_TRUE(replay.Run(8000, 0.0005, 0.00049));
  EXPECT_FALSE(replay.Now().waitsOnDevice);
}

TEST_P(PaceReplay, AShareStartsAsADeviceThatWaitsAndItsReadsStayOffTheWindowsThread) {
  Replay replay(GetParam().tick, 7, true);
  EXPECT_TRUE(replay.Now().waitsOnDevice);  // before any read
  EXPECT_FALSE(replay.Now().walkerReads);
  // Answered from the client's cache, its reads are CPU work, but any of them
  // may wait for seconds: the window's thread still reads none.
  EXPECT_FALSE(replay.Run(8000, 0.0005, 0.00049));
  EXPECT_FALSE(replay.Now().waitsOnDevice);
}

TEST_P(PaceReplay, AnotherDeviceIsMeasuredAnew) {
  Replay replay(GetParam().tick, 1);
  EXPECT_TRUE(replay.Run(4000, 0.0005, 0.00048));
  replay.Control().NoteDevice(2, false, false);
  EXPECT_FALSE(replay.Now().walkerReads);  // its reads may wait: helpers first
  replay.Control().NoteDevice(2, false, false);
  EXPECT_FALSE(replay.Now().walkerReads);
  EXPECT_TRUE(replay.Run(4000, 0.0005, 0.00048));
}

// A share just mounted serves the first lookups in a folder largely in
// turn: eight reads of one folder at once each took 2.2 times as long as a
// read alone. A warm mount or a local disk serves them side by side.
TEST(FolderSpreadTest, FoldersWhoseReadsRunInTurnAreToldFromThoseThatRunSideBySide) {
  for (const bool inTurn : {true, false}) {
    FolderSpread spread;
    for (int i = 0; i < 15; ++i) {
      spread.Add(0.017, 1, 1);
      spread.Add(inTurn ? 0.038 : 0.016, 1, 8);
    }
    EXPECT_FALSE(spread.InTurn());  // too few reads to tell
    for (int i = 0; i < 5; ++i) {
      spread.Add(0.017, 1, 1);
      spread.Add(inTurn ? 0.038 : 0.016, 1, 8);
      spread.Add(0.5, 1, 2);  // two at once tell nothing
    }
    EXPECT_EQ(spread.InTurn(), inTurn);
  }
}

// A disk that calls itself rotational: a real head waits 4 to 12 ms for a
// listing and keeps two readers in inode order; a virtual disk's listings
// wait 0.15 to 0.6 ms, and it is read as any disk once 16 have waited. A
// third of the listings come from a cache either way and decide nothing.
TEST(PaceReplayRotational, TheSeekCheckDecidesTheReaders) {
  for (const bool seeks : {false, true}) {
    PaceControl pace(0, 64);
    pace.StartWalk(ReadPace::Measured, 1);
    pace.NoteDevice(3, true, false);
    for (int i = 0; i < 100; ++i) {
      const double blocked = i % 3 == 0 ? (seeks ? 0.0003 : 0.0)
                             : seeks    ? 0.004 + 0.0005 * (i % 16)
                                        : 0.00015 + 0.00003 * (i % 16);
      pace.NoteRead({blocked + 0.0001, 0.0001, 0}, 1, true);
    }
    EXPECT_TRUE(pace.Now().waitsOnDevice);
    EXPECT_EQ(pace.Now().inodeOrder, seeks);
    EXPECT_EQ(pace.Now().helpers, seeks ? tuning::kRotationalReaders : tuning::kDeviceReaders);
  }
}

}  // namespace
