// FolderList: the store behind the folder list, a table model with no widget.
//
// It holds a listing as text, exactly as written: row text (the name),
// sub-items 1..4 (kind, size, share of the folder, share of the root) and a
// tag (a folder row's path). The size analysis writes into it and reads the
// size cells back; a view shows it. Toward screen readers
// (Qt::AccessibleTextRole) a size or share cell reads as the number it
// holds, without its leading zeros; views show the text as written.
//
// Writes take effect at once for the writer: Count(), the last row and every
// cell are always current. Views, though, hear of them only at Flush(): all
// rows appended since the last flush arrive as one insertion and every
// changed row as one dataChanged. Notifying a view per entry would make a
// listing orders of magnitude slower than the walk it shows. Clear() and
// sorting notify at once (after a flush).
//
// Rows are addressed 1..Count() in the current order. Add() always appends,
// so while Sorted() is false (as it is throughout a listing) row Count() is
// the row added last; sorting happens when Sorted() or the sort column or
// direction is set.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "list/block_vector.h"

namespace tallyroot {

class FolderList : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kSubItems = 4;  // columns 2..5
  static constexpr int kSizeSubItem = 2;

  explicit FolderList(QObject* parent = nullptr);

  // Column headers (ColumnHeaders.Clear / Add). `index` is 1-based.
  void ClearColumns();
  void AddColumn(int index, const QString& text);

  // Rows (ListItems).
  void Clear();
  int Add(const QString& text);  // appends a row; returns its position
  int Count() const { return static_cast<int>(rows_.size()); }
  const QString& Text(int row) const { return At(row).text; }

  // Sub-items, `index` 1..4. AddSubItem creates the cell; a cell returns
  // exactly the text written (texts are short ASCII: kinds, sizes, shares).
  void AddSubItem(int row, int index, std::string_view text);
  std::string_view SubItem(int row, int index) const;
  std::string_view SizeCell(int row) const { return SubItem(row, kSizeSubItem); }
  void SetSizeCell(int row, std::string_view text);

  void SetTag(int row, const QString& tag) { At(row).tag = tag; }
  const QString& Tag(int row) const { return At(row).tag; }

  // Folders at or below a folder row that could not be read, which makes its
  // size a lower bound. Views show a row with any as `warningIcon` beside its
  // name, with a tool tip that tells the number.
  void SetUnread(int row, std::uint32_t folders);
  std::uint32_t Unread(int row) const { return At(row).unread; }
  void SetWarningIcon(const QVariant& icon) { warningIcon_ = icon; }

  // Ordering. Setting Sorted() to true, or the key or order while it is
  // true, orders the rows by column SortKey() (0 = row text, k = sub-item k)
  // in SortOrder() (0 ascending, 1 descending); rows with equal keys keep
  // their relative order.
  bool Sorted() const { return sorted_; }
  int SortKey() const { return sortKey_; }
  int SortOrder() const { return sortOrder_; }
  void SetSorted(bool sorted);
  void SetSortKey(int key);
  void SetSortOrder(int order);

  // Tells views about every write since the last flush.
  void Flush();

  // QAbstractTableModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  // A fixed-size cell: writing one never allocates.
  struct Cell {
    static constexpr std::size_t kCapacity = 23;
    char text[kCapacity] = {};
    std::uint8_t length = 0;
    std::string_view View() const { return {text, length}; }
    void Assign(std::string_view value);
  };
  struct Row {
    QString text;
    QString tag;
    std::array<Cell, kSubItems> cells;
    std::uint8_t present = 0;  // bit k-1 set once sub-item k was added
    bool dirty = false;        // changed since the last flush
    std::uint32_t unread = 0;
  };

  Row& At(int row) { return rows_[static_cast<std::size_t>(row - 1)]; }
  const Row& At(int row) const { return rows_[static_cast<std::size_t>(row - 1)]; }
  void MarkChanged(int row);
  void Sort();

  BlockVector<Row> rows_;
  std::vector<QString> headers_;
  QVariant warningIcon_;
  int published_ = 0;             // rows the views know of
  std::vector<int> changedRows_;  // published rows changed since the last flush
  bool sorted_ = false;
  int sortKey_ = 0;
  int sortOrder_ = 0;
};

}  // namespace tallyroot
