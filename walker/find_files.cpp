#include "walker/find_files.h"

#include <algorithm>

#include "walker/large_stack.h"
#include "walker/read_ahead/read_ahead.h"
#include "walker/wait_hook.h"

namespace FindFilesModule {

FoundEntryRecord FoundEntry;
WalkEndRecord WalkEnd;

namespace {

constexpr char kSeparator = tallyroot::platform::kSeparator;

// Walks running on this thread, nested ones included.
thread_local unsigned tNesting = 0;
constexpr unsigned kLevelsOnOwnStack = 500;

struct ModeRule {
  bool reportFiles;
  bool reportFolders;
  bool descend;
  WalkMode descendMode;
};

ModeRule RuleOf(WalkMode mode) {
  switch (mode) {
    case FilesDeep: return {true, false, true, FilesDeep};
    case FilesHere: return {true, false, false, FilesDeep};
    case FilesBelow: return {false, false, true, FilesDeep};
    case FoldersDeep: return {false, true, true, FoldersDeep};
    case FoldersHere: return {false, true, false, FoldersDeep};
    case FoldersBelow: return {false, false, true, FoldersDeep};
    case AllDeep: return {true, true, true, AllDeep};
    case AllHere: return {true, true, false, AllDeep};
    case AllBelow: return {false, false, true, AllDeep};
  }
  return {false, false, false, mode};  // outside 0..8: report and enter nothing
}

// The path of the innermost walk on this thread. A walk of a child of the
// innermost walk's folder (as every descent and every measurement is) grows
// that walk's string by the child's name and cuts it back as it ends, so the
// walks of a chain of folders share one string instead of each keeping a
// copy of the path above it.
thread_local std::string* tInnermostPath = nullptr;

// FoundEntry.FolderPath and the start of FullPath were last written from
// `gSyncedPath`, and still equal its first gSyncedLength bytes: publishing an
// entry writes only what differs from the last one (usually the name), not
// the whole path. A walk that cuts the shared string back lowers the length.
const std::string* gSyncedPath = nullptr;
std::size_t gSyncedLength = 0;

void CutPath(std::string& path, std::size_t length) {
  if (gSyncedPath == &path) gSyncedLength = std::min(gSyncedLength, length);
  path.resize(length);
}

// Assigning into the record's existing strings reuses their capacity, so
// publishing an entry allocates nothing once the longest path has been seen.
void Publish(const std::string& folderPath, std::string_view name, bool isFolder,
             std::uint64_t size) {
  std::size_t same = gSyncedPath == &folderPath ? std::min(gSyncedLength, folderPath.size()) : 0;
  same = std::min({same, FoundEntry.FolderPath.size(), FoundEntry.FullPath.size()});
  const std::string_view rest = std::string_view(folderPath).substr(same);
  FoundEntry.Name.assign(name);
  FoundEntry.FolderPath.resize(same);
  FoundEntry.FolderPath.append(rest);
  FoundEntry.FullPath.resize(same);
  FoundEntry.FullPath.append(rest).append(name);
  gSyncedPath = &folderPath;
  gSyncedLength = folderPath.size();
  FoundEntry.Attributes = isFolder ? kFolderAttribute : 0;
  FoundEntry.Size = isFolder ? 0 : size;
}

WalkCallback gWaitHook = nullptr;

// The AbortScan of the innermost walk on this thread: every walk of one
// thread is handed the same flag, so its waits test that one.
thread_local bool* tAbortScan = nullptr;

bool WaitPass() {
  tallyroot::platform::CallWaitHook();
  return tAbortScan && *tAbortScan;
}

}  // namespace

void SetWaitHook(WalkCallback hook) {
  gWaitHook = hook;
  tallyroot::platform::SetWaitHook(hook ? WaitPass : nullptr);
}

std::string_view TrimAtNul(std::string_view text) {
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

namespace {

// Walks `folderPath`, the innermost walk's string on this thread, which
// descents grow by a child's name and cut back.
void Walk(WalkCallback OnEntry, WalkCallback OnDone, std::string& folderPath, bool listable,
          WalkMode Mode, bool& AbortScan) {
  // Walks nest as deep as folders do. The first levels run on the thread's
  // own stack; deeper ones on a stack that has room for any depth.
  if (tNesting >= kLevelsOnOwnStack && !tallyroot::platform::OnLargeStack()) {
    tallyroot::platform::RunOnLargeStack(
        [&] { Walk(OnEntry, OnDone, folderPath, listable, Mode, AbortScan); });
    return;
  }
  ++tNesting;
  struct Leave {
    ~Leave() { --tNesting; }
  } leave;
  AbortScan = false;
  tAbortScan = &AbortScan;

  const ModeRule rule = RuleOf(Mode);
  bool inFull = true, unread = !listable, outermost = true;
  if (listable) {
    tallyroot::platform::FolderListing listing(folderPath);
    tallyroot::platform::ListedEntry entry;
    while (listing.Next(entry)) {
      const std::string_view name = TrimAtNul(entry.name);
      if (!entry.isFolder) {
        if (!rule.reportFiles) continue;
        Publish(folderPath, name, false, entry.size);
        OnEntry();
        if (AbortScan) return;
        continue;
      }
      if (name.empty() || name.front() == '.') continue;
      if (rule.reportFolders) {
        Publish(folderPath, name, true, 0);
        OnEntry();
        if (AbortScan) return;
      }
      if (rule.descend) {
        const std::size_t length = folderPath.size();
        folderPath.append(name) += kSeparator;
        Walk(OnEntry, nullptr, folderPath, true, rule.descendMode, AbortScan);
        CutPath(folderPath, length);
      }
      if (AbortScan) return;
    }
    // The wait hook stopped the listing early.
    if (AbortScan) return;
    inFull = listing.ReadInFull();
    unread = listing.Unread();
    outermost = listing.Outermost();
  }
  WalkEnd = {inFull, unread};
  if (OnDone && (inFull || outermost)) OnDone();
}

// Whether `folder` is the innermost walk's path `around` followed by more,
// so that the walk grows that string instead of copying the path. The
// record's FullPath, published from that path (for a subfolder the walk
// around is about to enter, say), is known to begin with it without
// comparing the two, since callers never write the record.
bool LiesBelow(const std::string& folder, const std::string* around) {
  if (!around || around->empty() || folder.size() <= around->size()) return false;
  if (&folder == &FoundEntry.FullPath && gSyncedPath == around && gSyncedLength >= around->size() &&
      FoundEntry.FolderPath.size() >= around->size() &&
      folder.size() == FoundEntry.FolderPath.size() + FoundEntry.Name.size()) {
    return true;
  }
  return folder.compare(0, around->size(), *around) == 0;
}

}  // namespace

void FindFiles(WalkCallback OnEntry, WalkCallback OnDone, const std::string& Folder, WalkMode Mode,
               bool& AbortScan) {
  std::string ownPath = Folder.empty() ? tallyroot::platform::ExecutableFolder() : std::string();
  const std::string& folder = Folder.empty() ? ownPath : Folder;
  // This walk's folder: the innermost walk's string grown by the rest of
  // Folder when Folder lies below that walk's folder, else a copy of Folder.
  std::string* const around = tInnermostPath;
  const std::size_t aroundLength = around ? around->size() : 0;
  const bool below = LiesBelow(folder, around);
  // Nothing is listed where the program's own folder cannot be found (walking
  // "/" instead would be a surprise), nor for a path holding a NUL: the
  // system calls would read it only up to the NUL and list another folder.
  // The folder around holds none.
  const bool listable =
      !folder.empty() && folder.find('\0', below ? aroundLength : 0) == std::string::npos;
  if (below) {
    around->append(folder, aroundLength);
  } else if (&folder != &ownPath) {
    ownPath = folder;
  }
  std::string& folderPath = below ? *around : ownPath;
  if (listable && folderPath.back() != kSeparator) folderPath += kSeparator;
  tInnermostPath = &folderPath;
  struct Restore {
    std::string* around;
    std::size_t aroundLength;
    bool below;
    ~Restore() {
      if (below) {
        CutPath(*around, aroundLength);
      } else if (gSyncedPath == tInnermostPath) {
        gSyncedPath = nullptr;  // the string ends with this walk
      }
      tInnermostPath = around;
    }
  } restore{around, aroundLength, below};
  Walk(OnEntry, OnDone, folderPath, listable, Mode, AbortScan);
}

}  // namespace FindFilesModule

void tallyroot::platform::CallWaitHook() {
  if (FindFilesModule::gWaitHook) FindFilesModule::gWaitHook();
}
