// The folder walker over real trees: what each mode reports, in which order; nesting; stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "tests/support/fixture_tree.h"
#include "walker/find_files.h"
#if defined(_WIN32)
#include <windows.h>
#else
#include "walker/posix/folder_id_index.h"
#endif

namespace {

using namespace FindFilesModule;
using namespace tallyroot::testing;
namespace fs = std::filesystem;

// Links on Windows need a privilege wine lacks (their entries: windows_listing_test).
constexpr bool kLinks = tallyroot::platform::kSeparator == '/';

// Each OnEntry as "folder|name|full|size" (size "/" for a folder); "done" for OnDone.
std::vector<std::string> gSeen;
bool gAbort = false;
std::function<void()> gAfterEntry;
std::string Seen(const std::string& folder, const std::string& name, bool dir, std::uint64_t size) {
  return folder + "|" + name + "|" + folder + name + "|" + (dir ? "/" : std::to_string(size));
}
void OnEntry() {
  gSeen.push_back(
      FoundEntry.FolderPath + "|" + FoundEntry.Name + "|" + FoundEntry.FullPath + "|" +
      (FoundEntry.Attributes & kFolderAttribute ? "/" : std::to_string(FoundEntry.Size)));
  if (const auto after = gAfterEntry) after();
}
void OnDone() { gSeen.push_back("done"); }
std::vector<std::string> Walk(const std::string& folder, int mode,
                              std::function<void()> after = {}) {
  gSeen.clear(), gAfterEntry = std::move(after);
  FindFiles(OnEntry, OnDone, folder, WalkMode(mode), gAbort);
  return gSeen;
}

// From the file system's own listing, before `out`'s last: a mode is 3 * kind (files, folders,
// both) + scope (deep, here, below); folders ".*" are never reported nor entered; links are files.
void Expect(const std::string& folder, int mode, bool top, std::vector<std::string>& out) {
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    const bool isFolder = entry.is_directory() && !entry.is_symlink();
    if (isFolder && name[0] == '.') continue;
    const std::uint64_t size = isFolder             ? 0
                               : entry.is_symlink() ? fs::read_symlink(entry).string().size()
                                                    : entry.file_size();
    if ((mode % 3 == 0 || (mode % 3 == 1) == top) && mode / 3 != (isFolder ? 0 : 1))
      out.insert(out.end() - 1, Seen(folder + kSep, name, isFolder, size));
    if (isFolder && mode % 3 != 1) Expect(folder + kSep + name, mode, false, out);
  }
}

struct Tree : FixtureTree {
  Tree() {
    for (const std::string file :
         {"f1", "g1", ".dot", "d1/f2", "d1/g2", "d1/.dot2", "d1/d2/f3", "d1/d2/g3", "d1/.git/o",
          ".cache/x", "..z/w", "d3/d4/f5", "d1/d2/d3/", "empty/"})
      file.ends_with("/") ? Folder(file) : File(file, file.size());
    // The longest names; shorter where std::filesystem lists no path over 260.
    const std::string d(kLinks ? 255 : 100, 'd');
    File(d + "/5g", 5ull << 30), File(d + "/" + std::string(d.size(), 'n'), 1);
    if (kLinks) Link("to5g", d + "/5g"), Link(d + "/up", Root());  // followed: a cycle
  }
};

TEST(FindFiles, EachModeReportsAndEntersWhatItsKindAndScopeSayInListingOrder) {
  Tree tree;
  // Walks run from a callback, of this very folder too, leave the entries after it as they were.
  const auto walkElsewhere = [elsewhere = tree.Path("d3/d4")] {
    const std::string folder = FoundEntry.FolderPath;
    for (const std::string& other : {elsewhere, folder + "d1/d2", folder})
      FindFiles([] {}, nullptr, other, AllDeep, gAbort);
  };
  for (int mode = 0; mode <= 8; ++mode) {
    std::vector<std::string> expected = {"done"};
    Expect(tree.Root(), mode, true, expected);
    EXPECT_EQ(Walk(tree.Root(), mode, walkElsewhere), expected) << "mode " << mode;
  }
  // Walks nest as the size analysis nests them; a separator given last is not doubled.
  EXPECT_EQ(Walk(tree.Root() + kSep, AllHere,
                 [] {
                   if (gSeen.back().ends_with("|/"))
                     FindFiles(OnEntry, nullptr, FoundEntry.FullPath, AllHere, gAbort);
                 }),
            Walk(tree.Root(), AllDeep));
#if defined(_WIN32)
  wchar_t path[32768];
  const fs::path self(std::wstring(path, GetModuleFileNameW(nullptr, path, 32768)));
#else
  const fs::path self = fs::read_symlink("/proc/self/exe");
#endif
  const std::string own = Seen(self.parent_path().string() + kSep, self.filename().string(), false,
                               fs::file_size(self));
  EXPECT_TRUE(std::ranges::count(Walk("", FilesHere), own));  // no folder: the running program's
  if (kLinks) tree.Link("dangling", "nowhere");
  // Modes outside 0..8, and folders that cannot be listed: OnDone alone.
  for (int outside : {-1, 9, INT16_MIN})
    EXPECT_EQ(Walk(tree.Root(), outside), std::vector<std::string>{"done"});
  for (const char* bad : {"missing", "missing/deeper", "f1", "dangling"})
    EXPECT_EQ(Walk(tree.Path(bad), AllDeep), std::vector<std::string>{"done"}) << bad;
}

TEST(FindFiles, AbortStopsEveryLevelAtOnceAndIsClearedByTheNextWalk) {
  Tree tree;
  const std::vector<std::string> flat = Walk(tree.Root(), AllHere);
  EXPECT_EQ(Walk(tree.Root(), AllHere, [] { gAbort = gSeen.size() == 3; }),
            std::vector(flat.begin(), flat.begin() + 3));
  for (int mode : {FilesDeep, FilesBelow, FoldersBelow, AllDeep, AllBelow}) {
    // Cut at the deepest entry that an entry outside its folder follows, so that all levels stop.
    const std::vector<std::string> whole = Walk(tree.Root(), mode);
    const auto folder = [&](std::size_t at) { return whole[at].substr(0, whole[at].find('|')); };
    const auto depth = [&](std::size_t at) { return std::ranges::count(whole[at], kSep[0]); };
    std::size_t cut = 0;
    for (std::size_t at = 0; at + 2 < whole.size(); ++at)
      if (!folder(at + 1).starts_with(folder(at)) && depth(at) > depth(cut)) cut = at;
    ASSERT_GT(folder(cut).size(), tree.Root().size() + 1) << "mode " << mode;  // below the top
    EXPECT_EQ(Walk(tree.Root(), mode, [&] { gAbort = gSeen.back() == whole[cut]; }),
              std::vector(whole.begin(), whole.begin() + cut + 1))
        << "mode " << mode;
    EXPECT_TRUE(gAbort);  // left set for every enclosing walk
  }
  EXPECT_EQ(Walk(tree.Root(), AllHere), flat);  // would stop at once were the flag not cleared
}

#if defined(_WIN32)
// Past the levels a walk takes on its thread's own stack it goes on on the large one (on Linux
// the chain of hostile_tree_test, too deep for any other stack, shows it).
TEST(FindFiles, LevelsBeyondTheFirstHundredsRunOnTheLargeStack) {
  constexpr int kLevels = 600;  // a hundred past them: wine costs a path lookup per level
  FixtureTree tree;
  std::string chain;
  for (int level = 0; level < kLevels; ++level) tree.Folder(chain += "d/");
  tree.File(chain + "f", 1);
  std::uintptr_t bottom = 0;
  EXPECT_EQ(Walk(tree.Root(), FilesDeep,
                 [&] {
                   const char here = 0;
                   bottom = reinterpret_cast<std::uintptr_t>(&here);
                 }),
            std::vector<std::string>({Seen(tree.Path(chain), "f", false, 1), "done"}));
  std::uintptr_t first = 0, end = 0;  // this thread's stack as the system reserved it
  GetCurrentThreadStackLimits(&first, &end);
  EXPECT_TRUE(first < end && (bottom < first || bottom >= end)) << end - bottom << " bytes in";
}
#else
// The deep chains' cycle check against a map, through adds and removals that shift slots back.
TEST(FolderIdIndex, FindsWhatIsHeldThroughAddsAndRemovals) {
  using namespace tallyroot::platform::posix;
  FolderIdIndex index;
  std::map<std::pair<dev_t, ino_t>, std::size_t> held;
  std::mt19937 next(12345);
  // Few devices and nearby inodes, so that runs of neighbouring slots form.
  const auto any = [&] { return FolderId{dev_t(next() % 3), ino_t(next() % 3000)}; };
  for (std::size_t step = 0; step < 200000; ++step) {
    const FolderId id = any();
    if (next() % 5 < (step < 100000 ? 3u : 2u))  // first grow, then shrink
      index.Add(id, step), held.emplace(std::pair(id.device, id.inode), step);  // keeps its place
    else
      index.Remove(id), held.erase({id.device, id.inode});
    const FolderId probe = any();
    const auto found = held.find({probe.device, probe.inode});
    ASSERT_EQ(index.Find(probe), found == held.end() ? kNoCycle : found->second) << "step " << step;
  }
  for (const auto& [key, position] : held) EXPECT_EQ(index.Find({key.first, key.second}), position);
}
#endif

}  // namespace
