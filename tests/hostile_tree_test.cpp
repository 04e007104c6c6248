// Trees made to get in the way, listed by the real window; every figure held against Count.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <algorithm>
#include <random>
#include <thread>

#include "analysis/folder_cache.h"
#include "tests/support/child_process.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/window_driver.h"

namespace tallyroot {
namespace {

using namespace testing;
struct Counted {
  std::uint64_t bytes = 0;
  std::uint32_t unread = 0;  // folders at or below that could not be read
};

constexpr int kFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The plain count: skips proc and any folder already open above (`open`); closes `fd`.
std::map<std::string, Counted> Count(int fd, Counted& total,
                                     std::vector<std::pair<dev_t, ino_t>> open = {}) {
  std::map<std::string, Counted> rows;
  struct stat self {};
  struct statfs system {};
  DIR* dir = nullptr;
  if (fd < 0 || fstat(fd, &self) || fstatfs(fd, &system) || !(dir = fdopendir(fd)))
    return total.unread += 1, close(fd), rows;
  if (system.f_type == PROC_SUPER_MAGIC ||
      std::count(open.begin(), open.end(), std::pair(self.st_dev, self.st_ino)))
    return closedir(dir), rows;
  open.emplace_back(self.st_dev, self.st_ino);
  bool unsized = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat info {};
    const bool known = fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    const bool folder =
        entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && known && S_ISDIR(info.st_mode));
    if (name == "." || name == ".." || (!known && errno == ENOENT)) continue;
    unsized = unsized || (!known && !folder);  // listed, but its size is not to be had
    Counted& row = rows[name] = {known && !folder ? std::uint64_t(info.st_size) : 0};
    if (folder) Count(openat(dirfd(dir), name.c_str(), kFolder | O_NOFOLLOW), row, open);
    total.bytes += row.bytes, total.unread += row.unread;
  }
  total.unread += unsized;
  return closedir(dir), rows;
}

std::string Digits(std::uint64_t value, int width = 12) {
  return QString::number(value).rightJustified(width, '0').toStdString();
}

// "name size" per row ("!n": n folders not read), then ";" and each row whose figures differ
// from the count (`root`: the loaded folder, if not the listed one); "unreadable" first if so.
std::string Shown(const WindowDriver& w, const std::string& root = {}) {
  const auto marked = [](std::uint32_t n) { return n ? "!" + std::to_string(n) : ""; };
  Counted total, rootTotal;
  const auto counted = Count(open(TextToName(w.path->text()).c_str(), kFolder), total);
  root.empty() ? void(rootTotal = total) : void(Count(open(root.c_str(), kFolder), rootTotal));
  std::string out, wrong = w.list.Count() == int(counted.size()) ? "" : " rows";
  for (int row = 1; row <= w.list.Count(); ++row) {
    const std::string name = TextToName(w.list.Text(row));
    const Counted bytes = counted.count(name) ? counted.at(name) : Counted{~0ull, 0};
    std::string wanted = Digits(bytes.bytes) + marked(bytes.unread) + " ";
    for (std::uint64_t of : {total.bytes, rootTotal.bytes}) {
      const std::uint64_t share = of ? bytes.bytes * 10000 / of : 0;  // exact while it fits
      wanted += Digits(share / 100, 3) + "," + Digits(share % 100, 2) + "% ";
    }
    // "?" unless a warning icon shows exactly where the count is not 0.
    const bool icon = !w.list.index(row - 1, 0).data(Qt::DecorationRole).value<QIcon>().isNull();
    const std::string shown = std::string(w.list.SizeCell(row)) + marked(w.list.Unread(row)) +
                              (icon == !!w.list.Unread(row) ? "" : "?");
    out += name + " " + shown + " ";
    if (shown + " " + w.Cells(name, 3, 4) != wanted) wrong += "\n" + name + ": " + shown;
  }
  const bool unreadable = w.form.windowTitle().contains(w.path->text() + " konnte nicht");
  if (unreadable != (total.unread > 0 && counted.empty()))  // the listed folder itself
    wrong += " title " + w.form.windowTitle().toStdString();
  return (unreadable ? "unreadable " : "") + out + ";" + wrong + (w.Idle() ? "" : " busy");
}

// As nobody, without and with read-ahead: bind mounts of an ancestor and proc add nothing; a
// total that depends on the starting point is not kept; marks come back from the cache.
TEST(HostileTree, MountsAndUnreadableFoldersCountEachFileOnceAndKeepTheirMarks) {
  FixtureTree tree;
  for (const char* file :
       {"a/f", "a/c/g", "p/h", "part/readable", "part/in/closed/x", "locked/x", "listonly/x"})
    tree.File(file, std::strlen(file));
  tree.Folder("a/loop"), tree.Folder("a/c/up"), tree.Folder("p/proc");
  for (const auto& [folder, mode] :
       {std::pair("", 0755), {"locked", 0}, {"part/in/closed", 0}, {"listonly", 0444}})
    ASSERT_EQ(chmod(tree.Path(folder).c_str(), mode), 0) << folder;
  const ChildSetup setup = {.mounts = {{tree.Root(), tree.Path("a/loop")},
                                       {tree.Path("a"), tree.Path("a/c/up")},
                                       {"proc", tree.Path("p/proc"), "proc"}},
                            .asNobody = true};
  const std::string report = RunInChild(setup, [&] {
    std::string report;
    for (const bool on : {false, true}) {
      const ScopedReadAhead readAhead(on);
      WindowDriver w;
      std::string wrong;
      const auto check = [&](const std::string& root = {}) {
        const std::string shown = Shown(w, root);  // a row not found fails only this child
        if (!shown.ends_with(";") || ::testing::Test::HasFailure())
          wrong += TextToName(w.path->text()) + ": " + shown + "\n";
        return shown + "\n";
      };
      TallyrootModule::CacheCreate();  // the root first
      for (const char* folder : {"", "a/loop", "p/proc", "locked"})
        w.Load(tree.Path(folder)), report += check();
      TallyrootModule::CacheCreate();  // below first: the listed folder's own total keeps its mark
      w.Load(tree.Path("part/in")), check(), w.Load(tree.Path("part")), check();
      w.Load(tree.Path("a/c")), report += check();
      w.Open("up"), check(tree.Path("a/c")), w.Up(), check();
      w.Load(tree.Root()), report += check();
      for (const std::string row : {"a", "c", "up", "c", "up", "..", "..", "..", "..", "..", "a",
                                    "loop", "..", "..", "part", "in", "..", ".."})
        row == ".." ? w.Up() : w.Open(row), check(tree.Root());
      report += wrong + "---\n";
    }
    return report;
  });
  if (report.starts_with("refused")) GTEST_SKIP() << report;
  const std::string root =
      "a 000000000008 listonly 000000000000!1 locked 000000000000!1 p 000000000003 "
      "part 000000000013!1 ;\n";
  const std::string once =
      root + root + ";\nunreadable ;\ng 000000000005 up 000000000003 ;\n" + root + "---\n";
  EXPECT_EQ(report, once + once);
}

// Links are files of their own size; FIFOs, sockets and devices are never opened; odd
// names, UTF-8 or not, survive the trip to the row and back.
TEST(HostileTree, LinksSpecialFilesHugeFilesAndOddNames) {
  FixtureTree tree;
  tree.File("x/f", 10), tree.File("y/g", 20), tree.Link("x/up", ".."), tree.Link("x/to-y", "../y");
  tree.Link("y/to-x", "../x"), tree.Link("dangling", "nowhere/at/all"), tree.Link("self", "self");
  tree.File("x/4g", 4ull << 30), tree.File("x/5g", 5ull << 30), tree.File("x/tera", 1000000000005);
  for (const auto& [name, kind] :  // devices only where they may be made
       {std::pair("fifo", S_IFIFO), {"sock", S_IFSOCK}, {"null", S_IFCHR}, {"loop", S_IFBLK}})
    ASSERT_TRUE(mknod(tree.Path(name).c_str(), kind | 0644, makedev(1, 3)) == 0 ||
                kind == S_IFCHR || kind == S_IFBLK);
  std::vector<std::string> odd = {
      "new\nline", "tab\there",    "  spaced  ",       std::string(255, 'n'), "bad\xff\xfe", "\xc3",
      "\xc0\xaf",  "\xed\xa0\x80", "\xf4\x90\x80\x80", "caf\xc3\xa9",         "-",           ""};
  for (int i = 0; i < 85; ++i) odd.back() += "\xe2\x82\xac";  // 255 bytes of UTF-8
  for (std::size_t i = 0; i < odd.size(); ++i) tree.File("odd/" + odd[i] + "/in", 100 + i);
  WindowDriver w;
  w.Load(tree.Root());
  EXPECT_TRUE(Shown(w).ends_with(";")) << Shown(w);
  w.Open("odd");
  for (std::size_t i = 0; i < odd.size(); ++i, w.Up()) {
    w.Open(odd[i]);
    EXPECT_EQ(Shown(w, tree.Root()) + TextToName(w.path->text()),
              "in " + Digits(100 + i) + " ;" + tree.Path("odd/" + odd[i] + "/"));
  }
  w.Load(tree.Path("y/to-x"));  // a loaded link is followed, once
  EXPECT_EQ(Shown(w),
            "4g 004294967296 5g 005368709120 f 000000000010 tera 1000000000005 "
            "to-y 000000000004 up 000000000002 ;");
  for (const char* other : {"self", "dangling", "fifo", "sock", "null", "loop", "x/tera"}) {
    w.Load(tree.Path(other));
    EXPECT_EQ(Shown(w), "unreadable ;") << other;
  }
}

// 18000 levels: deeper than nested walks on the stack held, and than the descriptor limit.
TEST(HostileTree, ChainDeeperThanTheStackAndTheDescriptorLimitHold) {
  constexpr int kLevels = 18000;
  struct HeldLimit {
    rlimit kept{};
    ~HeldLimit() { setrlimit(RLIMIT_NOFILE, &kept); }
  } held;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &held.kept), 0);
  const rlimit lowered{std::min<rlim_t>(held.kept.rlim_cur, 2048), held.kept.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  FixtureTree tree(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  for (int level = 1, dir = open(tree.Root().c_str(), O_RDONLY | O_CLOEXEC); dir >= 0; ++level) {
    const int file = openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(file, "x", 1), 1) << level;
    if (level < kLevels) mkdirat(dir, "d", 0755);
    const int next = level < kLevels ? openat(dir, "d", O_RDONLY | O_CLOEXEC) : -1;
    close(file), close(dir), dir = next;
  }
  WindowDriver w;
  w.Load(tree.Root());
  // Against the levels made: a recursive count would need the deep stack itself.
  EXPECT_EQ(w.Cells("d", 2, 4) + w.Cells("f", 2, 4) + (w.Idle() ? "" : "busy"),
            Digits(kLevels - 1) + " 099,99% 099,99% 000000000001 000,00% 000,00% ");
}

// Files made, deleted and grown during the walk: it ends, shares stay in range, totals add up.
TEST(HostileTree, TreeThatChangesWhileItIsWalked) {
  FixtureTree tree;
  for (int i = 0; i < 1200; ++i)
    tree.File("d" + std::to_string(i % 8) + "/f" + std::to_string(i), i);
  const std::jthread changer([&](std::stop_token stop) {  // stopped as the test ends
    for (std::mt19937 random(7); !stop.stop_requested();) {
      const std::string file = "d" + std::to_string(random() % 8) +
                               (random() % 2 ? "/f" : "/sub/f") + std::to_string(random() % 2400);
      if (random() % 3 == 0)
        unlink(tree.Path(file).c_str());
      else if (truncate(tree.Path(file).c_str(), random() % (1 << 20)) != 0)
        tree.File(file, 1);
    }
  });
  WindowDriver w;
  std::string bad;
  for (int round = 0; round < 20; ++round) {
    TallyrootModule::CacheCreate();  // measure everything again
    w.Load(tree.Root());
    std::uint64_t sum = 0;
    for (int row = 1; row <= w.list.Count(); ++row) {
      sum += std::strtoull(std::string(w.list.SizeCell(row)).c_str(), nullptr, 10);
      const std::string share(w.list.SubItem(row, 3));
      if (share.size() != 7 || share > "100,00%" || w.list.SubItem(row, 4) != share) bad += share;
    }
    const std::int32_t cached = TallyrootModule::CacheFind(tree.Root() + "/");
    if (!w.Idle() || !cached || TallyrootModule::CacheSize(cached) != Digits(sum)) bad += " sum ";
  }
  EXPECT_EQ(bad, "");
}

}  // namespace
}  // namespace tallyroot
