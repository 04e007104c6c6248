// Subfolder measurement: depth first, one walk per folder that is not cached.
#include "analysis/folder_cache.h"
#include "analysis/module_window.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "list/folder_list.h"
#include "walker/find_files.h"

using FindFilesModule::FoundEntry;

namespace TallyrootModule {

void MeasureEntry() {
  std::uint64_t item;
  std::uint32_t unread = 0;
  bool fromWalk = false;
  if (FoundEntry.Attributes & FindFilesModule::kFolderAttribute) {
    // The walk reporting this entry is the one of MeasurePath, so the
    // subfolder's key is MeasurePath grown by its name: built in place, and
    // cut back after, so that no level keeps a copy of the path above it.
    const std::size_t keptLength = MeasurePath.Text().size();
    MeasurePath.AppendFolder(FoundEntry.Name);
    if (const std::int32_t cached = CacheFind(MeasurePath); cached != 0) {
      item = SizeValue(CacheSize(cached));
      unread = CacheUnread(cached);
    } else {
      const std::uint64_t keptSize = MeasureSize;
      const std::uint32_t keptUnread = MeasureUnread;
      MeasureSize = 0;
      MeasureUnread = 0;
      FindFilesModule::FindFiles(MeasureEntry, FinishMeasure, FoundEntry.FullPath,
                                 FindFilesModule::AllHere, AbortScan);
      if (AbortScan) return;
      item = MeasureSize;
      unread = UnreadAtWalkEnd();
      fromWalk = true;
      MeasureSize = keptSize;
      MeasureUnread = keptUnread;
    }
    MeasurePath.Cut(keptLength);
  } else {
    item = FoundEntry.Size;
  }

  MeasureSize = AddSizes(MeasureSize, item);
  MeasureUnread += unread;
  // A walked folder's files and cached totals have already raised the cell
  // one by one while it was walked.
  if (!fromWalk) {
    tallyroot::FolderList& list = Window().List();
    const int row = list.Count();
    char size[24];
    list.SetSizeCell(row,
                     {size, WriteSizeText(AddSizes(SizeValue(list.SizeCell(row)), item), size)});
  }
  Window().PassEvents();
}

void FinishMeasure() { CacheAdd(MeasurePath, SizeText(MeasureSize), UnreadAtWalkEnd()); }

}  // namespace TallyrootModule
