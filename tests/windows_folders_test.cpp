// The Windows listing over real folders under wine, each case with read-ahead off and on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "analysis/folder_cache.h"
#include "analysis/tallyroot_module.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/window_driver.h"
#include "walker/find_files.h"
#include "walker/typed_path.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot {
namespace {

using namespace FindFilesModule;
using namespace TallyrootModule;
using namespace testing;
using namespace platform::windows;
using Entries = std::vector<std::string>;

bool gAbort = false;

class WindowsListing : public ::testing::TestWithParam<bool> {
  const ScopedReadAhead readAhead_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(ReadAhead, WindowsListing, ::testing::Bool(),
                         ::testing::PrintToStringParamName());

// "path size" of each entry reported; WalkEnd then tells how the walk ended.
Entries Walk(const std::string& folder, WalkMode mode) {
  static Entries seen;
  seen.clear();
  FindFiles([] { seen.push_back(FoundEntry.FullPath + " " + std::to_string(FoundEntry.Size)); },
            nullptr, folder, mode, gAbort);
  return seen;
}

// Per folder: one search, one identity read, N + 2 steps; a refused fast form only once a volume.
TEST_P(WindowsListing, OneSearchPerFolderAndNoCallPerFileInEitherSearchForm) {
  FixtureTree tree;
  constexpr std::uint64_t kFiles = 300;
  for (std::uint64_t i = 0; i < kFiles; ++i) tree.File("f" + std::to_string(i), i);
  tree.File("sub/inner/x", 1);
  const CallCounts before = CountedCalls();
  EXPECT_EQ(Walk(tree.Root(), FilesDeep).size(), kFiles + 1);
  const CallCounts deep = CountedCalls();
  EXPECT_EQ(deep.findFirst - before.findFirst, 3u);
  EXPECT_LE(deep.findNext - before.findNext, kFiles + 9);
  EXPECT_EQ(deep.identities - before.identities,
            static_cast<std::uint64_t>(std::ranges::count(tree.Root(), '\\')) + 3);
  EXPECT_EQ(deep.other - before.other, 0u);

  static std::atomic<int> fast{0}, plain{0};
  SetSearchOpener([](const wchar_t* pattern, FINDEX_INFO_LEVELS level, WIN32_FIND_DATAW* data,
                     DWORD flags) -> HANDLE {
    if (level == FindExInfoBasic || flags != 0)
      return ++fast, SetLastError(ERROR_INVALID_LEVEL), INVALID_HANDLE_VALUE;
    return ++plain, FindFirstFileExW(pattern, level, data, FindExSearchNameMatch, nullptr, flags);
  });
  fast = plain = 0;
  EXPECT_EQ(Walk(tree.Root(), FilesDeep).size(), kFiles + 1);
  EXPECT_EQ(std::pair(fast.load(), plain.load()), std::pair(1, 3));
  SetSearchOpener(nullptr);
}

// Long, non-UTF-16, or ending in a dot or space (Windows' path rules would drop it, "foo." read
// as "foo"): every name is listed as WTF-8 and its own folder entered, from its parent and by its
// own path. Typed quoted, with "/" or in another case, a path finds the same folders and totals.
TEST_P(WindowsListing, EveryNameIsListedAndItsOwnFolderEnteredHoweverThePathIsTyped) {
  FixtureTree tree;
  const std::string a(120, 'a'), b(120, 'b'), c(120, 'c'), root = tree.Root() + kSep;
  const std::string odd = "a\355\240\200b";  // an unpaired surrogate
  tree.File(a + "/" + b + "/" + c + "/f", 7), tree.File("space /y", 5);
  tree.File("foo./in", 1000), tree.File("foo/in", 7), tree.File("baz../x", 3);
  tree.Folder("Größe"), tree.Folder(odd), MakeFile(tree.Path("Größe/日本語.txt"), 5);
  const bool oddMade = MakeFile(tree.Path(odd + "/in"), 1);
  const Entries all = Walk(tree.Root(), FilesDeep);
  EXPECT_EQ(std::ranges::count(all, root + a + kSep + b + kSep + c + kSep + "f 7"), 1);
  EXPECT_EQ(std::ranges::count(all, root + "Größe" + kSep + "日本語.txt 5"), 1);
  for (const auto& [folder, entry] : std::vector<std::pair<std::string, std::string>>{
           {"foo.", "in 1000"}, {"foo", "in 7"}, {"baz..", "x 3"}, {"space ", "y 5"}}) {
    EXPECT_EQ(std::ranges::count(all, root + folder + kSep + entry), 1) << folder;
    EXPECT_EQ(Walk(root + folder + kSep, FilesHere), Entries{root + folder + kSep + entry});
  }
  CacheCreate();
  WindowDriver w;
  w.Load(tree.Root());
  const std::int32_t cached = CacheCount();
  w.Load("\"" + NameToText(root).toLower().replace('\\', '/') + "\"");
  EXPECT_EQ(CacheCount(), cached);
  w.Open("foo.");
  EXPECT_EQ(w.Where(), QStringList({NameToText(root + "foo." + kSep), NameToText(root), "in"}));
  EXPECT_EQ(w.Cells("in", 2, 2), "000000001000 ");
  EXPECT_EQ(w.form.windowTitle(), "Tallyroot");  // read, not "could not be read"
  if (!oddMade) GTEST_SKIP() << "this file system takes no unpaired surrogate in a name";
  EXPECT_EQ(std::ranges::count(all, root + odd + kSep + "in 1"), 1);
  EXPECT_EQ(Walk(tree.Path(odd), FilesHere), Entries{tree.Path(odd + "/in") + " 1"});
}

// Runs `script` on wine's Linux side, polling `done()` 10 s: no handle tells a Linux process ended.
bool RunLinux(const std::string& folder, const std::wstring& script, auto done) {
  std::wstring command = L"sh -c \"" + script + L"\"", cwd;
  AppendWide(cwd, folder);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      cwd.c_str(), &startup, &process))
    return false;
  CloseHandle(process.hThread), CloseHandle(process.hProcess);
  for (int waited = 0; !done() && waited < 10000; waited += 10) Sleep(10);
  return done();
}

// Linux links show under wine as plain folders, as a Samba share shows a link it follows.
// One to a folder open further up counts as empty; a total cut short or reaching above is not kept.
TEST_P(WindowsListing, ALinkToAFolderAboveThatArrivesAsAFolderCountsAsEmpty) {
  FixtureTree tree;
  tree.File("r", 100), tree.File("a/f", 10), tree.File("a/b/g", 20);
  const std::string a = tree.Path("a") + kSep, b = tree.Path("a/b") + kSep;
  const auto self = [&] { return std::filesystem::exists(a + "self"); };  // made last, gone last
  const std::shared_ptr<void> unlink(nullptr, [&](void*) {  // also when a check stops the test
    RunLinux(tree.Root(), L"rm -f a/b/up a/self", [&] { return !self(); });
  });
  if (!RunLinux(tree.Root(), L"ln -s ../.. a/b/up; ln -s . a/self", self))
    GTEST_SKIP() << "no link that the file system follows itself can be made here";
  EXPECT_EQ(Walk(tree.Root(), AllDeep).size(), 7u);  // r, a, f, b, g, up and self, each once
  EXPECT_TRUE(WalkEnd.ReadInFull);
  EXPECT_EQ(Walk(b + "up" + kSep, FilesHere), Entries{b + "up" + kSep + "r 100"});
  CacheCreate();
  WindowDriver w;
  w.Load(tree.Root());
  EXPECT_EQ(w.Cells("a", 2, 2) + w.Cells("r", 2, 2), "000000000030 000000000100 ");
  ASSERT_NE(CacheFind(tree.Root() + kSep), 0);
  EXPECT_EQ(CacheSize(CacheFind(tree.Root() + kSep)), "000000000130");
  w.Open("a");  // from a, "up" is the folder above
  EXPECT_EQ(w.Cells("self", 2, 2) + w.Cells("f", 2, 2), "000000000000 000000000010 ");
  EXPECT_EQ(CacheFind(a) + CacheFind(b) + CacheFind(b + "up" + kSep), 0);
  EXPECT_TRUE(w.Idle());
}

// A share slow to answer: the typed path's letter case is asked while the window's events go on,
// and a close meanwhile ends the load before any listing.
TEST(WindowsTypedPaths, AreAskedWhileTheWindowAnswersAndAClosedWindowListsNothing) {
  using Clock = std::chrono::steady_clock;
  FixtureTree tree;
  tree.File("Sub/x", 5);
  SetSearchOpener([](const wchar_t* pattern, FINDEX_INFO_LEVELS level, WIN32_FIND_DATAW* data,
                     DWORD flags) -> HANDLE {
    Sleep(60);
    return FindFirstFileExW(pattern, level, data, FindExSearchNameMatch, nullptr, flags);
  });
  static Clock::time_point last, stopped;
  static Clock::duration longest;
  static bool stop;
  static int calls;
  last = Clock::now(), longest = {}, stop = false, calls = 0;
  SetWaitHook([] {
    longest = std::max(longest, Clock::now() - std::exchange(last, Clock::now()));
    ++calls;
  });
  const std::string sub = tree.Root() + "\\Sub";
  std::string typed = sub;
  std::ranges::transform(typed, typed.begin(), [](char c) { return char(std::tolower(c)); });
  EXPECT_EQ(platform::TypedFolderPath(typed, stop), sub + "\\");
  EXPECT_GT(calls, 10);
  EXPECT_LT(longest, std::chrono::milliseconds(50));

  calls = 0;
  SetWaitHook([] { stop = ++calls == 4, stopped = Clock::now(); });
  EXPECT_EQ(platform::TypedFolderPath(typed, stop), std::nullopt);
  EXPECT_LT(Clock::now() - stopped, std::chrono::milliseconds(20));
  SetWaitHook(nullptr);

  WindowDriver w;
  w.LoadWhile(sub, [&] { w.form.close(); });
  EXPECT_EQ(w.Names(), "");
  EXPECT_TRUE(AbortScan);
  SetSearchOpener(nullptr);
}

}  // namespace
}  // namespace tallyroot
