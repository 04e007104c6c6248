#include "walker/posix/folder_id_index.h"

#include <cstdint>
#include <utility>

namespace tallyroot::platform::posix {

std::size_t FolderIdIndex::Home(FolderId id) const {
  std::uint64_t h = static_cast<std::uint64_t>(id.inode) * 0x9E3779B97F4A7C15ULL;
  h ^= static_cast<std::uint64_t>(id.device) + (h >> 29);
  h *= 0xBF58476D1CE4E5B9ULL;
  return static_cast<std::size_t>(h ^ (h >> 32)) & (slots_.size() - 1);
}

std::size_t FolderIdIndex::SlotOf(FolderId id) const {
  std::size_t at = Home(id);
  while (slots_[at].used &&
         (slots_[at].id.device != id.device || slots_[at].id.inode != id.inode)) {
    at = (at + 1) & (slots_.size() - 1);
  }
  return at;
}

std::size_t FolderIdIndex::Find(FolderId id) const {
  if (count_ == 0) return kNoCycle;
  const Slot& slot = slots_[SlotOf(id)];
  return slot.used ? slot.position : kNoCycle;
}

void FolderIdIndex::Grow() {
  const std::size_t size = slots_.empty() ? 64 : 2 * slots_.size();
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  for (const Slot& slot : old) {
    if (slot.used) slots_[SlotOf(slot.id)] = slot;
  }
}

void FolderIdIndex::Add(FolderId id, std::size_t position) {
  if (2 * (count_ + 1) > slots_.size()) Grow();
  Slot& slot = slots_[SlotOf(id)];
  if (slot.used) return;
  slot = {id, position, true};
  ++count_;
}

void FolderIdIndex::Remove(FolderId id) {
  if (count_ == 0) return;
  std::size_t hole = SlotOf(id);
  if (!slots_[hole].used) return;
  slots_[hole].used = false;
  --count_;
  // Moves back every later slot of the run that its home allows, so that
  // no lookup stops at the hole short of what it looks for.
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = (hole + 1) & mask; slots_[at].used; at = (at + 1) & mask) {
    const std::size_t home = Home(slots_[at].id);
    const bool homeAfterHole =
        hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
    if (homeAfterHole) continue;
    slots_[hole] = slots_[at];
    slots_[at].used = false;
    hole = at;
  }
}

}  // namespace tallyroot::platform::posix
