// The system calls behind a folder listing, shared by the walking thread and
// the read-ahead helpers so that both decide every case the same way.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "walker/folder_id.h"
#include "walker/listed_entry.h"

namespace tallyroot::platform::posix {

// Folders are opened without blocking on a FIFO-like surprise and are never
// inherited by a child process.
inline constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
inline constexpr std::size_t kMaxNameBytes = 255;

// One record of a getdents64 buffer.
struct ListedRecord {
  // The name field: NUL-terminated in the buffer, at most kMaxNameBytes,
  // and possibly padded with NULs after the name.
  std::string_view field;
  unsigned char type;  // DT_DIR, DT_UNKNOWN, ...
  std::uint64_t inode;
  std::int64_t next;  // where the listing goes on after this record
};

// Decodes the record at `offset` of a getdents64 buffer and moves `offset`
// past it.
inline ListedRecord NextRecord(const char* buffer, long& offset) {
  const auto* record = reinterpret_cast<const dirent64*>(buffer + offset);
  offset += record->d_reclen;
  const std::size_t field = record->d_reclen - offsetof(dirent64, d_name);
  return {{record->d_name, std::min(field, kMaxNameBytes)},
          record->d_type,
          record->d_ino,
          record->d_off};
}

using platform::FolderId;
using platform::kNoCycle;

// The identity of the folder open as `fd`; false if it cannot be read. Taken
// from what the kernel holds, not asked of the file system again: an open
// folder's device and inode do not change, and on a share or FUSE mount
// every such question is a round trip (fstat took 20 ms a folder on a
// 20 ms mount).
bool ReadFolderId(int fd, FolderId& id);

// Whether a folder of a kernel pseudo file system (proc, sysfs, ...) is open
// as `fd`; such a folder holds no disk space and is listed as empty.
bool IsPseudoFileSystem(int fd);

// What becomes of a folder opened for listing.
enum class Verdict {
  List,   // list it
  Empty,  // a pseudo file system: complete, and empty
  Cycle,  // already open further up (a bind mount of an ancestor): cut short
};

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
