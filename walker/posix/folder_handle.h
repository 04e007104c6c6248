// What the POSIX read-ahead holds of a folder (see walker/read_ahead_node.h):
// an open descriptor, which its children are opened relative to, and the
// folder's identity, against which bind-mount cycles are checked.
#pragma once

#include <cstdint>

namespace tallyroot::platform {

// What makes a folder the same folder, whatever path led to it.
struct FolderId {
  std::uint64_t device;
  std::uint64_t inode;
};

namespace ahead {

// Each entry's size is read after the listing, by a size read.
inline constexpr bool kSizesListed = false;

// An open folder (RAII: closed with the object). Shared by whoever still
// needs it, so a folder stays open while a read below it is still running.
class FolderHandle {
 public:
  using Native = int;
  explicit FolderHandle(int fd);
  ~FolderHandle();
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace ahead
}  // namespace tallyroot::platform
