// Read-ahead, as the folder listings see it: while one thread walks, helper
// threads read the listings of the folders that walk is likely to enter next
// (names, folder flags, sizes), and split the size reads of a large folder
// among themselves. This header is all that a platform's folder_listing.cpp
// uses of it; the engine's own parts are in this folder (see README.md here).
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
//    are in flight follows what the reads cost (pace.h). The walking thread,
//    which is the window's, reads nothing itself unless the reads are known
//    to be CPU work on a local device (a warm page cache); at the start of a
//    walk, before that is known, on a remote root and wherever reads wait on
//    the device, helpers read and the walking thread waits, calling the wait
//    hook. The walking thread never waits for a read that could not start,
//    so no bound can stall a walk.
//  - Listings held, open ones included, stay below `maxBytesAhead` (a folder
//    read because the walk needs it may exceed it by its own listing), and
//    a bounded number of descriptors stays open for those read ahead.
//  - Helpers work only while a walk is open on the walking thread and sleep
//    between walks. They are never joined, so that a helper blocked in a
//    read of a hung mount holds up neither the walk nor the program's exit.
//    Only one thread walks with read-ahead at a time; listings of another
//    thread meanwhile are read as without it.
//  - Settings apply to walks whose outermost listing opens afterwards.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "walker/folder_id.h"
#include "walker/listed_entry.h"

namespace tallyroot::platform {

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

// Whether the pace has found the reads to wait on the device, for tests.
bool ReadsWaitOnDevice();

// Called on the walking thread every few milliseconds while a read-ahead
// listing waits for a read (never while it has something to give out).
// Returns true to stop waiting: the listing then ends at once, and gives
// nothing more. The walker connects it to its callers' wait hook.
using WaitHook = bool (*)();
void SetWaitHook(WaitHook hook);

namespace ahead {
struct Node;
class Scheduler;
class FolderHandle;  // what each platform holds of a folder (its folder_handle.h)
}  // namespace ahead

// One listing served by read-ahead, made and destroyed on the walking
// thread, strictly nested like the listings themselves.
class ReadAheadLevel {
 public:
  explicit ReadAheadLevel(std::shared_ptr<ahead::Node> node);
  ~ReadAheadLevel();
  ReadAheadLevel(const ReadAheadLevel&) = delete;
  ReadAheadLevel& operator=(const ReadAheadLevel&) = delete;

  // The folder as its platform holds it; none for a level that ended before
  // its folder was read.
  const ahead::FolderHandle* Folder() const;
  FolderId Id() const;
  // Once Next has given every entry: whether the folder could not be read
  // in full.
  bool Unread() const;
  bool Next(ListedEntry& entry);

 private:
  friend class ahead::Scheduler;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  const std::shared_ptr<ahead::Node> node_;  // listed; its entries are handed out

  // The walking thread's own.
  std::size_t position_ = 0;    // the next entry Next looks at
  bool ended_ = false;          // the wait hook asked to stop: nothing more
  std::size_t nextChild_ = 0;   // the first child Next has not handed out
  std::size_t handed_ = kNone;  // the child handed out by the last Next, until the walk goes on
};

struct TakenChild {
  bool matched = false;                   // read-ahead answered for the folder
  std::size_t cycleAt = kNoCycle;         // where it is open further up, for a cycle
  bool unread = false;                    // it could not be opened
  std::unique_ptr<ReadAheadLevel> level;  // nothing when the folder yields nothing
};

// Listings nested deeper than this are not read ahead: each listing read
// ahead carries the identities of every folder open around it, which in a
// chain of folders thousands deep would cost memory by the square of the
// depth, and trees that deep are chains with little to read beside the path.
inline constexpr std::size_t kReadAheadLevels = 128;

// What read-ahead has for the listing of `folderPath` that opens as this
// thread's `level`-th (1: nothing is open around it):
//  - with `innermost` the innermost listing, when read ahead, and `child`
//    the folder's name in it when it is a direct child: that child's
//    listing, if it is the one `innermost` handed out last;
//  - for the outermost listing of a walk: the listing opened and read by a
//    helper, so that the walking thread does not itself wait on a slow
//    device, unless read-ahead is off or another thread walks with it.
// Not `matched` otherwise: the caller lists the folder itself, as without
// read-ahead (a walk of a folder elsewhere, started from a callback).
TakenChild TakeReadAhead(const std::string& folderPath, std::size_t level,
                         ReadAheadLevel* innermost, std::optional<std::string_view> child);

// Whether a listing opened now on this thread might be read ahead: read-ahead
// is on, or this thread walks with it already. Cheap; false for certain
// when read-ahead is off.
bool ReadAheadWanted();

}  // namespace tallyroot::platform
