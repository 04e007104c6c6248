// A mount whose every request takes a second (a failing share): a walk
// stopped from its wait hook 100 ms in returns at once, and the program ends
// waiting only for the one request each helper has in the kernel.
//
// A program of its own, so that no earlier test's helpers are in a read when
// it forks: the child has none of their threads, and LeakSanitizer there
// takes what they hold for leaked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/slow_mount.h"
#include "walker/find_files.h"

namespace {

using namespace FindFilesModule;
using namespace tallyroot::testing;
using Clock = std::chrono::steady_clock;

TEST(ReadAheadExit, AStoppedWalkAndTheProgramEndWithoutWaitingForBlockedReads) {
  FixtureTree tree;
  for (int i = 0; i < 20; ++i)
    tree.File("d" + std::to_string(i % 10) + "/f" + std::to_string(i), i);
  const SlowMount slow(tree.Root(), 1000);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  const Clock::time_point start = Clock::now();
  const std::string report = RunInChild({.seconds = 30}, [&] {
    static Clock::time_point begun;
    static bool abort = false;
    begun = Clock::now();
    SetWaitHook([] { abort = abort || Clock::now() - begun > std::chrono::milliseconds(100); });
    ScopedReadAhead on({true, 1, std::size_t{32} << 20});
    FindFiles([] {}, nullptr, slow.Root(), AllHere, abort);
    const bool atOnce = Clock::now() - begun < std::chrono::milliseconds(400);
    std::exit(abort && atOnce ? 0 : 1);  // as a program ends, static destructors included
    return std::string();
  });
  EXPECT_EQ(report, "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
