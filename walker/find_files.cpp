#include "walker/find_files.h"

#include "walker/large_stack.h"

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

// Assigning into the record's existing strings reuses their capacity, so
// publishing an entry allocates nothing once the longest path has been seen.
void Publish(const std::string& folderPath, std::string_view name, bool isFolder,
             std::uint64_t size) {
  FoundEntry.Name.assign(name);
  FoundEntry.FolderPath.assign(folderPath);
  FoundEntry.FullPath.assign(folderPath).append(name);
  FoundEntry.Attributes = isFolder ? kFolderAttribute : 0;
  FoundEntry.Size = isFolder ? 0 : size;
}

WalkCallback gWaitHook = nullptr;

// The AbortScan of the innermost walk on this thread: every walk of one
// thread is handed the same flag, so its waits test that one.
thread_local bool* tAbortScan = nullptr;

bool WaitPass() {
  if (gWaitHook) gWaitHook();
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

void FindFiles(WalkCallback OnEntry, WalkCallback OnDone, std::string Folder, WalkMode Mode,
               bool& AbortScan) {
  // Walks nest as deep as folders do. The first levels run on the thread's
  // own stack; deeper ones on a stack that has room for any depth.
  if (tNesting >= kLevelsOnOwnStack && !tallyroot::platform::OnLargeStack()) {
    tallyroot::platform::RunOnLargeStack(
        [&] { FindFiles(OnEntry, OnDone, std::move(Folder), Mode, AbortScan); });
    return;
  }
  ++tNesting;
  struct Leave {
    ~Leave() { --tNesting; }
  } leave;

  std::string folderPath = std::move(Folder);
  if (folderPath.empty()) folderPath = tallyroot::platform::ExecutableFolder();
  // Nothing is listed where the program's own folder cannot be found (walking
  // "/" instead would be a surprise), nor for a path holding a NUL: the
  // system calls would read it only up to the NUL and list another folder.
  const bool listable = !folderPath.empty() && folderPath.find('\0') == std::string::npos;
  if (listable && folderPath.back() != kSeparator) folderPath += kSeparator;
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
        std::string child;
        child.reserve(folderPath.size() + name.size() + 1);
        child.append(folderPath).append(name);
        FindFiles(OnEntry, nullptr, std::move(child), rule.descendMode, AbortScan);
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

}  // namespace FindFilesModule
