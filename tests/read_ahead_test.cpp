// Read-ahead beneath the walker changes nothing a caller can see: the same
// entries, values and order, the same callbacks, with folders skipped the
// way the size analysis skips cached ones, under tiny memory bounds, when
// stopped, and where mounts make cycles. Helpers end with the walk.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_tree.h"
#include "tests/support/slow_mount.h"
#include "walker/find_files.h"

namespace {

using namespace FindFilesModule;
using tallyroot::platform::GetReadAhead;
using tallyroot::platform::ReadAheadSettings;
using tallyroot::platform::SetReadAhead;
using tallyroot::testing::FixtureTree;
using tallyroot::testing::SlowMount;

// What a walk showed its caller: an order-sensitive hash of every published
// (FolderPath, Name, folder bit, Size) and the number of each callback.
struct Trace {
  std::uint64_t hash = 1469598103934665603u;
  int entries = 0;
  int dones = 0;
  bool operator==(const Trace&) const = default;
};
void PrintTo(const Trace& trace, std::ostream* out) {
  *out << trace.entries << " entries, " << trace.dones << " done, hash " << trace.hash;
}

Trace gTrace;
int gSkipEvery = 0;  // 0: enter every folder; n: pass over every n-th folder met
int gFoldersMet = 0;
int gStopAfter = -1;   // set AbortScan at this entry
std::string gInstead;  // walk this folder instead of each folder met
bool gAbort = false;

void Mix(std::string_view text) {
  for (unsigned char c : text) gTrace.hash = (gTrace.hash ^ c) * 1099511628211u;
  gTrace.hash = (gTrace.hash ^ 0xff) * 1099511628211u;
}

void Record() {
  const bool folder = (FoundEntry.Attributes & kFolderAttribute) != 0;
  Mix(FoundEntry.FolderPath);
  Mix(FoundEntry.Name);
  Mix(folder ? "d" : "f");
  Mix(std::to_string(FoundEntry.Size));
  if (++gTrace.entries == gStopAfter) gAbort = true;
}

// As the size analysis measures: a walk per folder met, started from the
// callback, unless the folder's total is "cached" (every n-th one).
void AnalysisEntry() {
  Record();
  if (gAbort || !(FoundEntry.Attributes & kFolderAttribute)) return;
  if (gSkipEvery > 0 && ++gFoldersMet % gSkipEvery == 0) return;
  FindFiles(
      AnalysisEntry, [] { ++gTrace.dones; }, gInstead.empty() ? FoundEntry.FullPath : gInstead,
      AllHere, gAbort);
}

Trace Walk(const std::string& root, bool analysis, int skipEvery = 0) {
  gTrace = {};
  gSkipEvery = skipEvery;
  gFoldersMet = 0;
  if (analysis) {
    FindFiles(
        AnalysisEntry, [] { ++gTrace.dones; }, root, AllHere, gAbort);
  } else {
    FindFiles(
        Record, [] { ++gTrace.dones; }, root, AllDeep, gAbort);
  }
  return gTrace;
}

// Sets read-ahead for one scope and puts back what was there.
class ReadAhead {
 public:
  explicit ReadAhead(bool on, unsigned helpers = 2, std::size_t maxBytes = std::size_t{32} << 20)
      : saved_(GetReadAhead()) {
    SetReadAhead({on, helpers, maxBytes});
  }
  ~ReadAhead() { SetReadAhead(saved_); }

 private:
  ReadAheadSettings saved_;
};

// The walk as it goes without read-ahead, to hold the walk with it against.
Trace Plain(const std::string& root, bool analysis, int skipEvery = 0) {
  ReadAhead off(false);
  return Walk(root, analysis, skipEvery);
}

// A few levels of about `folderCount` folders with files, dot folders, links
// and empty folders, and one folder of `wide` files, with the default large
// enough that its sizes are read in several chunks and its listing in
// several getdents calls.
void Build(FixtureTree& tree, std::size_t folderCount = 120, int wide = 1500) {
  std::uint64_t state = 7;
  const auto next = [&](std::uint64_t below) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % below;
  };
  std::vector<std::string> folders = {""};
  for (std::size_t at = 0; at < folders.size() && folders.size() < folderCount; ++at) {
    const std::string folder = folders[at];
    for (int i = 0, n = static_cast<int>(next(4)) + 1; i < n; ++i)
      folders.push_back(folder + "d" + std::to_string(folders.size()) + "/");
  }
  for (std::size_t at = 0; at < folders.size(); ++at) {
    tree.Folder(folders[at]);
    for (int i = 0, n = static_cast<int>(next(7)); i < n; ++i) {
      tree.File(folders[at] + "f" + std::to_string(i), next(1u << 20) << (i == 3 ? 14 : 0));
    }
    if (at % 9 == 0) tree.File(folders[at] + ".hidden/x", 5);
    if (at % 11 == 0) tree.Link(folders[at] + "up", "..");
  }
  for (int i = 0; i < wide; ++i)
    tree.File("d1/wide/" + std::string(40, 'w') + std::to_string(i), i);
  tree.Folder("d1/wide/inner/deeper");
}

TEST(ReadAhead, WalksTheSameWithSkipsAndTinyBoundsAsWithout) {
  FixtureTree tree;
  Build(tree);
  for (const bool analysis : {false, true}) {
    for (const int skip : {0, 2, 3, 10}) {
      if (!analysis && skip > 0) continue;
      SCOPED_TRACE((analysis ? "analysis, skip every " : "walker's own descent, skip every ") +
                   std::to_string(skip));
      const Trace plain = Plain(tree.Root(), analysis, skip);
      ASSERT_GT(plain.entries, skip == 0 ? 1600 : 100);
      for (const ReadAheadSettings& settings :
           {ReadAheadSettings{true, 1, 32u << 20}, ReadAheadSettings{true, 3, 32u << 20},
            ReadAheadSettings{true, 2, 0}, ReadAheadSettings{true, 2, 20000}}) {
        SCOPED_TRACE(std::to_string(settings.helpers) + " helpers, at most " +
                     std::to_string(settings.maxBytesAhead) + " bytes");
        ReadAhead on(settings.on, settings.helpers, settings.maxBytesAhead);
        EXPECT_EQ(Walk(tree.Root(), analysis, skip), plain);
      }
    }
  }
}

// Where every read waits on the device and helpers finish out of order, the
// walk still publishes the same entries in the same order.
TEST(ReadAhead, WalksTheSameOverSlowStorage) {
  FixtureTree tree;
  Build(tree, 20, 300);
  const SlowMount slow(tree.Root(), 1.0);
  if (!slow.Skipped().empty()) GTEST_SKIP() << slow.Skipped();
  for (const bool analysis : {false, true}) {
    SCOPED_TRACE(analysis ? "analysis" : "walker's own descent");
    const Trace plain = Plain(slow.Root(), analysis);
    ASSERT_GT(plain.entries, 300);
    ReadAhead on(true, 8);
    EXPECT_EQ(Walk(slow.Root(), analysis), plain);
  }
}

// This process's threads once those that have been joined are gone, which
// the kernel may show a moment after the join; at most a second later.
std::size_t Threads(std::size_t expected) {
  std::size_t count = 0;
  for (int tries = 0; tries < 100; ++tries) {
    count = static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
    if (count <= expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return count;
}

TEST(ReadAhead, StopsWhereTheWalkStopsAndLeavesNoHelperBehind) {
  FixtureTree tree;
  Build(tree);
  const std::size_t threadsBefore = Threads(1);
  for (const int stopAt : {1, 40, 700, 1555}) {
    SCOPED_TRACE("stop at entry " + std::to_string(stopAt));
    gStopAfter = stopAt;
    const Trace plain = Plain(tree.Root(), true);
    ReadAhead on(true, 3);
    EXPECT_EQ(Walk(tree.Root(), true), plain);
    EXPECT_TRUE(gAbort);
    EXPECT_EQ(gTrace.dones, plain.dones);
    EXPECT_EQ(Threads(threadsBefore), threadsBefore);
  }
  gStopAfter = -1;
}

TEST(ReadAhead, ACallbackThatWalksAnotherChildGetsThatChild) {
  FixtureTree tree;
  Build(tree);
  tree.Folder("d0/only-here");
  gInstead = tree.Path("d0");  // a sibling of the folders met at the top
  gStopAfter = 300;
  const Trace plain = Plain(tree.Root(), true);
  ReadAhead on(true);
  EXPECT_EQ(Walk(tree.Root(), true), plain);
  gInstead.clear();
  gStopAfter = -1;
}

TEST(ReadAhead, AnotherThreadWalksAsWithoutWhileOneWalksWithIt) {
  FixtureTree tree;
  Build(tree);
  static std::string root;
  static Trace other;
  root = tree.Root();
  ReadAhead on(true);
  const Trace alone = Walk(root, false);
  bool abort = false;
  FindFiles(
      [] {
        if (other.entries == 0) std::thread([] { other = Walk(root, false); }).join();
      },
      nullptr, root, AllDeep, abort);
  EXPECT_EQ(other, alone);
}

// Bind mounts of an ancestor (cycles) and a proc mount, in a child process
// with its own mounts: read-ahead must end the same walks the same way.
TEST(ReadAhead, EndsMountCyclesAndSkipsKernelFileSystemsAsWithout) {
  FixtureTree tree;
  Build(tree);
  for (const char* folder : {"d1/loop", "d1/wide/inner/up", "d2/proc"}) tree.Folder(folder);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    const bool mounted =
        unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(tree.Root().c_str(), tree.Path("d1/loop").c_str(), nullptr, MS_BIND, nullptr) == 0 &&
        mount(tree.Path("d1").c_str(), tree.Path("d1/wide/inner/up").c_str(), nullptr, MS_BIND,
              nullptr) == 0 &&
        mount("proc", tree.Path("d2/proc").c_str(), "proc", 0, nullptr) == 0;
    if (!mounted) _exit(77);
    bool same = true;
    for (const bool analysis : {false, true}) {
      const Trace plain = Plain(tree.Root(), analysis);
      ReadAhead on(true);
      same = same && Walk(tree.Root(), analysis) == plain && plain.entries > 1600;
    }
    _exit(same ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "a walk did not end";
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "may not mount here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
