// The folder list's store under Qt's model checker: views told at a flush, every column's order.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "list/folder_list.h"

namespace tallyroot {
namespace {

struct FolderListTest : ::testing::Test {
  FolderListTest() {
    for (int column = 1; column <= 5; ++column) list.AddColumn(column, QString::number(column));
  }
  void Row(  // as a listing leaves it; its tag is its number
      const char* name, std::string_view size, std::string_view share = "000,00%") {
    const int row = list.Add(QString::fromUtf8(name));
    list.AddSubItem(row, 1, "Datei"), list.AddSubItem(row, 2, size), list.AddSubItem(row, 3, share);
    list.SetTag(row, QString::number(row));
  }
  std::string Column(bool tags = false) const {  // names or tags, in the list's order
    QStringList texts;
    for (int row = 1; row <= list.Count(); ++row) texts << (tags ? list.Tag(row) : list.Text(row));
    return texts.join(" ").toStdString();
  }

  FolderList list;
  QAbstractItemModelTester tester{&list, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(FolderListTest, AppendsWhileUnsortedAndTellsViewsOnlyAtFlush) {
  QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
  Row("b", "000000000001"), Row("a", "000000000000");
  list.SetSortKey(0);  // a column click during a listing reorders nothing
  EXPECT_EQ(Column(), "b a");
  EXPECT_EQ(list.rowCount(), 0);  // views know of no row yet
  list.Flush();
  list.SetSizeCell(2, "000000000100"), list.SetSizeCell(2, "000000000150"), Row("c", "0");
  EXPECT_EQ(changed.count(), 0);
  list.Flush();  // the last row grew: views hear of it once
  EXPECT_EQ(changed.count(), 1);
  EXPECT_EQ(list.index(1, 2).data().toString(), "000000000150");
  EXPECT_EQ(list.rowCount(), 3);
  const QPersistentModelIndex b = list.index(0, 2);  // follows its row through a sort
  list.SetSorted(true);
  EXPECT_EQ(b.row(), 1);
}

TEST_F(FolderListTest, OrdersNumbersByValueAndKeepsEqualKeysInOrder) {
  Row("b9", "000000001000", "999,99%"), Row("B10", "1000000000005", "000,50%");
  Row("a", "999999999999", "1250,00%"), Row("A2", "000000000999", "000,05%");
  list.SetSorted(true);
  EXPECT_EQ(Column(), "a A2 b9 B10");  // by name: case ignored, digits by value
  list.SetSortKey(2);
  EXPECT_EQ(Column(), "A2 b9 a B10");  // by size: 13 digits after 12
  list.SetSortKey(3), list.SetSortOrder(1);
  EXPECT_EQ(Column(), "a b9 B10 A2");  // by share, descending: 1250,00% first

  list.Clear();  // enough equal keys for an unstable sort to show; names differ only in case
  QStringList sevens, fives;
  for (int i = 1; i <= 40; ++i) {
    Row(i % 2 ? "apfel" : "Apfel", i % 3 ? "000000000005" : "000000000007");
    (i % 3 ? fives : sevens) << QString::number(i);
  }
  list.SetSortKey(2);  // still descending
  EXPECT_EQ(Column(true), (sevens + fives).join(" ").toStdString());
  list.SetSortOrder(0), list.SetSortKey(0);  // ascending, then by name: all equal
  EXPECT_EQ(Column(true), (fives + sevens).join(" ").toStdString());
}

}  // namespace
}  // namespace tallyroot
