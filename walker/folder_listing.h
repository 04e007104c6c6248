// The platform layer beneath the walker: the only code that talks to the
// operating system's folder listing. Each platform implements it in a folder
// of its own (walker/posix/, walker/windows/), which CMake picks; this header
// and everything above it are the same on all of them. The platform header
// included here gives kSeparator, kInitialPath and the
// state an open listing holds (ListingState).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include "walker/windows/listing_state.h"
#else
#include "walker/posix/listing_state.h"
#endif

namespace tallyroot::platform {

// Position in a chain of open folders (0 = the outermost); kNoCycle where
// no folder of the chain is meant.
inline constexpr std::size_t kNoCycle = static_cast<std::size_t>(-1);

// One entry as the listing gives it. `name` is the raw name field (on
// Windows the name in WTF-8, see walker/windows/wide_names.h), at most 255
// bytes on POSIX and possibly padded with NULs, which the caller cuts off; it
// stays valid until the next call of FolderListing::Next on the same listing.
struct ListedEntry {
  std::string_view name;
  bool isFolder = false;
  std::uint64_t size = 0;  // apparent size in bytes; 0 for a folder
};

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
// Read-ahead (see ReadAheadSettings) changes none of this: what Next gives,
// and in which order, is the same with it and without it.
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
  // Reads the next batch of entries from the system; false at the end.
  bool Refill();

  std::size_t level_;  // 1 + the listings open around this one on this thread
  bool unread_ = false;
  ListingState state_;  // the platform's own
};

// Read-ahead: while one thread walks, helper threads read the listings of
// the folders that walk is likely to enter next (names, folder flags, sizes),
// and split the size reads of a large folder among themselves.
//
// Contract:
//  - The walking thread still opens each listing and gets every entry from
//    Next, in the same order and with the same values as without read-ahead.
//    What is read ahead are the next few child folders (names not beginning
//    with ".") of each listing open on that thread, innermost first, and,
//    while the walk enters the children it is given, the folders below them
//    in the order the walk will enter them. A child that the walk passes
//    over without opening it, and everything read ahead below a listing once
//    it is closed, is dropped at once; a walk that passes over every child
//    wastes one level of reads below it at most.
//  - An entry is given out as soon as its own size is known. How many reads
//    are in flight follows what the reads cost: while they are CPU work (a
//    warm page cache) there are `helpers` helpers and the walking thread
//    reads what it needs itself rather than sleep; while they wait on the
//    device (a cold disk, a network or FUSE mount) helpers read ahead wider,
//    as many as are measured to read faster (up to 64), and the walking
//    thread only waits, calling the wait hook. On a rotational disk two
//    threads read (the walking thread and one helper), each range of sizes
//    in inode order, unless more readers are measured to read faster. The
//    walking thread never waits for a read that could not start, so no bound
//    can stall a walk. The walking thread's own first listing is read by a
//    helper, so that a first read of a slow device does not keep it from the
//    wait hook.
//  - Listings held, open ones included, stay below `maxBytesAhead` (a folder
//    read because the walk needs it may exceed it by its own listing), and
//    a bounded number of descriptors stays open for those read ahead.
//  - Helpers work only while a walk is open on the walking thread and sleep
//    between walks. They are never joined, so that a helper blocked in a
//    read of a hung mount holds up neither the walk nor the program's exit.
//    Only one thread walks with read-ahead at a time; listings of another
//    thread meanwhile are read as without it.
//  - Settings apply to walks whose outermost listing opens afterwards.
//  - On Windows each listing arrives with every entry's size, so a folder
//    is ready in full once it is read, and there are no size reads; the
//    pace there is always that of CPU-bound reads, as no thread's CPU time
//    is known precisely enough to tell a waiting device apart.
//
// Whether the read-ahead's pace follows what the reads cost (the default),
// or is held at that for CPU-bound reads or for reads that wait on a
// device; the last two are for tests and benchmarks.
enum class ReadPace { Measured, CpuBound, DeviceBound };

struct ReadAheadSettings {
  bool on = false;       // by default on when this process may use two CPUs or more
  unsigned helpers = 1;  // helpers while reads are CPU work; by default one fewer than the CPUs
  std::size_t maxBytesAhead = std::size_t{32} << 20;
  ReadPace pace = ReadPace::Measured;
};
ReadAheadSettings GetReadAhead();
void SetReadAhead(const ReadAheadSettings& settings);

// Called on the walking thread every few milliseconds while a read-ahead
// listing waits for a read (never while it has something to give out).
// Returns true to stop waiting: the listing then ends at once, and gives
// nothing more. The walker connects it to its callers' wait hook.
using WaitHook = bool (*)();
void SetWaitHook(WaitHook hook);

// The folder that holds the running executable, without a trailing separator
// except at the file system's root; empty if it cannot be found.
std::string ExecutableFolder();

// One descriptor stays open per nesting level of a walk down to 1024 levels
// (and a few below), so deep trees need more than the usual soft limit.
// Raises the soft limit to the hard one (on POSIX; Windows has no such
// limit).
void RaiseOpenFileLimit();

}  // namespace tallyroot::platform
