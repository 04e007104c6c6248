// The end of a listing: the folder's total, both share columns, sorting on.
#include "analysis/folder_cache.h"
#include "analysis/module_window.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "list/folder_list.h"
#include "list/name_text.h"
#include "walker/find_files.h"

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

// The total of a root whose listing reached above it, which is not cached:
// the listings below that root still need it for their shares.
struct {
  std::string key;
  std::string total;
} gUncachedRoot;

// The listed folder's total: cached, or the sum of the size cells, which is
// then cached unless its walk reached above it. An empty folder is cached
// as "0".
std::string FolderTotal(tallyroot::FolderList& list, const std::string& folderKey,
                        const std::string& rootKey) {
  if (const std::int32_t cached = CacheFind(folderKey); cached != 0) return CacheSize(cached);
  std::string total(1, '0');
  std::uint32_t unread = FindFilesModule::WalkEnd.Unread ? 1 : 0;
  if (list.Count() > 0) {
    std::uint64_t sum = 0;
    for (int row = 1; row <= list.Count(); ++row) {
      sum = AddSizes(sum, SizeValue(list.SizeCell(row)));
      unread += list.Unread(row);
    }
    total = SizeText(sum);
  }
  if (folderKey == rootKey) gUncachedRoot = {};
  if (FindFilesModule::WalkEnd.ReadInFull) {
    CacheAdd(folderKey, total, unread);
  } else if (folderKey == rootKey) {
    gUncachedRoot = {folderKey, total};
  }
  return total;
}

}  // namespace

void FinishListing() {
  ListedFolderUnread = FindFilesModule::WalkEnd.Unread;
  tallyroot::FolderList& list = Window().List();
  const std::string rootKey = tallyroot::TextToName(Window().RootText());
  const std::string total = FolderTotal(list, tallyroot::TextToName(Window().PathText()), rootKey);
  WriteShares(list, 3, SizeValue(total));

  const std::int32_t root = CacheFind(rootKey);
  const bool uncached = root == 0 && !rootKey.empty() && rootKey == gUncachedRoot.key;
  if (root == 0 && !uncached) throw RootTotalMissing();
  WriteShares(list, 4, SizeValue(uncached ? gUncachedRoot.total : CacheSize(root)));

  list.SetSorted(true);
}

}  // namespace TallyrootModule
