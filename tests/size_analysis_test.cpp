// The size analysis on real trees, driven as the window drives it; size arithmetic; the cache.
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

struct SizeAnalysisTest : ::testing::Test, ListingWindow {
  SizeAnalysisTest() {
    for (int column = 1; column <= 5; ++column) list.AddColumn(column, QString::number(column));
    CacheCreate(), SetWindow(this);
  }
  ~SizeAnalysisTest() override { SetWindow(nullptr); }
  QString PathText() const override { return tallyroot::NameToText(Key(path)); }
  QString RootText() const override { return PathText(); }  // every listing is a load
  tallyroot::FolderList& List() override { return list; }
  void PassEvents() override {  // records the last row's size when it has changed
    const std::uint64_t cell = SizeValue(list.SizeCell(list.Count()));
    if (cell != (cells.empty() ? 0 : cells.back())) cells.push_back(cell);
    if (onPass) onPass();
  }

  std::string Key(const std::string& folder) const {
    return tree.Path(folder) + (folder.empty() ? "" : tallyroot::testing::kSep);
  }
  void List(const std::string& folder) {
    path = folder, cells.clear();
    RunListing(Key(folder));
  }
  Texts Cached(Texts folders) const {  // "-" where none
    for (std::string& f : folders) f = CacheFind(Key(f)) ? CacheSize(CacheFind(Key(f))) : "-";
    return folders;
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
  std::function<void()> onPass;
};

TEST_F(SizeAnalysisTest, ASubfolderGrowsFileByFileAndEveryFolderIsCachedAfterItsContents) {
  tree.File("Sub/a.txt", 100), tree.File("Sub/Deep/b.txt", 50);
  tree.File("Sub/Deep/Deeper/c.txt", 7), tree.File(".git/objects/o", 9);
  tree.File("Sub/.cache/x", 1000), tree.Folder("Sub/Deep/Empty");
  List("");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(Cells("Sub", 1, 2) + tallyroot::TextToName(list.Tag(1)),
            "Ordner 000000000157 " + Key("Sub"));
  const std::set<Sizes> ways = {{100, 150, 157}, {100, 107, 157}, {50, 57, 157}, {7, 57, 157}};
  EXPECT_EQ(ways.count(cells), 1u);  // file by file, depth first in any listing order
  const Texts postOrder = {"Sub/Deep/Deeper", "Sub/Deep", "Sub", ""};
  std::vector<int> at;
  for (const std::string& folder : postOrder) at.push_back(CacheFind(Key(folder)));
  EXPECT_TRUE(at[0] > 0 && std::is_sorted(at.begin(), at.end()) && at[3] == CacheCount());
  EXPECT_EQ(Cached(postOrder),
            (Texts{"000000000007", "000000000057", "000000000157", "000000000157"}));
  EXPECT_EQ(Cached({"Sub/Deep/Empty", "Sub/.cache"}), (Texts{"000000000000", "-"}));

  CacheCreate(), CacheAdd(Key("Sub/Deep"), "000000000057");  // counted in one step, not walked
  List("");
  EXPECT_EQ((std::set<Sizes>{{100, 157}, {57, 157}}.count(cells)), 1u);
  EXPECT_EQ(CacheCount(), 3);

  CacheCreate();  // closed while Deeper is walked: nothing partial is cached
  int late = 0;   // event passes after the close
  onPass = [&] { late += AbortScan, AbortScan |= MeasurePath.Text() == Key("Sub/Deep/Deeper"); };
  List("");
  EXPECT_EQ(late, 0);
  EXPECT_EQ(Cached(postOrder), Texts(4, "-"));
  EXPECT_FALSE(list.Sorted());  // not finished: no shares either
}

TEST_F(SizeAnalysisTest, AFolderThatVanishesDuringTheWalkMarksEveryTotalAboveIt) {
  const tallyroot::testing::ScopedReadAhead off(false);  // which might read it before it goes
  tree.File("Sub/1/f", 1), tree.File("Sub/2/f", 2), tree.File("Sub/4/f", 4);
  std::string gone;
  onPass = [&] {
    for (const char* folder : {"Sub/1", "Sub/2", "Sub/4"})
      if (gone.empty() && MeasurePath.Text() != Key(folder) &&
          MeasurePath.Text().starts_with(Key("Sub")))
        gone = folder, std::filesystem::remove_all(tree.Path(folder));
  };
  List("");
  EXPECT_EQ(Cells("Sub", 2, 2), SizeText(7 - std::stoi(gone.empty() ? "0" : gone.substr(4))) + " ");
  EXPECT_EQ(list.index(0, 0).data(Qt::ToolTipRole).toString().toStdString(),
            "Die Größe ist eine Untergrenze: 1 Ordner hier oder darunter konnte nicht gelesen "
            "werden.");
  EXPECT_EQ(Cached({gone}), Texts{"000000000000"});  // empty, as far as it is known
  for (const std::string& folder : {gone, std::string("Sub"), std::string()})
    EXPECT_EQ(CacheUnread(CacheFind(Key(folder))), 1u) << folder;
}

TEST_F(SizeAnalysisTest, SharesAreExactOrSaturateAndCachedTotalsAreTrusted) {
  for (const auto& [part, rest, cached, shares] :
       std::vector<std::tuple<int, int, std::string, std::string>>{
           {2, 1, "", "066,66% 066,66% 033,33% 033,33% "},
           {5, 9995, "", "000,05% 000,05% 099,95% 099,95% "},
           {12345, 0, "", "100,00% 100,00% 000,00% 000,00% "},
           {25000, 19998, "000000002000", "1250,00% 1250,00% 999,90% 999,90% "}}) {
    const std::string folder = "of" + std::to_string(part);
    tree.File(folder + "/part", part), tree.File(folder + "/rest", rest);
    if (!cached.empty()) CacheAdd(Key(folder), cached);  // stale: the files grew since
    List(folder);
    EXPECT_EQ(Cells("part", 3, 4) + Cells("rest", 3, 4), shares);  // its own root: columns agree
  }
  EXPECT_EQ(CacheCount(), 4);  // the stale total is not added again

  tree.Folder("Z/Empty"), tree.File("Z/zero", 0);
  List("Z/Empty");  // an empty folder's total, kept as given
  List("Z");        // copies that "0" as it is; its own total is zero
  EXPECT_EQ(Cells("Empty", 2, 3) + Cells("zero", 4, 4), "0 000,00% 000,00% ");
  EXPECT_EQ(Cached({"Z/Empty", "Z"}), (Texts{"0", "000000000000"}));

  constexpr std::uint64_t kMax = UINT64_MAX;  // figures from Python's unbounded integers
  for (const auto& [size, total, share] : std::vector<std::array<std::uint64_t, 3>>{
           {kMax - 1, kMax, 9999},
           {kMax, 10001, 18444899583751176497u},
           {kMax / 2, 1, kMax},                            // saturated
           {1844674407370956u, 6148914691236517205u, 3}})  // * 10000 overflows
    EXPECT_EQ(ShareOf(size, total), share) << size << " of " << total;
  EXPECT_EQ(AddSizes(9223372036854775808u, 9223372036854775808u), kMax);  // saturated
}

TEST(FolderCache, ExactKeysOldestFirstAndEviction) {
  CacheCreate(), CacheAdd("/dup/", "000000000001"), CacheAdd("/dup/", "000000000002");
  for (int i = 3; i <= kCacheCapacity; ++i) CacheAdd("/" + std::to_string(i) + "/", "1");
  EXPECT_EQ(CacheSize(CacheFind("/dup/")), "000000000001");
  CacheAdd("/last/", "1");           // the older is forgotten
  EXPECT_EQ(CacheFind("/dup/"), 1);  // the newer, now the oldest entry

  CacheCreate();  // first in first out; eviction reuses the forgotten keys' blocks
  KeyPath path;
  std::vector<std::string> keys;  // as added, oldest first
  int round = 0;                  // odd: added as a KeyPath, even: as text
  const std::function<void(int)> measure = [&](int depth) {  // siblings, other keys in between
    const std::size_t kept = path.Text().size();
    for (const char* name : {"a", "b"})
      if (depth > 0) path.AppendFolder(name), measure(depth - 1), path.Cut(kept);
    const std::string size = SizeText(keys.size() + 1);
    keys.push_back(path.Text()), round % 2 ? CacheAdd(path, size) : CacheAdd(keys.back(), size);
    if (keys.size() % 7 == 0) keys.push_back(path.Text() + "p" + std::to_string(keys.size()) + "/");
    if (keys.back() != path.Text()) CacheAdd(keys.back(), SizeText(keys.size()));
  };
  for (; keys.size() < kCacheCapacity + 12345; ++round)
    path = "/r" + std::to_string(round) + "/", measure(8);
  // Each pair joins if folded, normalised or read as UTF-8; NTFS keeps them apart.
  for (const std::string name : {"A", "a", "Maße", "MASSE", "\u212B", "\u00C5", "\xFE", "\xFF"})
    keys.push_back("/data/" + name + "/"), CacheAdd(keys.back(), SizeText(keys.size()));
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
