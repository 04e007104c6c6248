// The size analysis on real folder trees, driven as the window drives it but
// through a window with no widgets: listing, measurement, totals and shares.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "find_files.h"
#include "fixture_tree.h"
#include "folder_cache.h"
#include "folder_list.h"
#include "name_text.h"
#include "size_text.h"
#include "tallyroot_module.h"

namespace TallyrootModule {
namespace {

using tallyroot::NameToText;
using tallyroot::TextToName;

// Every event pass records the last row's size cell, then runs the test's hook.
class FakeWindow final : public ListingWindow {
 public:
  QString PathText() const override { return path; }
  QString RootText() const override { return root; }
  tallyroot::FolderList& List() override { return list; }
  void PassEvents() override {
    const std::uint64_t cell = SizeValue(list.SizeCell(list.Count()));
    if (cellsRow != list.Count()) cells.clear(), cellsRow = list.Count();
    if (cells.empty() || cells.back() != cell) cells.push_back(cell);
    ++passes;
    if (onPass) onPass();
  }

  QString path, root;
  tallyroot::FolderList list;
  std::vector<std::uint64_t> cells;  // the values the last row's size went through
  int cellsRow = 0;
  int passes = 0;
  std::function<void()> onPass;
};

class SizeAnalysisTest : public ::testing::Test {
 protected:
  SizeAnalysisTest() {
    CacheCreate();
    SetWindow(&window);
  }
  ~SizeAnalysisTest() override { SetWindow(nullptr); }

  // A folder's path with the separator; "" is the tree's root.
  std::string Key(const std::string& folder) const { return (folder.empty() ? tree.Root() : tree.Path(folder)) + "/"; }

  void List(const std::string& folder, const std::string& root) {
    ListPath(NameToText(Key(folder)), NameToText(Key(root)));
  }
  void ListPath(QString path, QString root) {
    window.path = path;
    window.root = root;
    window.cellsRow = 0;
    window.passes = 0;
    window.list.Clear();
    window.list.SetSorted(false);
    FindFilesModule::FindFiles(ListEntry, FinishListing, TextToName(path), FindFilesModule::AllHere, AbortScan);
  }

  std::string Cached(const std::string& folder) const {
    const std::int32_t index = CacheFind(Key(folder));
    return index == 0 ? "-" : CacheSize(index);
  }
  std::vector<std::string> Cached(const std::vector<std::string>& folders) const {
    std::vector<std::string> totals;
    for (const std::string& folder : folders) totals.push_back(Cached(folder));
    return totals;
  }
  int RowOf(const std::string& name) const {
    for (int row = 1; row <= window.list.Count(); ++row) {
      if (TextToName(window.list.Text(row)) == name) return row;
    }
    return 0;
  }
  std::string Cell(const std::string& name, int subItem) const {
    return RowOf(name) == 0 ? "(no row)" : std::string(window.list.SubItem(RowOf(name), subItem));
  }

  // Sub: a.txt 100 bytes, Deep/b.txt 50, Deep/Deeper/c.txt 7.
  void MakeSub() {
    tree.File("Sub/a.txt", 100);
    tree.File("Sub/Deep/b.txt", 50);
    tree.File("Sub/Deep/Deeper/c.txt", 7);
  }

  // The values a measured folder's row should go through, from the order in
  // which the file system lists the entries: it grows by every file below
  // `folder`, depth first, and by a folder in `cached` in one step.
  std::vector<std::uint64_t> Growth(const std::string& folder, const std::map<std::string, std::uint64_t>& cached = {},
                                    std::vector<std::uint64_t> sums = {}) const {
    DIR* dir = opendir(tree.Path(folder).c_str());
    while (const dirent* entry = readdir(dir)) {
      const std::string inner = folder + "/" + entry->d_name;
      struct stat info {};
      lstat(tree.Path(inner).c_str(), &info);
      const bool isFolder = S_ISDIR(info.st_mode);
      if (isFolder && !cached.contains(inner)) {
        if (entry->d_name[0] != '.') sums = Growth(inner, cached, std::move(sums));  // "." and ".." too
        continue;
      }
      const std::uint64_t amount = isFolder ? cached.at(inner) : static_cast<std::uint64_t>(info.st_size);
      sums.push_back((sums.empty() ? 0 : sums.back()) + amount);
    }
    closedir(dir);
    return sums;
  }

  tallyroot::testing::FixtureTree tree;
  FakeWindow window;
};

TEST_F(SizeAnalysisTest, ASubfolderGrowsFileByFileAndEveryFolderIsCachedAfterItsContents) {
  MakeSub();
  tree.Folder(".git/objects");
  List("", "");
  ASSERT_EQ(window.list.Count(), 1);
  EXPECT_EQ(Cell("Sub", 1), "Ordner");
  EXPECT_EQ(TextToName(window.list.Tag(1)), Key("Sub"));
  EXPECT_EQ(Cell("Sub", 2), "000000000157");
  EXPECT_EQ(window.cells, Growth("Sub"));
  // Cached deepest first, the listed folder last.
  ASSERT_EQ(CacheCount(), 4);
  const std::vector<std::string> postOrder = {"Sub/Deep/Deeper", "Sub/Deep", "Sub", ""};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(CacheFind(Key(postOrder[i])), i + 1) << postOrder[i];
  EXPECT_EQ(Cached(postOrder), (std::vector<std::string>{"000000000007", "000000000057", "000000000157",
                                                         "000000000157"}));

  // Listed again, nothing below is walked: one event pass for the one row.
  List("", "");
  EXPECT_EQ(window.passes, 1);
  EXPECT_EQ(CacheCount(), 4);
}

TEST_F(SizeAnalysisTest, ACachedFolderCountsInOneStepAndIsNotWalked) {
  MakeSub();
  CacheAdd(Key("Sub/Deep"), "000000000057");
  List("", "");
  EXPECT_EQ(Cell("Sub", 2), "000000000157");
  EXPECT_EQ(window.cells, Growth("Sub", {{"Sub/Deep", 57}}));
  EXPECT_EQ(CacheCount(), 3);
  EXPECT_EQ(CacheFind(Key("Sub")), 2);
}

TEST_F(SizeAnalysisTest, EmptyHiddenAndHugeSubfolders) {
  tree.Folder("Empty");
  tree.File("Hidden/.cache/blob", 1000);
  tree.File("Hidden/.profile", 3);
  tree.File("Big/one", 500000000000);
  tree.File("Big/two", 500000000005);
  List("", "");
  EXPECT_EQ(Cell("Empty", 2), "000000000000");
  EXPECT_EQ(Cell("Hidden", 2), "000000000003");
  EXPECT_EQ(Cell("Big", 2), "1000000000005");
  EXPECT_EQ(Cached(std::vector<std::string>{"Empty", "Hidden/.cache", "Big"}),
            (std::vector<std::string>{"000000000000", "-", "1000000000005"}));
  EXPECT_EQ(Cell("Big", 3), "099,99%");  // of 1000000000008
}

TEST_F(SizeAnalysisTest, ClosingWhileDeeperIsWalkedCachesNothingPartial) {
  MakeSub();
  tree.File("z.txt", 1);
  int passesAtClose = 0;
  window.onPass = [&] {
    if (MeasurePath != Key("Sub/Deep/Deeper") || AbortScan) return;
    AbortScan = true;
    passesAtClose = window.passes;
  };
  List("", "");

  ASSERT_NE(passesAtClose, 0);
  EXPECT_EQ(window.passes, passesAtClose);  // no event pass after the close
  EXPECT_EQ(RowOf("Sub"), window.list.Count());
  // The row grew as far as c.txt, whose event pass closed the window, and kept that value.
  const std::vector<std::uint64_t> growth = Growth("Sub");
  std::size_t step = 0;
  while (growth[step] - (step == 0 ? 0 : growth[step - 1]) != 7) ++step;
  EXPECT_EQ(window.cells, std::vector<std::uint64_t>(growth.begin(), growth.begin() + step + 1));
  EXPECT_EQ(Cell("Sub", 2), SizeText(growth[step]));
  EXPECT_EQ(Cached(std::vector<std::string>{"", "Sub", "Sub/Deep", "Sub/Deep/Deeper"}),
            std::vector<std::string>(4, "-"));
  EXPECT_EQ(Cell("Sub", 3), "");
  EXPECT_FALSE(window.list.Sorted());
}

TEST_F(SizeAnalysisTest, SharesAreCutToHundredthsInExactArithmetic) {
  struct Case {
    std::uint64_t part, rest;
    const char *partShare, *restShare;
  } const cases[] = {{2, 1, "066,66%", "033,33%"},    {1, 6, "014,28%", "085,71%"},
                     {5, 9995, "000,05%", "099,95%"}, {1, 19999, "000,00%", "099,99%"},
                     {29, 71, "029,00%", "071,00%"},  {57, 43, "057,00%", "043,00%"},
                     {12345, 0, "100,00%", "000,00%"}};
  for (const Case& c : cases) {
    const std::string folder = "of" + std::to_string(c.part + c.rest) + "_" + std::to_string(c.part);
    tree.File(folder + "/part", c.part);
    tree.File(folder + "/rest", c.rest);
    List(folder, folder);
    EXPECT_EQ(Cached(folder), SizeText(c.part + c.rest));
    for (int share : {3, 4}) {  // in the root's own listing both columns agree
      EXPECT_EQ(Cell("part", share), c.partShare) << folder;
      EXPECT_EQ(Cell("rest", share), c.restShare) << folder;
    }
  }
}

TEST_F(SizeAnalysisTest, ACachedTotalIsTrustedAfterFilesHaveGrown) {
  tree.File("St/grown", 25000);
  tree.File("St/tiny", 1);
  tree.File("St/large", 19998);
  CacheAdd(Key("St"), "000000002000");
  window.list.SetSortKey(3);
  window.list.SetSortOrder(1);
  List("St", "St");
  EXPECT_EQ(CacheCount(), 1);
  EXPECT_EQ(RowOf("grown"), 1);
  EXPECT_EQ(Cell("grown", 3), "1250,00%");
  EXPECT_EQ(RowOf("large"), 2);
  EXPECT_EQ(Cell("large", 4), "999,90%");
}

TEST_F(SizeAnalysisTest, EmptyAndZeroSizedFolders) {
  tree.Folder("Z/Empty");
  tree.File("Z/zero", 0);
  List("Z/Empty", "Z/Empty");
  EXPECT_EQ(window.list.Count(), 0);
  EXPECT_EQ(Cached("Z/Empty"), "0");
  EXPECT_TRUE(window.list.Sorted());

  List("Z", "Z");  // copies that "0" as it is; its own total is zero
  EXPECT_EQ(Cell("Empty", 2), "0");
  EXPECT_EQ(Cached("Z"), "000000000000");
  EXPECT_EQ(Cell("Empty", 3), "000,00%");
  EXPECT_EQ(Cell("zero", 4), "000,00%");
  EXPECT_TRUE(window.list.Sorted());
}

TEST_F(SizeAnalysisTest, AListingOfMoreThan32767RowsIsCompleteAndSorted) {
  constexpr int kFiles = 33000;
  for (int i = 0; i < kFiles; ++i) tree.File("Many/f" + std::to_string(i), i == kFiles - 1 ? 1 : 0);
  List("Many", "Many");
  ASSERT_EQ(window.list.Count(), kFiles);
  EXPECT_TRUE(window.list.Sorted());
  int wrong = 0;
  for (int row = 1; row <= kFiles; ++row) {
    const std::string_view share = row == kFiles ? "100,00%" : "000,00%";
    wrong += window.list.Text(row) != "f" + QString::number(row - 1) || window.list.SubItem(row, 3) != share ||
             window.list.SubItem(row, 4) != share;
  }
  EXPECT_EQ(wrong, 0);
}

// Moving down goes through the row's tag, also for a name that is not UTF-8.
TEST_F(SizeAnalysisTest, SharesOfTheRootAndAForgottenRoot) {
  tree.File("R/x", 1);
  tree.File("R/S\xFF/y", 3);
  List("R", "R");
  EXPECT_EQ(Cell("x", 1), "Datei");
  EXPECT_TRUE(window.list.Tag(RowOf("x")).isEmpty());
  const QString tag = window.list.Tag(RowOf("S\xFF"));
  const std::int32_t cached = CacheCount();
  ListPath(tag, NameToText(Key("R")));
  EXPECT_EQ(CacheCount(), cached);
  EXPECT_EQ(Cell("y", 3), "100,00%");
  EXPECT_EQ(Cell("y", 4), "075,00%");

  for (int i = 0; i < kCacheCapacity; ++i) CacheAdd("/elsewhere/" + std::to_string(i) + "/", "000000000001");
  ASSERT_EQ(CacheFind(Key("R")), 0);
  try {
    ListPath(tag, NameToText(Key("R")));
    ADD_FAILURE() << "a forgotten root went unnoticed";
  } catch (const RootTotalMissing& error) {
    EXPECT_STREQ(error.what(), "Error");
  }
  EXPECT_EQ(Cell("y", 3), "100,00%");
  EXPECT_EQ(Cell("y", 4), "");
  EXPECT_FALSE(window.list.Sorted());
}

}  // namespace
}  // namespace TallyrootModule
