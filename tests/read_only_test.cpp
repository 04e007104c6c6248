// After loads, moves, sorting and a close amid a listing the tree is unchanged. Under
// read_only_strace.sh the two paths that cannot exist mark where the program's work lies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/fixture_tree.h"
#include "tests/support/window_driver.h"

namespace tallyroot {
namespace {

std::string Snapshot(const std::string& root) {
  std::string lines;
  FILE* find = popen(("find '" + root + "' -printf '%p %M %s %n %T@ %C@\\n' | sort").c_str(), "r");
  for (int c; (c = std::fgetc(find)) != EOF;) lines += static_cast<char>(c);
  return pclose(find) == 0 ? lines : "find failed";
}

void Mark(const char* where) { close(open(where, O_RDONLY | O_CLOEXEC)); }

TEST(ReadOnly, LoadingAndMovingAroundChangeNothing) {
  testing::FixtureTree tree;
  for (const char* file : {"a.txt", "Sub/b.bin", "Sub/Deep/c", "Sub/.hidden/d", "odd \xff name/e"})
    tree.File(file, 9);
  for (int i = 0; i < 3000; ++i) tree.File("Wide/f" + std::to_string(i), i);
  tree.Link("Sub/link-up", ".."), tree.Link("dangling", "nowhere"), tree.Folder("Empty");
  ASSERT_EQ(mkfifo(tree.Path("fifo").c_str(), 0600) + chmod(tree.Path("Empty").c_str(), 0500), 0);
  const std::string before = Snapshot(tree.Root());
  Mark("/nonexistent-tallyroot-mark/begin");
  {
    testing::WindowDriver w;
    w.Load(tree.Root());
    ASSERT_EQ(w.list.Count(), 7);
    w.Open("Sub"), w.Up(), w.Open("odd \xff name"), w.Up(), w.ClickHeader(2);
    for (const char* other : {"Sub", "a.txt", "missing", "fifo"}) w.Load(tree.Path(other));
    w.LoadWhile(tree.Path("Wide"), [&] { w.form.close(); });  // amid 3000 files: it stops there
  }
  Mark("/nonexistent-tallyroot-mark/end");
  EXPECT_EQ(Snapshot(tree.Root()), before);
}

}  // namespace
}  // namespace tallyroot
