// The system calls behind a folder listing, shared by the walking thread and
// the read-ahead helpers so that both decide every case the same way.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

#include "folder_listing.h"

namespace tallyroot::platform::posix {

// Folders are opened without blocking on a FIFO-like surprise and are never
// inherited by a child process.
inline constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
inline constexpr std::size_t kMaxNameBytes = 255;

// What makes a folder the same folder, whatever path led to it.
struct FolderId {
  dev_t device;
  ino_t inode;
};

// Whether a folder of a kernel pseudo file system (proc, sysfs, ...) is open
// as `fd`; such a folder holds no disk space and is listed as empty.
bool IsPseudoFileSystem(int fd);

// Whether the folder open as `fd` with identity `self` is to be listed under
// the folders `chain` (everything open around it on the walking thread): not
// when one of them is the same folder (a bind mount of an ancestor: a cycle),
// nor when it is on a pseudo file system. A folder on the device of one of
// them is on a file system already found real, so only a device change costs
// an fstatfs.
template <typename Chain, typename IdOf>
bool MayList(int fd, FolderId self, const Chain& chain, IdOf idOf) {
  bool knownDevice = false;
  for (const auto& open : chain) {
    const FolderId id = idOf(open);
    if (id.device != self.device) continue;
    if (id.inode == self.inode) return false;
    knownDevice = true;
  }
  return knownDevice || !IsPseudoFileSystem(fd);
}

// Reads the size (and, unless `typeKnown`, the type) of `name` in the folder
// open as `dirFd` into `entry`, never following a link. Returns false only
// when the entry has vanished since it was listed. An entry that is there but
// cannot be examined (in a folder that may be listed but not searched) is
// still reported, as a file of size 0 unless the listing said it is a folder.
bool ReadEntry(int dirFd, const char* name, bool typeKnown, ListedEntry& entry);

}  // namespace tallyroot::platform::posix
