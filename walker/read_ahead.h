// The read-ahead scheduler beneath FolderListing (see ReadAheadSettings in
// folder_listing.h for what callers may rely on).
//
// Contract, towards each platform's folder_listing.cpp:
//  - Every read-ahead listing is a ReadAheadLevel, made and destroyed on the
//    walking thread, strictly nested like the listings themselves. The first
//    one wakes the helper threads; when the last one is destroyed they go
//    back to sleep. Helpers are started as the pace needs them and never
//    joined: one blocked in a read of a hung mount must not hold up the end
//    of a walk or of the program, so the scheduler and what the helpers use
//    live until the process ends.
//  - An entry is handed to the walk as soon as its own size is known. While
//    the walking thread waits for one (or for a child's listing) it calls the
//    wait hook (SetWaitHook) every few milliseconds; when the hook asks to
//    stop, the listing ends early and yields nothing more.
//  - A level's children are read ahead in entry order, and while the walk
//    enters the children it is given, their children too, in the order the
//    walk will meet them. A level only ever hands over the child that its
//    Next gave out last, so the order of the walk lives in the listings,
//    never in which thread ran first.
//  - A child that Next gave out and that was not taken before the next call
//    of Next (or before the level closes) is cancelled, with everything read
//    ahead below it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "walker/folder_listing.h"
#include "walker/read_ahead_node.h"

namespace tallyroot::platform {

namespace ahead {
class Scheduler;
}

class ReadAheadLevel {
 public:
  explicit ReadAheadLevel(std::shared_ptr<ahead::Node> node);
  ~ReadAheadLevel();
  ReadAheadLevel(const ReadAheadLevel&) = delete;
  ReadAheadLevel& operator=(const ReadAheadLevel&) = delete;

  // A level that ended before its folder was read has neither.
  const ahead::FolderHandle* Folder() const { return ended_ ? nullptr : node_->folder.get(); }
  FolderId Id() const { return ended_ ? FolderId{} : node_->id; }
  // Once Next has given every entry.
  bool Unread() const {
    return !ended_ && (node_->unread || node_->unsized.load(std::memory_order_relaxed));
  }
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
  bool matched = false;                   // the folder is the child handed out last
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
//  - for the outermost listing of a walk: the listing opened and read by the
//    read-ahead, so that the walking thread does not itself wait on a slow
//    device, unless read-ahead is off or another thread walks with it.
// Not `matched` otherwise: the caller lists the folder itself.
TakenChild TakeReadAhead(const std::string& folderPath, std::size_t level,
                         ReadAheadLevel* innermost, std::optional<std::string_view> child);

// Whether a listing opened now on this thread might be read ahead: read-ahead
// is on, or this thread walks with it already. Cheap; false for certain
// when read-ahead is off.
bool ReadAheadWanted();

// A level for the folder the walking thread has opened and checked itself
// (`folder`, identity `id`) inside the open folders `enclosing`. Nothing when
// read-ahead is off or another thread walks with it; `folder` is then still
// the caller's.
std::unique_ptr<ReadAheadLevel> AdoptReadAheadFolder(ahead::FolderHandle::Native folder,
                                                     FolderId id, ahead::Chain enclosing);

}  // namespace tallyroot::platform
