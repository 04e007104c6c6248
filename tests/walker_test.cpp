// The folder walker over real trees: what each mode reports and enters, in
// which order, how paths and sizes come out, and how walks nest and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "find_files.h"
#include "fixture_tree.h"

namespace {

using namespace FindFilesModule;
using tallyroot::testing::FixtureTree;
namespace fs = std::filesystem;

// One OnEntry call: FoundEntry as it stood during the call.
struct Seen {
  std::string full, name, folder;
  std::uint32_t attributes;
  std::uint64_t size;
  bool operator==(const Seen&) const = default;
};
bool IsFolder(const Seen& seen) { return (seen.attributes & kFolderAttribute) != 0; }
void PrintTo(const Seen& seen, std::ostream* out) {
  *out << seen.full << (IsFolder(seen) ? " (folder)" : " ") << seen.size;
}

std::vector<Seen> gSeen;
int gDone = 0;
std::size_t gSeenAtDone = 0;
bool gAbort = false;
std::function<void()> gAfterEntry;  // run by OnEntry once it has recorded

void OnEntry() {
  gSeen.push_back({FoundEntry.FullPath, FoundEntry.Name, FoundEntry.FolderPath,
                   FoundEntry.Attributes, FoundEntry.Size});
  if (const auto after = gAfterEntry) after();
}
void OnDone() {
  ++gDone;
  gSeenAtDone = gSeen.size();
}

std::vector<Seen> Walk(const std::string& folder, int mode, std::function<void()> afterEntry = {}) {
  gSeen.clear();
  gDone = 0;
  gAfterEntry = std::move(afterEntry);
  FindFiles(OnEntry, OnDone, folder, static_cast<WalkMode>(mode), gAbort);
  gAfterEntry = nullptr;
  return gSeen;
}

// Relative path -> size; -1 makes a folder. The folders whose names begin
// with a dot, and all inside them, are never to be seen.
const std::map<std::string, long long> kTree = {
    {"f1", 10},       {".dotfile", 20},     {"g2", 21},       {"h3", 22},
    {"empty", -1},    {"d1", -1},           {"d1/f2", 30},    {"d1/.dotfile2", 35},
    {"d1/d2", -1},    {"d1/d2/f3", 40},     {"d1/d2/d3", -1}, {"d1/.git/objects/o", 50},
    {".cache/x", 60}, {".cache/sub/y", 70}, {"..z/w", 80}};

void Build(FixtureTree& tree) {
  for (const auto& [relative, size] : kTree) {
    if (size < 0) tree.Folder(relative);
    else tree.File(relative, static_cast<std::uint64_t>(size));
  }
}

TEST(FindFiles, EachModeReportsAndEntersWhatItsTableRowSays) {
  FixtureTree tree;
  Build(tree);
  struct Row {
    int mode;
    bool filesHere, foldersHere, filesBelow, foldersBelow;
  };
  const Row rows[] = {{FilesDeep, 1, 0, 1, 0},   {FilesHere, 1, 0, 0, 0},   {FilesBelow, 0, 0, 1, 0},
                      {FoldersDeep, 0, 1, 0, 1}, {FoldersHere, 0, 1, 0, 0}, {FoldersBelow, 0, 0, 0, 1},
                      {AllDeep, 1, 1, 1, 1},     {AllHere, 1, 1, 0, 0},     {AllBelow, 0, 0, 1, 1},
                      {-1, 0, 0, 0, 0},          {9, 0, 0, 0, 0},           {INT16_MIN, 0, 0, 0, 0},
                      {INT16_MAX, 0, 0, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE("mode " + std::to_string(row.mode));
    std::set<std::string> expected;
    for (const auto& [relative, size] : kTree) {
      const std::string folders = "/" + (size < 0 ? relative : relative.substr(0, relative.rfind('/') + 1));
      if (folders.find("/.") != std::string::npos) continue;
      const bool below = relative.find('/') != std::string::npos;
      if (size < 0 ? (below ? row.foldersBelow : row.foldersHere) : (below ? row.filesBelow : row.filesHere))
        expected.insert(relative);
    }
    std::set<std::string> reported;
    for (const Seen& seen : Walk(tree.Root(), row.mode)) {
      const std::string relative = seen.full.substr(tree.Root().size() + 1);
      const auto cut = relative.rfind('/');
      EXPECT_EQ(seen.folder, tree.Path(cut == std::string::npos ? "" : relative.substr(0, cut + 1)));
      EXPECT_EQ(seen.full, seen.folder + seen.name);
      const long long size = kTree.count(relative) ? kTree.at(relative) : -2;
      EXPECT_EQ(IsFolder(seen), size == -1) << relative;
      EXPECT_EQ(seen.size, static_cast<std::uint64_t>(std::max(size, 0LL))) << relative;
      reported.insert(relative);
    }
    EXPECT_EQ(reported, expected);
    EXPECT_EQ(gDone, 1);
  }
}

TEST(FindFiles, ReportsInListingOrderWithEachSubtreeRightAfterItsFolder) {
  FixtureTree tree;
  Build(tree);
  const std::vector<Seen> seen = Walk(tree.Root(), AllDeep);
  EXPECT_EQ(gDone, 1);
  EXPECT_EQ(gSeenAtDone, seen.size());

  // Within each folder, the file system's own order, not sorted.
  std::map<std::string, std::vector<std::string>> byFolder;
  for (const Seen& entry : seen) byFolder[entry.folder].push_back(entry.name);
  for (const auto& [folder, names] : byFolder) {
    std::vector<std::string> listed;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename();
      if (!(name.starts_with('.') && entry.is_directory() && !entry.is_symlink())) listed.push_back(name);
    }
    EXPECT_EQ(names, listed) << folder;
  }
  // A folder is followed by its whole subtree, and then by its next sibling.
  for (std::size_t at = 0; at < seen.size(); ++at) {
    if (!IsFolder(seen[at])) continue;
    const std::string inside = seen[at].full + "/";
    const auto isInside = [&](const Seen& entry) { return entry.full.starts_with(inside); };
    std::size_t end = at + 1;
    while (end < seen.size() && isInside(seen[end])) ++end;
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), isInside), end - at - 1) << inside;
  }
}

TEST(FindFiles, ReportsNamesAndSizesWholeAndLinksAsFilesOfTheirOwnSize) {
  FixtureTree tree;
  const std::string folder(255, 'd');
  std::map<std::string, std::uint64_t> sizes = {
      {"zero", 0},          {"3e9", 3000000000},         {"4g", 4294967296}, {"4g+1", 4294967297},
      {"5g", 5368709120},   {std::string(255, 'n'), 1}, {"Größe", 1},       {"back\\slash", 1}};
  for (const auto& [name, size] : sizes) tree.File(folder + "/" + name, size);
  tree.Link(folder + "/up", tree.Root());  // followed, it would make a cycle
  tree.Link(folder + "/parent", "..");
  tree.Link(folder + "/dangling", "nowhere");
  tree.Link(folder + "/to5g", "5g");
  sizes.insert({{"up", tree.Root().size()}, {"parent", 2}, {"dangling", 7}, {"to5g", 2}});

  std::map<std::string, std::uint64_t> reported;
  for (const Seen& seen : Walk(tree.Root(), AllDeep)) {
    const bool inside = seen.folder == tree.Path(folder + "/");
    EXPECT_EQ(seen.full, inside ? seen.folder + seen.name : tree.Path(folder));
    EXPECT_EQ(IsFolder(seen), !inside) << seen.full;
    if (inside) reported[seen.name] = seen.size;
  }
  EXPECT_EQ(reported, sizes);
  EXPECT_EQ(Walk(tree.Root(), FoldersDeep).size(), 1u);
}

TEST(FindFiles, FolderPathGetsOneTrailingSeparatorAndNothingElse) {
  FixtureTree tree;
  tree.File("d/sub/f", 1);
  tree.Link("alias", "d");
  const auto fullPaths = [](const std::string& folder) {
    std::vector<std::string> paths;
    for (const Seen& seen : Walk(folder, AllDeep)) paths.push_back(seen.folder + "|" + seen.full);
    return paths;
  };
  const auto expected = [](const std::string& d) {
    return std::vector<std::string>{d + "/|" + d + "/sub", d + "/sub/|" + d + "/sub/f"};
  };
  EXPECT_EQ(fullPaths(tree.Path("d")), expected(tree.Path("d")));
  EXPECT_EQ(fullPaths(tree.Path("d/")), expected(tree.Path("d")));
  EXPECT_EQ(fullPaths(tree.Path("alias")), expected(tree.Path("alias")));  // the walked folder may be a link

  const std::vector<Seen> top = Walk("/", AllHere);
  EXPECT_FALSE(top.empty());
  for (const Seen& seen : top) EXPECT_EQ(seen.full, "/" + seen.name);

  // No folder at all means the folder of the running program.
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const std::vector<Seen> own = Walk("", FilesHere);
  EXPECT_EQ(gDone, 1);
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(own[0].folder, self.parent_path().string() + "/");
  EXPECT_TRUE(std::any_of(own.begin(), own.end(), [&](const Seen& s) { return s.name == self.filename().string(); }));
}

TEST(FindFiles, FolderThatCannotBeListedEndsWithOnDoneAlone) {
  FixtureTree tree;
  tree.File("file", 5);
  tree.Folder("empty");
  tree.Link("dangling", "nowhere");
  for (const std::string& folder : {tree.Path("missing"), tree.Path("missing/deeper"), tree.Path("file"),
                                    tree.Path("file/"), tree.Path("dangling"), tree.Path("empty")}) {
    EXPECT_TRUE(Walk(folder, AllDeep).empty()) << folder;
    EXPECT_EQ(gDone, 1) << folder;
  }
}

TEST(FindFiles, AbortStopsEveryLevelAtOnceAndStaysSet) {
  FixtureTree tree;
  for (const std::string folder : {"", "a/", "a/b/", "a/b/c/"}) {
    for (const char* name : {"f1", "f2", "f3", "f4", "f5"}) tree.File(folder + name, 1);
  }
  tree.Folder("a/b/c/x");
  tree.Folder("a/b/c/y");

  const std::vector<Seen> flat = Walk(tree.Root(), AllHere);
  const std::vector<Seen> third = Walk(tree.Root(), AllHere, [] { gAbort = gSeen.size() == 3; });
  EXPECT_EQ(third, std::vector<Seen>(flat.begin(), flat.begin() + 3));
  EXPECT_EQ(gDone, 0);
  EXPECT_TRUE(gAbort);

  const std::string deepest = tree.Path("a/b/c/");
  for (int mode : {FilesDeep, FilesBelow, FoldersBelow, AllDeep, AllBelow}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::vector<Seen> whole = Walk(tree.Root(), mode);
    const auto first = std::find_if(whole.begin(), whole.end(), [&](const Seen& s) { return s.folder == deepest; });
    ASSERT_NE(first, whole.end());
    const std::vector<Seen> cut = Walk(tree.Root(), mode, [&] { gAbort = gSeen.back().folder == deepest; });
    EXPECT_EQ(cut, std::vector<Seen>(whole.begin(), first + 1));
    EXPECT_EQ(gDone, 0);
    EXPECT_TRUE(gAbort);
  }

  // A flag left set by an earlier walk does not stop the next one.
  gAbort = true;
  EXPECT_EQ(Walk(tree.Root(), AllHere), flat);
  EXPECT_EQ(gDone, 1);
  EXPECT_FALSE(gAbort);
}

std::vector<std::string> gNested;
int gNestedDone = 0;
void NestedEntry() { gNested.push_back(FoundEntry.FullPath); }
void NestedDone() { ++gNestedDone; }

TEST(FindFiles, WalkStartedFromACallbackLeavesTheOuterWalkIntact) {
  FixtureTree tree;
  Build(tree);
  const std::vector<Seen> alone = Walk(tree.Root(), AllDeep);
  std::map<std::string, std::vector<std::string>> expected;
  for (const Seen& seen : alone) {
    if (!IsFolder(seen)) continue;
    expected[seen.full];
    for (const Seen& inner : Walk(seen.full, FilesDeep)) expected[seen.full].push_back(inner.full);
  }

  // As the size analysis does it: FoundEntry.FullPath itself as the folder.
  std::map<std::string, std::vector<std::string>> nested;
  gNestedDone = 0;
  const std::vector<Seen> outer = Walk(tree.Root(), AllDeep, [&] {
    if (!IsFolder(gSeen.back())) return;
    gNested.clear();
    FindFiles(NestedEntry, NestedDone, FoundEntry.FullPath, FilesDeep, gAbort);
    nested[gSeen.back().full] = gNested;
    if (!gNested.empty()) {
      EXPECT_EQ(FoundEntry.FullPath, gNested.back());
    }
  });
  EXPECT_EQ(outer, alone);
  EXPECT_EQ(gDone, 1);
  EXPECT_EQ(nested, expected);
  EXPECT_EQ(gNestedDone, static_cast<int>(expected.size()));
}

}  // namespace
