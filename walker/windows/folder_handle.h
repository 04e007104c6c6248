// What the Windows read-ahead holds of a folder (see walker/read_ahead_node.h):
// its path in the long form the system takes, which its children's paths are
// made from, and its identity, against which cycles are checked (see
// walker/windows/folder_checks.h). Nothing stays open between reads.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tallyroot::platform {

// What makes a folder the same folder, whatever path led to it: its
// volume's serial number and its file ID there. A file system that gives no
// file ID leaves both halves 0, and such a folder is no other's.
struct FolderId {
  std::uint64_t device = 0;  // the volume's serial number
  std::uint64_t fileLow = 0, fileHigh = 0;
};

namespace ahead {

// The listing gives each entry's size: a folder is complete when it is read.
inline constexpr bool kSizesListed = true;

// A listed folder's long path ("\\?\C:\x\", with the separator at its end).
class FolderHandle {
 public:
  using Native = std::wstring;
  explicit FolderHandle(std::wstring path) : path_(std::move(path)) {}
  const std::wstring& get() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace ahead
}  // namespace tallyroot::platform
