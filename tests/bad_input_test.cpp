// What a person may paste into the path box before pressing "load": paths
// that name nothing, name a file, are relative, hold tabs, are too long for
// the system, "~", a kernel file system, blanks only, nothing, or a NUL.
// None of them lists rows, each gives the controls back, and the cache gains
// at most the one entry its rules call for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <string>

#include "fixture_tree.h"
#include "folder_cache.h"
#include "folder_list.h"
#include "form1.h"
#include "name_text.h"

namespace tallyroot {
namespace {

using TallyrootModule::CacheCount;
using TallyrootModule::CacheFind;
using TallyrootModule::CacheSize;

// The window as far as the path box goes.
struct PathBox {
  Form1 form;
  QLineEdit* text = form.findChild<QLineEdit*>("Text1");
  QPushButton* load = form.findChild<QPushButton*>("Command1");

  PathBox() {
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }
  // Replaces the box's text by `pasted` through the clipboard, then "load".
  void PasteAndLoad(const QString& pasted) {
    QGuiApplication::clipboard()->setText(pasted);
    text->setFocus();
    QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
    if (pasted.isEmpty()) QTest::keyClick(text, Qt::Key_Delete);
    QTest::keyClick(text, Qt::Key_V, Qt::ControlModifier);
    QTest::mouseClick(load, Qt::LeftButton);
  }
  QString Root() const { return form.findChild<QLabel*>("Label1")->text(); }
  bool Usable() const {
    return !form.IsBusy() && text->isEnabled() && load->isEnabled() &&
           form.findChild<QPushButton*>("Command2")->isEnabled();
  }
};

// Runs with the working folder inside a fresh tree, so that relative paths
// and "~" name nothing there.
class BadInput : public ::testing::Test {
 protected:
  BadInput() {
    tree.File("real/file", 5);
    previous = get_current_dir_name();
    EXPECT_EQ(chdir(tree.Root().c_str()), 0);
  }
  ~BadInput() override {
    EXPECT_EQ(chdir(previous), 0);
    free(previous);
  }
  QString Real() const { return NameToText(tree.Path("real/")); }

  testing::FixtureTree tree;
  char* previous;
  PathBox box;
};

TEST_F(BadInput, FoldersThatCannotBeListedShowNoRowsAndAreCachedAsEmpty) {
  const QString tooLong = "/" + QString(5000, 'x');
  const QString tab = QStringLiteral("\t");
  const struct {
    QString pasted, loaded;  // loaded: what the box and the root label then hold
  } cases[] = {
      {NameToText(tree.Path("missing")), NameToText(tree.Path("missing/"))},
      {NameToText(tree.Path("real/file")), NameToText(tree.Path("real/file/"))},
      {"relative/name", "relative/name/"},
      {tab + Real() + tab, tab + Real() + tab + "/"},  // only spaces are trimmed
      {"  " + tooLong + "  ", tooLong + "/"},
      {"~", "~/"},  // no home folder: nothing is expanded
      {"/proc", "/proc/"},  // a kernel file system holds nothing to count
  };
  for (const auto& c : cases) {
    box.PasteAndLoad(Real());  // rows to be replaced
    ASSERT_EQ(box.form.List().Count(), 1);
    const std::int32_t cached = CacheCount();
    box.PasteAndLoad(c.pasted);
    const std::string key = TextToName(c.loaded);
    EXPECT_EQ(box.text->text(), c.loaded);
    EXPECT_EQ(box.Root(), c.loaded);
    EXPECT_EQ(box.form.List().Count(), 0) << key.substr(0, 80);
    EXPECT_TRUE(box.Usable()) << key.substr(0, 80);
    EXPECT_EQ(CacheCount(), cached + 1) << key.substr(0, 80);
    EXPECT_EQ(CacheFind(key) ? CacheSize(CacheFind(key)) : "-", "0") << key.substr(0, 80);
  }
}

TEST_F(BadInput, BlanksOrNothingListNothingAndCacheNothing) {
  box.PasteAndLoad(Real());
  const QString root = box.Root();
  for (const QString& pasted : {QString("    "), QString()}) {
    const std::int32_t cached = CacheCount();
    box.PasteAndLoad(pasted);
    EXPECT_EQ(box.text->text(), "");
    EXPECT_EQ(box.form.List().Count(), 0);
    EXPECT_TRUE(box.Usable());
    EXPECT_EQ(CacheCount(), cached);
  }
  // The pastes were edits, which forget the root; the loads set none.
  EXPECT_EQ(box.Root(), "");
  EXPECT_NE(root, "");
}

// A relative path names a folder below the working folder, like any other
// path that is passed on unresolved.
TEST_F(BadInput, RelativePathIsTakenFromTheWorkingFolder) {
  box.PasteAndLoad("real");
  EXPECT_EQ(box.text->text(), "real/");
  ASSERT_EQ(box.form.List().Count(), 1);
  EXPECT_EQ(box.form.List().Tag(1), "");
  EXPECT_EQ(box.form.List().SizeCell(1), "000000000005");
}

// A name cannot hold a NUL, so a path that does names no folder. Pasted, it
// must not list the folder named by the part before it.
TEST_F(BadInput, PathWithANulListsNothing) {
  GTEST_SKIP() << "fault: the listing opens the path only up to its first NUL";
  const QString pasted = Real() + QChar(0) + "elsewhere";
  box.PasteAndLoad(pasted);
  EXPECT_EQ(box.text->text(), pasted + "/");  // shown as it is
  EXPECT_EQ(box.form.List().Count(), 0);
  EXPECT_TRUE(box.Usable());
}

}  // namespace
}  // namespace tallyroot
