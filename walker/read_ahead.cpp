// The walking thread's side of the read-ahead: its levels, the children it
// takes, and its waits (see read_ahead_scheduler.h).
#include "walker/read_ahead.h"

#include <string>
#include <utility>

#include "walker/read_ahead_scheduler.h"

namespace tallyroot::platform {
namespace ahead {
namespace {

// How often the walking thread lets window events through while it waits.
constexpr std::chrono::milliseconds kHookInterval{5};

}  // namespace

// Waits on the walking thread until `done`. Where the walking thread reads
// (CPU-bound reads) it runs the most urgent work meanwhile, else it sleeps;
// either way it calls the wait hook every kHookInterval. False when the
// hook asked to stop.
template <typename Done>
bool Scheduler::WaitAsWalker(Lock& lock, Done done, bool mayRead) {
  Clock::time_point hookDue = Clock::now() + kHookInterval;
  while (!done()) {
    Work work;
    if (mayRead && pace_.walkerReads) work = Pick();
    if (work.node) {
      Run(std::move(work), lock);
    } else {
      walkerWaiting_.store(true, std::memory_order_seq_cst);
      SendDue();
      if (!done()) walkerWoken_.wait_until(lock, hookDue);
      walkerWaiting_.store(false, std::memory_order_relaxed);
    }
    const WaitHook hook = waitHook_.load();
    if (hook && Clock::now() >= hookDue) {
      lock.unlock();
      const bool stop = hook();
      lock.lock();
      if (stop) return done();
      hookDue = Clock::now() + kHookInterval;
    }
  }
  return true;
}

TakenChild Scheduler::Take(ReadAheadLevel& parent, std::string_view name) {
  if (parent.handed_ == ReadAheadLevel::kNone) return {};
  Node& from = *parent.node_;
  const Entry& entry = from.entries[from.children[parent.handed_]];
  if (name != std::string_view(from.names.data() + entry.nameAt, entry.nameLength)) return {};

  Lock lock(*this);
  descending_ = true;
  std::shared_ptr<Node> node;
  const std::size_t slot = parent.handed_ - from.windowStart;  // wraps when before the window
  if (parent.handed_ >= from.windowStart && slot < from.window.size()) {
    node = std::move(from.window[slot]);
  }
  // Not read ahead (or taken before, by a walk of the same child).
  if (!node) node = std::make_shared<Node>(std::string(name), from.folder, from.childChain);
  TakenChild taken;
  taken.matched = true;
  taken.level = Enter(std::move(node), lock, &taken);
  return taken;
}

TakenChild Scheduler::AdoptRoot(const std::string& folderPath) {
  Lock lock(*this);
  if (tWalking || !StartWalk()) return {};
  TakenChild taken;
  taken.matched = true;
  auto node = std::make_shared<Node>(folderPath, nullptr, std::make_shared<const Chain>());
  // A helper reads it: until a first read has shown what the device is
  // like, the walking thread had better not wait on it itself.
  taken.level = Enter(std::move(node), lock, &taken, false);
  if (taken.level && !taken.level->ended_) {
    NoteDevice(taken.level->Id().device);
  }
  return taken;
}

std::unique_ptr<ReadAheadLevel> Scheduler::Adopt(FolderHandle::Native folder, FolderId id,
                                                 Chain enclosing) {
  Lock lock(*this);
  if (!tWalking) {
    if (!StartWalk()) return nullptr;
    NoteDevice(id.device);
  }
  auto node = std::make_shared<Node>(std::make_shared<const FolderHandle>(std::move(folder)), id,
                                     std::make_shared<const Chain>(std::move(enclosing)));
  // A folder the walking thread has opened and found to be no cycle always
  // lists (maybe as empty).
  return Enter(std::move(node), lock, nullptr);
}

// False when the wait hook asked to stop before the entry was ready.
bool Scheduler::WaitForEntry(ReadAheadLevel& level, std::size_t at) {
  Lock lock(*this);
  const std::atomic<bool>& ready = level.node_->ready[at];
  // Set before the flag is looked at, as a helper sets the flag before it
  // looks at this: one of the two sees the other.
  awaited_.store(&ready, std::memory_order_seq_cst);
  const bool isReady = WaitAsWalker(lock, [&] { return ready.load(std::memory_order_seq_cst); });
  awaited_.store(nullptr, std::memory_order_relaxed);
  return isReady;
}

// The walk went on past the child handed out last: drop it unless taken,
// and read the next one ahead instead.
void Scheduler::PassHanded(ReadAheadLevel& level) {
  std::vector<std::shared_ptr<Node>> dropped;  // freed once the lock is let go
  Lock lock(*this);
  Node& node = *level.node_;
  const std::size_t past = level.handed_ + 1;
  level.handed_ = ReadAheadLevel::kNone;
  std::size_t passed = 0;
  while (node.windowStart + passed < past && passed < node.window.size()) {
    // Passed over: the walk is skipping folders here, not going down.
    if (node.window[passed]) descending_ = false;
    Drop(node.window[passed++], dropped);
  }
  node.window.erase(node.window.begin(), node.window.begin() + static_cast<long>(passed));
  node.windowStart = std::max(node.windowStart + passed, past);
  TopUp(node);
}

void Scheduler::Close(ReadAheadLevel& level) {
  std::vector<std::shared_ptr<Node>> dropped;
  Lock lock(*this);
  for (std::shared_ptr<Node>& child : level.node_->window) Drop(child, dropped);
  level.node_->window.clear();
  if (level.ended_) level.node_->cancelled.store(true);
  levels_.pop_back();  // listings nest: it is the innermost
  if (levels_.empty()) EndWalk();
  // What was held ahead below it is given back, and a read held back for
  // want of room may start now.
  if (std::exchange(heldBack_, false)) Wake();
}

std::unique_ptr<ReadAheadLevel> Scheduler::Enter(std::shared_ptr<Node> node, Lock& lock,
                                                 TakenChild* taken, bool walkerMayRead) {
  node->demanded.store(true);
  demanded_ = node;
  if (node->state == State::Waiting) Wake();  // else it is read, or being read
  const bool listed = WaitAsWalker(
      lock, [&] { return node->state == State::Listed || node->state == State::Empty; },
      walkerMayRead);
  demanded_.reset();
  if (taken && listed) taken->cycleAt = node->cycleAt, taken->unread = node->unread;
  if (listed && node->state == State::Empty) {
    if (levels_.empty()) EndWalk();
    return nullptr;
  }
  auto level = std::make_unique<ReadAheadLevel>(std::move(node));
  levels_.push_back(level.get());
  if (!listed) {
    level->ended_ = true;
    level->node_->cancelled.store(true);
    return level;
  }
  TopUp(*level->node_);
  return level;
}

// The device of the walk's outermost folder, probed anew for its best
// number of readers when the walks move to it.
void Scheduler::NoteDevice(std::uint64_t device) {
  if (device != device_) {
    device_ = device;
    rotational_ = IsRotationalDevice(device);
    seeks_ = SeekCheck();
    probe_.Restart(rotational_ ? kRotationalReaders : kDeviceReaders);
  }
  Repace();
}

// False when another thread walks with read-ahead, or it is off.
bool Scheduler::StartWalk() {
  if (walking_ || !settings_.on) return false;
  walking_ = tWalking = true;
  descending_ = false;
  maxBytes_ = settings_.maxBytesAhead;
  maxDescriptors_ = DescriptorCap();
  cpuHelpers_ = settings_.helpers;
  // What the last walk learnt of the reads' cost holds until this one's
  // reads say otherwise; its first read is timed in full to learn it soon.
  sampleNext_ = true;
  Repace();
  StartHelpers();
  parked_.notify_all();
  return true;
}

}  // namespace ahead

ReadAheadLevel::ReadAheadLevel(std::shared_ptr<ahead::Node> node) : node_(std::move(node)) {}

ReadAheadLevel::~ReadAheadLevel() { ahead::Scheduler::Get().Close(*this); }

bool ReadAheadLevel::Next(ListedEntry& entry) {
  if (ended_) return false;
  if (handed_ != kNone) ahead::Scheduler::Get().PassHanded(*this);
  const ahead::Node& node = *node_;
  while (position_ < node.entries.size()) {
    if (!node.ready[position_].load(std::memory_order_acquire) &&
        !ahead::Scheduler::Get().WaitForEntry(*this, position_)) {
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
    TakenChild taken = ahead::Scheduler::Get().Take(*innermost, *child);
    if (taken.matched) return taken;
  }
  if (level == 1 && ReadAheadWanted()) return ahead::Scheduler::Get().AdoptRoot(folderPath);
  return {};
}

bool ReadAheadWanted() { return ahead::Scheduler::Get().Wanted(); }

std::unique_ptr<ReadAheadLevel> AdoptReadAheadFolder(ahead::FolderHandle::Native folder,
                                                     FolderId id, ahead::Chain enclosing) {
  return ahead::Scheduler::Get().Adopt(std::move(folder), id, std::move(enclosing));
}

ReadAheadSettings GetReadAhead() { return ahead::Scheduler::Get().Settings(); }

void SetReadAhead(const ReadAheadSettings& settings) {
  ahead::Scheduler::Get().SetSettings(settings);
}

void SetWaitHook(WaitHook hook) { ahead::Scheduler::Get().SetWaitHook(hook); }

}  // namespace tallyroot::platform
