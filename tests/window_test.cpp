// The main window driven as a person would, with good paths and bad ones.
#include <gtest/gtest.h>

#include <functional>

#include "analysis/folder_cache.h"
#include "analysis/tallyroot_module.h"
#include "tests/support/fixture_tree.h"
#include "tests/support/window_driver.h"
#include "window/path_text.h"

namespace tallyroot {
namespace {

using namespace testing;
using namespace TallyrootModule;

const QString kSepText(QChar(platform::kSeparator));
// A name that is markup; Windows takes no "<" or ">" in names.
const std::string kMarkupName = platform::kSeparator == '/' ? "<i>x</i>" : "&amp;x";

// The layout's rules, in twips on the real window: at 96 dpi a pixel is 15 twips.
TEST(Window, LaysOutItsControlsAndKeepsItsSizeWithinLimits) {
  Form1 form;
  form.show();
  ASSERT_EQ(form.logicalDpiX(), 96);
  const auto at = [&](const char* name) { return form.findChild<QWidget*>(name)->geometry(); };
  const QSize created = form.size();  // the least; twice the screen the most
  EXPECT_EQ(created, QSize(4380, 2625) / 15);
  EXPECT_EQ(QList<int>({at("Label1").width(), at("Text1").width(), at("Command1").x(),
                        at("Command1").width(), at("ListView1").width(), at("ListView1").height(),
                        at("Command2").x(), at("Command2").height()}),
            QList<int>({4380 / 15, 3285 / 15, 3285 / 15, 1095 / 15, 4005 / 15, 2145 / 15, 4005 / 15,
                        2145 / 15}));
  form.resize(created / 2);
  EXPECT_EQ(form.size(), created);
  form.resize(100000, 100000);
  EXPECT_EQ(QSizeF(form.size()), QSizeF(form.Limits().maxWidth, form.Limits().maxHeight));
  const SizeCorrection c =
      CorrectSize(WindowState::Maximized, 30000, 2000, {4500, 20000, 3000, 15000});
  EXPECT_EQ(std::tuple(c.state, c.width, c.height), std::tuple(WindowState::Normal, 20000, 15000));
}

TEST(Window, LoadsTrimmedPathsGoesDownAndUpButNeverAboveTheRoot) {
  FixtureTree tree;
  tree.File("a.txt", 1234), tree.File("Sub/b.bin", 100), tree.File("Sub/Deep/c", 7);
  tree.Folder("Sub/Deep/" + kMarkupName);
  WindowDriver w;
  const QString root = NameToText(tree.Root()) + kSepText, sub = root + "Sub" + kSepText;
  w.Load("  " + NameToText(tree.Root()) + "  ");  // trimmed, separator appended
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));
  EXPECT_EQ(w.Cells("a.txt", 1, 4), "Datei 000000001234 092,02% 092,02% ");
  EXPECT_EQ(w.Cells("Sub", 1, 2), "Ordner 000000000107 ");
  w.Load(root), w.Open("a.txt");  // no second separator; a file row: nothing
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));
  w.Open("Sub");
  EXPECT_EQ(w.Where(), QStringList({sub, root, "b.bin Deep"}));
  EXPECT_EQ(w.Cells("b.bin", 3, 4), "093,45% 007,45% ");  // of 107 and of 1341
  w.Open("Deep"), w.Up();
  EXPECT_EQ(w.Where(), QStringList({sub, root, "b.bin Deep"}));
  w.Up(), w.Up();  // at the root: nothing
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));

  for (int i = 0; i < kCacheCapacity; ++i)
    CacheAdd("/" + std::to_string(i) + "/", "1");  // the root's total goes
  w.Open("Sub");
  EXPECT_EQ(w.dialogs.join(", "), "Error");
  w.dialogs.clear();
  EXPECT_TRUE(w.Idle());
  EXPECT_EQ(w.Cells("b.bin", 3, 4), "093,45%  ");  // the rows stay, with their folder shares

  // The root label shows a path as it is, never as markup.
  w.Load(tree.Path("Sub/Deep/" + kMarkupName));
  EXPECT_GE(w.root->sizeHint().width(), w.root->fontMetrics().horizontalAdvance(w.root->text()));
  QTest::keyClick(w.path, Qt::Key_X);  // a user edit forgets the root and the rows
  EXPECT_EQ(w.Where().mid(1), QStringList({"", ""}));
  w.Up(), w.path->setText(root);            // no root: nothing
  QTest::keyClick(w.path, Qt::Key_Return);  // Enter does not load
  EXPECT_EQ(w.Where(), QStringList({root, "", ""}));
}

// What a screen reader hears through Qt's accessibility interface: a German
// name for every control, the root label with its path, and each cell under
// its column header, sizes and shares as numbers.
TEST(Window, ScreenReadersHearWhatEachControlIsAndNumbers) {
  FixtureTree tree;
  tree.File("a.txt", 1234), tree.File("Sub/b.bin", 100), tree.File("Sub/c", 7);
  WindowDriver w;
  const auto name = [](QObject* object) {
    const QAccessibleInterface* control = QAccessible::queryAccessibleInterface(object);
    return control ? control->text(QAccessible::Name) : QString("(none)");
  };
  EXPECT_EQ(QStringList({name(w.path), name(w.load), name(w.view), name(w.up), name(w.root)}),
            QStringList({"Pfad des Ordners", "Ordner laden", "Inhalt des Ordners",
                         "Zum übergeordneten Ordner", "Kein Ordner geladen"}));
  w.Load(tree.Root());
  EXPECT_EQ(name(w.root), "Geladener Ordner: " + NameToText(tree.Root()) + kSepText);
  QAccessibleTableInterface* const table =
      QAccessible::queryAccessibleInterface(w.view)->tableInterface();
  ASSERT_NE(table, nullptr);
  // "header: cell" for each column of a row, as read.
  const auto heard = [&](const std::string& row) {
    QApplication::processEvents();  // the view lays its rows out, as before a reader asks
    QStringList cells;
    for (int column = 0; column < 5; ++column) {
      QAccessibleInterface* const cell = table->cellAt(w.Row(row) - 1, column);
      if (!cell || !cell->tableCellInterface()) return QStringList{"(no cell)"};
      QStringList headers;
      // Qt makes these afresh for every call and keeps none: the caller frees them.
      for (QAccessibleInterface* header : cell->tableCellInterface()->columnHeaderCells()) {
        headers << header->text(QAccessible::Name);
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(header));
      }
      cells << headers.join("/") + ": " + cell->text(QAccessible::Name);
    }
    return cells;
  };
  EXPECT_EQ(heard("a.txt"),
            QStringList({"Dateiname: a.txt", "Typ: Datei", "Größe: 1234",
                         "Anteil des Verzeichnisses: 92,02 %", "Anteil von Root: 92,02 %"}));
  EXPECT_EQ(heard("Sub"),
            QStringList({"Dateiname: Sub", "Typ: Ordner", "Größe: 107",
                         "Anteil des Verzeichnisses: 7,97 %", "Anteil von Root: 7,97 %"}));
  EXPECT_EQ(w.Cells("Sub", 2, 4), "000000000107 007,97% 007,97% ");
  w.Open("Sub");
  EXPECT_EQ(heard("c").mid(2), QStringList({"Größe: 7", "Anteil des Verzeichnisses: 6,54 %",
                                            "Anteil von Root: 0,52 %"}));
}

// A drive's root or a share is as high as a root goes: "C:\" and
// "\\server\share\" have no parent. With this platform's separator too.
TEST(Window, UpStopsAtTheRootADriveRootAndAShare) {
  const auto p = [](QString windows) {
    return windows.replace(u'\\', QChar(platform::kSeparator));
  };
  const std::optional<QString> top;
  const std::vector<std::tuple<QString, QString, std::optional<QString>>> cases = {
      {R"(\\server\share\a\b\)", R"(\\server\share\)", p(R"(\\server\share\a\)")},
      {R"(\\server\share\a\)", R"(\\server\share\)", p(R"(\\server\share\)")},
      {R"(\\server\share\)", R"(\\server\share\)", top},
      {R"(\\server\share\a\)", R"(\\server\share\a\)", top},
      {R"(C:\a\)", R"(C:\)", p(R"(C:\)")},
      {R"(C:\)", R"(C:\)", top},
      {R"(C:\a\b\)", R"(C:\a\)", p(R"(C:\a\)")},
  };
  for (const auto& [path, root, up] : cases)
    EXPECT_EQ(UpTarget(p(path), p(root)), up) << path.toStdString();
}

// A header click during a listing takes effect at its end, a double-click on a
// row none; a second click on a header sorts the other way.
TEST(Window, ClicksDuringAListing) {
  FixtureTree tree;  // folders only, and a listing long enough for events to arrive during it
  for (int i = 0; i < 3000; ++i) tree.File("big/f" + std::to_string(i), i);
  for (int i = 0; i < 20; ++i) tree.File("n" + std::to_string(i) + "/f", 100 - i);
  WindowDriver w;
  bool sawUnsorted = false;
  // From the first event pass that shows a row (not one while the walk waits).
  std::function<void()> during = [&] {
    if (w.form.IsBusy() && w.list.rowCount() == 0) return QTimer::singleShot(0, &w.form, during);
    w.ClickHeader(2), w.ClickHeader(2);  // by size, descending
    sawUnsorted = w.form.IsBusy() && !w.list.Sorted() && w.list.rowCount() > 0;
    if (sawUnsorted) w.Open(TextToName(w.list.Text(1)));
  };
  // A walk may end within the time slice after a pass with no row: again.
  for (int attempt = 0; attempt < 10 && !sawUnsorted; ++attempt)
    CacheCreate(), w.LoadWhile(tree.Root(), during);
  EXPECT_TRUE(sawUnsorted);
  EXPECT_EQ(w.path->text(), NameToText(tree.Root()) + kSepText);
  EXPECT_EQ(w.list.Count(), 21);
  EXPECT_TRUE(w.Names().startsWith("big n0 ") && w.Names().endsWith(" n19"));
  // Once more: ascending; another column keeps the direction, and equal kinds their order.
  w.ClickHeader(2);
  EXPECT_TRUE(w.Names().startsWith("n19 n18 ") && w.Names().endsWith(" n0 big"));
  w.ClickHeader(1);
  EXPECT_TRUE(w.Names().startsWith("n19 n18 ") && w.Names().endsWith(" n0 big"));
  EXPECT_EQ(w.view->header()->sortIndicatorSection(), 1);
  EXPECT_EQ(w.view->header()->sortIndicatorOrder(), Qt::AscendingOrder);
}

// Paths that cannot be listed: no rows, the controls come back, the cache
// gains at most the "0" its rules call for. Windows makes a relative path
// absolute against the working folder when "load" is pressed ("\x": its drive).
TEST(BadInput, ListsNothing) {
  FixtureTree tree;
  tree.File("real/file", 5);
  WindowDriver w;
  const QString real = NameToText(tree.Path("real/")), tab = "\t",
                tooLong = "/" + QString(5000, 'x');
  const auto relative = [](QString path) {
    if (platform::kSeparator == '/') return path + kSepText;
    path.replace('/', '\\');
    const QString working = QDir::toNativeSeparators(QDir::currentPath());
    return (path.startsWith('\\') ? working.left(2) : working + '\\') + path + kSepText;
  };
  std::vector<std::pair<QString, QString>> cases = {
      // loaded: as the box then shows it
      {NameToText(tree.Path("missing")), NameToText(tree.Path("missing/"))},
      {NameToText(tree.Path("real/file")), NameToText(tree.Path("real/file/"))},
      {"relative/name", relative("relative/name")},
      {"~", relative("~")},
      {tab + real + tab, relative(tab + real + tab)},  // only spaces are trimmed
      {"  " + tooLong + "  ", relative(tooLong)},
      {"    ", ""},
      {"", ""},
      {real + QChar(0) + "elsewhere",
       real + QChar(0) + "elsewhere" + kSepText}};  // not the folder before the NUL
  // A kernel file system's folder counts as empty (under wine, Linux's /proc).
  if (platform::kSeparator == '/') cases.push_back({"/proc", "/proc/"});
  for (const auto& [pasted, loaded] : cases) {
    w.Load(real);  // rows to be replaced
    ASSERT_EQ(w.list.Count(), 1);
    const std::int32_t cached = CacheCount();
    const std::string key = TextToName(loaded);
    SCOPED_TRACE(key.substr(0, 80));
    w.Load(pasted);
    EXPECT_EQ(w.Where(), QStringList({loaded, loaded, ""}));
    EXPECT_TRUE(w.Idle());
    EXPECT_EQ(CacheCount() - cached, key.empty() ? 0 : 1);
    EXPECT_EQ(CacheFind(key) ? CacheSize(CacheFind(key)) : "-", key.empty() ? "-" : "0");
  }
}

}  // namespace
}  // namespace tallyroot
