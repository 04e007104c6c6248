// Folder trees made to get in the way, each listed through the real window
// and every figure it shows held against a plain count made here: the sum of
// st_size over everything below that is not a folder, without following
// links, skipping folders whose name begins with ".", and counting nothing on
// a kernel file system or in a folder that is already open further up.
//
// Trees that need a private mount namespace or a user without privileges are
// listed by a child: this program run again (the test ChildSide.*), after the
// forked child has mounted and dropped root, so it starts with a fresh
// QApplication in its own world and writes back what the window showed.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fixture_tree.h"
#include "folder_cache.h"
#include "folder_list.h"
#include "form1.h"
#include "name_text.h"

extern char** environ;

namespace tallyroot {
namespace {

using testing::FixtureTree;

// ---- The count the figures are held against ------------------------------

struct Counted {
  bool folder;
  std::uint64_t bytes;
};

using OpenChain = std::vector<std::pair<dev_t, ino_t>>;

std::uint64_t Sum(const std::map<std::string, Counted>& rows) {
  std::uint64_t sum = 0;
  for (const auto& [name, counted] : rows) sum += counted.bytes;
  return sum;
}

// The entries of the open folder `fd` (closed here) by name, each with the
// bytes below it; none on a kernel file system or for a folder that is
// already open further up `chain`.
std::map<std::string, Counted> Entries(int fd, OpenChain& chain) {
  std::map<std::string, Counted> rows;
  struct stat self {};
  struct statfs system {};
  DIR* dir = nullptr;
  if (fstat(fd, &self) != 0 || fstatfs(fd, &system) != 0 || system.f_type == PROC_SUPER_MAGIC ||
      system.f_type == SYSFS_MAGIC ||
      std::find(chain.begin(), chain.end(), std::pair(self.st_dev, self.st_ino)) != chain.end() ||
      (dir = fdopendir(fd)) == nullptr) {
    close(fd);
    return rows;
  }
  chain.emplace_back(self.st_dev, self.st_ino);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat info {};
    const bool known = fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (name == "." || name == ".." || (!known && errno == ENOENT)) continue;  // or gone since it was listed
    const bool folder = entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && known && S_ISDIR(info.st_mode));
    if (folder && name[0] == '.') continue;
    std::uint64_t bytes = known && !folder ? static_cast<std::uint64_t>(info.st_size) : 0;
    const int sub = folder ? openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (sub >= 0) bytes = Sum(Entries(sub, chain));
    rows[name] = {folder, bytes};
  }
  chain.pop_back();
  closedir(dir);
  return rows;
}

// The rows a listing of `folder` should show.
std::map<std::string, Counted> Count(const std::string& folder) {
  OpenChain chain;
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? std::map<std::string, Counted>{} : Entries(fd, chain);
}

std::string Digits(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%012llu", static_cast<unsigned long long>(bytes));
  return text;
}

// Hundredths of a percent, cut; exact while bytes * 10000 fits 64 bits.
std::string Share(std::uint64_t bytes, std::uint64_t total) {
  const std::uint64_t k = total == 0 ? 0 : bytes * 10000 / total;
  char text[40];
  std::snprintf(text, sizeof text, "%03llu,%02llu%%", static_cast<unsigned long long>(k / 100),
                static_cast<unsigned long long>(k % 100));
  return text;
}

// ---- The window ------------------------------------------------------------

struct Window {
  Form1 form;
  QLineEdit* path = form.findChild<QLineEdit*>("Text1");
  QPushButton* load = form.findChild<QPushButton*>("Command1");
  QTreeView* view = form.findChild<QTreeView*>("ListView1");
  FolderList& list = form.List();

  Window() {
    form.resize(900, 600);
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }
  void Load(const std::string& folder) {
    path->setText(NameToText(folder));  // as pasted
    QTest::mouseClick(load, Qt::LeftButton);
  }
  int Row(const std::string& name) const {
    for (int row = 1; row <= list.Count(); ++row) {
      if (TextToName(list.Text(row)) == name) return row;
    }
    return 0;
  }
  void Open(const std::string& name) {
    ASSERT_NE(Row(name), 0) << name;
    const QModelIndex index = list.index(Row(name) - 1, 0);
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
  }
  bool Idle() const { return !form.IsBusy() && path->isEnabled() && load->isEnabled(); }

  // What the window shows for the listed folder: "name size" of every row,
  // by name, then after "; " every way in which it differs from the count
  // (nothing when all rows, cells and tags agree). `root` is the loaded
  // folder when it is not the listed one.
  std::string Shown(const std::string& root = {}) const { return Sizes() + "; " + Disagreements(root); }
  std::string Loaded(const std::string& folder) {
    Load(folder);
    return Shown();
  }
  std::string Opened(const std::string& name, const std::string& root) {
    Open(name);
    return Shown(root);
  }

  std::string Disagreements(const std::string& root = {}) const {
    const std::string listed = TextToName(path->text());
    const std::map<std::string, Counted> counted = Count(listed);
    const std::uint64_t folderTotal = Sum(counted);
    const std::uint64_t rootTotal = root.empty() ? folderTotal : Sum(Count(root));
    std::string out;
    if (list.Count() != static_cast<int>(counted.size())) {
      out += "rows " + std::to_string(list.Count()) + ", counted " + std::to_string(counted.size()) + "\n";
    }
    for (int row = 1; row <= list.Count(); ++row) {
      const std::string name = TextToName(list.Text(row));
      const auto found = counted.find(name);
      if (found == counted.end()) {
        out += "unexpected row " + name + "\n";
        continue;
      }
      const Counted& c = found->second;
      const std::string shown[] = {std::string(list.SubItem(row, 1)), std::string(list.SubItem(row, 2)),
                                   std::string(list.SubItem(row, 3)), std::string(list.SubItem(row, 4)),
                                   TextToName(list.Tag(row))};
      const std::string wanted[] = {c.folder ? "Ordner" : "Datei", Digits(c.bytes), Share(c.bytes, folderTotal),
                                    Share(c.bytes, rootTotal), c.folder ? listed + name + "/" : ""};
      for (int k = 0; k < 5; ++k) {
        if (shown[k] != wanted[k]) out += name + ": " + shown[k] + " shown, " + wanted[k] + " counted\n";
      }
    }
    return out;
  }
  std::string Sizes() const {
    std::map<std::string, std::string> sizes;
    for (int row = 1; row <= list.Count(); ++row) sizes[TextToName(list.Text(row))] = list.SizeCell(row);
    std::string out;
    for (const auto& [name, size] : sizes) out += (out.empty() ? "" : " | ") + name + " " + size;
    return out;
  }
};

// ---- Children with their own mounts or user --------------------------------

struct ChildPlan {
  std::vector<std::pair<std::string, std::string>> binds;  // mount the first onto the second
  std::vector<std::string> procs;                          // mount a proc here
  bool asNobody = false;
};

constexpr int kRefused = 77;

// Lists each of `folders` (one "load" each) in a child set up by `plan`:
// what ChildSide.DISABLED_LoadEachAndReport wrote back, or why the child
// could not be set up (then `refused`).
struct ChildReport {
  bool refused;
  std::string text;
};
ChildReport ListInChild(const ChildPlan& plan, const std::vector<std::string>& folders) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {false, "no pipe"};
  // Everything the child needs is built before the fork: between fork and
  // exec it makes system calls only.
  std::string loads;
  for (const std::string& folder : folders) loads += folder + "\n";
  std::vector<std::string> env = {"TALLYROOT_CHILD_LOADS=" + loads,
                                  "TALLYROOT_CHILD_FD=" + std::to_string(pipeFds[1])};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char exe[] = "/proc/self/exe", filter[] = "--gtest_filter=ChildSide.*",
       disabled[] = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe, filter, disabled, nullptr};

  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    alarm(60);  // survives exec: a child whose walk never ends is killed
    const auto refuse = [&](const char* step) {
      const char* why = std::strerror(errno);
      (void)!write(pipeFds[1], step, std::strlen(step));
      (void)!write(pipeFds[1], ": ", 2);
      (void)!write(pipeFds[1], why, std::strlen(why));
      _exit(kRefused);
    };
    if (!plan.binds.empty() || !plan.procs.empty()) {
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        refuse("private mount namespace");
      }
    }
    for (const auto& [from, onto] : plan.binds) {
      if (mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0) refuse("bind mount");
    }
    for (const std::string& at : plan.procs) {
      if (mount("proc", at.c_str(), "proc", 0, nullptr) != 0) refuse("proc mount");
    }
    if (plan.asNobody && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      refuse("becoming nobody");
    }
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
    execve(exe, argv, envp.data());
    refuse("exec");
  }
  close(pipeFds[1]);
  std::string text;
  FILE* report = fdopen(pipeFds[0], "r");
  for (int c; (c = std::fgetc(report)) != EOF;) text += static_cast<char>(c);
  std::fclose(report);
  int status = 0;
  const bool ended = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  if (ended && WEXITSTATUS(status) == kRefused) return {true, text};
  if (!ended || WEXITSTATUS(status) != 0) text += "[child failed or killed: " + std::to_string(status) + "]";
  return {false, text};
}

// The child's side: loads each folder and writes "sizes; disagreements" back.
TEST(ChildSide, DISABLED_LoadEachAndReport) {
  const char* loads = std::getenv("TALLYROOT_CHILD_LOADS");
  const char* fd = std::getenv("TALLYROOT_CHILD_FD");
  ASSERT_TRUE(loads && fd) << "run only as a child of the other tests";
  Window w;
  std::string report;
  for (std::string_view rest = loads; !rest.empty();) {
    const std::string folder(rest.substr(0, rest.find('\n')));
    rest.remove_prefix(folder.size() + 1);
    report += w.Loaded(folder) + (w.Idle() ? "" : "still busy") + "\n";
  }
  ASSERT_EQ(write(std::atoi(fd), report.data(), report.size()), static_cast<ssize_t>(report.size()));
}

// ---- The trees ---------------------------------------------------------------

// Unreadable folders, as a user who may not read them: their rows show what
// could be read (nothing, or the readable part) and the walk goes on.
TEST(HostileTree, UnreadableFoldersCountWhatCanBeRead) {
  FixtureTree tree;
  for (const auto& [file, size] : std::map<std::string, int>{{"open/f", 1},      {"locked/secret", 2},
                                                             {"locked/in/d", 3}, {"part/readable", 4},
                                                             {"part/closed/x", 5}, {"listonly/g", 3},
                                                             {"zlast", 6}}) {
    tree.File(file, size);
  }
  tree.Folder("listonly/sub");
  ASSERT_EQ(chmod(tree.Root().c_str(), 0755), 0);
  for (const char* locked : {"locked", "part/closed"}) ASSERT_EQ(chmod(tree.Path(locked).c_str(), 0), 0);
  ASSERT_EQ(chmod(tree.Path("listonly").c_str(), 0444), 0);

  const ChildReport report = ListInChild({.binds = {}, .procs = {}, .asNobody = true}, {tree.Root(), tree.Path("locked")});
  if (report.refused) GTEST_SKIP() << report.text;
  EXPECT_EQ(report.text,
            "listonly 000000000000 | locked 000000000000 | open 000000000001 | part 000000000004 | "
            "zlast 000000000006; \n"
            "; \n");
}

// A bind mount of an ancestor and a proc mount inside the tree, in a private
// mount namespace: both show up as folders, neither adds anything, and the
// walk ends. Each folder is loaded in a fresh window.
struct MountedTree : FixtureTree {
  MountedTree() {
    File("a/f", 1);
    File("a/c/g", 2);
    File("p/h", 4);
    for (const char* folder : {"a/loop", "a/c/up", "p/proc"}) Folder(folder);
  }
  ChildPlan Plan() const {
    return {.binds = {{Root(), Path("a/loop")}, {Path("a"), Path("a/c/up")}}, .procs = {Path("p/proc")}};
  }
};

TEST(HostileTree, BindMountOfAnAncestorAndProcInside) {
  MountedTree tree;
  // The root, the root again through its bind mount, the folder the
  // ancestor is mounted in, and proc itself.
  const std::pair<std::string, std::string> cases[] = {
      {tree.Root(), "a 000000000003 | p 000000000004; \n"},
      {tree.Path("a/loop"), "a 000000000003 | p 000000000004; \n"},
      // up is a again: its f counts, its c is open further up, and its loop
      // is the bare folder (a bind mount does not carry the mounts inside)
      {tree.Path("a/c"), "g 000000000002 | up 000000000001; \n"},
      {tree.Path("p/proc"), "; \n"}};
  for (const auto& [folder, shown] : cases) {
    const ChildReport report = ListInChild(tree.Plan(), {folder});
    if (report.refused) GTEST_SKIP() << report.text;
    EXPECT_EQ(report.text, shown) << folder;
  }
}

// A folder cut short because it is open further up is cached with what it
// held in that walk, nothing, and that total is then shown where it is no
// cycle at all.
TEST(HostileTree, TotalCutShortByACycleIsNotReusedElsewhere) {
  GTEST_SKIP() << "fault: a folder skipped as already open is cached with total 0 under its own path";
  MountedTree tree;
  const ChildReport report = ListInChild(tree.Plan(), {tree.Root(), tree.Path("a/loop"), tree.Path("a/c")});
  if (report.refused) GTEST_SKIP() << report.text;
  EXPECT_EQ(report.text,
            "a 000000000003 | p 000000000004; \n"
            "a 000000000003 | p 000000000004; \n"
            "g 000000000002 | up 000000000001; \n");
}

// Links are files of their own size and are never followed, so loops and
// dangling links end like anything else.
TEST(HostileTree, LinkLoopsAndDanglingLinks) {
  FixtureTree tree;
  tree.File("x/f", 10);
  tree.File("y/g", 20);
  tree.Link("x/up", "..");
  tree.Link("x/to-y", "../y");
  tree.Link("y/to-x", "../x");
  tree.Link("dangling", "nowhere/at/all");
  tree.Link("self", "self");
  Window w;
  // x holds f (10) and the links ".." (2) and "../y" (4)
  EXPECT_EQ(w.Loaded(tree.Root()), "dangling 000000000014 | self 000000000004 | x 000000000016 | y 000000000024; ");
  const std::string x = "f 000000000010 | to-y 000000000004 | up 000000000002; ";
  EXPECT_EQ(w.Opened("x", tree.Root() + "/"), x);
  // A loaded link is followed, once: x through y's link.
  EXPECT_EQ(w.Loaded(tree.Path("y/to-x")), x);
  for (const char* dead : {"self", "dangling"}) {
    w.Load(tree.Path(dead));
    EXPECT_EQ(w.list.Count(), 0) << dead;
    EXPECT_TRUE(w.Idle()) << dead;
  }
}

// Names that are hard to show or to type survive the trip from the listing
// to the row, into the path box by a double-click, and back to the disk.
TEST(HostileTree, OddNamesAreShownAndOpenedExactly) {
  const std::vector<std::string> names = {"new\nline", "tab\there", "back\\slash", "  spaced  ",
                                          std::string(255, 'n'), "bad\xff\xfe utf-8", "-", "1234567890123",
                                          // 85 three-byte characters: 255 bytes
                                          [] { std::string s; for (int i = 0; i < 85; ++i) s += "\xe2\x82\xac"; return s; }()};
  FixtureTree tree;
  for (std::size_t i = 0; i < names.size(); ++i) {
    tree.File(names[i] + "/inside", 100 + i);
    tree.File("files/" + names[i], 1000 + i);
  }
  Window w;
  w.Load(tree.Root());
  const QString root = w.path->text();
  EXPECT_EQ(w.Disagreements(), "");
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    EXPECT_EQ(w.Opened(name, tree.Root() + "/"), "inside " + Digits(100 + i) + "; ") << name;
    EXPECT_EQ(TextToName(w.path->text()), tree.Path(name) + "/") << name;
    QTest::mouseClick(w.form.findChild<QPushButton*>("Command2"), Qt::LeftButton);
    EXPECT_EQ(w.path->text(), root) << name;
  }
  w.Open("files");
  EXPECT_EQ(w.list.Count(), static_cast<int>(names.size()));
  EXPECT_EQ(w.Disagreements(tree.Root() + "/"), "");
}

// FIFOs, sockets and device nodes are files of size 0 that are never
// opened, so nothing blocks; huge sparse files count in full.
TEST(HostileTree, SpecialFilesAndHugeSparseFiles) {
  FixtureTree tree;
  tree.Folder("special");
  ASSERT_EQ(mkfifo(tree.Path("special/fifo").c_str(), 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", tree.Path("special/sock").c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(sock);
  if (mknod(tree.Path("special/chr").c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0 ||
      mknod(tree.Path("special/blk").c_str(), S_IFBLK | 0644, makedev(7, 0)) != 0) {
    std::printf("device nodes left out: %s\n", std::strerror(errno));
  }
  tree.File("special/plain", 3);
  try {
    tree.File("huge/4g", 4294967296);
    tree.File("huge/5g", 5ull << 30);
    tree.File("huge/tera", 1000000000005);
  } catch (const std::exception& error) {
    GTEST_SKIP() << "this file system takes no files that large: " << error.what();
  }
  Window w;
  EXPECT_EQ(w.Loaded(tree.Root()), "huge 1009663676421 | special 000000000003; ");
  EXPECT_EQ(w.Opened("huge", tree.Root() + "/"), "4g 004294967296 | 5g 005368709120 | tera 1000000000005; ");
  w.Load(tree.Path("special"));
  EXPECT_EQ(w.Disagreements(), "");
  for (const char* special : {"fifo", "sock", "chr", "blk"}) {
    w.Load(tree.Path("special/") + special);  // not a folder: no rows
    EXPECT_EQ(w.list.Count(), 0) << special;
    EXPECT_TRUE(w.Idle()) << special;
  }
}

// A chain of 1500 folders, far beyond the longest path the system opens at
// once (4096 bytes), with a file on every level.
TEST(HostileTree, ChainOf1500Folders) {
  constexpr int kDepth = 1500;
  FixtureTree tree;
  tree.Folder("deep");
  // One descriptor per level, so that neither building nor taking down
  // needs a path longer than one name; taken down from the bottom, since
  // the fixture's own clean-up goes by path.
  struct Chain {
    std::vector<int> fds;
    ~Chain() {
      for (std::size_t level = fds.size() - 1; level > 0; --level) {
        unlinkat(fds[level - 1], "f", 0);
        unlinkat(fds[level - 1], Name(level - 1).c_str(), AT_REMOVEDIR);
        close(fds[level]);
      }
      close(fds[0]);
    }
    static std::string Name(std::size_t level) { return "level-" + std::to_string(10000 + level); }
  } chain{{open(tree.Path("deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)}};
  for (int level = 0; level < kDepth; ++level) {
    const int dir = chain.fds.back();
    const int file = openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(file, level % 10), 0);
    close(file);
    ASSERT_EQ(mkdirat(dir, Chain::Name(level).c_str(), 0755), 0);
    const int next = openat(dir, Chain::Name(level).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    chain.fds.push_back(next);
  }
  Window w;
  const std::string total = Digits(kDepth / 10 * 45);
  EXPECT_EQ(w.Loaded(tree.Root()), "deep " + total + "; ");
  EXPECT_TRUE(w.Idle());
  EXPECT_EQ(w.Opened("deep", tree.Root() + "/"), "f 000000000000 | level-10000 " + total + "; ");
}

// 200000 entries in one folder: every row gets both share cells, the list
// ends sorted, and the window answers events while it fills.
TEST(HostileTree, FolderOf200000Entries) {
  constexpr int kEntries = 200000;
  FixtureTree tree;
  tree.Folder("many");
  // Hard links of four files: entries without new inodes, which are what
  // makes creating many files slow.
  const int dir = open(tree.Path("many").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < 4; ++i) tree.File("many/s" + std::to_string(i), i * 1000);
  for (int i = 4; i < kEntries - 2; ++i) {
    ASSERT_EQ(linkat(dir, ("s" + std::to_string(i % 4)).c_str(), dir, ("f" + std::to_string(i)).c_str(), 0), 0);
  }
  close(dir);
  tree.File("many/sub/a", 12345);
  tree.File("many/sub2/b", 54321);

  Window w;
  // By size, so that the order can be checked without the list's own rule.
  w.list.SetSortKey(2);
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ticks += w.form.IsBusy(); });
  timer.start(5);
  w.Load(tree.Path("many"));
  timer.stop();
  ASSERT_EQ(w.list.Count(), kEntries);
  EXPECT_EQ(w.Disagreements(), "");
  EXPECT_TRUE(w.Idle());
  EXPECT_GE(ticks, 3);
  int unordered = 0;
  for (int row = 2; row <= kEntries; ++row) {
    unordered += std::stoull(std::string(w.list.SizeCell(row - 1))) > std::stoull(std::string(w.list.SizeCell(row)));
  }
  EXPECT_EQ(unordered, 0);
  EXPECT_EQ(w.list.Count(), w.list.rowCount());  // the view was told of every row
}

// Files created, deleted, grown and moved by another thread while the tree
// is walked: the walk ends, and every figure is a size and a share that
// could have been true at some moment.
TEST(HostileTree, TreeThatChangesWhileItIsWalked) {
  constexpr int kFolders = 8, kFiles = 150;
  constexpr std::uint64_t kLargest = 1 << 20;
  FixtureTree tree;
  for (int d = 0; d < kFolders; ++d) {
    for (int i = 0; i < kFiles; ++i) tree.File("d" + std::to_string(d) + "/f" + std::to_string(i), i);
  }
  std::atomic<bool> stop = false;
  std::atomic<int> changes = 0;
  std::thread changer([&] {
    std::mt19937 random(7);
    const auto create = [](const std::string& file) { close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)); };
    while (!stop) {
      const std::string folder = tree.Path("d" + std::to_string(random() % kFolders) + "/");
      const std::string file = folder + "f" + std::to_string(random() % (2 * kFiles));
      switch (random() % 4) {
        case 0:
          unlink(file.c_str());
          break;
        case 1:
          if (truncate(file.c_str(), random() % kLargest) != 0) create(file);
          break;
        case 2:
          mkdir((folder + "sub").c_str(), 0755);
          create(folder + "sub/x");
          break;
        case 3:
          unlink((folder + "sub/x").c_str());
          rename((folder + "sub").c_str(), (folder + "gone").c_str());
          rmdir((folder + "gone").c_str());
          break;
      }
      ++changes;
    }
  });
  Window w;
  std::string bad;
  for (int round = 0; round < 20; ++round) {
    TallyrootModule::CacheCreate();  // measure everything again
    w.Load(tree.Root());
    if (!w.Idle()) bad += "still busy\n";
    std::uint64_t sum = 0;
    for (int row = 1; row <= w.list.Count(); ++row) {
      const std::string size(w.list.SizeCell(row));
      const std::string share = std::string(w.list.SubItem(row, 3)) + std::string(w.list.SubItem(row, 4));
      const bool sizeOk = size.size() == 12 && size.find_first_not_of("0123456789") == std::string::npos &&
                          std::stoull(size) <= kLargest * (2 * kFiles + 1);
      const bool shareOk = share.size() == 14 && share.substr(0, 7) == share.substr(7) && share <= "100,00%" &&
                           share[3] == ',' && share[6] == '%';
      if (!sizeOk || !shareOk) bad += size + " " + share + "\n";
      sum += sizeOk ? std::stoull(size) : 0;
    }
    const std::int32_t cached = TallyrootModule::CacheFind(tree.Root() + "/");
    if (cached == 0 || TallyrootModule::CacheSize(cached) != Digits(sum)) bad += "total is not the sum\n";
  }
  stop = true;
  changer.join();
  EXPECT_EQ(bad, "");
  EXPECT_GT(changes, 100);
}

}  // namespace
}  // namespace tallyroot
