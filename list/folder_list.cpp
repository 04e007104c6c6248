#include "list/folder_list.h"

#include <algorithm>
#include <type_traits>

#include "list/natural_order.h"

namespace tallyroot {

namespace {

// A size or share cell as a screen reader should say it: a number, not
// twelve digits with leading zeros ("000000001234" as "1234", "012,50%" as
// "12,50 %"). The cell itself keeps its fixed width, which is its sort key.
QString SpokenNumber(std::string_view cell) {
  std::size_t zeros = 0;
  while (zeros + 1 < cell.size() && cell[zeros] == '0' && cell[zeros + 1] >= '0' &&
         cell[zeros + 1] <= '9') {
    ++zeros;
  }
  cell.remove_prefix(zeros);
  QString spoken = QString::fromLatin1(cell);
  if (spoken.endsWith(u'%')) spoken.insert(spoken.size() - 1, u' ');
  return spoken;
}

}  // namespace

void FolderList::Cell::Assign(std::string_view value) {
  length = static_cast<std::uint8_t>(std::min(value.size(), kCapacity));
  value.copy(text, length);
}

FolderList::FolderList(QObject* parent) : QAbstractTableModel(parent) {}

void FolderList::ClearColumns() {
  if (headers_.empty()) return;
  beginRemoveColumns(QModelIndex(), 0, static_cast<int>(headers_.size()) - 1);
  headers_.clear();
  endRemoveColumns();
}

void FolderList::AddColumn(int index, const QString& text) {
  const int at = std::clamp(index - 1, 0, static_cast<int>(headers_.size()));
  beginInsertColumns(QModelIndex(), at, at);
  headers_.insert(headers_.begin() + at, text);
  endInsertColumns();
}

void FolderList::Clear() {
  beginResetModel();
  rows_.clear();
  changedRows_.clear();
  published_ = 0;
  endResetModel();
}

int FolderList::Add(const QString& text) {
  Row& row = rows_.emplace_back();
  row.text = text;
  return Count();
}

void FolderList::AddSubItem(int row, int index, std::string_view text) {
  if (index < 1 || index > kSubItems) return;
  Row& r = At(row);
  r.cells[static_cast<std::size_t>(index - 1)].Assign(text);
  r.present = static_cast<std::uint8_t>(r.present | (1u << (index - 1)));
  MarkChanged(row);
}

std::string_view FolderList::SubItem(int row, int index) const {
  if (index < 1 || index > kSubItems) return {};
  const Row& r = At(row);
  if (!(r.present & (1u << (index - 1)))) return {};
  return r.cells[static_cast<std::size_t>(index - 1)].View();
}

void FolderList::SetSizeCell(int row, std::string_view text) {
  Row& r = At(row);
  r.cells[kSizeSubItem - 1].Assign(text);
  r.present = static_cast<std::uint8_t>(r.present | (1u << (kSizeSubItem - 1)));
  MarkChanged(row);
}

void FolderList::SetUnread(int row, std::uint32_t folders) {
  if (At(row).unread == folders) return;
  At(row).unread = folders;
  MarkChanged(row);
}

void FolderList::MarkChanged(int row) {
  // Rows not yet published reach the views whole with their insertion.
  if (row > published_) return;
  Row& r = At(row);
  if (r.dirty) return;
  r.dirty = true;
  changedRows_.push_back(row);
}

void FolderList::Flush() {
  // One notification per run of adjacent changed rows: after the share
  // columns are written that is one for the whole list, not one per row.
  std::sort(changedRows_.begin(), changedRows_.end());
  for (std::size_t i = 0; i < changedRows_.size();) {
    std::size_t end = i;
    while (end + 1 < changedRows_.size() && changedRows_[end + 1] == changedRows_[end] + 1) ++end;
    for (std::size_t k = i; k <= end; ++k) At(changedRows_[k]).dirty = false;
    emit dataChanged(index(changedRows_[i] - 1, 0), index(changedRows_[end] - 1, kSubItems));
    i = end + 1;
  }
  changedRows_.clear();
  if (published_ < Count()) {
    beginInsertRows(QModelIndex(), published_, Count() - 1);
    published_ = Count();
    endInsertRows();
  }
}

void FolderList::SetSorted(bool sorted) {
  sorted_ = sorted;
  if (sorted_) Sort();
}

void FolderList::SetSortKey(int key) {
  sortKey_ = key;
  if (sorted_) Sort();
}

void FolderList::SetSortOrder(int order) {
  sortOrder_ = order;
  if (sorted_) Sort();
}

namespace {

// The positions of `rows` in the order of the texts `textOf` gives them
// (stable). The texts are gathered first: comparing two rows then reads
// their texts and nothing else, where going through the rows would also
// read two rows lying far apart in a large listing.
template <typename Unit, typename Rows, typename TextOf>
std::vector<int> SortedOrder(const Rows& rows, TextOf textOf, bool descending) {
  struct Key {
    const Unit* text;
    int size;
    int row;
  };
  std::vector<Key> keys;
  keys.reserve(rows.size());
  for (std::size_t row = 0; row < rows.size(); ++row) {
    const auto text = textOf(rows[row]);
    keys.push_back({text.data(), static_cast<int>(text.size()), static_cast<int>(row)});
  }
  std::stable_sort(keys.begin(), keys.end(), [descending](const Key& a, const Key& b) {
    using View = std::conditional_t<std::is_same_v<Unit, QChar>, QStringView, std::string_view>;
    const int c = CompareNatural(View(a.text, a.size), View(b.text, b.size));
    return descending ? c > 0 : c < 0;
  });
  std::vector<int> order(keys.size());
  for (std::size_t at = 0; at < keys.size(); ++at) order[at] = keys[at].row;
  return order;
}

}  // namespace

void FolderList::Sort() {
  Flush();
  const int key = sortKey_;
  const bool descending = sortOrder_ != 0;
  // Sort positions rather than rows, so that views' persistent indexes (the
  // selection, the current row) can follow their rows to the new places.
  std::vector<int> order =
      key == 0 ? SortedOrder<QChar>(
                     rows_, [](const Row& row) { return QStringView(row.text); }, descending)
               : SortedOrder<char>(
                     rows_,
                     [key](const Row& row) {
                       return key <= kSubItems ? row.cells[key - 1].View() : std::string_view();
                     },
                     descending);
  if (std::is_sorted(order.begin(), order.end())) return;

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> newPosition(rows_.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    newPosition[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
  }
  // Move the rows along the permutation's cycles: no second copy of a large
  // listing. order[i] is the row that belongs at i; a placed slot is marked
  // by pointing at itself.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == static_cast<int>(start)) continue;
    Row moving = std::move(rows_[start]);
    std::size_t at = start;
    for (;;) {
      const auto from = static_cast<std::size_t>(order[at]);
      order[at] = static_cast<int>(at);
      if (from == start) {
        rows_[at] = std::move(moving);
        break;
      }
      rows_[at] = std::move(rows_[from]);
      at = from;
    }
  }

  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& old : before) {
    after.push_back(index(newPosition[static_cast<std::size_t>(old.row())], old.column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int FolderList::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : published_;
}

int FolderList::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant FolderList::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  const int column = index.column();
  if (role == Qt::TextAlignmentRole) {
    // Sizes and shares line up on their last digit.
    return column >= 2 ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
  }
  const int row = index.row() + 1;
  if (column == 0 && (role == Qt::DecorationRole || role == Qt::ToolTipRole)) {
    const std::uint32_t unread = Unread(row);
    if (unread == 0) return {};
    if (role == Qt::DecorationRole) return warningIcon_;
    return unread == 1 ? QString::fromUtf8(
                             "Die Größe ist eine Untergrenze: 1 Ordner hier oder "
                             "darunter konnte nicht gelesen werden.")
                       : QString::fromUtf8(
                             "Die Größe ist eine Untergrenze: %1 Ordner hier oder "
                             "darunter konnten nicht gelesen werden.")
                             .arg(unread);
  }
  if (role == Qt::AccessibleTextRole && column >= kSizeSubItem) {
    return SpokenNumber(SubItem(row, column));
  }
  if (role != Qt::DisplayRole) return {};
  if (column == 0) return Text(row);
  return QString::fromLatin1(SubItem(row, column));
}

QVariant FolderList::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 ||
      section >= static_cast<int>(headers_.size())) {
    return {};
  }
  if (role == Qt::DisplayRole) return headers_[static_cast<std::size_t>(section)];
  if (role == Qt::TextAlignmentRole && section >= 2) {
    return int(Qt::AlignRight | Qt::AlignVCenter);
  }
  return {};
}

}  // namespace tallyroot
