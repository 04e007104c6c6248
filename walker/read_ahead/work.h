// Which read runs next, and what is read ahead at all: the tree of listings
// below the walk's open folders, the order its reads are picked in, the
// children dropped when the walk passes them, and the bounds. No threads and
// no lock of its own: the scheduler holds its lock around every call.
//
// Contract:
//  - Levels open and close in strict nesting, as the walk's listings.
//  - Pick gives the most urgent work: what the walk waits for (the node it
//    demands, then the innermost listing's sizes), then, from the innermost
//    listing outwards, the folders below it in walk order and their sizes;
//    spread, first sizes of folders no size read runs in. It looks below a
//    listing's children only while the walk goes down.
//  - A child handed out and passed over is cancelled with all below it; so
//    is all below a level when it closes. Cancelled nodes go to the caller,
//    to be freed once the lock is let go.
//  - A folder is read ahead only while listings alive stay under the byte
//    bound and descriptors remain; one refused so is read only on demand,
//    and a demanded folder whatever the bounds.
//  - A search passes over a child whose subtree it found read and sized
//    while the window is no wider, at the cost looking through it had: the
//    same picks, without looking again at all read ahead before the work
//    (100 to 130 nodes a pick where reads wait).
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
  // Children read ahead per open listing, sizes per item, and spreading.
  void Shape(std::size_t window, std::size_t chunk, bool spread);

  // The walk needs `node` now (or no longer, with none).
  void Demand(std::shared_ptr<Node> node) { demanded_ = std::move(node); }
  const std::shared_ptr<Node>& Demanded() const { return demanded_; }

  // `node` opened as the innermost listing; its first children are read ahead.
  void Open(std::shared_ptr<Node> node);
  // The node read ahead for `from`'s child `handed` (an index into its
  // children), which the walk enters now; none if not read ahead.
  std::shared_ptr<Node> TakeHanded(Node& from, std::size_t handed);
  // The walk went on past `node`'s child `handed`: unless taken, it is
  // dropped, with those before it, and the next ones read ahead instead.
  void PassHanded(Node& node, std::size_t handed, std::vector<std::shared_ptr<Node>>& dropped);
  // The innermost listing closes; `ended`: the walk stopped waiting for it.
  void Close(bool ended, std::vector<std::shared_ptr<Node>>& dropped);
  bool Empty() const { return levels_.empty(); }
  // Whether the calls since the last ask made work a helper might take.
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
  std::uint32_t shape_ = 1;  // counts the windows that grew (Node::settledIn)
  std::size_t chunk_ = tuning::kCpuChunk;
  bool spread_ = false;
};

}  // namespace tallyroot::platform::ahead
