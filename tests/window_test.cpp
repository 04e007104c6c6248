// The main window driven as a person would, with good paths and bad ones.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

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
const std::string kMarkupName =
    platform::kSeparator == '/' ? "<i>x</i>" : "&amp;x";  // Windows: no <>

TEST(Window, LoadsGoesDownAndUpNeverAboveTheRootAndTellsScreenReaders) {
  FixtureTree tree;
  tree.File("a.txt", 1234), tree.File("Sub/b.bin", 100), tree.File("Sub/Deep/c", 7);
  tree.File("Sub/Deep/" + kMarkupName + "/y");
  WindowDriver w;
  const auto spoken = [](QObject* control) {
    return QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name);
  };
  EXPECT_EQ(
      QStringList({spoken(w.path), spoken(w.load), spoken(w.view), spoken(w.up), spoken(w.root)}),
      QStringList({"Pfad des Ordners", "Ordner laden", "Inhalt des Ordners",
                   "Zum übergeordneten Ordner", "Kein Ordner geladen"}));
  const QString root = NameToText(tree.Root()) + kSepText, sub = root + "Sub" + kSepText;
  w.Load("  " + NameToText(tree.Root()) + "  ");  // trimmed, separator appended
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));
  EXPECT_EQ(spoken(w.root), "Geladener Ordner: " + root);
  EXPECT_EQ(w.Cells("a.txt", 1, 4), "Datei 000000001234 092,02% 092,02% ");
  w.Load(root), w.Open("a.txt");  // no second separator; a file row: nothing
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));
  w.Open("Sub");
  auto* const table = QAccessible::queryAccessibleInterface(w.view)->tableInterface();
  ASSERT_NE(table, nullptr);
  QApplication::processEvents();  // the view lays its rows out, as before a reader asks
  QStringList heard;              // "header: cell" for each column of Deep's row
  for (int column = 0; column < 5; ++column) {
    QAccessibleInterface* const cell = table->cellAt(w.Row("Deep") - 1, column);
    ASSERT_TRUE(cell && cell->tableCellInterface()) << column;
    for (QAccessibleInterface* header : cell->tableCellInterface()->columnHeaderCells()) {
      heard << header->text(QAccessible::Name) + ": " + cell->text(QAccessible::Name);
      QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(header));  // made afresh
    }
  }
  EXPECT_EQ(heard,  // shares of 107 and of 1341
            QStringList({"Dateiname: Deep", "Typ: Ordner", "Größe: 7",
                         "Anteil des Verzeichnisses: 6,54 %", "Anteil von Root: 0,52 %"}));
  w.Open("Deep"), w.Up();
  EXPECT_EQ(w.Where(), QStringList({sub, root, "b.bin Deep"}));
  w.Up(), w.Up();  // at the root: nothing
  EXPECT_EQ(w.Where(), QStringList({root, root, "a.txt Sub"}));
  const auto p = [](QString path) { return path.replace(u'\\', QChar(platform::kSeparator)); };
  for (const auto& [path, top, up] : std::vector<std::array<QString, 3>>{
           {R"(\\server\share\a\b\)", R"(\\server\share\)", R"(\\server\share\a\)"},
           {R"(\\server\share\)", R"(\\server\share\)", "-"},
           {R"(C:\a\)", R"(C:\)", R"(C:\)"}})  // nor above a share or a drive
    EXPECT_EQ(UpTarget(p(path), p(top)).value_or("-"), p(up)) << path.toStdString();

  for (int i = 0; i < kCacheCapacity; ++i) CacheAdd("/" + std::to_string(i) + "/", "1");
  w.Open("Sub");  // the root's total is gone
  EXPECT_EQ(std::exchange(w.dialogs, {}).join(", ") + (w.Idle() ? "" : " busy"), "Error");
  EXPECT_EQ(w.Cells("b.bin", 3, 4), "093,45%  ");  // the rows stay, with their folder shares

  w.Load(tree.Path("Sub/Deep/" + kMarkupName));  // the label shows a path as it is, not markup
  EXPECT_GE(w.root->sizeHint().width(), w.root->fontMetrics().horizontalAdvance(w.root->text()));
  QTest::keyClick(w.path, Qt::Key_X);       // a user edit forgets the root and the rows
  w.Up(), w.path->setText(root);            // no root: nothing
  QTest::keyClick(w.path, Qt::Key_Return);  // Enter does not load
  EXPECT_EQ(w.Where(), QStringList({root, "", ""}));
}

TEST(Window, ClicksDuringAListing) {
  FixtureTree tree;  // long enough a listing for events to arrive during it
  for (int i = 0; i < 3000; ++i) tree.File("big/f" + std::to_string(i), i);
  QStringList bySize = {"big"};
  for (int i = 0; i < 20; ++i)
    tree.File("n" + std::to_string(i) + "/f", 100 - i), bySize << "n" + QString::number(i);
  WindowDriver w;
  bool sawUnsorted = false;
  std::function<void()> during = [&] {  // from the first event pass that shows a row
    if (w.form.IsBusy() && w.list.rowCount() == 0) return QTimer::singleShot(0, &w.form, during);
    w.ClickHeader(2), w.ClickHeader(2);  // by size, descending
    sawUnsorted = w.form.IsBusy() && !w.list.Sorted() && w.list.rowCount() > 0;
    if (sawUnsorted) w.Open(TextToName(w.list.Text(1)));
  };
  for (int attempt = 0; attempt < 10 && !sawUnsorted; ++attempt)  // the walk may end first
    CacheCreate(), w.LoadWhile(tree.Root(), during);
  EXPECT_TRUE(sawUnsorted);  // the row clicked then opened nothing; sorted once the walk ended
  EXPECT_EQ(w.Where(), QStringList(2, NameToText(tree.Root()) + kSepText) << bySize.join(" "));
  w.ClickHeader(2), w.ClickHeader(1);  // ascending; a new column keeps it, equal kinds their order
  EXPECT_EQ(w.Names(), QStringList(bySize.rbegin(), bySize.rend()).join(" "));
  EXPECT_EQ(w.view->header()->sortIndicatorOrder(), Qt::AscendingOrder);
  EXPECT_EQ(w.view->header()->sortIndicatorSection(), 1);
}

// Windows makes a relative path absolute at "load" ("\x": on its drive).
TEST(BadInput, ListsNothing) {
  FixtureTree tree;
  tree.File("real/file", 5);
  WindowDriver w;
  const QString real = NameToText(tree.Path("real/")), tooLong = "/" + QString(5000, 'x');
  const auto relative = [](QString path) {
    if (platform::kSeparator == '/') return path + kSepText;
    path.replace('/', '\\');
    const QString working = QDir::toNativeSeparators(QDir::currentPath());
    return (path.startsWith('\\') ? working.left(2) : working + '\\') + path + kSepText;
  };
  const std::vector<std::pair<QString, QString>> cases = {
      {NameToText(tree.Path("missing")), NameToText(tree.Path("missing/"))},
      {NameToText(tree.Path("real/file")), NameToText(tree.Path("real/file/"))},
      {"relative/name", relative("relative/name")},
      {"~", relative("~")},
      {"\t" + real + "\t", relative("\t" + real + "\t")},  // only spaces are trimmed
      {"  " + tooLong + "  ", relative(tooLong)},
      {"    ", ""},
      {real + QChar(0) + "elsewhere",
       real + QChar(0) + "elsewhere" + kSepText}};  // not the folder before the NUL
  for (const auto& [pasted, loaded] : cases) {
    w.Load(real);  // rows to be replaced
    ASSERT_EQ(w.list.Count(), 1);
    const std::int32_t cached = CacheCount();
    const std::string key = TextToName(loaded);
    SCOPED_TRACE(key.substr(0, 80));
    w.Load(pasted);
    EXPECT_EQ(w.Where() << (w.Idle() ? "idle" : "busy"), QStringList({loaded, loaded, "", "idle"}));
    EXPECT_EQ(CacheCount() - cached, key.empty() ? 0 : 1);
    EXPECT_EQ(CacheFind(key) ? CacheSize(CacheFind(key)) : "-", key.empty() ? "-" : "0");
  }
}

}  // namespace
}  // namespace tallyroot
