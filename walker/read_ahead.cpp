// The read-ahead scheduler: which read runs next, on which thread, and when a
// listing read ahead is handed to the walk or dropped.
#include "walker/read_ahead.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "walker/read_ahead_pace.h"

namespace tallyroot::platform {
namespace ahead {
namespace {

// Listings looked at in one search for work, per child read ahead below a
// listing, so that a search stays short however much lies ahead. The walking
// thread does what nobody reached itself when it gets there.
constexpr std::size_t kSearchedPerChild = 32;

// How often the walking thread lets window events through while it waits.
constexpr std::chrono::milliseconds kHookInterval{5};

// A size read that takes longer than this waited on the device: no size read
// that the page cache answers comes near it.
constexpr std::chrono::milliseconds kSlowRead{2};
constexpr double kSlowReadSeconds = 0.002;

struct Work {
  std::shared_ptr<Node> node;  // none: nothing to do
  bool read = false;           // the folder read, else the sizes of [begin, end)
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Whether this thread has read-ahead listings open.
thread_local bool tWalking = false;

}  // namespace

class Scheduler {
 public:
  // Never destroyed: a helper may still be blocked in a read when the
  // program ends, and must find everything it uses in place.
  static Scheduler& Get() {
    static Scheduler* const scheduler = new Scheduler;
    return *scheduler;
  }

  ReadAheadSettings Settings() {
    Lock lock(mutex_);
    return settings_;
  }

  void SetSettings(const ReadAheadSettings& settings) {
    Lock lock(mutex_);
    settings_ = settings;
    settings_.helpers = std::clamp(settings.helpers, 1u, kMaxHelpers);
    on_.store(settings.on);
  }

  void SetWaitHook(WaitHook hook) { waitHook_.store(hook); }

  TakenChild Take(ReadAheadLevel& parent, std::string_view name) {
    if (parent.handed_ == ReadAheadLevel::kNone) return {};
    Node& from = *parent.node_;
    const Entry& entry = from.entries[from.children[parent.handed_]];
    if (name != std::string_view(from.names.data() + entry.nameAt, entry.nameLength)) return {};

    Lock lock(mutex_);
    descending_ = true;
    std::shared_ptr<Node> node;
    const std::size_t slot = parent.handed_ - from.windowStart;  // wraps when before the window
    if (parent.handed_ >= from.windowStart && slot < from.window.size()) {
      node = std::move(from.window[slot]);
    }
    // Not read ahead (or taken before, by a walk of the same child).
    if (!node) node = std::make_shared<Node>(std::string(name), from.fd, from.childChain);
    TakenChild taken;
    taken.matched = true;
    taken.level = Enter(std::move(node), lock, &taken.cycleAt);
    return taken;
  }

  bool Wanted() const { return tWalking || on_.load(); }

  TakenChild AdoptRoot(const std::string& folderPath) {
    Lock lock(mutex_);
    if (tWalking || !StartWalk()) return {};
    TakenChild taken;
    taken.matched = true;
    auto node = std::make_shared<Node>(folderPath, nullptr, std::make_shared<const Chain>());
    // A helper reads it: until a first read has shown what the device is
    // like, the walking thread had better not wait on it itself.
    taken.level = Enter(std::move(node), lock, &taken.cycleAt, false);
    if (taken.level && !taken.level->ended_) {
      NoteDevice(taken.level->Id().device);
    }
    return taken;
  }

  std::unique_ptr<ReadAheadLevel> Adopt(int fd, posix::FolderId id, Chain enclosing) {
    Lock lock(mutex_);
    if (!tWalking) {
      if (!StartWalk()) return nullptr;
      NoteDevice(id.device);
    }
    auto node = std::make_shared<Node>(std::make_shared<const Descriptor>(fd), id,
                                       std::make_shared<const Chain>(std::move(enclosing)));
    // A folder the walking thread has opened and found to be no cycle always
    // lists (maybe as empty).
    return Enter(std::move(node), lock, nullptr);
  }

  // False when the wait hook asked to stop before the entry was ready.
  bool WaitForEntry(ReadAheadLevel& level, std::size_t at) {
    Lock lock(mutex_);
    const std::atomic<bool>& ready = level.node_->ready[at];
    return WaitAsWalker(lock, [&] { return ready.load(std::memory_order_seq_cst); });
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
    if (level.ended_) level.node_->cancelled.store(true);
    levels_.pop_back();  // listings nest: it is the innermost
    if (levels_.empty()) EndWalk();
    Wake();  // memory given back may let a held-back read start
  }

 private:
  using Lock = std::unique_lock<std::mutex>;
  using Clock = std::chrono::steady_clock;

  Scheduler() : settings_(DefaultReadAhead()), on_(settings_.on) {
    pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
                   [] { Get().AfterForkInChild(); });
  }

  // A child process has only the thread that forked: no helper, nobody
  // waiting. It starts helpers of its own when it walks.
  void AfterForkInChild() {
    helpersStarted_ = 0;
    walkerWaiting_.store(false);
    new (&changed_) std::condition_variable;
    new (&walkerWoken_) std::condition_variable;
    mutex_.unlock();
  }

  // Reads `node` (the walking thread reads it itself if it reads at all and
  // nobody else does) and, when it can be listed, opens it as the innermost
  // level; `cycleAt` learns where it is open further up when it was cut
  // short as a cycle. A level whose wait was stopped by the hook yields
  // nothing.
  std::unique_ptr<ReadAheadLevel> Enter(std::shared_ptr<Node> node, Lock& lock,
                                        std::size_t* cycleAt, bool walkerMayRead = true) {
    node->demanded.store(true);
    demanded_ = node;
    Wake();
    const bool listed = WaitAsWalker(
        lock, [&] { return node->state == State::Listed || node->state == State::Empty; },
        walkerMayRead);
    demanded_.reset();
    if (cycleAt && listed) *cycleAt = node->cycleAt;
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

  // Waits on the walking thread until `done`. Where the walking thread reads
  // (CPU-bound reads) it runs the most urgent work meanwhile, else it sleeps;
  // either way it calls the wait hook every kHookInterval. False when the
  // hook asked to stop.
  template <typename Done>
  bool WaitAsWalker(Lock& lock, Done done, bool mayRead = true) {
    Clock::time_point hookDue = Clock::now() + kHookInterval;
    while (!done()) {
      if (mayRead && pace_.walkerReads) {
        if (Work work = Pick(); work.node) {
          Run(std::move(work), lock);
          continue;
        }
      }
      walkerWaiting_.store(true, std::memory_order_seq_cst);
      if (!done()) walkerWoken_.wait_until(lock, hookDue);
      walkerWaiting_.store(false, std::memory_order_relaxed);
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

  void TopUp(Node& node) {
    const std::size_t before = node.window.size();
    while (node.window.size() < pace_.window &&
           node.windowStart + node.window.size() < node.children.size()) {
      const Entry& entry = node.entries[node.children[node.windowStart + node.window.size()]];
      node.window.push_back(
          std::make_shared<Node>(std::string(node.names.data() + entry.nameAt, entry.nameLength),
                                 node.fd, node.childChain));
    }
    if (node.window.size() != before) Wake();
  }

  // Cancels `child` and everything read ahead below it.
  static void Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped) {
    if (!child) return;
    child->cancelled.store(true);
    for (std::shared_ptr<Node>& below : child->window) Drop(below, dropped);
    child->window.clear();
    dropped.push_back(std::move(child));
  }

  // There may be new work: for the helpers, and for the walking thread where
  // it reads.
  void Wake() {
    changed_.notify_all();
    if (walkerWaiting_.load(std::memory_order_relaxed)) walkerWoken_.notify_one();
  }

  // The most urgent work: what the walk waits for, then, from the innermost
  // open listing outwards, its remaining sizes and the folders below it in
  // the order the walk will enter them.
  Work Pick() {
    if (demanded_) {
      if (Work work = WorkOn(demanded_, true); work.node) return work;
    }
    std::size_t budget = kSearchedPerChild * pace_.window;
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
      return {node, true};
    }
    if (node->state == State::Listed && Unclaimed(*node)) return Claim(node);
    return {};
  }

  static bool Unclaimed(const Node& node) {
    return node.claimed < node.entries.size() || !node.givenBack.empty();
  }

  Work Claim(const std::shared_ptr<Node>& node) {
    if (!node->givenBack.empty()) {
      const auto [begin, end] = node->givenBack.back();
      node->givenBack.pop_back();
      return {node, false, begin, end};
    }
    const std::size_t begin = node->claimed;
    node->claimed = std::min(node->entries.size(), begin + pace_.chunk);
    return {node, false, begin, node->claimed};
  }

  bool MayReadAhead(const Node& node) const {
    return !node.onlyOnDemand && BytesHeld() < maxBytes_ &&
           DescriptorsHeld() < levels_.size() + maxDescriptors_;
  }

  // Runs `work` without the lock; a folder read goes on with its first sizes.
  void Run(Work work, Lock& lock) {
    Node& node = *work.node;
    const bool inodeOrder = pace_.inodeOrder;
    if (work.read) {
      const bool sampled = Sampled();
      lock.unlock();
      const ReadTimer timer(sampled);
      const ReadEnd end = ReadFolder(node, maxBytes_);
      const ReadCost cost = timer.Stop();
      lock.lock();
      Note(cost, 1);
      if (end == ReadEnd::Listed) {
        node.state = State::Listed;
      } else if (end == ReadEnd::Abandoned) {
        node.state = State::Waiting;
        node.onlyOnDemand = true;
      } else {
        node.state = State::Empty;
      }
      Wake();
      if (node.state != State::Listed || !Unclaimed(node)) return;
      work = Claim(work.node);
    }
    const bool sampled = Sampled();
    // While the walking thread reads itself, it takes a helper's entries when
    // their whole range is done; waking it for each would cost more than the
    // reads. While it only waits, each entry counts.
    const bool perEntry = !pace_.walkerReads;
    lock.unlock();
    const ReadTimer timer(sampled);
    std::chrono::duration<double> notifying{0};
    std::size_t stoppedAt = work.end;
    if (tWalking) {
      // The walking thread reads while reads are CPU work. One that waits on
      // the device instead ends its turn: the rest goes back to the helpers,
      // and the walking thread back to letting window events through.
      Clock::time_point last = Clock::now();
      ReadSizes(node, work.begin, work.end, false, [&](std::size_t at) {
        const Clock::time_point now = Clock::now();
        if (now - last < kSlowRead) return last = now, true;
        stoppedAt = at + 1;
        return false;
      });
    } else if (perEntry) {
      ReadSizes(node, work.begin, work.end, inodeOrder, [&](std::size_t) {
        // The walking thread may be waiting for just this entry.
        if (walkerWaiting_.load(std::memory_order_seq_cst)) {
          const Clock::time_point start = Clock::now();
          std::lock_guard<std::mutex> guard(mutex_);
          walkerWoken_.notify_one();
          notifying += Clock::now() - start;
        }
        return true;
      });
    } else {
      ReadSizes(node, work.begin, work.end, inodeOrder, [](std::size_t) { return true; });
    }
    ReadCost cost = timer.Stop();
    cost.wallSeconds -= notifying.count();  // waits for the lock are not the device's
    lock.lock();
    if (walkerWaiting_.load()) walkerWoken_.notify_one();
    if (stoppedAt < work.end && !node.cancelled.load()) {
      node.givenBack.emplace_back(stoppedAt, work.end);
      Wake();
    }
    Note(cost, stoppedAt - work.begin);
  }

  // Learns from the cost of a read, and changes the pace when the reads
  // have changed their nature.
  // Whether the next read is timed in full: all while they wait on the
  // device, else one in eight, and the one after a read that seemed slow.
  bool Sampled() { return pace_.waitsOnDevice || sampleNext_ || (++unsampled_ & 7) == 0; }

  void Note(const ReadCost& cost, std::size_t reads) {
    if (cost.cpuSeconds >= 0) {
      sampleNext_ = false;
    } else if (reads > 0 && cost.wallSeconds > kSlowReadSeconds * double(reads)) {
      sampleNext_ = true;
    }
    blocked_.Add(cost);
    readsDone_ += reads;
    if (rotational_ && pace_.waitsOnDevice) {
      const std::chrono::duration<double> now = Clock::now().time_since_epoch();
      probe_.Note(readsDone_, now.count());
    }
    if (blocked_.Known()) Repace();
  }

  void Repace() {
    const double share = settings_.pace == ReadPace::DeviceBound ? 1.0
                         : settings_.pace == ReadPace::CpuBound  ? 0.0
                                                                 : blocked_.Share();
    const Pace next =
        PaceFor(share, cpuHelpers_, pace_.waitsOnDevice, rotational_ ? probe_.Readers() : 0);
    if (next == pace_) return;
    pace_ = next;
    StartHelpers();
    Wake();
  }

  // Helpers are started as the pace first needs them and then kept.
  void StartHelpers() {
    while (helpersStarted_ < pace_.helpers) {
      std::thread([this, index = helpersStarted_] { HelperMain(index); }).detach();
      ++helpersStarted_;
    }
  }

  // A helper works while a walk is open and the pace counts it in.
  void HelperMain(unsigned index) {
    Lock lock(mutex_);
    for (;;) {
      if (walking_ && index < pace_.helpers) {
        if (Work work = Pick(); work.node) {
          Run(std::move(work), lock);
          continue;
        }
      }
      changed_.wait(lock);
    }
  }

  // The device of the walk's outermost folder. A rotational one is probed
  // anew for its best number of readers when the walks move to it.
  void NoteDevice(dev_t device) {
    if (device != device_) {
      device_ = device;
      rotational_ = IsRotationalDevice(device);
      probe_.Restart();
    }
    Repace();
  }

  // False when another thread walks with read-ahead, or it is off.
  bool StartWalk() {
    if (walking_ || !settings_.on) return false;
    walking_ = tWalking = true;
    descending_ = false;
    maxBytes_ = settings_.maxBytesAhead;
    maxDescriptors_ = DescriptorCap();
    cpuHelpers_ = settings_.helpers;
    // What the last walk learnt of the reads' cost holds until this one's
    // reads say otherwise.
    Repace();
    StartHelpers();
    return true;
  }

  void EndWalk() { walking_ = tWalking = false; }

  std::mutex mutex_;
  std::condition_variable changed_;      // helpers wait on it
  std::condition_variable walkerWoken_;  // the walking thread waits on it
  std::atomic<bool> walkerWaiting_{false};
  std::atomic<WaitHook> waitHook_{nullptr};
  ReadAheadSettings settings_;
  std::atomic<bool> on_;
  bool walking_ = false;                 // a thread has read-ahead listings open
  bool descending_ = false;              // the walk entered the last child it was given
  std::vector<ReadAheadLevel*> levels_;  // the walking thread's, innermost last
  std::shared_ptr<Node> demanded_;       // read for the walk before it becomes a level
  std::size_t maxBytes_ = 0;             // fixed for a walk
  std::size_t maxDescriptors_ = 0;
  unsigned cpuHelpers_ = 1;
  dev_t device_ = 0;         // that of the walk's outermost folder
  bool rotational_ = false;  // whether it is rotational
  ReaderProbe probe_;
  unsigned unsampled_ = 0;
  bool sampleNext_ = false;
  std::uint64_t readsDone_ = 0;
  BlockedShare blocked_;
  Pace pace_;
  unsigned helpersStarted_ = 0;
};

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

TakenChild TakeReadAheadChild(ReadAheadLevel& parent, std::string_view name) {
  return ahead::Scheduler::Get().Take(parent, name);
}

TakenChild OpenReadAheadRoot(const std::string& folderPath) {
  return ahead::Scheduler::Get().AdoptRoot(folderPath);
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

void SetWaitHook(WaitHook hook) { ahead::Scheduler::Get().SetWaitHook(hook); }

}  // namespace tallyroot::platform
