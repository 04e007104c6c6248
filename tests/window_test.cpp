// The main window driven as a person would: typing, clicking, double-clicking
// rows, clicking headers and closing it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "find_files.h"
#include "fixture_tree.h"
#include "folder_cache.h"
#include "folder_list.h"
#include "form1.h"
#include "form_layout.h"
#include "name_text.h"
#include "tallyroot_module.h"

namespace tallyroot {
namespace {

using testing::FixtureTree;

// The window with its controls found by their names, as a test tool would.
struct Window {
  Form1 form;
  QLabel* root = form.findChild<QLabel*>("Label1");
  QLineEdit* path = form.findChild<QLineEdit*>("Text1");
  QPushButton* load = form.findChild<QPushButton*>("Command1");
  QTreeView* list = form.findChild<QTreeView*>("ListView1");
  QPushButton* up = form.findChild<QPushButton*>("Command2");

  Window() {
    form.resize(900, 600);
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }

  void Type(const QString& text) {
    path->setFocus();
    QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(path, Qt::Key_Delete);
    QTest::keyClicks(path, text);
  }
  void Load(const QString& text) {
    Type(text);
    QTest::mouseClick(load, Qt::LeftButton);
  }
  // Loads, and runs `during` from the listing's first event pass. The pass
  // is sliced by time, so let a slice go by first.
  template <typename Action>
  void LoadWhile(const QString& text, Action during) {
    Type(text);
    QTest::qWait(20);
    QTimer::singleShot(0, &form, during);
    QTest::mouseClick(load, Qt::LeftButton);
  }
  int RowOf(const QString& name) {
    for (int row = 0; row < form.List().rowCount(); ++row) {
      if (form.List().Text(row + 1) == name) return row;
    }
    return -1;
  }
  void DoubleClick(const QString& name) {
    const int row = RowOf(name);
    ASSERT_GE(row, 0) << name.toStdString();
    const QRect rect = list->visualRect(form.List().index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  }
  void ClickHeader(int column) {
    QHeaderView* header = list->header();
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }
  // Names in the order shown.
  QStringList Names() {
    QStringList names;
    for (int row = 0; row < form.List().rowCount(); ++row) names << form.List().Text(row + 1);
    return names;
  }
  QString Cell(const QString& name, int column) {
    return form.List().data(form.List().index(RowOf(name), column)).toString();
  }
  bool ControlsEnabled() const {
    return path->isEnabled() && load->isEnabled() && up->isEnabled();
  }
};

QString Q(const std::string& s) { return NameToText(s); }

// A small tree: root/a.txt (1234), root/Sub/b.bin (100), root/Sub/Deep/c (7).
struct SmallTree : FixtureTree {
  SmallTree() {
    File("a.txt", 1234);
    File("Sub/b.bin", 100);
    File("Sub/Deep/c", 7);
  }
};

TEST(WindowLayout, DesignExampleInTwips) {
  struct Twips {
    float scaleWidth = 4380, scaleHeight = 2625, listTop = 480, command2Width = 375;
    float label1Width = 0, text1Width = 0, command1Left = 0, command1Width = 0;
    float listWidth = 0, listHeight = 0, command2Left = 0, command2Height = 0;
    float ScaleWidth() const { return scaleWidth; }
    float ScaleHeight() const { return scaleHeight; }
    void SetLabel1Width(float v) { label1Width = v; }
    void SetText1Width(float v) { text1Width = v; }
    float Text1Width() const { return text1Width; }
    void SetCommand1Left(float v) { command1Left = v; }
    void SetCommand1Width(float v) { command1Width = v; }
    float ListTop() const { return listTop; }
    void SetListHeight(float v) { listHeight = v; }
    void SetListWidth(float v) { listWidth = v; }
    float ListWidth() const { return listWidth; }
    float ListHeight() const { return listHeight; }
    float Command2Width() const { return command2Width; }
    void SetCommand2Left(float v) { command2Left = v; }
    void SetCommand2Height(float v) { command2Height = v; }
  } t;
  LayOutControls(t);
  EXPECT_EQ(t.label1Width, 4380);
  EXPECT_EQ(t.text1Width, 3285);
  EXPECT_EQ(t.command1Left, 3285);
  EXPECT_EQ(t.command1Width, 1095);
  EXPECT_EQ(t.text1Width + t.command1Width, t.scaleWidth);
  EXPECT_EQ(t.listWidth, 4005);
  EXPECT_EQ(t.listHeight, 2145);
  EXPECT_EQ(t.command2Left, 4005);
  EXPECT_EQ(t.command2Height, 2145);
}

TEST(WindowLayout, SizeLimits) {
  const SizeLimits limits{4500, 20000, 3000, 15000};
  using S = WindowState;
  const auto same = [&](S state, float w, float h) {
    const SizeCorrection c = CorrectSize(state, w, h, limits);
    return c.state == state && c.width == w && c.height == h;
  };
  EXPECT_TRUE(same(S::Minimized, 10, 10));      // a minimized window is left alone
  EXPECT_TRUE(same(S::Normal, 4500, 20000 - 5000));  // exactly at a limit
  EXPECT_TRUE(same(S::Maximized, 19000, 14000));     // maximized within the limits
  SizeCorrection c = CorrectSize(S::Normal, 4000, 2000, limits);
  EXPECT_EQ(c.width, 4500);
  EXPECT_EQ(c.height, 3000);
  c = CorrectSize(S::Normal, 30000, 16000, limits);
  EXPECT_EQ(c.width, 20000);
  EXPECT_EQ(c.height, 15000);
  c = CorrectSize(S::Maximized, 30000, 14000, limits);  // largest allowed, not smallest
  EXPECT_EQ(c.state, S::Normal);
  EXPECT_EQ(c.width, 20000);
  EXPECT_EQ(c.height, 15000);
}

TEST(Window, StartsAsDesigned) {
  Form1 form;
  EXPECT_EQ(form.windowTitle(), "Tallyroot");
  auto* up = form.findChild<QPushButton*>("Command2");
  ASSERT_TRUE(up && form.findChild<QLabel*>("Label1") && form.findChild<QPushButton*>("Command1"));
  EXPECT_EQ(up->text().size(), 14);
  EXPECT_EQ(up->text().split("\r\n").size(), 5);
  EXPECT_EQ(up->text().left(2), "/\\");
  EXPECT_EQ(form.findChild<QLineEdit*>("Text1")->text(), "/");
  EXPECT_TRUE(form.findChild<QLabel*>("Label1")->text().isEmpty());
  EXPECT_EQ(form.List().columnCount(), 5);
  EXPECT_EQ(form.List().headerData(2, Qt::Horizontal).toString(), QString::fromUtf8("Größe"));
  EXPECT_EQ(form.List().rowCount(), 0);

  // Never smaller than created, never larger than twice the screen.
  const QSize created = form.size();
  form.show();
  form.resize(created.width() / 2, created.height() / 2);
  EXPECT_EQ(form.size(), created);
  form.resize(100000, 100000);
  EXPECT_LE(form.width(), form.Limits().maxWidth);
  EXPECT_LE(form.height(), form.Limits().maxHeight);
  // The controls follow: the list and the up button meet and reach the bottom.
  auto* list = form.findChild<QTreeView*>("ListView1");
  EXPECT_EQ(list->geometry().right() + 1, up->x());
  EXPECT_EQ(list->geometry().bottom() + 1, form.height());
  EXPECT_EQ(up->geometry().right() + 1, form.width());
}

TEST(Window, LoadListsTheFolderWithSizesAndShares) {
  SmallTree tree;
  Window w;
  const QString root = Q(tree.Root()) + "/";
  w.Load("  " + Q(tree.Root()) + "  ");  // trimmed, separator appended
  EXPECT_EQ(w.path->text(), root);
  EXPECT_EQ(w.root->text(), root);
  EXPECT_TRUE(w.ControlsEnabled());
  EXPECT_FALSE(w.form.IsBusy());
  ASSERT_EQ(w.Names(), QStringList({"a.txt", "Sub"}));
  EXPECT_EQ(w.Cell("a.txt", 1), "Datei");
  EXPECT_EQ(w.Cell("Sub", 1), "Ordner");
  EXPECT_EQ(w.Cell("a.txt", 2), "000000001234");
  EXPECT_EQ(w.Cell("Sub", 2), "000000000107");
  EXPECT_EQ(w.Cell("a.txt", 3), "092,02%");  // 1234 of 1341
  EXPECT_EQ(w.Cell("a.txt", 4), w.Cell("a.txt", 3));

  // Loading the root with its separator adds no second one.
  w.Load(root);
  EXPECT_EQ(w.path->text(), root);
  // Enter in the path box does not load.
  w.Type(Q(tree.Path("Sub")));
  QTest::keyClick(w.path, Qt::Key_Return);
  EXPECT_EQ(w.form.List().rowCount(), 0);
  EXPECT_TRUE(w.root->text().isEmpty());
}

TEST(Window, SpacesOnlyLoadNothing) {
  SmallTree tree;
  Window w;
  w.Load(Q(tree.Root()));
  const QString root = w.root->text();
  w.path->setText("    ");  // any edit forgets the root; typing spaces would too
  w.Load("   ");
  EXPECT_TRUE(w.path->text().isEmpty());
  EXPECT_EQ(w.form.List().rowCount(), 0);
  EXPECT_TRUE(w.ControlsEnabled());
  // After that, typing is seen as a user edit again.
  w.Load(Q(tree.Root()));
  ASSERT_EQ(w.form.List().rowCount(), 2);
  QTest::keyClick(w.path, Qt::Key_X);
  EXPECT_TRUE(w.root->text().isEmpty());
  EXPECT_EQ(w.form.List().rowCount(), 0);
  QTest::mouseClick(w.up, Qt::LeftButton);  // no root: up does nothing
  EXPECT_EQ(w.form.List().rowCount(), 0);
  EXPECT_NE(root, w.root->text());
}

TEST(Window, DownAndUpButNeverAboveTheRoot) {
  SmallTree tree;
  Window w;
  w.Load(Q(tree.Root()));
  const QString root = w.root->text();

  w.DoubleClick("a.txt");  // a file row: nothing
  EXPECT_EQ(w.path->text(), root);
  w.DoubleClick("Sub");
  EXPECT_EQ(w.path->text(), root + "Sub/");
  EXPECT_EQ(w.root->text(), root);
  EXPECT_EQ(w.Names(), QStringList({"b.bin", "Deep"}));
  EXPECT_EQ(w.Cell("Deep", 2), "000000000007");
  EXPECT_EQ(w.Cell("b.bin", 3), "093,45%");  // 100 of 107
  EXPECT_EQ(w.Cell("b.bin", 4), "007,45%");  // 100 of 1341
  w.DoubleClick("Deep");
  EXPECT_EQ(w.path->text(), root + "Sub/Deep/");

  QTest::mouseClick(w.up, Qt::LeftButton);
  EXPECT_EQ(w.path->text(), root + "Sub/");
  EXPECT_EQ(w.Names(), QStringList({"b.bin", "Deep"}));
  QTest::mouseClick(w.up, Qt::LeftButton);
  EXPECT_EQ(w.path->text(), root);
  EXPECT_EQ(w.form.List().rowCount(), 2);
  QTest::mouseClick(w.up, Qt::LeftButton);  // at the root: nothing
  EXPECT_EQ(w.path->text(), root);
  EXPECT_EQ(w.form.List().rowCount(), 2);
  EXPECT_EQ(w.root->text(), root);
}

TEST(Window, ColumnClicksChooseColumnAndDirection) {
  FixtureTree tree;
  tree.File("b", 30);
  tree.File("C", 10);
  tree.File("a", 20);
  tree.File("d/x", 5);
  Window w;
  w.Load(Q(tree.Root()));
  EXPECT_EQ(w.Names(), QStringList({"a", "b", "C", "d"}));  // by name, ignoring case
  w.ClickHeader(2);
  EXPECT_EQ(w.Names(), QStringList({"d", "C", "a", "b"}));
  w.ClickHeader(2);
  EXPECT_EQ(w.Names(), QStringList({"b", "a", "C", "d"}));
  EXPECT_EQ(w.list->header()->sortIndicatorSection(), 2);
  EXPECT_EQ(w.list->header()->sortIndicatorOrder(), Qt::DescendingOrder);
  w.ClickHeader(2);
  EXPECT_EQ(w.Names(), QStringList({"d", "C", "a", "b"}));
  w.ClickHeader(1);  // by kind, still ascending; equal kinds keep their order
  EXPECT_EQ(w.Names(), QStringList({"C", "a", "b", "d"}));
  EXPECT_EQ(w.list->header()->sortIndicatorSection(), 1);
  EXPECT_EQ(w.list->header()->sortIndicatorOrder(), Qt::AscendingOrder);
}

// A tree whose listing takes long enough for events to arrive during it.
struct WideTree : FixtureTree {
  WideTree() {
    for (int i = 0; i < 3000; ++i) File("big/f" + std::to_string(i), static_cast<std::uint64_t>(i));
    for (int i = 0; i < 20; ++i) File("n" + std::to_string(i), static_cast<std::uint64_t>(100 - i));
  }
};

TEST(Window, ColumnClickDuringAListingTakesEffectAtItsEnd) {
  WideTree tree;
  Window w;
  bool sawUnsorted = false;
  w.LoadWhile(Q(tree.Root()), [&] {
    EXPECT_TRUE(w.form.IsBusy());
    w.ClickHeader(2);
    w.ClickHeader(2);  // by size, descending
    sawUnsorted = !w.form.List().Sorted();
  });
  EXPECT_TRUE(sawUnsorted);
  EXPECT_EQ(w.form.List().SortKey(), 2);
  EXPECT_EQ(w.form.List().SortOrder(), 1);
  EXPECT_EQ(w.Names().front(), "big");
  EXPECT_EQ(w.Names().back(), "n19");
}

TEST(Window, DoubleClickDuringAListingIsIgnored) {
  FixtureTree tree;  // only folders, so the first row is one
  for (int i = 0; i < 10; ++i) tree.File("d" + std::to_string(i) + "/f", 1);
  Window w;
  const QString root = Q(tree.Root()) + "/";
  bool clicked = false;
  w.LoadWhile(root, [&] {
    ASSERT_GT(w.form.List().rowCount(), 0);
    ASSERT_FALSE(w.form.List().Tag(1).isEmpty());
    w.DoubleClick(w.form.List().Text(1));
    clicked = true;
  });
  EXPECT_TRUE(clicked);
  EXPECT_EQ(w.path->text(), root);
  EXPECT_EQ(w.form.List().Count(), 10);
}

TEST(Window, ClosingDuringAListingStopsIt) {
  WideTree tree;
  Window w;
  TallyrootModule::CacheCreate();
  w.LoadWhile(Q(tree.Root()), [&] { w.form.close(); });
  EXPECT_TRUE(TallyrootModule::AbortScan);
  EXPECT_TRUE(w.form.IsBusy());
  EXPECT_FALSE(w.path->isEnabled() || w.load->isEnabled() || w.up->isEnabled());
  EXPECT_FALSE(w.form.List().Sorted());
  for (int row = 1; row <= w.form.List().Count(); ++row) {
    EXPECT_TRUE(w.form.List().SubItem(row, 3).empty());
  }
  // "big" was being measured: nothing partial is cached.
  EXPECT_EQ(TallyrootModule::CacheFind(tree.Path("big/")), 0);
}

TEST(Window, MissingRootTotalIsReportedAndTheWindowStaysUsable) {
  SmallTree tree;
  Window w;
  w.Load(Q(tree.Root()));
  // Push the root's total out of the cache.
  for (int i = 0; i < TallyrootModule::kCacheCapacity; ++i) {
    TallyrootModule::CacheAdd("/nowhere/" + std::to_string(i) + "/", "000000000001");
  }
  QString shown;
  QTimer dismiss;
  QObject::connect(&dismiss, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->accept();
    }
  });
  dismiss.start(5);
  w.DoubleClick("Sub");
  EXPECT_EQ(shown, "Error");
  EXPECT_TRUE(w.ControlsEnabled());
  EXPECT_FALSE(w.form.IsBusy());
  EXPECT_EQ(w.form.List().rowCount(), 2);  // the rows stay, with their folder shares
  EXPECT_EQ(w.Cell("b.bin", 3), "093,45%");
  EXPECT_TRUE(w.Cell("b.bin", 4).isEmpty());
}

TEST(Window, FolderWithAnInvalidUtf8Name) {
  FixtureTree tree;
  const std::string odd = "caf\xe9-\xff";
  tree.File(odd + "/inside", 10);
  tree.File("plain", 5);
  Window w;
  w.Load(Q(tree.Root()));
  const QString shown = Q(odd);
  ASSERT_GE(w.RowOf(shown), 0);
  EXPECT_EQ(w.Cell(shown, 2), "000000000010");
  w.DoubleClick(shown);
  EXPECT_EQ(TextToName(w.path->text()), tree.Path(odd) + "/");
  EXPECT_EQ(w.Names(), QStringList({"inside"}));
  EXPECT_EQ(w.Cell("inside", 4), "066,66%");  // 10 of 15
}

}  // namespace
}  // namespace tallyroot
