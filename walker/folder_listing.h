// The platform layer beneath the walker: the only code that talks to the
// operating system's folder listing. A Windows layer replaces
// folder_listing_posix.cpp and keeps this header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyroot::platform {

// Separates folders in paths. Stored and passed folder paths end with it.
inline constexpr char kSeparator = '/';

// Whether two paths that differ only in letter case name the same folder.
inline constexpr bool kPathsIgnoreCase = false;

// One entry as the listing gives it. `name` is the raw name field, at most
// 255 bytes and possibly padded with NULs, which the caller cuts off; it stays
// valid until the next call of FolderListing::Next on the same listing.
struct ListedEntry {
  std::string_view name;
  bool isFolder = false;
  std::uint64_t size = 0;  // apparent size in bytes; 0 for a folder
};

// An open listing of one folder (RAII: the folder is closed with the object).
//
// Contract:
//  - `folderPath` ends with kSeparator. A symbolic link is followed only when
//    it is the listed folder itself; entries that are links are files.
//  - A folder that cannot be opened (missing, not a folder, no permission,
//    name too long, out of descriptors) yields no entries. So does a folder
//    that is already open further up this thread's chain of listings (a bind
//    mount of an ancestor, say), so every walk ends, and so does a folder of
//    a kernel pseudo file system (proc, sysfs, ...), which holds no disk space.
//  - Entries come in the file system's own order, "." and ".." included.
//    An entry that vanishes before its size is read is skipped.
//  - Listings on one thread nest strictly (each is destroyed before the one
//    opened before it), which is how the walker uses them.
//  - Only folders are ever opened, and nothing is written.
class FolderListing {
 public:
  explicit FolderListing(const std::string& folderPath);
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // Fills `entry` with the next entry; false when there is none (or the
  // listing failed, which ends it the same way).
  bool Next(ListedEntry& entry);

 private:
  bool Refill();

  int fd_ = -1;
  char* buffer_ = nullptr;  // borrowed from a per-thread pool
  long filled_ = 0;
  long offset_ = 0;
};

// The folder that holds the running executable, without a trailing separator
// except at the file system's root; empty if it cannot be found.
std::string ExecutableFolder();

// One descriptor stays open per nesting level of a walk, so deep trees need
// more than the usual soft limit. Raises the soft limit to the hard one.
void RaiseOpenFileLimit();

}  // namespace tallyroot::platform
