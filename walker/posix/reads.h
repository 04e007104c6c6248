// The system calls behind a folder listing, shared by the walking thread and
// the read-ahead helpers so that both decide every case the same way.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

#include "walker/folder_listing.h"

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

// What becomes of a folder opened for listing.
enum class Verdict {
  List,   // list it
  Empty,  // a pseudo file system: complete, and empty
  Cycle,  // already open further up (a bind mount of an ancestor): cut short
};

// Position in a chain of open folders (0 = the outermost); kNoCycle where
// no folder of the chain is meant.
inline constexpr std::size_t kNoCycle = static_cast<std::size_t>(-1);

// The verdict on the folder open as `fd` with identity `self` under the
// folders `chain` (everything open around it on the walking thread,
// outermost first); for a cycle, `cycleAt` learns the position of the same
// folder in the chain. A folder on the device of one of them is on a file
// system already found real, so only a device change costs an fstatfs.
template <typename Chain, typename IdOf>
Verdict Judge(int fd, FolderId self, const Chain& chain, IdOf idOf, std::size_t& cycleAt) {
  bool knownDevice = false;
  std::size_t at = 0;
  for (const auto& open : chain) {
    const FolderId id = idOf(open);
    if (id.device == self.device) {
      if (id.inode == self.inode) return cycleAt = at, Verdict::Cycle;
      knownDevice = true;
    }
    ++at;
  }
  return knownDevice || !IsPseudoFileSystem(fd) ? Verdict::List : Verdict::Empty;
}

// Reads the size (and, unless `typeKnown`, the type) of `name` in the folder
// open as `dirFd` into `entry`, never following a link. An entry that is
// there but cannot be examined (in a folder that may be listed but not
// searched) is Unsized and still reported, as a file of size 0 unless the
// listing said it is a folder; its folder then holds more than is counted.
enum class EntryRead { Read, Vanished, Unsized };
EntryRead ReadEntry(int dirFd, const char* name, bool typeKnown, ListedEntry& entry);

}  // namespace tallyroot::platform::posix
