// The platform layer beneath the walker: the only code that talks to the
// operating system's folder listing. Each platform implements it in a folder
// of its own (walker/posix/, walker/windows/), which CMake picks; this header
// and everything above it are the same on all of them, and include no
// platform header. Read-ahead (walker/read_ahead/) serves these listings
// from below and has settings of its own there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "walker/folder_id.h"
#include "walker/listed_entry.h"
#include "walker/path_rules.h"

namespace tallyroot::platform {

// An open listing of one folder (RAII: the folder is closed with the object).
//
// Contract:
//  - `folderPath` ends with kSeparator, and the string lives as long as the
//    listing and keeps its first folderPath.size() bytes meanwhile: a
//    listing nested inside may be given the same string grown by a child's
//    name. A symbolic link is followed only when it is the listed folder
//    itself; entries that are links are files.
//  - A folder that cannot be opened (missing, not a folder, no permission,
//    name too long, out of descriptors) yields no entries and is Unread, and
//    so is one whose listing fails midway after what it gave so far, or one
//    with an entry whose size cannot be read (listed but not searchable). A
//    folder of a kernel pseudo file system (proc, sysfs, ...), which holds no
//    disk space, yields no entries and is not Unread. A folder that is
//    already open further up this thread's chain of listings (a bind mount
//    of an ancestor, say) yields no entries either, so every walk ends; it
//    and every listing around it below the folder it repeats are then not
//    ReadInFull. Nor are a listing of a folder that lies above the outermost
//    listing's path (its parent, say, through a bind mount) and every
//    listing around it: a walk begun higher up would have cut it short.
//  - Entries come in the file system's own order, "." and ".." included.
//    An entry that vanishes before its size is read is skipped.
//  - Listings on one thread nest strictly (each is destroyed before the one
//    opened before it), which is how the walker uses them.
//  - Only folders are ever opened, and nothing is written.
//
// Read-ahead (walker/read_ahead/read_ahead.h) changes none of this: what
// Next gives, and in which order, is the same with it and without it.
class FolderListing {
 public:
  explicit FolderListing(const std::string& folderPath);
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // Fills `entry` with the next entry; false when there is none (or the
  // listing failed, which ends it the same way).
  bool Next(ListedEntry& entry);

  // Whether this folder and everything listed below it while it was open
  // were read without cutting a cycle short at a folder open around this
  // one and without reaching a folder above the outermost listing's path.
  // Then what was found does not depend on where a walk that reaches this
  // folder by this path began. Asked before the listing closes, once the
  // listings below it have closed.
  bool ReadInFull() const;

  // Whether this folder could not be listed, or not to its end: what it gave
  // is less than what it holds. Asked once Next has returned false.
  bool Unread() const;

  // Whether no other listing is open around this one on this thread.
  bool Outermost() const { return level_ == 1; }

 private:
  // What an open listing holds: each platform's own (its folder_listing.cpp).
  struct State;
  State& state() { return *std::launder(reinterpret_cast<State*>(storage_)); }
  const State& state() const { return *std::launder(reinterpret_cast<const State*>(storage_)); }

  // Reads the next batch of entries from the system; false at the end.
  bool Refill();

  std::size_t level_;  // 1 + the listings open around this one on this thread
  bool unread_ = false;
  // The State, kept in place rather than on the heap: a listing opens for
  // every folder walked. Each platform checks that its State fits.
  static constexpr std::size_t kStateBytes = 96;
  alignas(std::max_align_t) unsigned char storage_[kStateBytes];
};

// The folder that holds the running executable, without a trailing separator
// except at the file system's root; empty if it cannot be found.
std::string ExecutableFolder();

// One descriptor stays open per nesting level of a walk down to 1024 levels
// (and a few below), so deep trees need more than the usual soft limit.
// Raises the soft limit to the hard one (on POSIX; Windows has no such
// limit).
void RaiseOpenFileLimit();

}  // namespace tallyroot::platform
