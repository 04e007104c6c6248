// The Windows read-ahead's folder read: one FindFirstFileExW search through
// the listing layer, which gives every entry's size with its name, so the
// folder is complete once it is listed and no size is ever read.
#include <windows.h>

#include <string>
#include <string_view>

#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/windows/folder_handle.h"
#include "walker/windows/folder_checks.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform::ahead {
namespace {

// A search, ended with the object.
class Search {
 public:
  explicit Search(HANDLE find) : find_(find) {}
  ~Search() {
    if (find_ != INVALID_HANDLE_VALUE) windows::FindEnd(find_);
  }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  HANDLE get() const { return find_; }

 private:
  HANDLE find_;
};

// The long form of the node's folder: its parent's and its name, or, for
// the outermost folder of a walk, its path made absolute.
bool FolderPath(const Node& node, std::wstring& path) {
  if (!node.parent) return windows::LongFolderPath(node.name, path);
  path = node.parent->get();
  windows::AppendWide(path, node.name);
  path += L'\\';
  return true;
}

// What the volume of the outermost folder of a walk (its long path, its
// identity `id`) says: a share (a UNC path, or a drive letter mapped to one)
// is read as a device that waits from the first read on. Asked by the
// helper that reads the folder, as the answer may wait on the network.
DeviceFacts FactsOf(const std::wstring& path, const FolderId& id) {
  DeviceFacts facts;
  facts.device = id.device;
  facts.remote = std::wstring_view(path).starts_with(LR"(\\?\UNC\)");
  wchar_t volume[MAX_PATH + 1];
  if (!facts.remote && GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1)) {
    facts.remote = GetDriveTypeW(volume) == DRIVE_REMOTE;
  }
  return facts;
}

}  // namespace

// No handle stays open between reads.
std::size_t DescriptorsHeld() { return 0; }

// Every size came with the listing (EndRead below), so none is ever claimed
// for a size read.
bool ReadSize(Node&, std::size_t) { return true; }

ReadEnd ReadFolder(Node& node, std::size_t maxBytes) {
  std::wstring path;
  if (!FolderPath(node, path)) {
    node.unread = true;
    return EndRead(node, ReadEnd::Empty);
  }
  if (windows::JudgeFolder(path, !node.parent, *node.chain, node.id, node.cycleAt) !=
      windows::Verdict::List) {
    return EndRead(node, ReadEnd::Empty);
  }
  if (!node.parent) node.device = FactsOf(path, node.id);
  node.folder = std::make_shared<const FolderHandle>(std::move(path));
  std::wstring pattern = node.folder->get() + L'*';
  WIN32_FIND_DATAW data;
  const Search search(windows::FindFirst(pattern.c_str(), data));
  if (search.get() == INVALID_HANDLE_VALUE) {
    // A drive root with nothing on it has no entry to match; anything else
    // that fails (missing, not a folder, no permission) could not be read.
    node.unread = GetLastError() != ERROR_FILE_NOT_FOUND;
    return EndRead(node, ReadEnd::Empty);
  }
  for (std::size_t listed = 1;; ++listed) {
    const windows::JudgedEntry judged = windows::JudgeFound(data);
    const std::size_t nameAt = node.names.size();
    windows::AppendWtf8(node.names, data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
    AddEntry(node, nameAt, judged.isFolder ? Kind::Folder : Kind::File, 0, judged.size);
    if (listed % tuning::kEntriesPerCancelCheck == 0) {
      if (const ReadEnd end = AfterBatch(node, maxBytes); end != ReadEnd::Listed) return end;
    }
    if (!windows::FindNext(search.get(), data)) {
      // A failure in the middle ends the listing, as it does without read-ahead.
      node.unread = node.unread || GetLastError() != ERROR_NO_MORE_FILES;
      break;
    }
  }
  return EndRead(node, ReadEnd::Listed, true);
}

}  // namespace tallyroot::platform::ahead
