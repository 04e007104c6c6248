// The Windows read-ahead's folder read: one search through the listing
// layer, which gives every entry's size with its name, so no size is read.
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/windows/folder_handle.h"
#include "walker/windows/folder_checks.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform::ahead {
namespace {

// The long form of the node's folder: its parent's and its name, or the
// outermost folder's path made absolute.
bool FolderPath(const Node& node, std::wstring& path) {
  if (!node.parent) return windows::LongFolderPath(node.name, path);
  path = node.parent->get();
  windows::AppendWide(path, node.name);
  path += L'\\';
  return true;
}

// Whether the outermost folder (its long path) is on a share: a UNC path or
// a drive mapped to one. Asked by a helper, as the answer may wait.
bool IsRemote(const std::wstring& path) {
  if (std::wstring_view(path).starts_with(LR"(\\?\UNC\)")) return true;
  wchar_t volume[MAX_PATH + 1];
  return GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) &&
         GetDriveTypeW(volume) == DRIVE_REMOTE;
}

}  // namespace

std::size_t DescriptorsHeld() { return 0; }  // no handle stays open between reads

// Every size came with the listing (EndRead below): none is ever claimed.
void ReadSize(Node&, std::size_t) {}

State ReadFolder(Node& node, std::size_t maxBytes) {
  std::wstring path;
  if (!FolderPath(node, path)) {
    node.unread = true;
    return EndRead(node, State::Empty);
  }
  if (windows::JudgeFolder(path, !node.parent, *node.chain, node.id, node.cycleAt) !=
      windows::Verdict::List) {
    return EndRead(node, State::Empty);
  }
  if (!node.parent) node.remote = IsRemote(path);
  node.folder = std::make_shared<const FolderHandle>(std::move(path));
  std::wstring pattern = node.folder->get() + L'*';
  WIN32_FIND_DATAW data;
  const HANDLE find = windows::FindFirst(pattern.c_str(), data);
  if (find == INVALID_HANDLE_VALUE) {
    // A drive root with nothing on it has no entry to match; anything else
    // that fails (missing, not a folder, no permission) could not be read.
    node.unread = GetLastError() != ERROR_FILE_NOT_FOUND;
    return EndRead(node, State::Empty);
  }
  const std::unique_ptr<void, void (*)(HANDLE)> search(find, windows::FindEnd);
  for (std::size_t listed = 1;; ++listed) {
    const windows::JudgedEntry judged = windows::JudgeFound(data);
    const std::size_t nameAt = node.names.size();
    windows::AppendWtf8(node.names, data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
    AddEntry(node, nameAt, judged.isFolder ? Kind::Folder : Kind::File, 0, judged.size);
    if (listed % tuning::kEntriesPerCancelCheck == 0) {
      if (const State end = AfterBatch(node, maxBytes); end != State::Reading) return end;
    }
    if (!windows::FindNext(search.get(), data)) {
      // A failure in the middle ends the listing, as it does without read-ahead.
      node.unread = node.unread || GetLastError() != ERROR_NO_MORE_FILES;
      break;
    }
  }
  return EndRead(node, State::Listed, true);
}

}  // namespace tallyroot::platform::ahead
