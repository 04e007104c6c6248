// Where each folder of a thread's chain of open folders stands in it, looked
// up in constant time: a cycle check that scans the chain costs the square
// of the depth in a chain of folders thousands deep.
#pragma once

#include <cstddef>
#include <vector>

#include "walker/posix/reads.h"

namespace tallyroot::platform::posix {

// An open-addressing table of distinct folder identities, each with its
// position. Its storage only grows (to twice the most folders held at
// once), so adding and removing allocate nothing once the deepest level of
// a walk has been reached.
class FolderIdIndex {
 public:
  // The position given with `id`, or kNoCycle.
  std::size_t Find(FolderId id) const;
  // Keeps the position `id` has if it is held already.
  void Add(FolderId id, std::size_t position);
  // Forgets `id`, if held.
  void Remove(FolderId id);

 private:
  struct Slot {
    FolderId id;
    std::size_t position;
    bool used;
  };
  std::size_t Home(FolderId id) const;
  std::size_t SlotOf(FolderId id) const;  // the slot holding `id`, or the free one it would take
  void Grow();

  std::vector<Slot> slots_;  // size 0 or a power of two, at most half used
  std::size_t count_ = 0;
};

}  // namespace tallyroot::platform::posix
