// Every request takes a second (a failing share): a stopped walk returns at once, and the
// program ends waiting only for each helper's one request in the kernel. A program of its
// own: a fork amid earlier tests' helper reads would make LeakSanitizer report their memory.
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
    static const Clock::time_point begun = Clock::now();
    static bool abort = false;
    SetWaitHook([] { abort = abort || Clock::now() - begun > std::chrono::milliseconds(100); });
    ScopedReadAhead on({true, 1, std::size_t{32} << 20});
    FindFiles([] {}, nullptr, slow.Root(), AllHere, abort);
    // As a program ends, static destructors included.
    std::exit(abort && Clock::now() - begun < std::chrono::milliseconds(400) ? 0 : 1);
    return std::string();
  });
  EXPECT_EQ(report, "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
