// The Windows listing's decisions over recorded entry data, on every platform:
// names between UTF-16 and WTF-8, the long-path form, what an entry counts as.
// On Windows also real folders' names and the calls one folder costs.
#include <gtest/gtest.h>

#include <QString>
#include <string>
#include <vector>

#include "list/name_text.h"
#include "walker/windows/wide_names.h"

#if defined(_WIN32)
#include <filesystem>

#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "walker/find_files.h"
#include "walker/windows/listing_calls.h"
#endif

namespace {

using namespace tallyroot::platform::windows;

std::u16string Wide(std::string_view bytes) {
  std::u16string out;
  AppendWide(out, bytes);
  return out;
}

// Each name, its WTF-8 bytes and back; valid names read as their characters,
// and every name comes back from the list's text as the same bytes.
TEST(WindowsNames, ConvertBothWaysAndKeepUnpairedSurrogates) {
  const std::vector<std::tuple<std::u16string, std::string, bool>> cases = {
      {u"plain.txt", "plain.txt", true},
      {u"Größe", "Größe", true},
      {u"日本語", "日本語", true},
      {u"\U0001F600", "\xF0\x9F\x98\x80", true},  // a surrogate pair: one character
      {std::u16string{u'a', char16_t(0xD800), u'b'}, "a\355\240\200b", false},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xED\xB0\x80\xED\xA0\x80", false},
      {std::u16string{u'x', char16_t(0xDBFF)}, "x\xED\xAF\xBF", false},  // high one at the end
  };

  for (const auto& [units, bytes, valid] : cases) {
    std::string wtf8;
    AppendWtf8(wtf8, units.data(), units.size());
    EXPECT_EQ(wtf8, bytes);
    EXPECT_EQ(Wide(bytes), units);
    const QString shown = tallyroot::NameToText(bytes);
    if (valid) {
      EXPECT_EQ(shown, QString::fromUtf16(units.data(), qsizetype(units.size())));
    }
    EXPECT_EQ(tallyroot::TextToName(shown), bytes);
  }
  // Bytes no Windows name gives (stray continuation byte, overlong form).
  EXPECT_EQ(Wide("a\200b"), (std::u16string{u'a', char16_t(0xFFFD), u'b'}));
  EXPECT_EQ(Wide("\xC0\xAF"), (std::u16string{char16_t(0xFFFD), char16_t(0xFFFD)}));
}

TEST(WindowsNames, LongPathFormOfDrivesSharesAndPathsAlreadyInIt) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"C:\\", u"\\\\?\\C:\\"},
      {u"C:\\Users\\x\\", u"\\\\?\\C:\\Users\\x\\"},
      {u"\\\\server\\share\\", u"\\\\?\\UNC\\server\\share\\"},
      {u"\\\\server\\share\\a\\b\\", u"\\\\?\\UNC\\server\\share\\a\\b\\"},
      {u"\\\\?\\C:\\long\\", u"\\\\?\\C:\\long\\"},
      {u"\\\\?\\UNC\\server\\share\\", u"\\\\?\\UNC\\server\\share\\"},
      {u"\\\\.\\pipe\\", u"\\\\.\\pipe\\"},
  };
  for (const auto& [full, expected] : cases) EXPECT_EQ(LongPath(full), expected);
}

// Entries as FindFirstFileExW records them: attributes, reparse tag, size.
TEST(WindowsEntries, NameSurrogatesAreFilesAndPlaceholdersAreWhatTheyHold) {
  // What, attributes, reparse tag, size's high and low half; folder, size.
  const std::vector<std::tuple<const char*, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::uint32_t, bool, std::uint64_t>>
      cases = {
          {"file", 0x20, 0, 1, 5, false, (std::uint64_t{1} << 32) + 5},
          {"folder", 0x10, 0, 0, 0, true, 0},
          {"hidden system folder", 0x16, 0, 0, 0, true, 0},
          {"symbolic link to a folder", 0x410, 0xA000000C, 0, 0, false, 0},
          {"symbolic link to a file", 0x420, 0xA000000C, 0, 0, false, 0},
          {"junction", 0x410, 0xA0000003, 0, 0, false, 0},
          {"WSL symbolic link", 0x420, 0xA000001D, 0, 12, false, 12},
          {"cloud folder placeholder", 0x400410, 0x9000601A, 0, 0, true, 0},
          {"cloud file placeholder, not on disk", 0x401420, 0x9000001A, 2, 0, false, 2ull << 32},
          {"deduplicated file", 0x420, 0x80000013, 0, 4096, false, 4096},
          {"socket", 0x420, 0x80000023, 0, 0, false, 0},
          {"folder with a tag but no reparse attribute", 0x10, 0xA0000003, 0, 0, true, 0},
      };
  for (const auto& [what, attributes, tag, high, low, isFolder, size] : cases) {
    const JudgedEntry judged = JudgeEntry(attributes, tag, high, low);
    EXPECT_EQ(judged.isFolder, isFolder) << what;
    EXPECT_EQ(judged.size, size) << what;
  }
}

#if defined(_WIN32)

using namespace FindFilesModule;
using tallyroot::testing::FixtureTree;
using tallyroot::testing::kSep;

std::vector<std::string> gNames;
bool gAbort = false;

// "path size" of each entry reported.
std::vector<std::string> Names(const std::string& folder, WalkMode mode) {
  gNames.clear();
  FindFiles([] { gNames.push_back(FoundEntry.FullPath + " " + std::to_string(FoundEntry.Size)); },
            nullptr, folder, mode, gAbort);
  return gNames;
}

// A folder of N files costs one search and N + 2 steps (".", ".." and the end),
// nothing per file; a folder below one search more, no second look at its path.
// With read-ahead too, which reads each folder once (and may read "sub" ahead
// of a walk that stays in the top folder).
TEST(WindowsListing, OneSearchPerFolderAndNoCallPerFile) {
  FixtureTree tree;
  constexpr std::uint64_t kFiles = 300;
  for (std::uint64_t i = 0; i < kFiles; ++i) tree.File("f" + std::to_string(i), i);
  tree.File("sub/inner/x", 1);
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "not read ahead");
    tallyroot::testing::ScopedReadAhead readAhead(ahead);
    const CallCounts before = CountedCalls();
    EXPECT_EQ(Names(tree.Root(), FilesDeep).size(), kFiles + 1);
    const CallCounts deep = CountedCalls();
    EXPECT_EQ(deep.findFirst - before.findFirst, 3u);
    EXPECT_LE(deep.findNext - before.findNext, kFiles + 3 + 3 + 3);
    EXPECT_EQ(deep.other - before.other, 1u);  // the outermost path made absolute
    // Last, so that a read ahead of "sub" that outlasts the walk counts here.
    EXPECT_EQ(Names(tree.Root(), FilesHere).size(), kFiles);
    const CallCounts here = CountedCalls();
    EXPECT_GE(here.findFirst - deep.findFirst, 1u);
    EXPECT_LE(here.findFirst - deep.findFirst, ahead ? 2u : 1u);
    EXPECT_LE(here.findNext - deep.findNext, kFiles + 3 + (ahead ? 3 : 0));
    EXPECT_EQ(here.other - deep.other, 1u);
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
  const std::vector<std::string> all = Names(tree.Root(), FilesDeep);
  const auto listed = [&](const std::string& entry) {
    return std::count(all.begin(), all.end(), tree.Root() + kSep + entry) == 1;
  };
  EXPECT_TRUE(listed(a + kSep + b + kSep + c + kSep + "f 7"));
  EXPECT_TRUE(listed("Größe" + kSep + "日本語.txt 5"));
  if (!oddMade) GTEST_SKIP() << "this file system takes no unpaired surrogate in a name";
  EXPECT_TRUE(listed("a\355\240\200b" + kSep + "in 1"));
  const std::string oddPath = tree.Root() + kSep + "a\355\240\200b";
  EXPECT_EQ(Names(oddPath, FilesHere), std::vector<std::string>{oddPath + kSep + "in 1"});
}

#endif

}  // namespace
