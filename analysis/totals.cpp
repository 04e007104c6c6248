// The end of a listing: the folder's total, both share columns, sorting on.
#include "analysis/folder_cache.h"
#include "analysis/module_window.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "list/folder_list.h"
#include "list/name_text.h"

namespace TallyrootModule {

namespace {

void WriteShares(tallyroot::FolderList& list, int subItem, std::uint64_t total) {
  const int rows = list.Count();
  for (int row = 1; row <= rows; ++row) {
    std::string cell = ShareText(ShareOf(SizeValue(list.SizeCell(row)), total));
    cell += '%';
    list.AddSubItem(row, subItem, cell);
  }
}

// The listed folder's total: cached, or the sum of the size cells, which is
// then cached. An empty folder is cached as "0".
std::string FolderTotal(tallyroot::FolderList& list, const std::string& folderKey) {
  if (const std::int32_t cached = CacheFind(folderKey); cached != 0) return CacheSize(cached);
  std::string total(1, '0');
  if (list.Count() > 0) {
    std::uint64_t sum = 0;
    for (int row = 1; row <= list.Count(); ++row)
      sum = AddSizes(sum, SizeValue(list.SizeCell(row)));
    total = SizeText(sum);
  }
  CacheAdd(folderKey, total);
  return total;
}

}  // namespace

void FinishListing() {
  tallyroot::FolderList& list = Window().List();
  const std::string total = FolderTotal(list, tallyroot::TextToName(Window().PathText()));
  WriteShares(list, 3, SizeValue(total));

  const std::int32_t root = CacheFind(tallyroot::TextToName(Window().RootText()));
  if (root == 0) throw RootTotalMissing();
  WriteShares(list, 4, SizeValue(CacheSize(root)));

  list.SetSorted(true);
}

}  // namespace TallyrootModule
