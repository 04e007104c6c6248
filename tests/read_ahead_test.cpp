// Read-ahead beneath the walker changes nothing a caller can see: the same
// entries, values and order, the same callbacks, with folders skipped the
// way the size analysis skips cached ones, under tiny memory bounds and when
// stopped (mount cycles: hostile_tree_test). Helpers hold nothing afterwards.
// On Windows the walks over fixture trees, without links, slow mounts or
// /proc.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/walk_trace.h"
#include "walker/read_ahead/node.h"

#if !defined(_WIN32)
#include "tests/support/slow_mount.h"
#endif

namespace {

using namespace FindFilesModule;
using namespace tallyroot::testing;
using tallyroot::platform::ReadAheadSettings;
using tallyroot::platform::ReadPace;

// The walk as it goes without read-ahead, to hold the walk with it against.
WalkTrace Plain(const std::string& root, const WalkWay& way) {
  ScopedReadAhead off(false);
  return TraceWalk(root, way);
}

using Clock = std::chrono::steady_clock;

ReadAheadSettings On(unsigned helpers = 2) { return {true, helpers, std::size_t{32} << 20}; }

// About `folderCount` folders with files, dot folders, links (not on Windows,
// where a link needs a privilege) and empty ones,
// and one of `wide` files, by default read in several chunks and getdents calls.
void Build(FixtureTree& tree, std::size_t folderCount = 120, int wide = 1500) {
  std::mt19937 next(7);
  std::vector<std::string> folders = {""};
  for (std::size_t at = 0; at < folders.size(); ++at) {
    const std::string folder = folders[at];
    for (int i = 0, n = next() % 4 + 1; i < n && folders.size() < folderCount; ++i)
      folders.push_back(folder + "d" + std::to_string(folders.size()) + "/");
    tree.Folder(folder);
    for (int i = 0, n = next() % 7; i < n; ++i)
      tree.File(folder + "f" + std::to_string(i), (next() % (1u << 20)) << (i == 3 ? 14 : 0));
    if (at % 9 == 0) tree.File(folder + ".hidden/x", 5);
#if !defined(_WIN32)
    if (at % 11 == 0) tree.Link(folder + "up", "..");
#endif
  }
  for (int i = 0; i < wide; ++i)
    tree.File("d1/wide/" + std::string(40, 'w') + std::to_string(i), i);
  tree.Folder("d1/wide/inner/deeper");
}

TEST(ReadAhead, WalksTheSameWithSkipsAndTinyBoundsAsWithout) {
  FixtureTree tree;
  Build(tree);
  for (const bool nested : {false, true}) {
    for (const unsigned skip : {0u, 2u, 3u, 10u}) {
      if (!nested && skip > 0) continue;
      SCOPED_TRACE((nested ? "analysis, skip every " : "walker's own descent, skip every ") +
                   std::to_string(skip));
      const WalkWay way{.nested = nested, .skipEvery = skip};
      const WalkTrace plain = Plain(tree.Root(), way);
      ASSERT_GT(plain.entries, skip == 0 ? 1600u : 100u);
      for (const ReadAheadSettings& settings :
           {On(1), On(3), ReadAheadSettings{true, 2, 0}, ReadAheadSettings{true, 2, 20000},
            ReadAheadSettings{true, 1, std::size_t{32} << 20, ReadPace::DeviceBound},
            ReadAheadSettings{true, 1, 20000, ReadPace::DeviceBound}}) {
        SCOPED_TRACE(std::to_string(settings.helpers) + " helpers, at most " +
                     std::to_string(settings.maxBytesAhead) + " bytes" +
                     (settings.pace == ReadPace::DeviceBound ? ", paced for a slow device" : ""));
        ScopedReadAhead on(settings);
        EXPECT_EQ(TraceWalk(tree.Root(), way), plain);
      }
    }
  }
}

// The walks are the same because read-ahead served them, not because it
// stood aside: while a walk is open, the listings it holds are its own.
TEST(ReadAhead, HoldsTheListingsOfTheWalk) {
  FixtureTree tree;
  Build(tree, 10, 20);
  static std::size_t held;
  held = 0;
  ScopedReadAhead on(On());
  bool abort = false;
  FindFiles([] { held = std::max(held, tallyroot::platform::ahead::BytesHeld()); }, nullptr,
            tree.Root(), AllDeep, abort);
  EXPECT_GT(held, 0u);
}

// A callback that walks another child than the one met (d0) gets that child;
// another thread walks as without read-ahead while one walks with it.
TEST(ReadAhead, WalksStartedElsewhereGetWhatTheyAskFor) {
  FixtureTree tree;
  Build(tree);
  tree.Folder("d0/only-here");
  const WalkWay way{.nested = true, .stopAt = 300, .instead = tree.Path("d0")};
  const WalkTrace plain = Plain(tree.Root(), way);
  ScopedReadAhead on(On());
  EXPECT_EQ(TraceWalk(tree.Root(), way), plain);
  static std::string root;
  static WalkTrace other;
  root = tree.Root();
  const WalkTrace alone = TraceWalk(root);
  bool abort = false;
  FindFiles(
      [] {
        if (other.entries == 0) std::thread([] { other = TraceWalk(root); }).join();
      },
      nullptr, root, AllDeep, abort);
  EXPECT_EQ(other, alone);
}

// A share that answers each request after half a second (seen from wine as a
// Linux mount under Z:, which scripts/windows.sh makes): from the walk's
// start on, the window's thread never waits on it, so the wait hook is
// called every few milliseconds, and a walk stopped from the hook returns
// at once. Its reads are found to wait on the device, from each platform's
// CPU clock (on Windows one that ticks every 15.6 ms).
TEST(ReadAhead, TheWaitHookKeepsBeingCalledOnAShareThatAnswersInSeconds) {
#if defined(_WIN32)
  const char* const share = std::getenv("TALLYROOT_SLOW_SHARE");
  if (!share) GTEST_SKIP() << "no slow share: scripts/windows.sh --test mounts one";
  const std::string root = share;
#else
  FixtureTree tree;
  Build(tree, 10, 20);
  const SlowMount slow(tree.Root(), 500);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  const std::string root = slow.Root();
#endif
  static Clock::time_point begun, last;
  static Clock::duration longest;
  static bool abort;
  static int calls;
  begun = last = Clock::now(), longest = {}, abort = false, calls = 0;
  SetWaitHook([] {
    const Clock::time_point now = Clock::now();
    longest = std::max(longest, now - last);
    last = now, ++calls;
    // Stopped once the reads are seen to wait (the outermost folder alone
    // takes seconds), or after 20 s.
    abort = abort || now - begun > std::chrono::seconds(20) ||
            (now - begun > std::chrono::seconds(1) && tallyroot::platform::ReadsWaitOnDevice());
  });
  ScopedReadAhead on(true);
  FindFiles([] {}, nullptr, root, AllDeep, abort);
  const Clock::duration afterLastCall = Clock::now() - last;
  SetWaitHook(nullptr);
  EXPECT_TRUE(abort);
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(20));
  EXPECT_GT(calls, 100);
  EXPECT_LT(longest, std::chrono::milliseconds(50));
  EXPECT_LT(afterLastCall, std::chrono::milliseconds(50));
}

#if !defined(_WIN32)

// Where every read waits on the device and helpers finish out of order (and
// the pace is measured, not forced), the walk is still the same.
TEST(ReadAhead, WalksTheSameOverSlowStorage) {
  FixtureTree tree;
  Build(tree, 20, 300);
  const SlowMount slow(tree.Root(), 1.0);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  for (const bool nested : {false, true}) {
    const WalkTrace plain = Plain(slow.Root(), {.nested = nested});
    ASSERT_GT(plain.entries, 300u);
    ScopedReadAhead on(On(8));
    EXPECT_EQ(TraceWalk(slow.Root(), {.nested = nested}), plain) << "nested: " << nested;
  }
}

// On a share just mounted the kernel serves a folder's first lookups largely
// in turn, and the reads in flight spread over folders; the walk is the same
// all the same, nested as the size analysis walks and by the walker's own
// descent, each on a mount the kernel knows nothing of. Its entries each wait
// a moment, and the wait hook is still called every few milliseconds.
TEST(ReadAhead, WalksTheSameOnAShareJustMounted) {
  FixtureTree tree;
  for (int folder = 0; folder < 40; ++folder) {
    const std::string path = "d" + std::to_string(folder % 8) + "/e" + std::to_string(folder) + "/";
    for (int file = 0; file < 20; ++file) tree.File(path + "f" + std::to_string(file), file);
  }
  SlowMount slow(tree.Root(), 2.0);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  for (const bool nested : {false, true}) {
    const WalkTrace plain = Plain(slow.Root(), {.nested = nested});
    ASSERT_GT(plain.entries, 800u);
    slow.Remount();
    ASSERT_EQ(slow.Skipped(), "");
    ScopedReadAhead on(true);
    static Clock::time_point last;
    static Clock::duration longest;
    last = Clock::now(), longest = {};
    SetWaitHook(
        [] { longest = std::max(longest, Clock::now() - std::exchange(last, Clock::now())); });
    EXPECT_EQ(TraceWalk(slow.Root(), {.nested = nested}), plain) << "nested: " << nested;
    SetWaitHook(nullptr);
#if !defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer the walking thread's own work between waits and
    // its takes of the lock, each slowed behind 64 instrumented helpers, went
    // on for 50 to 120 ms without a wait, and so without a call of the hook.
    EXPECT_LT(std::max(longest, Clock::now() - last), std::chrono::milliseconds(50));
#endif
    slow.Remount();
  }
}

// Entries in /proc/self/`what` once down to `expected`, waiting at most a
// second: helpers let go of a stopped walk's work a moment after it.
std::size_t Count(const char* what, std::size_t expected) {
  const std::string folder = std::string("/proc/self/") + what;
  std::size_t count = 0;
  for (int tries = 0; tries < 100; ++tries) {
    count = 0;
    // A helper's own scheduler statistics stay open as long as it lives.
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::error_code error;
      count += !std::filesystem::read_symlink(entry.path(), error).string().ends_with("/schedstat");
    }
    if (count <= expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return count;
}

// Stopped walks leave no descriptor open, and later walks reuse the helpers.
TEST(ReadAhead, StopsWhereTheWalkStopsAndHoldsNothingAfterwards) {
  FixtureTree tree;
  Build(tree);
  const std::size_t descriptorsBefore = Count("fd", SIZE_MAX);
  std::size_t threads = SIZE_MAX;
  for (const unsigned stopAt : {1u, 40u, 700u, 1555u}) {
    SCOPED_TRACE("stop at entry " + std::to_string(stopAt));
    const WalkWay way{.nested = true, .stopAt = stopAt};
    const WalkTrace plain = Plain(tree.Root(), way);
    ScopedReadAhead on(On(3));
    EXPECT_EQ(TraceWalk(tree.Root(), way), plain);
    EXPECT_TRUE(plain.stopped);
    EXPECT_EQ(Count("fd", descriptorsBefore), descriptorsBefore);
    if (threads == SIZE_MAX) threads = Count("task", SIZE_MAX);
    EXPECT_EQ(Count("task", threads), threads);
  }
}

#endif

}  // namespace
