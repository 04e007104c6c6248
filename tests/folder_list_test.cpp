// The folder list's store with no view: Qt's model checker watches every
// change, and the order rules are checked on the texts the analysis writes.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QByteArrayView>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <random>
#include <string>
#include <vector>

#include "folder_list.h"
#include "name_text.h"

namespace tallyroot {
namespace {

using Order = std::vector<QString>;

class FolderListTest : public ::testing::Test {
 protected:
  FolderListTest() {
    for (int column = 1; column <= 5; ++column) list.AddColumn(column, QString::number(column));
  }

  // A row as a listing leaves it: name, kind, size, perhaps a share.
  void Row(const char* name, std::string_view size = "000000000000", std::string_view share = {}) {
    const int row = list.Add(QString::fromUtf8(name));
    list.AddSubItem(row, 1, "Datei");
    list.AddSubItem(row, 2, size);
    if (!share.empty()) list.AddSubItem(row, 3, share);
  }

  // -1: the tags, 0: the names, k: sub-item k; in the list's order.
  Order Column(int subItem) const {
    Order texts;
    for (int row = 1; row <= list.Count(); ++row) {
      texts.push_back(subItem < 0 ? list.Tag(row) : subItem == 0 ? list.Text(row)
                                                                 : QString::fromLatin1(list.SubItem(row, subItem)));
    }
    return texts;
  }

  FolderList list;
  QAbstractItemModelTester tester{&list, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(FolderListTest, AppendsWhileUnsortedAndTellsViewsOnlyAtFlush) {
  QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
  Row("b");
  Row("a");
  list.SetSortKey(0);  // a column click during a listing reorders nothing
  EXPECT_EQ(list.Text(list.Count()), "a");
  EXPECT_EQ(list.rowCount(), 0);
  list.Flush();
  EXPECT_EQ(list.rowCount(), 2);

  // The last row grows in place; views hear of it once, at the next flush.
  list.SetSizeCell(2, "000000000100");
  list.SetSizeCell(2, "000000000150");
  Row("c");
  EXPECT_EQ(changed.count(), 0);
  list.Flush();
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 1);
  EXPECT_EQ(list.index(1, 2).data().toString(), "000000000150");
  EXPECT_EQ(list.rowCount(), 3);

  list.Clear();
  EXPECT_EQ(list.rowCount(), 0);
}

TEST_F(FolderListTest, OrdersNumbersByValueAndNamesIgnoringCase) {
  Row("b9", "000000001000", "999,99%");
  Row("B10", "1000000000005", "000,50%");
  Row("a", "999999999999", "1250,00%");
  Row("A2", "000000000999", "000,05%");
  Row("b", "000000000000", "100,00%");
  list.SetSorted(true);
  EXPECT_EQ(Column(0), (Order{"a", "A2", "b", "b9", "B10"}));
  list.SetSortKey(2);
  EXPECT_EQ(Column(0), (Order{"b", "A2", "b9", "a", "B10"}));
  list.SetSortKey(3);
  list.SetSortOrder(1);
  EXPECT_EQ(Column(0), (Order{"a", "b9", "b", "B10", "A2"}));
}

TEST_F(FolderListTest, EqualKeysKeepTheirOrderInBothDirections) {
  // Enough rows for an unstable sort to show; names differ only in case.
  Order sevens, fives;
  for (int i = 0; i < 40; ++i) {
    const bool seven = i % 3 == 1;
    Row(i % 2 ? "apfel" : "Apfel", seven ? "000000000007" : "000000000005");
    list.SetTag(i + 1, QString::number(i));
    (seven ? sevens : fives).push_back(QString::number(i));
  }
  Order descending = sevens, ascending = fives;
  descending.insert(descending.end(), fives.begin(), fives.end());
  ascending.insert(ascending.end(), sevens.begin(), sevens.end());

  list.SetSortKey(2);
  list.SetSortOrder(1);
  list.SetSorted(true);
  EXPECT_EQ(Column(-1), descending);
  list.SetSortOrder(0);
  EXPECT_EQ(Column(-1), ascending);
  list.SetSortKey(0);
  EXPECT_EQ(Column(-1), ascending);
}

TEST_F(FolderListTest, SelectionFollowsItsRowsThroughASort) {
  Row("c", "000000000001");
  Row("a", "000000000003");
  Row("b", "000000000002");
  list.Flush();
  Row("d");  // not yet seen by any view when the sort starts
  QItemSelectionModel selection(&list);
  selection.select(list.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  const QPersistentModelIndex current = list.index(0, 2);

  list.SetSorted(true);
  EXPECT_EQ(list.rowCount(), 4);
  ASSERT_EQ(selection.selectedRows().size(), 1);
  EXPECT_EQ(selection.selectedRows()[0].data().toString(), "b");
  EXPECT_EQ(current.row(), 2);
  EXPECT_EQ(current.data().toString(), "000000000001");
}

// Names are bytes; what the list shows must give back the very same bytes.
TEST(NameText, EveryByteStringSurvivesTheRoundTrip) {
  // Stray bytes, overlong forms, encoded surrogates, code points past
  // U+10FFFF: each bad byte becomes a character no valid name can give.
  for (const std::string bad : {"\xFF", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                "\xBF\xC3\xA4"}) {
    EXPECT_EQ(TextToName(NameToText(bad)), bad);
    EXPECT_TRUE(NameToText(bad).front().isLowSurrogate()) << bad;
  }
  // Random strings of bytes that form, break and nearly form sequences.
  const unsigned char alphabet[] = {'a', '/', 0x80, 0x8F, 0x9F, 0xA0, 0xBF, 0xC0, 0xC3,
                                    0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 10, '\0');
    for (char& byte : bytes) byte = static_cast<char>(alphabet[random() % sizeof alphabet]);
    const QString text = NameToText(bytes);
    ASSERT_EQ(TextToName(text), bytes) << round;
    if (QByteArrayView(bytes).isValidUtf8()) {
      ASSERT_EQ(text, QString::fromUtf8(bytes)) << round;  // valid names show as they are
    }
  }
}

}  // namespace
}  // namespace tallyroot
