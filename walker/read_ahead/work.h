// Which read runs next, and what is read ahead at all: the tree of listings
// below the walk's open folders, the order in which its reads are picked,
// the children dropped when the walk passes them, and the bounds on what
// is held. No threads and no lock of its own: the scheduler (scheduler.h)
// holds its lock around every call.
//
// Contract:
//  - Levels are opened and closed in strict nesting, as the walk's listings.
//  - Pick gives the most urgent work: what the walk waits for (the node it
//    demands, then the innermost open listing's own sizes), then, from the
//    innermost open listing outwards, the folders read ahead below it in
//    the order the walk will enter them, and their sizes. Spread, it first
//    looks for sizes of folders that no size read runs in, and crowds a
//    folder only when no other has work. It looks below
//    the children of an open listing only while the walk goes down rather
//    than passing folders over, so a listing whose subfolders are all
//    skipped wastes one level of reads at most.
//  - A child that a level handed out and that the walk passed over is
//    cancelled, with everything read ahead below it; so is everything below
//    a level when it closes. Cancelled nodes are handed to the caller, to be
//    freed once the lock is let go.
//  - A folder is read ahead only while the listings alive stay under the
//    walk's byte bound and descriptors remain; one refused so is read only
//    when the walk demands it. A demanded folder is read whatever the bounds.
//  - TakeNewWork says whether the calls since it was last asked made work
//    that a helper might take (children added below a listing, a read held
//    back for want of room that may start now).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "walker/read_ahead/node.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {

struct Work {
  std::shared_ptr<Node> node;  // none: nothing to do
  bool read = false;           // the folder read, else the sizes of [begin, end)
  std::size_t begin = 0;
  std::size_t end = 0;
};

class WorkTree {
 public:
  // A walk starts, with these bounds for what it reads ahead.
  void Start(std::size_t maxBytes, std::size_t maxDescriptors);
  // Children read ahead below each open listing, sizes per work item, and
  // whether size reads go one a folder while other folders have work.
  void Shape(std::size_t window, std::size_t chunk, bool spread);

  // The walk needs `node` now (or no longer, with none).
  void Demand(std::shared_ptr<Node> node) { demanded_ = std::move(node); }
  const std::shared_ptr<Node>& Demanded() const { return demanded_; }

  // `node` opened as the innermost listing; its first children are read ahead.
  void Open(std::shared_ptr<Node> node);
  // The node read ahead for `from`'s child `handed` (an index into its
  // children), which the walk enters now; none when it was not read ahead.
  std::shared_ptr<Node> TakeHanded(Node& from, std::size_t handed);
  // The walk went on past `node`'s child `handed`: unless taken, it is
  // dropped, with those before it, and the next ones read ahead instead.
  void PassHanded(Node& node, std::size_t handed, std::vector<std::shared_ptr<Node>>& dropped);
  // The innermost listing closes; `ended` when the walk stopped waiting for
  // it, so that reads of it stop too.
  void Close(bool ended, std::vector<std::shared_ptr<Node>>& dropped);
  bool Empty() const { return levels_.empty(); }
  bool TakeNewWork() { return std::exchange(newWork_, false); }

  Work Pick();
  // The rest of a listed node's sizes, when some are left.
  Work Claim(const std::shared_ptr<Node>& node);
  static bool Unclaimed(const Node& node);
  // A size read stopped early: [begin, end) is to be read by another.
  void GiveBack(Node& node, std::size_t begin, std::size_t end);

  std::size_t MaxBytes() const { return maxBytes_; }

 private:
  Work PickUnder(unsigned sizing);
  Work Search(Node& node, std::size_t& budget, unsigned sizing);
  Work WorkOn(const std::shared_ptr<Node>& node, bool demanded, unsigned sizing);
  bool MayReadAhead(const Node& node);
  void TopUp(Node& node);
  static void Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped);

  std::vector<std::shared_ptr<Node>> levels_;  // the walk's open listings, innermost last
  std::shared_ptr<Node> demanded_;             // read for the walk before it becomes a level
  bool descending_ = false;                    // the walk entered the last child it was given
  bool heldBack_ = false;                      // a read waits for listings held ahead to go
  bool newWork_ = false;
  std::size_t maxBytes_ = 0;
  std::size_t maxDescriptors_ = 0;
  std::size_t window_ = tuning::kCpuWindow;
  std::size_t chunk_ = tuning::kCpuChunk;
  bool spread_ = false;
};

}  // namespace tallyroot::platform::ahead
