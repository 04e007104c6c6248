// Read-ahead, as the folder listings see it: while one thread walks, helper
// threads read the listings of the folders that walk will enter next (names,
// kinds, sizes), and split the size reads of a large folder among
// themselves. A platform's folder_listing.cpp uses this header only; the
// engine's parts are in this folder (README.md).
//
// Contract:
//  - The walking thread gets every entry from Next, in the same order and
//    with the same values as without read-ahead. Read ahead are the next
//    few child folders (not named ".*") of each open listing, innermost
//    first, and, while the walk enters the children it is given, the
//    folders below them. A child the walk passes over, and all below a
//    listing once it closes, is dropped at once.
//  - An entry is given out as soon as its own size is known. The walking
//    thread, which is the window's, reads only while reads are known to be
//    CPU work on a local device; otherwise helpers read and it waits,
//    calling the wait hook. It never waits for a read that could not start.
//  - Listings held stay below `maxBytesAhead` (a folder the walk needs may
//    exceed it by its own listing), descriptors below a bound.
//  - Helpers work only while a walk is open and are never joined, so that
//    one blocked on a hung mount holds up neither the walk nor the exit.
//    One thread at a time walks with read-ahead; listings of another are
//    read as without it. Settings apply from the next walk's outermost
//    listing on.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "walker/folder_id.h"
#include "walker/listed_entry.h"

namespace tallyroot::platform {

// The pace follows what the reads cost, or, for tests and benchmarks, is
// held at that for CPU work or for reads that wait on a device.
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

// Called on the walking thread every few milliseconds while a listing waits
// for a read; true ends the listing at once, giving nothing more.
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

  // The folder as its platform holds it; none if the level ended unread.
  const ahead::FolderHandle* Folder() const;
  FolderId Id() const;
  // After the last entry: whether the folder could not be read in full.
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

// Listings nested deeper are not read ahead: each carries the identities of
// every folder around it, which in a chain thousands deep costs memory by
// the square of the depth, and such chains hold little beside the path.
inline constexpr std::size_t kReadAheadLevels = 128;

// What read-ahead has for the listing of `folderPath` that opens as this
// thread's `level`-th (1: the outermost): the child `child` of `innermost`
// if that is the child it handed out last, or, for the outermost listing of
// a walk, the listing read by a helper. Not `matched` where it has nothing
// (off, another thread walks, a walk elsewhere started from a callback): the
// caller lists the folder itself.
TakenChild TakeReadAhead(const std::string& folderPath, std::size_t level,
                         ReadAheadLevel* innermost, std::optional<std::string_view> child);

}  // namespace tallyroot::platform
