// The read-ahead scheduler: which read runs next, on which thread, and when a
// listing read ahead is handed to the walk or dropped.
#include "walker/read_ahead.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tallyroot::platform {
namespace ahead {
namespace {

// Child folders read ahead per listing. The walk enters them in entry order,
// and each one it passes over (a folder whose total is known already) costs
// a wasted read, so a few suffice; depth keeps the helpers busy.
constexpr std::size_t kWindow = 4;

// Listings looked at in one search for work, innermost first, so that a
// search stays short however much lies ahead. The walking thread does what
// nobody reached itself when it gets there.
constexpr std::size_t kSearchedNodes = 128;

// Descriptors held by listings read ahead, beyond one per open listing.
constexpr std::size_t kMaxDescriptorsAhead = 128;

unsigned UsableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

ReadAheadSettings DefaultSettings() {
  const unsigned cpus = UsableCpus();
  ReadAheadSettings settings;
  settings.on = cpus > 1;
  settings.helpers = cpus > 1 ? cpus - 1 : 1;
  return settings;
}

// An eighth of the soft limit, so that read-ahead never takes the
// descriptors a deep walk needs for its own open listings.
std::size_t DescriptorCap() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kMaxDescriptorsAhead;
  }
  return std::clamp<std::size_t>(limit.rlim_cur / 8, 1, kMaxDescriptorsAhead);
}

struct Work {
  std::shared_ptr<Node> node;  // none: nothing to do
  bool read = false;           // the folder read, else one chunk of sizes
  std::size_t chunk = 0;
};

// Whether this thread has read-ahead listings open.
thread_local bool tWalking = false;

}  // namespace

class Scheduler {
 public:
  static Scheduler& Get() {
    static Scheduler scheduler;
    return scheduler;
  }

  // Helpers still run here only when the process exits in the middle of a
  // walk (exit() from a callback); they end before the statics they use.
  ~Scheduler() {
    Lock lock(mutex_);
    StopHelpers(lock);
  }

  ReadAheadSettings Settings() {
    Lock lock(mutex_);
    return settings_;
  }

  void SetSettings(const ReadAheadSettings& settings) {
    Lock lock(mutex_);
    settings_ = settings;
    settings_.helpers = std::max(1u, settings.helpers);
    on_.store(settings.on);
  }

  TakenChild Take(ReadAheadLevel& parent, std::string_view name) {
    if (parent.handed_ == ReadAheadLevel::kNone) return {};
    Node& from = *parent.node_;
    const Entry& entry = from.entries[from.children[parent.handed_]];
    if (name != std::string_view(from.names.data() + entry.nameAt, entry.nameLength)) return {};

    Lock lock(mutex_);
    descending_ = true;
    std::shared_ptr<Node> node;
    const std::size_t slot = parent.handed_ - from.windowStart;  // wraps when before the window
    if (parent.handed_ >= from.windowStart && slot < from.window.size())
      node = std::move(from.window[slot]);
    // Not read ahead (or taken before, by a walk of the same child).
    if (!node) node = std::make_shared<Node>(std::string(name), from.fd, from.childChain);
    TakenChild taken;
    taken.matched = true;
    taken.level = Enter(std::move(node), lock, &taken);
    return taken;
  }

  bool Wanted() const { return tWalking || on_.load(); }

  std::unique_ptr<ReadAheadLevel> Adopt(int fd, posix::FolderId id, Chain enclosing) {
    Lock lock(mutex_);
    if (!tWalking) {
      if (walking_ || !settings_.on) return nullptr;  // another thread walks with read-ahead
      walking_ = tWalking = true;
      descending_ = false;
      maxBytes_ = settings_.maxBytesAhead;
      maxDescriptors_ = DescriptorCap();
      for (unsigned i = 0; i < settings_.helpers; ++i)
        helpers_.emplace_back([this] { HelperMain(); });
    }
    auto node = std::make_shared<Node>(std::make_shared<const Descriptor>(fd), id,
                                       std::make_shared<const Chain>(std::move(enclosing)));
    // A folder the walking thread has open and found to be no cycle always
    // lists (maybe as empty).
    return Enter(std::move(node), lock, nullptr);
  }

  void WaitForChunk(ReadAheadLevel& level, std::size_t chunk) {
    Lock lock(mutex_);
    const Node& node = *level.node_;
    HelpUntil(lock, [&] { return node.chunkDone[chunk] != 0; });
    while (chunk + 1 < node.chunkDone.size() && node.chunkDone[chunk + 1] != 0) ++chunk;
    level.readyEnd_ = std::min(node.entries.size(), (chunk + 1) * kChunkEntries);
  }

  // The walk went on past the child handed out last: drop it unless taken,
  // and read the next one ahead instead.
  void PassHanded(ReadAheadLevel& level) {
    std::vector<std::shared_ptr<Node>> dropped;  // freed once the lock is let go
    Lock lock(mutex_);
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

  void Close(ReadAheadLevel& level) {
    std::vector<std::shared_ptr<Node>> dropped;
    Lock lock(mutex_);
    for (std::shared_ptr<Node>& child : level.node_->window) Drop(child, dropped);
    level.node_->window.clear();
    levels_.pop_back();  // listings nest: it is the innermost
    if (levels_.empty()) EndWalk(lock);
    changed_.notify_all();  // memory given back may let a held-back read start
  }

 private:
  using Lock = std::unique_lock<std::mutex>;

  Scheduler() : settings_(DefaultSettings()), on_(settings_.on) {}

  // Reads `node` (the walking thread reads it itself if nobody else does)
  // and, when it can be listed, opens it as the innermost level; `taken`
  // learns where it is open further up when it was cut short as a cycle, and
  // whether it could not be opened.
  std::unique_ptr<ReadAheadLevel> Enter(std::shared_ptr<Node> node, Lock& lock, TakenChild* taken) {
    node->demanded.store(true);
    demanded_ = node;
    HelpUntil(lock, [&] { return node->state == State::Listed || node->state == State::Empty; });
    demanded_.reset();
    if (taken) taken->cycleAt = node->cycleAt, taken->unread = node->unread;
    if (node->state == State::Empty) {
      if (levels_.empty()) EndWalk(lock);
      return nullptr;
    }
    auto level = std::make_unique<ReadAheadLevel>(std::move(node));
    levels_.push_back(level.get());
    TopUp(*level->node_);
    return level;
  }

  void TopUp(Node& node) {
    const std::size_t before = node.window.size();
    while (node.window.size() < kWindow &&
           node.windowStart + node.window.size() < node.children.size()) {
      const Entry& entry = node.entries[node.children[node.windowStart + node.window.size()]];
      node.window.push_back(
          std::make_shared<Node>(std::string(node.names.data() + entry.nameAt, entry.nameLength),
                                 node.fd, node.childChain));
    }
    if (node.window.size() != before) changed_.notify_all();
  }

  // Cancels `child` and everything read ahead below it.
  static void Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped) {
    if (!child) return;
    child->cancelled.store(true);
    for (std::shared_ptr<Node>& below : child->window) Drop(below, dropped);
    child->window.clear();
    dropped.push_back(std::move(child));
  }

  template <typename Done>
  void HelpUntil(Lock& lock, Done done) {
    while (!done()) {
      if (Work work = Pick(); work.node) {
        Run(std::move(work), lock);
      } else {
        changed_.wait(lock);
      }
    }
  }

  // The most urgent work: what the walk waits for, then, from the innermost
  // open listing outwards, its remaining chunks and the folders below it in
  // the order the walk will enter them.
  Work Pick() {
    if (demanded_) {
      if (Work work = WorkOn(demanded_, true); work.node) return work;
    }
    std::size_t budget = kSearchedNodes;
    for (auto level = levels_.rbegin(); level != levels_.rend() && budget > 0; ++level) {
      if (Work work = WorkOn((*level)->node_, true); work.node) return work;
      if (Work work = Search(*(*level)->node_, budget); work.node) return work;
    }
    return {};
  }

  // Depth first through what is read ahead below `node`. Below the children
  // of an open listing only while the walk goes down rather than passing
  // folders over, so a listing whose subfolders are all skipped wastes one
  // level of reads at most.
  Work Search(Node& node, std::size_t& budget) {
    for (const std::shared_ptr<Node>& child : node.window) {
      if (!child) continue;
      if (budget == 0) return {};
      --budget;
      if (Work work = WorkOn(child, false); work.node) return work;
      if (child->state != State::Listed || !descending_ || child->cancelled.load()) continue;
      TopUp(*child);
      if (Work work = Search(*child, budget); work.node) return work;
    }
    return {};
  }

  Work WorkOn(const std::shared_ptr<Node>& node, bool demanded) {
    if (node->cancelled.load()) return {};
    if (node->state == State::Waiting && (demanded || MayReadAhead(*node))) {
      node->state = State::Reading;
      return {node, true, 0};
    }
    if (node->state == State::Listed && node->nextChunk < node->chunkDone.size()) {
      return {node, false, node->nextChunk++};
    }
    return {};
  }

  bool MayReadAhead(const Node& node) const {
    return !node.onlyOnDemand && BytesHeld() < maxBytes_ &&
           DescriptorsHeld() < levels_.size() + maxDescriptors_;
  }

  // Runs `work` without the lock; a folder read goes on with its first chunk.
  void Run(Work work, Lock& lock) {
    Node& node = *work.node;
    if (work.read) {
      lock.unlock();
      const ReadEnd end = ReadFolder(node, maxBytes_);
      lock.lock();
      if (end == ReadEnd::Listed) {
        node.state = State::Listed;
        node.chunkDone.assign(ChunkCount(node), 0);
      } else if (end == ReadEnd::Abandoned) {
        node.state = State::Waiting;
        node.onlyOnDemand = true;
      } else {
        node.state = State::Empty;
      }
      changed_.notify_all();
      if (node.state != State::Listed || node.nextChunk >= node.chunkDone.size()) return;
      work.chunk = node.nextChunk++;
    }
    lock.unlock();
    SizeChunk(node, work.chunk);
    lock.lock();
    node.chunkDone[work.chunk] = 1;
    changed_.notify_all();
  }

  void HelperMain() {
    Lock lock(mutex_);
    while (!stopping_) {
      if (Work work = Pick(); work.node) {
        Run(std::move(work), lock);
      } else {
        changed_.wait(lock);
      }
    }
  }

  void EndWalk(Lock& lock) {
    StopHelpers(lock);
    walking_ = tWalking = false;
  }

  // Each helper ends after the work item it is running.
  void StopHelpers(Lock& lock) {
    if (helpers_.empty()) return;
    std::vector<std::thread> helpers = std::move(helpers_);
    helpers_.clear();
    stopping_ = true;
    changed_.notify_all();
    lock.unlock();
    for (std::thread& helper : helpers) helper.join();
    lock.lock();
    stopping_ = false;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  ReadAheadSettings settings_;
  std::atomic<bool> on_;
  bool walking_ = false;                 // a thread has read-ahead listings open
  bool descending_ = false;              // the walk entered the last child it was given
  std::vector<ReadAheadLevel*> levels_;  // the walking thread's, innermost last
  std::shared_ptr<Node> demanded_;       // read for the walk before it becomes a level
  std::size_t maxBytes_ = 0;             // fixed for a walk
  std::size_t maxDescriptors_ = 0;
  std::vector<std::thread> helpers_;
  bool stopping_ = false;
};

}  // namespace ahead

ReadAheadLevel::ReadAheadLevel(std::shared_ptr<ahead::Node> node) : node_(std::move(node)) {}

ReadAheadLevel::~ReadAheadLevel() { ahead::Scheduler::Get().Close(*this); }

bool ReadAheadLevel::Next(ListedEntry& entry) {
  if (handed_ != kNone) ahead::Scheduler::Get().PassHanded(*this);
  const ahead::Node& node = *node_;
  while (position_ < node.entries.size()) {
    if (position_ >= readyEnd_)
      ahead::Scheduler::Get().WaitForChunk(*this, position_ / ahead::kChunkEntries);
    const std::size_t at = position_++;
    const ahead::Entry& listed = node.entries[at];
    if (listed.kind == ahead::Kind::Vanished) continue;
    entry.name = std::string_view(node.names.data() + listed.nameAt, listed.nameLength);
    entry.isFolder = listed.kind == ahead::Kind::Folder;
    entry.size = entry.isFolder ? 0 : listed.size;
    if (nextChild_ < node.children.size() && node.children[nextChild_] == at)
      handed_ = nextChild_++;
    return true;
  }
  return false;
}

TakenChild TakeReadAheadChild(ReadAheadLevel& parent, std::string_view name) {
  return ahead::Scheduler::Get().Take(parent, name);
}

bool ReadAheadWanted() { return ahead::Scheduler::Get().Wanted(); }

std::unique_ptr<ReadAheadLevel> AdoptReadAheadFolder(int fd, posix::FolderId id,
                                                     ahead::Chain enclosing) {
  return ahead::Scheduler::Get().Adopt(fd, id, std::move(enclosing));
}

ReadAheadSettings GetReadAhead() { return ahead::Scheduler::Get().Settings(); }

void SetReadAhead(const ReadAheadSettings& settings) {
  ahead::Scheduler::Get().SetSettings(settings);
}

}  // namespace tallyroot::platform
