// The walker where the file system itself is in the way: mounts that make a
// cycle, kernel file systems, and folders the user may not read. Mounting and
// dropping privileges happen in a forked child, so this process keeps its
// own mounts and identity; the child sends back what the walks reported.
#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "find_files.h"
#include "fixture_tree.h"

namespace {

using namespace FindFilesModule;
using tallyroot::testing::FixtureTree;

constexpr int kNotPermitted = 77;

std::vector<std::string> gLines;
std::string gBase;
bool gRecurse = false;
bool gAbort = false;

// Records the entry relative to gBase, folders with a trailing "/". With
// gRecurse it walks each folder from inside the callback, as the size
// analysis does, instead of leaving the descent to the walker.
void OnEntry() {
  const bool folder = (FoundEntry.Attributes & kFolderAttribute) != 0;
  gLines.push_back(FoundEntry.FullPath.substr(gBase.size()) + (folder ? "/" : ""));
  if (gRecurse && folder) FindFiles(OnEntry, nullptr, FoundEntry.FullPath, AllHere, gAbort);
}
void OnDone() { gLines.push_back("done"); }

// What a walk reported, sorted, then "done" if OnDone came last.
std::string Walked(const FixtureTree& tree, const std::string& folder, WalkMode mode, bool recurse = false) {
  gLines.clear();
  gBase = tree.Root() + "/";
  gRecurse = recurse;
  FindFiles(OnEntry, OnDone, folder, mode, gAbort);
  const bool doneLast = !gLines.empty() && gLines.back() == "done";
  if (doneLast) gLines.pop_back();
  std::sort(gLines.begin(), gLines.end());
  std::string text;
  for (const std::string& line : gLines) text += line + " ";
  return text + (doneLast ? "done" : "(no done)");
}

struct ChildResult {
  bool refused;      // the child may not mount or drop privileges here
  std::string text;  // what the walks reported, or why the child could not
};

// In a forked child that may take a few seconds at most: runs `enter`, which
// names the step that failed or gives nullptr, and then `walks`.
ChildResult RunInChild(const std::function<const char*()>& enter, const std::function<std::string()>& walks) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {false, "no pipe"};
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    alarm(5);
    const char* refused = enter();
    const std::string text = refused ? std::string(refused) + ": " + std::strerror(errno) : walks();
    for (std::size_t sent = 0; sent < text.size();) {
      const ssize_t n = write(pipeFds[1], text.data() + sent, text.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    _exit(refused ? kNotPermitted : 0);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return {false, "killed: a walk did not end"};
  return {WEXITSTATUS(status) == kNotPermitted, text};
}

// Mounts made after this are seen by no other process.
const char* EnterPrivateMounts() {
  const bool entered = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered ? nullptr : "private mount namespace";
}

// After this, mode 000 keeps the process out (as root, by becoming nobody).
const char* EnterAsNobody() {
  if (geteuid() != 0) return nullptr;
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 ? nullptr : "becoming nobody";
}

TEST(FindFilesMounts, BindMountOfAnAncestorIsReportedButNotEntered) {
  FixtureTree tree;
  tree.File("a/f", 1);
  tree.File("b/g", 2);
  for (const char* folder : {"a/loop", "a/c/up", "a/bb"}) tree.Folder(folder);
  const auto bind = [&](const char* from, const char* onto) {
    return mount(tree.Path(from).c_str(), tree.Path(onto).c_str(), nullptr, MS_BIND, nullptr) == 0;
  };
  const ChildResult result = RunInChild(
      [&]() -> const char* {
        if (const char* refused = EnterPrivateMounts()) return refused;
        return bind("", "a/loop") && bind("a", "a/c/up") && bind("b", "a/bb") ? nullptr : "bind mount";
      },
      [&] { return Walked(tree, tree.Root(), AllDeep) + " | " + Walked(tree, tree.Root(), AllHere, true); });
  if (result.refused) GTEST_SKIP() << result.text;
  // The walked folder, or a folder on the way down to the mount, mounted
  // again: reported, and yields nothing. A sibling's mount is a folder.
  const std::string whole = "a/ a/bb/ a/bb/g a/c/ a/c/up/ a/f a/loop/ b/ b/g done";
  EXPECT_EQ(result.text, whole + " | " + whole);
}

TEST(FindFilesMounts, KernelFileSystemIsReportedButYieldsNothing) {
  FixtureTree tree;
  tree.File("a/f", 1);
  tree.Folder("a/proc");
  tree.Folder("a/tmp");
  const ChildResult result = RunInChild(
      [&]() -> const char* {
        if (const char* refused = EnterPrivateMounts()) return refused;
        const bool mounted = mount("proc", tree.Path("a/proc").c_str(), "proc", 0, nullptr) == 0 &&
                             mount("tmpfs", tree.Path("a/tmp").c_str(), "tmpfs", 0, "size=1m") == 0;
        return mounted ? nullptr : "proc or tmpfs mount";
      },
      [&] {
        tree.File("a/tmp/x", 7);
        return Walked(tree, tree.Root(), AllDeep) + " | " + Walked(tree, tree.Path("a/proc"), AllDeep);
      });
  if (result.refused) GTEST_SKIP() << result.text;
  // Another real file system below the folder is walked like any other.
  EXPECT_EQ(result.text, "a/ a/f a/proc/ a/tmp/ a/tmp/x done | done");
}

TEST(FindFilesMounts, UnreadableFolderIsReportedButYieldsNothing) {
  FixtureTree tree;
  tree.File("open/f", 1);
  tree.File("locked/secret", 2);
  tree.File("locked/inner/deep", 3);
  for (const char* folder : {"", "open"}) ASSERT_EQ(chmod(tree.Path(folder).c_str(), 0755), 0);
  ASSERT_EQ(chmod(tree.Path("locked").c_str(), 0), 0);
  const ChildResult result = RunInChild(EnterAsNobody, [&] {
    return Walked(tree, tree.Root(), AllDeep) + " | " + Walked(tree, tree.Path("locked"), AllDeep);
  });
  if (result.refused) GTEST_SKIP() << result.text;
  EXPECT_EQ(result.text, "locked/ open/ open/f done | done");
}

TEST(FindFilesMounts, FolderThatMayBeListedButNotSearchedStillNamesItsFiles) {
  FixtureTree tree;
  tree.File("listonly/g", 3);
  tree.Folder("listonly/sub");
  ASSERT_EQ(chmod(tree.Root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(tree.Path("listonly").c_str(), 0444), 0);
  const ChildResult result = RunInChild(EnterAsNobody, [&] { return Walked(tree, tree.Root(), AllDeep); });
  if (result.refused) GTEST_SKIP() << result.text;
  // Its size cannot be read, but the listing names the file, as it does the folder.
  EXPECT_EQ(result.text, "listonly/ listonly/g listonly/sub/ done");
}

}  // namespace
