// The Windows folder listing: one FindFirstFileExW search per folder, which
// gives each entry's name, attributes and size, so no file is ever opened.
//
// No cycle can form here: the only folders entered are real ones, as every
// reparse point that stands for another name (symbolic link, junction,
// mount point) is a file (see JudgeEntry), and only the outermost folder is
// reached through one. So every listing is read in full, and no folder's
// identity is needed.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "walker/folder_listing.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform {

struct FindBuffer {
  WIN32_FIND_DATAW data;
  std::string name;  // the entry's name in WTF-8; its capacity is kept
};

namespace {

using windows::AppendWide;
using windows::AppendWtf8;

// The listings open on this thread, innermost last: the path each was given
// and its long form as the system takes it ("\\?\C:\x\"). A child of the
// innermost one gets its long form by appending its name, with no second
// look at the whole path. The long forms are kept per level, so that their
// capacity is reused and walking allocates nothing per folder once the
// deepest level has been reached.
struct OpenFolder {
  const std::string* path;  // the folder's path is its first pathLength bytes
  std::size_t pathLength;
};
thread_local std::vector<OpenFolder> tOpenFolders;
thread_local std::vector<std::wstring> tSystemPaths;

thread_local std::vector<std::unique_ptr<FindBuffer>> tFreeBuffers;

FindBuffer* TakeBuffer() {
  if (tFreeBuffers.empty()) return new FindBuffer;
  FindBuffer* buffer = tFreeBuffers.back().release();
  tFreeBuffers.pop_back();
  return buffer;
}

void ReturnBuffer(FindBuffer* buffer) { tFreeBuffers.emplace_back(buffer); }

// The long form of `folderPath` (ending with the separator) into `out`.
bool SystemPath(const std::string& folderPath, std::wstring& out) {
  out.clear();
  if (!tOpenFolders.empty()) {
    const OpenFolder& open = tOpenFolders.back();
    const std::string_view parent = std::string_view(*open.path).substr(0, open.pathLength);
    if (folderPath.size() > parent.size() + 1 && std::string_view(folderPath).starts_with(parent) &&
        folderPath.find(kSeparator, parent.size()) == folderPath.size() - 1) {
      out = tSystemPaths[tOpenFolders.size() - 1];
      AppendWide(out, std::string_view(folderPath).substr(parent.size()));
      return true;
    }
  }
  std::wstring given;
  AppendWide(given, folderPath);
  std::wstring full(given.size() + MAX_PATH, L'\0');
  DWORD length = windows::FullPath(given.c_str(), static_cast<DWORD>(full.size()), full.data());
  if (length >= full.size()) {
    full.resize(length);
    length = windows::FullPath(given.c_str(), static_cast<DWORD>(full.size()), full.data());
  }
  if (length == 0 || length >= full.size()) return false;
  full.resize(length);
  if (full.back() != L'\\') full += L'\\';
  out = windows::LongPath(full);
  return true;
}

}  // namespace

FolderListing::FolderListing(const std::string& folderPath) : level_(tOpenFolders.size() + 1) {
  if (tSystemPaths.size() < level_) tSystemPaths.resize(level_);
  std::wstring& systemPath = tSystemPaths[level_ - 1];
  if (!SystemPath(folderPath, systemPath)) {
    unread_ = true;
    return;
  }
  systemPath += L'*';
  FindBuffer* buffer = TakeBuffer();
  const HANDLE find = windows::FindFirst(systemPath.c_str(), buffer->data);
  systemPath.pop_back();
  if (find == INVALID_HANDLE_VALUE) {
    // A drive root with nothing on it has no entry to match; anything else
    // that fails (missing, not a folder, no permission) could not be read.
    unread_ = GetLastError() != ERROR_FILE_NOT_FOUND;
    ReturnBuffer(buffer);
    return;
  }
  state_.find = find;
  state_.buffer = buffer;
  state_.pending = true;
  tOpenFolders.push_back({&folderPath, folderPath.size()});
}

FolderListing::~FolderListing() {
  if (!state_.find) return;
  tOpenFolders.pop_back();
  windows::FindEnd(state_.find);
  ReturnBuffer(state_.buffer);
}

bool FolderListing::ReadInFull() const { return true; }

bool FolderListing::Unread() const { return unread_; }

bool FolderListing::Refill() {
  if (windows::FindNext(state_.find, state_.buffer->data)) return true;
  unread_ = unread_ || GetLastError() != ERROR_NO_MORE_FILES;
  return false;
}

bool FolderListing::Next(ListedEntry& entry) {
  if (!state_.find) return false;
  if (!state_.pending && !Refill()) return false;
  state_.pending = false;
  const WIN32_FIND_DATAW& data = state_.buffer->data;
  const windows::JudgedEntry judged = windows::JudgeEntry(data.dwFileAttributes, data.dwReserved0,
                                                          data.nFileSizeHigh, data.nFileSizeLow);
  std::string& name = state_.buffer->name;
  name.clear();
  AppendWtf8(name, data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
  entry.name = name;
  entry.isFolder = judged.isFolder;
  entry.size = judged.size;
  return true;
}

std::string ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  std::string folder;
  // The user never sees the long-path prefix.
  std::wstring_view shown = path;
  if (shown.starts_with(LR"(\\?\UNC\)")) {
    folder = R"(\\)";
    shown.remove_prefix(8);
  } else if (shown.starts_with(LR"(\\?\)")) {
    shown.remove_prefix(4);
  }
  AppendWtf8(folder, shown.data(), shown.size());
  const std::size_t cut = folder.rfind(kSeparator);
  if (cut == std::string::npos) return {};
  folder.resize(cut);
  if (folder.size() == 2 && folder[1] == ':') folder += kSeparator;  // a drive's root: "C:\"
  return folder;
}

void RaiseOpenFileLimit() {}

// Read-ahead is not built for Windows yet: the settings are kept, and it
// stays off.
namespace {
ReadAheadSettings gReadAhead;
}  // namespace

ReadAheadSettings GetReadAhead() { return gReadAhead; }

void SetReadAhead(const ReadAheadSettings& settings) {
  gReadAhead = settings;
  gReadAhead.on = false;
}

void SetWaitHook(WaitHook) {}

}  // namespace tallyroot::platform
