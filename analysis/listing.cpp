// One row per entry of the listed folder, and the folder step that sizes it.
#include <QString>

#include "analysis/folder_cache.h"
#include "analysis/module_window.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "list/folder_list.h"
#include "list/name_text.h"
#include "walker/find_files.h"

using FindFilesModule::FoundEntry;

namespace TallyrootModule {

bool AbortScan = false;
KeyPath MeasurePath;
std::uint64_t MeasureSize = 0;
std::uint32_t MeasureUnread = 0;
bool ListedFolderUnread = false;

namespace {
ListingWindow* gWindow = nullptr;
}

namespace {
void PassEventsWhileWaiting() { gWindow->PassEventsWhileWaiting(); }
}  // namespace

void SetWindow(ListingWindow* window) {
  gWindow = window;
  // A walk that waits on a slow device lets the window answer meanwhile.
  FindFilesModule::SetWaitHook(window ? PassEventsWhileWaiting : nullptr);
}

ListingWindow& Window() { return *gWindow; }

std::string FolderKeyOfFoundEntry() {
  const std::string& path = FoundEntry.FullPath;
  std::string key;
  key.reserve(path.size() + 1);
  key.append(path);
  if (key.empty() || key.back() != tallyroot::platform::kSeparator)
    key += tallyroot::platform::kSeparator;
  return key;
}

void RunListing(const std::string& folder) {
  tallyroot::FolderList& list = Window().List();
  list.Clear();
  list.SetSorted(false);
  FindFilesModule::FindFiles(ListEntry, FinishListing, folder, FindFilesModule::AllHere, AbortScan);
  list.Flush();
}

std::uint32_t UnreadAtWalkEnd() {
  return MeasureUnread + (FindFilesModule::WalkEnd.Unread ? 1 : 0);
}

void ListEntry() {
  tallyroot::FolderList& list = Window().List();
  const bool isFolder = (FoundEntry.Attributes & FindFilesModule::kFolderAttribute) != 0;

  list.Add(tallyroot::NameToText(FoundEntry.Name));
  list.AddSubItem(list.Count(), 1, isFolder ? "Ordner" : "Datei");
  char size[24];
  list.AddSubItem(list.Count(), 2, {size, WriteSizeText(FoundEntry.Size, size)});

  if (isFolder) {
    const std::string key = FolderKeyOfFoundEntry();
    list.SetTag(list.Count(), tallyroot::NameToText(key));
    // The measurement's walks overwrite FoundEntry; nothing is read after this.
    if (MeasureFolder(key)) return;
  }
  Window().PassEvents();
}

bool MeasureFolder(const std::string& key) {
  tallyroot::FolderList& list = Window().List();
  if (const std::int32_t cached = CacheFind(key); cached != 0) {
    list.SetSizeCell(list.Count(), CacheSize(cached));
    list.SetUnread(list.Count(), CacheUnread(cached));
    return false;
  }
  MeasurePath = key;
  MeasureSize = 0;
  MeasureUnread = 0;
  FindFilesModule::FindFiles(MeasureEntry, FinishMeasure, FoundEntry.FullPath,
                             FindFilesModule::AllHere, AbortScan);
  if (AbortScan) return true;
  list.SetUnread(list.Count(), UnreadAtWalkEnd());
  return false;
}

}  // namespace TallyrootModule
