// What the Windows read-ahead holds of a folder (see walker/read_ahead_node.h):
// its path in the long form the system takes, which its children's paths are
// made from. Nothing stays open between reads, and no identity is needed:
// only real folders are entered (see windows::JudgeEntry), so no cycle forms.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tallyroot::platform {

// Folders are told apart by their path alone here; the device is that of
// every folder, for the read-ahead's pace.
struct FolderId {
  std::uint64_t device = 0;
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
