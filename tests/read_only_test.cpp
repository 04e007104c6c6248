// The program only reads: after loads, moves down and up, sorting and a
// close in the middle of a listing, every entry of the tree it was shown has
// the same kind, size, times and permissions, and nothing new exists there.
//
// read_only_strace.sh runs this test under strace as well; the test opens
// two paths that cannot exist to mark where the program's own work begins
// and ends.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cstring>
#include <map>
#include <string>

#include "fixture_tree.h"
#include "folder_list.h"
#include "form1.h"
#include "name_text.h"

namespace tallyroot {
namespace {

// path -> what must not change (access times may: reading sets them)
std::map<std::string, std::string> gSeen;

std::string Describe(const struct stat& s) {
  return std::to_string(s.st_mode) + " " + std::to_string(s.st_size) + " " + std::to_string(s.st_nlink) + " " +
         std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec) + " " +
         std::to_string(s.st_ctim.tv_sec) + "." + std::to_string(s.st_ctim.tv_nsec);
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
  gSeen.clear();
  nftw(
      root.c_str(),
      [](const char* path, const struct stat* s, int, FTW*) {
        gSeen[path] = Describe(*s);
        return 0;
      },
      64, FTW_PHYS);
  return gSeen;
}

void Mark(const char* where) { close(open(where, O_RDONLY | O_CLOEXEC)); }

TEST(ReadOnly, LoadingAndMovingAroundChangeNothing) {
  testing::FixtureTree tree;
  for (const char* file : {"a.txt", "Sub/b.bin", "Sub/Deep/c", "Sub/.hidden/d", "odd \xff name/e"}) {
    tree.File(file, std::strlen(file));
  }
  tree.Folder("Empty");
  tree.Link("Sub/link-up", "..");
  tree.Link("dangling", "nowhere");
  ASSERT_EQ(mkfifo(tree.Path("fifo").c_str(), 0600), 0);
  for (int i = 0; i < 3000; ++i) tree.File("Wide/f" + std::to_string(i), i);
  ASSERT_EQ(chmod(tree.Path("Empty").c_str(), 0500), 0);
  const std::map<std::string, std::string> before = Snapshot(tree.Root());

  Mark("/nonexistent-tallyroot-mark/begin");
  {
    Form1 form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto* path = form.findChild<QLineEdit*>("Text1");
    auto* load = form.findChild<QPushButton*>("Command1");
    auto* view = form.findChild<QTreeView*>("ListView1");
    const auto loadPath = [&](const std::string& folder) {
      path->setText(NameToText(folder));
      QTest::mouseClick(load, Qt::LeftButton);
    };
    const auto open = [&](const QString& name) {
      for (int row = 0; row < form.List().rowCount(); ++row) {
        if (form.List().Text(row + 1) != name) continue;
        const QPoint at = view->visualRect(form.List().index(row, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
      }
    };
    const auto up = [&] { QTest::mouseClick(form.findChild<QPushButton*>("Command2"), Qt::LeftButton); };

    loadPath(tree.Root());
    ASSERT_EQ(form.List().Count(), 7);
    open("Sub");
    open("Deep");
    up();
    up();
    open(NameToText("odd \xff name"));
    up();
    QHeaderView* header = view->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    loadPath(tree.Path("Sub"));
    loadPath(tree.Path("a.txt"));
    loadPath(tree.Path("missing"));
    loadPath(tree.Path("fifo"));
    EXPECT_EQ(form.List().Count(), 0);
    // Closed in the middle of listing Wide's 3000 files.
    QTest::qWait(20);  // the first event pass comes once a time slice is over
    QTimer::singleShot(0, &form, [&] { form.close(); });
    loadPath(tree.Path("Wide"));
    EXPECT_TRUE(form.IsBusy());
  }
  Mark("/nonexistent-tallyroot-mark/end");

  const std::map<std::string, std::string> after = Snapshot(tree.Root());
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [file, seen] : after) {
    const auto earlier = before.find(file);
    EXPECT_TRUE(earlier != before.end() && earlier->second == seen) << file;
  }
}

}  // namespace
}  // namespace tallyroot
