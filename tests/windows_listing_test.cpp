// Windows listing decisions over recorded data on every platform (real ones: windows_folders_test).
#include <gtest/gtest.h>

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "list/name_text.h"
#include "walker/windows/path_rules.h"
#include "walker/windows/search_forms.h"
#include "walker/windows/wide_names.h"

namespace {

using namespace tallyroot::platform::windows;
using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;

std::string Ascii(std::u16string_view path) { return std::string(path.begin(), path.end()); }

// Valid names read as their characters; every name comes back from the list's text as its bytes.
TEST(WindowsNames, ConvertBothWaysAndKeepUnpairedSurrogates) {
  const std::vector<std::tuple<std::u16string, std::string, bool>> cases = {
      {u"Größe", "Größe", true},
      {u"日本語", "日本語", true},
      {u"\U0001F600", "\xF0\x9F\x98\x80", true},
      {std::u16string{u'a', char16_t(0xD800), u'b'}, "a\355\240\200b", false},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xED\xB0\x80\xED\xA0\x80", false},
      {std::u16string{u'x', char16_t(0xDBFF)}, "x\xED\xAF\xBF", false},
  };
  for (const auto& [units, bytes, valid] : cases) {
    std::string wtf8;
    std::u16string wide;
    AppendWtf8(wtf8, units.data(), units.size());
    AppendWide(wide, bytes);
    EXPECT_EQ(std::pair(wtf8, wide), std::pair(bytes, units));
    const QString shown = tallyroot::NameToText(bytes);
    EXPECT_EQ(shown, valid ? QString::fromUtf16(units.data(), qsizetype(units.size())) : shown);
    EXPECT_EQ(tallyroot::TextToName(shown), bytes);
  }
  // Bytes no Windows name gives: a stray continuation byte, an overlong form.
  std::u16string replaced;
  AppendWide(replaced, "a\200b\xC0\xAF");
  EXPECT_EQ(replaced, u"a\uFFFDb\uFFFD\uFFFD");
}

// Paths the program made go to the system as they are; a WSL share's kernel folders count empty.
TEST(WindowsPaths, LongFormsTypedPathsAndWhichGoAsTheyAre) {
  for (const auto& [full, expected] :
       Pairs{{uR"(C:\)", uR"(\\?\C:\)"},
             {uR"(\\server\share\a\)", uR"(\\?\UNC\server\share\a\)"},
             {uR"(\\?\C:\long\)", uR"(\\?\C:\long\)"},
             {uR"(\\.\pipe\)", uR"(\\.\pipe\)"}})
    EXPECT_EQ(LongPath(full), expected) << Ascii(full);
  for (const auto& [typed, path] : Pairs{{uR"("C:/x/")", uR"(C:\x\)"},
                                         {uR"("")", u""},
                                         {uR"(")", uR"(")"},
                                         {uR"("C:\x)", uR"("C:\x)"},
                                         {uR"(//server/share)", uR"(\\server\share)"}})
    EXPECT_EQ(UnquotedPath(typed), path) << Ascii(typed);
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

// Typed paths take the stored names, so the size cache's exact keys meet.
TEST(WindowsPaths, TypedPathsTakeTheCaseTheFileSystemStores) {
  const std::vector<std::u16string> stored = {
      uR"(\\?\C:\Data)",        uR"(\\?\C:\Program Files)",   uR"(\\?\C:\Data\CS)",
      uR"(\\?\C:\Data\Größe)",  uR"(\\?\C:\Data\CS\A)",       uR"(\\?\C:\Data\CS\a)",
      uR"(\\?\C:\Data\CS\a\X)", uR"(\\?\UNC\nas\Share\Fotos)"};
  int lookups = 0;
  const auto storedName = [&](const std::u16string& path) -> std::optional<std::u16string> {
    ++lookups;
    const std::size_t cut = path.rfind(u'\\') + 1;
    // NTFS ignores case unit by unit, unless a folder tells case apart.
    const auto cs =
        path.substr(0, cut) == uR"(\\?\C:\Data\CS\)" ? Qt::CaseSensitive : Qt::CaseInsensitive;
    for (const std::u16string& name : stored)
      if (path.compare(0, cut, name, 0, cut) == 0 && QStringView(name).compare(path, cs) == 0)
        return name.substr(cut);
    if (QStringView(path).compare(uR"(\\?\C:\PROGRA~1)", Qt::CaseInsensitive) == 0)
      return u"Program Files";  // an 8.3 short name
    return std::nullopt;
  };
  // Each name is looked up once, in its folder; from a pattern on, none is.
  EXPECT_EQ(StoredCase(std::u16string(uR"(C:\Data\CS\a\x*\y\)"), storedName),
            uR"(C:\Data\CS\a\x*\y\)");
  EXPECT_EQ(lookups, 3);
  for (const auto& [full, expected] :
       Pairs{{u"C:\\DATA\\größe\\", u"C:\\Data\\Größe\\"},
             {u"c:\\progra~1\\", u"C:\\Program Files\\"},
             {u"c:\\data\\cs\\A\\", u"C:\\Data\\CS\\A\\"},
             {u"c:\\data\\cs\\a\\x\\", u"C:\\Data\\CS\\a\\X\\"},
             {u"C:\\data\\missing\\Data\\", u"C:\\Data\\missing\\Data\\"},  // the rest as typed
             {u"\\\\nas\\Share\\fotos\\", u"\\\\nas\\Share\\Fotos\\"},
             {u"\\\\NAS\\share\\", u"\\\\NAS\\share\\"},  // server and share stay as typed
             {u"\\\\.\\pipe\\x\\", u"\\\\.\\pipe\\x\\"}})
    EXPECT_EQ(StoredCase(full, storedName), expected) << Ascii(full);
}

// A volume that refuses the fast form, saying so, is searched in the plain form from then on.
TEST(WindowsSearch, AVolumeThatRefusesTheFastFormIsSearchedInThePlainForm) {
  PlainSearchVolumes<std::u16string> plain;
  std::string calls;
  std::uint32_t error = 0;
  const std::u16string_view nas = uR"(\\?\UNC\nas\share\)";
  // nas refuses the fast form with `refusal`, D: both forms; no folder "missing" is found.
  const auto search = [&](std::u16string_view pattern, std::uint32_t refusal) {
    return OpenSearch<std::u16string>(
        pattern, plain, -1,
        [&](bool fast) {
          calls += fast ? "fast " : "plain ";
          const bool refused =
              (fast && pattern.starts_with(nas)) || pattern.starts_with(u"\\\\?\\D:");
          error = refused ? refusal : pattern.find(u"missing") != pattern.npos ? 3 : 0;
          return error ? -1 : 7;
        },
        [&] { return error; });
  };
  for (const auto& [codes, refuses] :
       {std::pair{std::vector<std::uint32_t>{1, 31, 50, 87, 124}, true},
        std::pair{std::vector<std::uint32_t>{2, 3, 5, 123, 1920}, false}})
    for (const std::uint32_t code : codes) {
      plain.Clear(), calls.clear();
      EXPECT_EQ(search(uR"(\\?\UNC\nas\share\a\*)", code), refuses ? 7 : -1) << code;
      EXPECT_EQ(search(uR"(\\?\UNC\nas\share\b\*)", code), refuses ? 7 : -1) << code;
      EXPECT_EQ(search(uR"(\\?\C:\a\*)", code), 7) << code;
      EXPECT_EQ(calls, refuses ? "fast plain plain fast " : "fast fast fast ") << code;
    }
  // The plain form's answer counts, a missing folder too; refused as well, it tells nothing.
  plain.Clear();
  EXPECT_EQ(search(uR"(\\?\UNC\nas\share\missing\*)", 87), -1);
  EXPECT_EQ(search(uR"(\\?\D:\*)", 50), -1);
  EXPECT_EQ(std::pair(plain.Has(nas), plain.Has(uR"(\\?\D:\)")), std::pair(true, false));
}

// What, attributes, reparse tag, size's high and low half; then folder and size.
TEST(WindowsEntries, NameSurrogatesAreFilesAndPlaceholdersAreWhatTheyHold) {
  using U = std::uint32_t;
  const std::vector<std::tuple<const char*, U, U, U, U, bool, std::uint64_t>> cases = {
      {"file", 0x20, 0, 1, 5, false, (std::uint64_t{1} << 32) + 5},
      {"hidden system folder", 0x16, 0, 0, 0, true, 0},
      {"symbolic link to a folder", 0x410, 0xA000000C, 0, 0, false, 0},
      {"junction", 0x410, 0xA0000003, 0, 0, false, 0},
      {"WSL symbolic link", 0x420, 0xA000001D, 0, 12, false, 12},
      {"cloud folder placeholder", 0x400410, 0x9000601A, 0, 0, true, 0},
      {"cloud file placeholder, not on disk", 0x401420, 0x9000001A, 2, 7, false, (2ull << 32) + 7},
      {"folder with a tag but no reparse attribute", 0x10, 0xA0000003, 0, 0, true, 0},
  };
  for (const auto& [what, attributes, tag, high, low, isFolder, size] : cases) {
    const JudgedEntry judged = JudgeEntry(attributes, tag, high, low);
    EXPECT_EQ(std::pair(judged.isFolder, judged.size), std::pair(isFolder, size)) << what;
  }
}

}  // namespace
