// The listing's side of the read-ahead: its levels, the entries they give
// out, and the entry points of read_ahead.h.
#include "walker/read_ahead/read_ahead.h"

#include <utility>

#include "walker/read_ahead/node.h"
#include "walker/read_ahead/scheduler.h"

namespace tallyroot::platform {

using ahead::Scheduler;

ReadAheadLevel::ReadAheadLevel(std::shared_ptr<ahead::Node> node) : node_(std::move(node)) {}
ReadAheadLevel::~ReadAheadLevel() { Scheduler::Get().Close(*this); }

const ahead::FolderHandle* ReadAheadLevel::Folder() const {
  return ended_ ? nullptr : node_->folder.get();
}
FolderId ReadAheadLevel::Id() const { return ended_ ? FolderId{} : node_->id; }

bool ReadAheadLevel::Unread() const {
  return !ended_ && (node_->unread || node_->unsized.load(std::memory_order_relaxed));
}

bool ReadAheadLevel::Next(ListedEntry& entry) {
  if (ended_) return false;
  if (handed_ != kNone) Scheduler::Get().PassHanded(*this);
  const ahead::Node& node = *node_;
  while (position_ < node.entries.size()) {
    if (!node.ready[position_].load(std::memory_order_acquire) &&
        !Scheduler::Get().WaitForEntry(*this, position_)) {
      ended_ = true;
      return false;
    }
    const std::size_t at = position_++;
    const ahead::Entry& listed = node.entries[at];
    if (listed.kind == ahead::Kind::Vanished) continue;
    entry.name = std::string_view(node.names.data() + listed.nameAt, listed.nameLength);
    entry.isFolder = listed.kind == ahead::Kind::Folder;
    entry.size = entry.isFolder ? 0 : listed.size;
    if (nextChild_ < node.children.size() && node.children[nextChild_] == at) {
      handed_ = nextChild_++;
    }
    return true;
  }
  return false;
}

TakenChild TakeReadAhead(const std::string& folderPath, std::size_t level,
                         ReadAheadLevel* innermost, std::optional<std::string_view> child) {
  if (level <= kReadAheadLevels && innermost && child) {
    TakenChild taken = Scheduler::Get().Take(*innermost, *child);
    if (taken.matched) return taken;
  }
  if (level == 1 && Scheduler::Get().Wanted()) return Scheduler::Get().AdoptRoot(folderPath);
  return {};
}

ReadAheadSettings GetReadAhead() { return Scheduler::Get().Settings(); }
void SetReadAhead(const ReadAheadSettings& settings) { Scheduler::Get().SetSettings(settings); }
bool ReadsWaitOnDevice() { return Scheduler::Get().ReadsWaitOnDevice(); }
void SetWaitHook(WaitHook hook) { Scheduler::Get().SetWaitHook(hook); }

}  // namespace tallyroot::platform
