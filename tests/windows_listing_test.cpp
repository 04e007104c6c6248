// The Windows listing's decisions over recorded data, on every platform: names,
// paths, entries and search forms. Real folders: windows_folders_test.
#include <gtest/gtest.h>

#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "list/name_text.h"
#include "walker/windows/path_rules.h"
#include "walker/windows/search_forms.h"
#include "walker/windows/wide_names.h"

namespace {

using namespace tallyroot::platform::windows;

std::u16string Wide(std::string_view bytes) {
  std::u16string out;
  AppendWide(out, bytes);
  return out;
}
std::string Ascii(std::u16string_view path) { return std::string(path.begin(), path.end()); }

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

// The long form of drives, shares and paths already in it; typed paths
// without Explorer's quotes ("Copy as path") and with "\" for "/".
TEST(WindowsPaths, LongFormsAndTypedPaths) {
  for (const auto& [full, expected] : std::vector<std::pair<std::u16string, std::u16string>>{
           {uR"(C:\)", uR"(\\?\C:\)"},
           {uR"(\\server\share\a\)", uR"(\\?\UNC\server\share\a\)"},
           {uR"(\\?\C:\long\)", uR"(\\?\C:\long\)"},
           {uR"(\\?\UNC\server\share\)", uR"(\\?\UNC\server\share\)"},
           {uR"(\\.\pipe\)", uR"(\\.\pipe\)"}})
    EXPECT_EQ(LongPath(full), expected) << Ascii(full);
  for (const auto& [typed, path] : std::vector<std::pair<std::u16string, std::u16string>>{
           {uR"("C:\Program Files\x")", uR"(C:\Program Files\x)"},
           {uR"("C:/x/")", uR"(C:\x\)"},
           {uR"("")", u""},
           {uR"(")", uR"(")"},  // not a pair: left to the system
           {uR"("C:\x)", uR"("C:\x)"},
           {uR"(//server/share)", uR"(\\server\share)"}})
    EXPECT_EQ(UnquotedPath(typed), path) << Ascii(typed);
}

// Paths the program made (a root, then names the file system gave) go to the
// system as they are, trailing dots and spaces of names included; any other
// path is made absolute by the system first. Of a WSL share, the kernel's
// folders at its root count as empty.
TEST(WindowsPaths, WhichPathsGoAsTheyAreAndWhichAreWslKernelFolders) {
  for (const std::u16string_view path :
       {uR"(C:\)", uR"(c:\x\foo.\)", uR"(C:\x\baz..\)", uR"(C:\x\ y \)", uR"(C:\x\...\)",
        uR"(\\server\share\)", uR"(\\server\share\a.\)", uR"(\\?\C:\x\.\)", uR"(\\.\pipe\)"})
    EXPECT_TRUE(IsFullyQualified(path)) << Ascii(path);
  for (const std::u16string_view path :
       {u"", uR"(x\)", uR"(C:x\)", uR"(\x\)", u"C:/x/", uR"(C:\x/y\)", uR"(C:\x\..\y\)",
        uR"(C:\x\.\)", uR"(C:\x\\y\)", uR"(\\server\)", uR"(\\server\\x\)", uR"(1:\x\)"})
    EXPECT_FALSE(IsFullyQualified(path)) << Ascii(path);
  for (const std::u16string_view path :
       {uR"(\\?\UNC\wsl.localhost\Ubuntu\proc\)", uR"(\\?\UNC\wsl$\Debian\sys\)",
        uR"(\\?\UNC\WSL.LOCALHOST\Ubuntu\dev\)", uR"(\\?\UNC\Wsl$\x\proc)"})
    EXPECT_TRUE(IsWslKernelFolder(path)) << Ascii(path);
  for (const std::u16string_view path :
       {uR"(\\?\UNC\wsl.localhost\Ubuntu\)", uR"(\\?\UNC\wsl.localhost\Ubuntu\home\proc\)",
        uR"(\\?\UNC\wsl.localhost\Ubuntu\Proc\)", uR"(\\?\UNC\wsl.localhost\Ubuntu\procs\)",
        uR"(\\?\UNC\server\share\proc\)", uR"(\\?\C:\proc\)", uR"(\\?\UNC\wsl$\proc\)"})
    EXPECT_FALSE(IsWslKernelFolder(path)) << Ascii(path);
}

// A recorded file system: each folder's names, and whether it tells case
// apart; elsewhere names compare as NTFS does, unit by unit through a simple
// upper-case table ("Maße" is not "MASSE"); an 8.3 short name finds its name.
struct RecordedFolders {
  struct Folder {
    bool caseSensitive;
    std::vector<std::u16string> names;
    std::vector<std::u16string> shortNames;  // "" where a name has none
  };
  std::map<std::u16string, Folder> folders;  // by long path, with the separator
  int lookups = 0;

  static std::u16string Upper(std::u16string_view name) {
    std::u16string upper;
    for (const char16_t unit : name) upper += char16_t(QChar(unit).toUpper().unicode());
    return upper;
  }
  std::optional<std::u16string> operator()(const std::u16string& longPath) {
    ++lookups;
    const std::size_t cut = longPath.rfind(u'\\') + 1;
    const auto folder = folders.find(longPath.substr(0, cut));
    if (folder == folders.end()) return std::nullopt;
    const std::u16string typed = longPath.substr(cut);
    const Folder& f = folder->second;
    for (std::size_t i = 0; i < f.names.size(); ++i) {
      const bool sameName =
          f.caseSensitive ? f.names[i] == typed : Upper(f.names[i]) == Upper(typed);
      const bool shortName = i < f.shortNames.size() && !f.shortNames[i].empty() &&
                             Upper(f.shortNames[i]) == Upper(typed);
      if (sameName || shortName) return f.names[i];
    }
    return std::nullopt;
  }
};

// Typed paths take each folder's stored name, so that the size cache's exact
// keys meet; names the file system keeps apart stay as typed.
TEST(WindowsPaths, TypedPathsTakeTheCaseTheFileSystemStores) {
  RecordedFolders fs;
  fs.folders[u"\\\\?\\C:\\"] = {false, {u"Data", u"Program Files"}, {u"", u"PROGRA~1"}};
  fs.folders[u"\\\\?\\C:\\Data\\"] = {false, {u"Maße", u"CS", u"Größe"}, {}};
  fs.folders[u"\\\\?\\C:\\Data\\CS\\"] = {true, {u"A", u"a"}, {}};
  fs.folders[u"\\\\?\\C:\\Data\\CS\\a\\"] = {false, {u"X"}, {}};
  fs.folders[u"\\\\?\\UNC\\nas\\Share\\"] = {false, {u"Fotos"}, {}};
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"c:\\data\\", u"C:\\Data\\"},
      {u"C:\\DATA\\größe\\", u"C:\\Data\\Größe\\"},
      {u"c:\\progra~1\\", u"C:\\Program Files\\"},
      {u"c:\\data\\cs\\A\\", u"C:\\Data\\CS\\A\\"},
      {u"c:\\data\\cs\\a\\x\\", u"C:\\Data\\CS\\a\\X\\"},
      {u"C:\\Data\\MASSE\\", u"C:\\Data\\MASSE\\"},                  // not "Maße" on NTFS
      {u"C:\\data\\missing\\Data\\", u"C:\\Data\\missing\\Data\\"},  // the rest as typed
      {u"C:\\data\\c*\\", u"C:\\Data\\c*\\"},                        // a pattern is never looked up
      {u"\\\\nas\\Share\\fotos\\", u"\\\\nas\\Share\\Fotos\\"},
      {u"\\\\NAS\\share\\", u"\\\\NAS\\share\\"},  // a server and a share stay as typed
      {u"c:\\", u"C:\\"},
      {u"\\\\.\\pipe\\x\\", u"\\\\.\\pipe\\x\\"},
  };
  for (const auto& [full, stored] : cases)
    EXPECT_EQ(StoredCase(full, std::ref(fs)), stored) << Ascii(full);
  // Where case tells apart, "A" and "a" stay two folders, each looked up only there.
  fs.lookups = 0;
  EXPECT_NE(StoredCase(std::u16string(u"C:\\Data\\CS\\a\\"), std::ref(fs)),
            StoredCase(std::u16string(u"C:\\Data\\CS\\A\\"), std::ref(fs)));
  EXPECT_EQ(fs.lookups, 6);
}

// A server that refuses the fast form of search with one of the errors that
// say so is asked once more in the plain form, and its volume is searched
// in the plain form from then on; other errors and other volumes are not.
TEST(WindowsSearch, AVolumeThatRefusesTheFastFormIsSearchedInThePlainForm) {
  PlainSearchVolumes<std::u16string> plain;
  std::vector<std::string> calls;  // "fast" or "plain", each call
  std::uint32_t error = 0;
  // Refuses the fast form on `refusing` with `refusal`; has no folder "missing".
  const auto search = [&](std::u16string_view pattern, std::u16string_view refusing,
                          std::uint32_t refusal) {
    return OpenSearch<std::u16string>(
        pattern, plain, -1,
        [&](bool fast) {
          calls.push_back(fast ? "fast" : "plain");
          error = fast && pattern.starts_with(refusing)      ? refusal
                  : pattern.find(u"missing") != pattern.npos ? 3  // ERROR_PATH_NOT_FOUND
                                                             : 0;
          return error ? -1 : 7;
        },
        [&] { return error; });
  };
  const std::u16string_view nas = u"\\\\?\\UNC\\nas\\share\\";
  for (const std::uint32_t refusal : {1u, 31u, 50u, 87u, 124u}) {
    plain.Clear(), calls.clear();
    EXPECT_EQ(search(u"\\\\?\\UNC\\nas\\share\\a\\*", nas, refusal), 7);
    EXPECT_EQ(search(u"\\\\?\\UNC\\nas\\share\\b\\*", nas, refusal), 7);
    EXPECT_EQ(search(u"\\\\?\\C:\\a\\*", nas, refusal), 7);
    EXPECT_EQ(calls, std::vector<std::string>({"fast", "plain", "plain", "fast"})) << refusal;
  }
  // Refused, and the folder is missing too: the plain form's answer counts.
  plain.Clear(), calls.clear();
  EXPECT_EQ(search(u"\\\\?\\UNC\\nas\\share\\missing\\*", nas, 87), -1);
  EXPECT_EQ(error, 3u);
  EXPECT_TRUE(plain.Has(nas));
  // Errors about the folder are no refusal: no second search, nothing kept.
  plain.Clear(), calls.clear();
  for (const std::uint32_t other : {2u, 3u, 5u, 123u, 1920u})
    EXPECT_EQ(search(u"\\\\?\\UNC\\nas\\share\\a\\*", nas, other), -1);
  EXPECT_EQ(calls, std::vector<std::string>(5, "fast"));
  EXPECT_FALSE(plain.Has(nas));
  // A plain form refused as well tells nothing of the volume.
  const auto refusesBoth = [&](bool) { return error = 50, -1; };
  EXPECT_EQ(
      OpenSearch<std::u16string>(u"\\\\?\\D:\\*", plain, -1, refusesBoth, [&] { return error; }),
      -1);
  EXPECT_FALSE(plain.Has(u"\\\\?\\D:\\"));
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

}  // namespace
