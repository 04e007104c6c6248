// The Windows listing over real folders, under wine: the calls a folder
// costs, long and non-text names, names ending in "." or " ", links a server
// follows itself, a server refusing the fast search, typed paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/folder_cache.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/window_driver.h"
#include "walker/find_files.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot {
namespace {

using namespace FindFilesModule;
using namespace TallyrootModule;
using namespace testing;
using platform::windows::CallCounts;
using platform::windows::CountedCalls;
using Entries = std::vector<std::string>;

bool gAbort = false;

// "path size" of each entry reported; WalkEnd then tells how the walk ended.
Entries Walk(const std::string& folder, WalkMode mode) {
  static Entries seen;
  seen.clear();
  FindFiles([] { seen.push_back(FoundEntry.FullPath + " " + std::to_string(FoundEntry.Size)); },
            nullptr, folder, mode, gAbort);
  return seen;
}

// A folder of N files costs one search, one identity read and N + 2 steps
// (".", ".." and the end), nothing per file; each folder above the walk one
// identity read. Read-ahead reads each folder once too.
TEST(WindowsListing, OneSearchPerFolderAndNoCallPerFile) {
  FixtureTree tree;
  constexpr std::uint64_t kFiles = 300;
  for (std::uint64_t i = 0; i < kFiles; ++i) tree.File("f" + std::to_string(i), i);
  tree.File("sub/inner/x", 1);
  const auto above =
      static_cast<std::uint64_t>(std::count(tree.Root().begin(), tree.Root().end(), '\\'));
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "not read ahead");
    const ScopedReadAhead readAhead(ahead);
    const CallCounts before = CountedCalls();
    EXPECT_EQ(Walk(tree.Root(), FilesDeep).size(), kFiles + 1);
    const CallCounts deep = CountedCalls();
    EXPECT_EQ(deep.findFirst - before.findFirst, 3u);
    EXPECT_LE(deep.findNext - before.findNext, kFiles + 3 + 3 + 3);
    EXPECT_EQ(deep.identities - before.identities, above + 3);
    EXPECT_EQ(deep.other - before.other, 0u);
  }
}

// Paths beyond 260 characters are listed and entered; names come out as WTF-8,
// and a folder named with an unpaired surrogate is entered by the path reported.
TEST(WindowsListing, LongPathsAndNamesComeOutAsWtf8AndEveryFolderCanBeEntered) {
  FixtureTree tree;
  const std::string a(120, 'a'), b(120, 'b'), c(120, 'c');
  tree.File(a + "/" + b + "/" + c + "/f", 7);
  const std::filesystem::path root(tree.Root());
  std::filesystem::create_directory(root / L"Größe");
  std::ofstream(root / L"Größe" / L"日本語.txt") << "12345";
  const std::wstring odd{L'a', wchar_t(0xD800), L'b'};
  std::error_code refused;  // a failure's message would not convert the name to text
  const bool oddMade = std::filesystem::create_directory(root / odd, refused);
  if (oddMade) std::ofstream(root / odd / L"in") << "1";
  const Entries all = Walk(tree.Root(), FilesDeep);
  const auto listed = [&](const std::string& entry) {
    return std::count(all.begin(), all.end(), tree.Root() + kSep + entry) == 1;
  };
  EXPECT_TRUE(listed(a + kSep + b + kSep + c + kSep + "f 7"));
  EXPECT_TRUE(listed("Größe" + kSep + "日本語.txt 5"));
  if (!oddMade) GTEST_SKIP() << "this file system takes no unpaired surrogate in a name";
  EXPECT_TRUE(listed("a\355\240\200b" + kSep + "in 1"));
  const std::string oddPath = tree.Root() + kSep + "a\355\240\200b";
  EXPECT_EQ(Walk(oddPath, FilesHere), Entries{oddPath + kSep + "in 1"});
}

// Names from Linux, macOS or a Samba share that Windows' path rules would
// change ("foo." read as "foo"): each folder lists itself, walked and shown.
TEST(WindowsPaths, NamesEndingInADotOrASpaceListTheirOwnFolder) {
  FixtureTree tree;
  tree.File("foo./in", 1000), tree.File("foo/in", 7), tree.File("baz../x", 3);
  tree.File("space /y", 5);
  const std::string root = tree.Root() + kSep;
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "not read ahead");
    const ScopedReadAhead readAhead(ahead);
    for (const auto& [folder, entry] : std::vector<std::pair<std::string, std::string>>{
             {"foo.", "in 1000"}, {"foo", "in 7"}, {"baz..", "x 3"}, {"space ", "y 5"}}) {
      EXPECT_EQ(Walk(root + folder + kSep, FilesHere), Entries{root + folder + kSep + entry});
      EXPECT_FALSE(WalkEnd.Unread) << folder;
    }
    CacheCreate();
    WindowDriver w;
    w.Load(tree.Root());
    EXPECT_EQ(w.Cells("foo.", 2, 2) + w.Cells("foo", 2, 2) + w.Cells("baz..", 2, 2),
              "000000001000 000000000007 000000000003 ");
    w.Open("foo.");
    EXPECT_EQ(w.Where(), QStringList({NameToText(root + "foo." + kSep), NameToText(root), "in"}));
    EXPECT_EQ(w.Cells("in", 2, 2), "000000001000 ");
    EXPECT_EQ(w.form.windowTitle(), "Tallyroot");  // read, not "could not be read"
  }
}

// Linux symbolic links made through wine, which shows each as a plain folder,
// as a Samba share shows a link it follows itself. Removed with the object,
// before the fixture, which cannot remove them; none where not under wine.
class ServerLinks {
 public:
  // A link `link` to `target`, both Windows paths; false if none was made.
  bool Make(const std::string& target, const std::string& link) {
    const std::wstring from = Unix(target), to = Unix(link);
    if (from.empty() || to.empty()) return false;
    made_.push_back({link, to});
    return RunLinux(L"ln -s \"" + from + L"\" \"" + to + L"\"", [&] { return Exists(link); });
  }
  ~ServerLinks() {
    std::wstring remove = L"rm -f";
    for (const auto& [link, unix] : made_) remove += L" \"" + unix + L"\"";
    const auto gone = [&] {
      return std::none_of(made_.begin(), made_.end(), [](auto& l) { return Exists(l.first); });
    };
    if (!made_.empty()) RunLinux(remove, gone);
  }

 private:
  static bool Exists(const std::string& path) {
    std::wstring wide = L"\\\\?\\";
    platform::windows::AppendWide(wide, path);
    return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  static std::wstring Unix(const std::string& path) {  // through wine's own call
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring wide, out;
    platform::windows::AppendWide(wide, path);
    if (char* const name = unixName ? unixName(wide.c_str()) : nullptr) {
      platform::windows::AppendWide(out, name);
      HeapFree(GetProcessHeap(), 0, name);
    }
    return out;
  }
  // Waits up to 10 s until `done()`: wine gives no handle that a Linux
  // process's end signals.
  template <typename Done>
  static bool RunLinux(std::wstring command, Done done) {
    const std::wstring program = L"Z:\\bin\\" + command.substr(0, command.find(L' '));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
      return false;
    CloseHandle(process.hThread), CloseHandle(process.hProcess);
    for (int waited = 0; !done() && waited < 10000; waited += 10) Sleep(10);
    return done();
  }

  std::vector<std::pair<std::string, std::wstring>> made_;  // each link's Windows and Linux path
};

// Links to a folder above that arrive as plain folders: such a folder, open
// further up, counts as empty, so every walk ends; no total it cut short is
// kept, nor one that reached above the loaded folder.
TEST(WindowsPaths, ALinkToAFolderAboveThatArrivesAsAFolderCountsAsEmpty) {
  FixtureTree tree;
  tree.File("r", 100), tree.File("a/f", 10), tree.File("a/b/g", 20);
  ServerLinks links;
  if (!links.Make(tree.Root(), tree.Path("a/b/up")) ||
      !links.Make(tree.Path("a"), tree.Path("a/self")))
    GTEST_SKIP() << "no link that the file system follows itself can be made here";
  const std::string a = tree.Path("a") + kSep, b = tree.Path("a/b") + kSep;
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "not read ahead");
    const ScopedReadAhead readAhead(ahead);
    EXPECT_EQ(Walk(tree.Root(), AllDeep).size(), 7u);  // r, a, f, b, g, up and self, each once
    EXPECT_TRUE(WalkEnd.ReadInFull);
    EXPECT_EQ(Walk(b + "up" + kSep, FilesHere), Entries{b + "up" + kSep + "r 100"});
    CacheCreate();
    WindowDriver w;
    w.Load(tree.Root());
    EXPECT_EQ(w.Cells("a", 2, 2) + w.Cells("r", 2, 2), "000000000030 000000000100 ");
    EXPECT_EQ(CacheFind(a) + CacheFind(b), 0);  // cut short: not kept
    ASSERT_NE(CacheFind(tree.Root() + kSep), 0);
    EXPECT_EQ(CacheSize(CacheFind(tree.Root() + kSep)), "000000000130");
    w.Open("a");  // from a, "up" is the folder above: listed, and nothing below a kept
    EXPECT_EQ(w.Cells("self", 2, 2) + w.Cells("f", 2, 2), "000000000000 000000000010 ");
    EXPECT_EQ(CacheFind(a) + CacheFind(b) + CacheFind(b + "up" + kSep), 0);
    EXPECT_TRUE(w.Idle());
  }
}

// A server that refuses the fast search (the basic information level in
// large batches) with ERROR_INVALID_LEVEL: listed all the same, in the plain
// form after the first refusal.
TEST(WindowsListing, AServerThatRefusesTheFastSearchIsListedInThePlainForm) {
  static std::atomic<int> fast{0}, plain{0};
  const auto refusing = [](const wchar_t* pattern, FINDEX_INFO_LEVELS level, WIN32_FIND_DATAW* data,
                           DWORD flags) -> HANDLE {
    if (level == FindExInfoBasic || flags != 0)
      return ++fast, SetLastError(ERROR_INVALID_LEVEL), INVALID_HANDLE_VALUE;
    ++plain;
    return FindFirstFileExW(pattern, level, data, FindExSearchNameMatch, nullptr, flags);
  };
  FixtureTree tree;
  tree.File("x", 1), tree.File("sub/y", 2), tree.File("sub/deeper/z", 3);
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "not read ahead");
    const ScopedReadAhead readAhead(ahead);
    platform::windows::SetSearchOpener(refusing);
    fast = plain = 0;
    EXPECT_EQ(Walk(tree.Root(), FilesDeep).size(), 3u);
    EXPECT_FALSE(WalkEnd.Unread);
    EXPECT_EQ(fast, 1);  // once for the volume, then it is known
    EXPECT_EQ(plain, 3);
    platform::windows::SetSearchOpener(nullptr);
  }
}

// Paths as Windows users type them: Explorer's "Copy as path" (quoted), with
// "/", and in another letter case, which reaches the same folders and totals.
// (Relative paths: window_test's BadInput.)
TEST(WindowsPaths, TypedPathsAsWindowsUsersWriteThem) {
  FixtureTree tree;
  tree.File("Sub/Deep/x", 5), tree.File("Sub/y", 2);
  const QString sub = NameToText(tree.Root()) + "\\Sub\\";
  CacheCreate();
  WindowDriver w;
  w.Load("\"" + QString(sub).replace('\\', '/') + "\"");
  EXPECT_EQ(w.Where(), QStringList({sub, sub, "Deep y"}));
  EXPECT_EQ(w.list.Tag(w.Row("Deep")), sub + "Deep\\");
  const std::int32_t cached = CacheCount();
  w.Load(sub.toLower());
  EXPECT_EQ(w.Where(), QStringList({sub, sub, "Deep y"}));
  EXPECT_EQ(CacheCount(), cached);
  w.Open("Deep");
  EXPECT_EQ(w.Where(), QStringList({sub + "Deep\\", sub, "x"}));
}

}  // namespace
}  // namespace tallyroot
