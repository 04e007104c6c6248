// Read-ahead beneath the walker changes nothing a caller can see, and holds nothing afterwards.
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
#include "walker/typed_path.h"

#if !defined(_WIN32)
#include "tests/support/slow_mount.h"
#endif

namespace {

using namespace FindFilesModule;
using namespace tallyroot::testing;
using Settings = tallyroot::platform::ReadAheadSettings;
using tallyroot::platform::ReadPace;
using Clock = std::chrono::steady_clock;

WalkTrace Plain(const std::string& root, const WalkWay& way) {
  ScopedReadAhead off(false);
  return TraceWalk(root, way);
}

// One folder of `wide` files takes several chunks and getdents calls.
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

#if defined(_WIN32)
std::size_t Count(const char*, std::size_t) { return 0; }  // no /proc to count in
#else
// Helpers let go of a stopped walk's work a moment after it: wait up to a second.
std::size_t Count(const char* what, std::size_t expected) {
  std::size_t count = 0;
  for (int tries = 0; tries < 100; ++tries) {
    count = 0;
    // A helper's own scheduler statistics stay open as long as it lives.
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string("/proc/self/") + what)) {
      std::error_code error;
      count += !std::filesystem::read_symlink(entry.path(), error).string().ends_with("/schedstat");
    }
    if (count <= expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return count;
}
#endif

// Stopped walks hold nothing after; a walk of d0 from each folder met gets d0.
TEST(ReadAhead, WalksTheSameWithSkipsStopsAndTinyBoundsAsWithout) {
  FixtureTree tree;
  Build(tree);
  tree.Folder("d0/only-here");
  const WalkTrace firstPlain = Plain(tree.Root(), {});
  ASSERT_GT(firstPlain.entries, 1600u);
  std::vector<WalkWay> ways = {{}, {.nested = true, .stopAt = 300, .instead = tree.Path("d0")}};
  for (const unsigned skip : {0u, 2u, 3u, 10u}) ways.push_back({.nested = true, .skipEvery = skip});
  for (const unsigned at : {1u, 40u, 700u, 1555u}) ways.push_back({.nested = true, .stopAt = at});
  const std::size_t descriptors = Count("fd", SIZE_MAX);
  std::size_t threads = SIZE_MAX;
  for (const WalkWay& way : ways) {
    const WalkTrace plain = Plain(tree.Root(), way);
    for (const Settings& settings :
         {Settings{true, 1}, Settings{true, 3}, Settings{true, 2, 0}, Settings{true, 2, 20000},
          Settings{true, 1, std::size_t{32} << 20, ReadPace::DeviceBound},
          Settings{true, 1, 20000, ReadPace::DeviceBound}}) {
      ScopedReadAhead on(settings);
      EXPECT_EQ(TraceWalk(tree.Root(), way), plain)
          << "way " << &way - &ways[0] << ", " << settings.helpers << " helpers, bound "
          << settings.maxBytesAhead << ", pace " << int(settings.pace);
    }
    EXPECT_EQ(Count("fd", descriptors), descriptors) << "way " << &way - &ways[0];
    if (threads == SIZE_MAX) threads = Count("task", SIZE_MAX);
    EXPECT_EQ(Count("task", threads), threads) << "way " << &way - &ways[0];
  }
  // The same because read-ahead served the walk, not stood aside; another thread walks meanwhile.
  static std::string root;
  static WalkTrace other;
  static std::size_t held;
  root = tree.Root(), held = 0;
  ScopedReadAhead on(Settings{true, 2});
  bool abort = false;
  FindFiles(
      [] {
        held = std::max(held, tallyroot::platform::ahead::BytesHeld());
        if (other.entries == 0) std::thread([] { other = TraceWalk(root); }).join();
      },
      nullptr, root, AllDeep, abort);
  EXPECT_GT(held, 0u);
  EXPECT_EQ(other, firstPlain);
}

Clock::time_point last;
Clock::duration longest;
void TimeWait() { longest = std::max(longest, Clock::now() - std::exchange(last, Clock::now())); }

// The window's thread never waits on the share (on Windows a mount that scripts/windows.sh makes).
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
  static Clock::time_point begun;
  static bool abort;
  static int calls;
  begun = last = Clock::now(), longest = {}, abort = false, calls = 0;
  SetWaitHook([] {
    TimeWait(), ++calls;
    // The outermost folder alone takes seconds: stop once reads are seen to wait.
    abort = abort || last - begun > std::chrono::seconds(20) ||
            (last - begun > std::chrono::seconds(1) && tallyroot::platform::ReadsWaitOnDevice());
  });
#if defined(_WIN32)
  // Before the walk, the typed path's letter case is asked of the share as well.
  const bool keepAsking = false;
  EXPECT_EQ(tallyroot::platform::TypedFolderPath(root, keepAsking), root + "\\");
  begun = Clock::now(), abort = false;
#endif
  ScopedReadAhead on(true);
  FindFiles([] {}, nullptr, root, AllDeep, abort);
  SetWaitHook(nullptr);
  EXPECT_GT(calls, 100);
  TimeWait();
  EXPECT_TRUE(abort);
  EXPECT_LT(last - begun, std::chrono::seconds(20));
  EXPECT_LT(longest, std::chrono::milliseconds(50));
}

#if !defined(_WIN32)

// Helpers finish out of order, and a fresh mount serves a folder's first lookups in turn.
TEST(ReadAhead, WalksTheSameOnAShareJustMounted) {
  FixtureTree fresh;
  for (int at = 0; at < 800; ++at)
    fresh.File("d" + std::to_string(at / 20 % 8) + "/e" + std::to_string(at / 20) + "/f" +
                   std::to_string(at % 20),
               at % 20);
  SlowMount justMounted(fresh.Root(), 2.0);
  if (!justMounted.Skipped().empty()) GTEST_SKIP() << justMounted.Skipped();
  for (const bool nested : {false, true}) {
    const WalkTrace freshPlain = Plain(justMounted.Root(), {.nested = nested});
    ASSERT_GT(freshPlain.entries, 800u);
    justMounted.Remount();
    ScopedReadAhead on(true);
    last = Clock::now(), longest = {};
    SetWaitHook(TimeWait);
    EXPECT_EQ(TraceWalk(justMounted.Root(), {.nested = nested}), freshPlain) << "nested " << nested;
    TimeWait();
    SetWaitHook(nullptr);
#if !defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer the walking thread's own work went 50 to 120 ms without a wait.
    EXPECT_LT(longest, std::chrono::milliseconds(50));
#endif
    justMounted.Remount();
  }
}

#endif

}  // namespace
