// The size analysis on real trees, driven as the window drives it, into a
// folder list under Qt's model checker; the size texts' arithmetic; the cache.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <array>
#include <functional>
#include <set>

#include "analysis/folder_cache.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "list/folder_list.h"
#include "list/name_text.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "walker/find_files.h"

namespace TallyrootModule {
namespace {

using Texts = std::vector<std::string>;
using Sizes = std::vector<std::uint64_t>;

// Each event pass records the last row's size when it has changed (from 0), then runs `onPass`.
struct SizeAnalysisTest : ::testing::Test, ListingWindow {
  SizeAnalysisTest() {
    for (int column = 1; column <= 5; ++column) list.AddColumn(column, QString::number(column));
    CacheCreate(), SetWindow(this);
  }
  ~SizeAnalysisTest() override { SetWindow(nullptr); }
  QString PathText() const override { return tallyroot::NameToText(Key(path)); }
  QString RootText() const override { return PathText(); }  // every listing is a load
  tallyroot::FolderList& List() override { return list; }
  void PassEvents() override {
    const std::uint64_t cell = SizeValue(list.SizeCell(list.Count()));
    if (cell != (cells.empty() ? 0 : cells.back())) cells.push_back(cell);
    ++passes;
    if (onPass) onPass();
  }

  std::string Key(const std::string& folder) const {
    return tree.Path(folder) + (folder.empty() ? "" : tallyroot::testing::kSep);
  }
  void List(const std::string& folder) {
    path = folder, cells.clear(), passes = 0;
    RunListing(Key(folder));
  }
  Texts Cached(const Texts& folders) const {  // "-" where none
    Texts totals;
    for (const std::string& f : folders)
      totals.push_back(CacheFind(Key(f)) ? CacheSize(CacheFind(Key(f))) : "-");
    return totals;
  }
  std::string Cells(const std::string& name, int first, int last) const {  // sub-items first..last
    std::string out;
    for (int row = 1; row <= list.Count(); ++row)
      for (int k = first; tallyroot::TextToName(list.Text(row)) == name && k <= last; ++k)
        out += std::string(list.SubItem(row, k)) + " ";
    return out;
  }

  tallyroot::testing::FixtureTree tree;
  std::string path;
  tallyroot::FolderList list;
  QAbstractItemModelTester tester{&list, QAbstractItemModelTester::FailureReportingMode::Fatal};
  Sizes cells;
  int passes = 0;
  std::function<void()> onPass;
};

// Sub's row grows by every file, depth first in the order the file system
// lists them, and by a cached folder's total in one step.
TEST_F(SizeAnalysisTest, ASubfolderGrowsFileByFileAndEveryFolderIsCachedAfterItsContents) {
  tree.File("Sub/a.txt", 100), tree.File("Sub/Deep/b.txt", 50);
  tree.File("Sub/Deep/Deeper/c.txt", 7), tree.File(".git/objects/o", 9);
  tree.File("Sub/.cache/x", 1000), tree.Folder("Sub/Deep/Empty");
  List("");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(Cells("Sub", 1, 2) + tallyroot::TextToName(list.Tag(1)),
            "Ordner 000000000157 " + Key("Sub"));
  const std::set<Sizes> ways = {{100, 150, 157}, {100, 107, 157}, {50, 57, 157}, {7, 57, 157}};
  EXPECT_EQ(ways.count(cells), 1u);  // each file in turn, depth first
  const Texts postOrder = {"Sub/Deep/Deeper", "Sub/Deep", "Sub", ""};
  std::vector<int> at;
  for (const std::string& folder : postOrder) at.push_back(CacheFind(Key(folder)));
  EXPECT_TRUE(at[0] > 0 && std::is_sorted(at.begin(), at.end()) && at[3] == CacheCount());
  EXPECT_EQ(Cached(postOrder),
            (Texts{"000000000007", "000000000057", "000000000157", "000000000157"}));
  EXPECT_EQ(Cached({"Sub/Deep/Empty", "Sub/.cache"}), (Texts{"000000000000", "-"}));

  CacheCreate();  // Deep cached: counted in one step, not walked
  CacheAdd(Key("Sub/Deep"), "000000000057");
  List("");
  EXPECT_EQ((std::set<Sizes>{{100, 157}, {57, 157}}.count(cells)), 1u);
  EXPECT_EQ(CacheCount(), 3);

  CacheCreate();  // closed while Deeper is walked: nothing partial is cached
  int passesAtClose = 0;
  onPass = [&] {
    if (MeasurePath.Text() == Key("Sub/Deep/Deeper") && !AbortScan)
      AbortScan = true, passesAtClose = passes;
  };
  List("");
  EXPECT_EQ(passes, passesAtClose);  // no event pass after the close
  EXPECT_EQ(cells.back() % 50, 7u);  // grown as far as c.txt, whose pass closed the window
  EXPECT_EQ(Cached(postOrder), Texts(4, "-"));
  EXPECT_EQ(Cells("Sub", 3, 3), " ");
  EXPECT_FALSE(list.Sorted());
}

// A folder that vanishes between its parent's listing and its walk: the
// parent shows what is left, marked for one folder not read, and the mark goes
// with the totals into the cache and back into a row copied from it.
TEST_F(SizeAnalysisTest, AFolderThatVanishesDuringTheWalkMarksEveryTotalAboveIt) {
  const tallyroot::testing::ScopedReadAhead off(false);  // which might read it before it goes
  tree.File("Sub/one/f", 1), tree.File("Sub/two/f", 2), tree.File("Sub/three/f", 4);
  std::string gone;
  onPass = [&] {
    for (const char* folder : {"Sub/one", "Sub/two", "Sub/three"}) {
      if (gone.empty() && MeasurePath.Text() != Key(folder) &&
          MeasurePath.Text().starts_with(Key("Sub")))
        gone = folder, std::filesystem::remove_all(tree.Path(folder));
    }
  };
  List("");
  onPass = nullptr;
  std::uint64_t left = 0;
  for (const auto& file : std::filesystem::recursive_directory_iterator(tree.Root()))
    left += file.is_regular_file() ? file.file_size() : 0;
  EXPECT_EQ(Cells("Sub", 2, 2), SizeText(left) + " ") << gone;
  EXPECT_EQ(list.index(0, 0).data(Qt::ToolTipRole).toString().toStdString(),
            "Die Größe ist eine Untergrenze: 1 Ordner hier oder darunter konnte nicht gelesen "
            "werden.");
  EXPECT_EQ(Cached({gone}), Texts{"000000000000"});  // empty, as far as it is known
  for (const std::string& folder : {gone, std::string("Sub"), std::string()})
    EXPECT_EQ(CacheUnread(CacheFind(Key(folder))), 1u) << folder;
  list.Clear();
  List("");  // from the cache
  EXPECT_EQ(Cells("Sub", 2, 2), SizeText(left) + " ");
  EXPECT_EQ(list.Unread(1), 1u);
}

TEST_F(SizeAnalysisTest, SharesAreCutToHundredthsInExactArithmeticAndCachedTotalsTrusted) {
  // Shares of both files, in both columns: in the root's own listing they agree.
  for (const auto& [part, rest, shares] : std::vector<std::tuple<int, int, std::string>>{
           {2, 1, "066,66% 066,66% 033,33% 033,33% "},
           {1, 6, "014,28% 014,28% 085,71% 085,71% "},
           {5, 9995, "000,05% 000,05% 099,95% 099,95% "},
           {1, 19999, "000,00% 000,00% 099,99% 099,99% "},
           {12345, 0, "100,00% 100,00% 000,00% 000,00% "}}) {
    const std::string folder = "of" + std::to_string(part + rest) + "_" + std::to_string(part);
    tree.File(folder + "/part", part), tree.File(folder + "/rest", rest);
    List(folder);
    EXPECT_EQ(Cells("part", 3, 4) + Cells("rest", 3, 4), shares);
  }
  tree.File("St/grown", 25000), tree.File("St/large", 19998);
  CacheAdd(Key("St"), "000000002000");  // stale: the files have grown since
  List("St");
  EXPECT_EQ(CacheCount(), 6);
  EXPECT_EQ(Cells("grown", 3, 3) + Cells("large", 4, 4), "1250,00% 999,90% ");

  tree.Folder("Z/Empty"), tree.File("Z/zero", 0);
  List("Z/Empty");
  EXPECT_EQ(Cached({"Z/Empty"}), Texts{"0"});  // an empty folder's total
  EXPECT_TRUE(list.Sorted());
  List("Z");  // copies that "0" as it is; its own total is zero
  EXPECT_EQ(Cells("Empty", 2, 3) + Cells("zero", 4, 4), "0 000,00% 000,00% ");
  EXPECT_EQ(Cached({"Z"}), Texts{"000000000000"});
}

// Shares whose size times 10000 needs more than 64 bits, and sums at the top
// of the range (figures from Python's unbounded integers).
TEST(SizeText, SharesAndSumsBeyondSixtyFourBitsAreExactOrSaturate) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  for (const auto& [size, total, share] : std::vector<std::array<std::uint64_t, 3>>{
           {kMax, kMax, 10000},
           {kMax - 1, kMax, 9999},
           {kMax, 10001, 18444899583751176497u},
           {kMax, 10000, kMax},  // exactly the largest value
           {kMax / 2, 1, kMax},  // saturated
           {9223372036854775808u, 6917529027641081856u, 13333},
           {1844674407370956u, 6148914691236517205u, 3},
           {2000000000000000000u, 3000000000000000007u, 6666},
           {kMax, 0, 0}})
    EXPECT_EQ(ShareOf(size, total), share) << size << " of " << total;
  EXPECT_EQ(AddSizes(9223372036854775808u, 9223372036854775807u), kMax);
  EXPECT_EQ(AddSizes(9223372036854775808u, 9223372036854775808u), kMax);  // saturated
}

// Keys are exact: names that Unicode's case folding makes one, but that NTFS
// (unit by unit through its own table) or a case-sensitive folder keeps
// apart, keep their own totals; only the file system may join two names
// (TypedFolderPath). Of two equal keys the older wins until forgotten.
TEST(FolderCache, ExactKeysOldestFirstAndEviction) {
  CacheCreate();
  // Then: dotless i, dotted capital I; three sigmas; micro sign, mu, capital mu; the ligature
  // fi; Kelvin and Angstrom signs; title-case DZ with caron, its upper case; not UTF-8.
  const std::vector<std::string> names = {
      "Maße",   "MASSE",  "Masse",  "Fuß",    "FUSS",   "ẞ",        "ß",      "A",
      "a",      "\u0131", "I",      "i",      "\u0130", "\u03C2",   "\u03C3", "\u03A3",
      "\u00B5", "\u03BC", "\u039C", "\uFB01", "FI",     "fi",       "\u212A", "K",
      "k",      "\u212B", "\u00C5", "\u01C5", "\u01C4", "DZ\u030C", "\xFF"};
  const auto key = [&](std::size_t i) { return "/data/" + names[i] + "/"; };
  for (std::size_t i = 0; i < names.size(); ++i) CacheAdd(key(i), SizeText(i + 1));
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(CacheSize(CacheFind(key(i))), SizeText(i + 1)) << names[i];
  for (const char* miss : {"/data/A", "/data//A/", "/DATA/A/", "/data/\xFE/"})
    EXPECT_EQ(CacheFind(miss), 0) << miss;
  CacheCreate();
  CacheAdd("/dup/", "000000000001"), CacheAdd("/dup/", "000000000002"), CacheAdd("/z/", "0");
  EXPECT_EQ(CacheSize(CacheFind("/z/")), "0");  // kept as given
  for (int i = 4; i <= kCacheCapacity; ++i) CacheAdd("/" + std::to_string(i) + "/", "1");
  EXPECT_EQ(CacheSize(CacheFind("/dup/")), "000000000001");
  CacheAdd("/last/", "1");  // the older is forgotten
  EXPECT_EQ(CacheSize(CacheFind("/dup/")), "000000000002");
  EXPECT_EQ(CacheFind("/dup/"), 1);

  // First in first out, indices from the oldest, over measured keys that share
  // leading parts, also with forgotten keys (eviction reuses their blocks).
  CacheCreate();
  KeyPath path;
  std::vector<std::string> keys;  // as added, oldest first
  int round = 0;                  // odd: added as a KeyPath, even: as text
  const std::function<void(int)> measure = [&](int depth) {  // siblings, other keys in between
    for (const char* name : {"a", "b"}) {
      if (depth == 0) break;
      const std::size_t kept = path.Text().size();
      path.AppendFolder(name), measure(depth - 1), path.Cut(kept);
    }
    keys.push_back(path.Text());
    const std::string size = SizeText(keys.size());
    round % 2 ? CacheAdd(path, size) : CacheAdd(keys.back(), size);
    if (keys.size() % 7 == 0) keys.push_back(path.Text() + "p" + std::to_string(keys.size()) + "/");
    if (keys.back() != path.Text()) CacheAdd(keys.back(), SizeText(keys.size()));
  };
  for (; keys.size() < kCacheCapacity + 12345; ++round)
    path = "/r" + std::to_string(round) + "/", measure(8);
  const std::size_t first = keys.size() - kCacheCapacity;
  int wrong = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {  // the forgotten ones, and partial keys: none
    const std::int32_t found = CacheFind(keys[i]);
    wrong += found != static_cast<std::int32_t>(i < first ? 0 : i - first + 1) ||
             (found && CacheSize(found) != SizeText(i + 1)) ||
             CacheFind(std::string_view(keys[i]).substr(0, keys[i].size() - 1)) != 0;
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace TallyrootModule
