// What the POSIX read-ahead holds of a folder (node.h): an open descriptor,
// which its children are opened relative to.
#pragma once

namespace tallyroot::platform::ahead {

// An open folder (RAII: closed with the object). Shared by whoever still
// needs it, so a folder stays open while a read below it is still running.
class FolderHandle {
 public:
  explicit FolderHandle(int fd);
  ~FolderHandle();
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tallyroot::platform::ahead
