#include "walker/read_ahead/scheduler.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <numeric>
#include <thread>
#include <utility>

#include "walker/read_ahead/platform.h"

namespace tallyroot::platform::ahead {
namespace {

using std::chrono::duration;

constexpr auto kHookInterval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
    duration<double>(tuning::kHookIntervalSeconds));

ReadAheadSettings DefaultReadAhead() {
  const unsigned cpus = UsableCpus();
  return {.on = cpus > 1, .helpers = std::max(cpus, 2u) - 1};
}

// Descriptors that listings read ahead may hold (no limit: SIZE_MAX).
std::size_t DescriptorCap() {
  return std::clamp<std::size_t>(OpenDescriptorLimit() / tuning::kDescriptorShare, 1,
                                 tuning::kMaxDescriptorsAhead);
}

}  // namespace

Scheduler& Scheduler::Get() {
  static Scheduler* const scheduler = new Scheduler;
  return *scheduler;
}

Scheduler::Scheduler()
    : settings_(DefaultReadAhead()), on_(settings_.on), pace_(CpuClockTick(), ReadersAtOnce()) {
  AtFork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
         [] { Get().AfterForkInChild(); });
}

void Scheduler::AfterForkInChild() {
  helpersStarted_ = 0;
  walkerWaiting_.store(false);
  awaited_.store(nullptr);
  wakeHelper_ = wakeWalker_ = false;
  new (&changed_) CondVar;
  new (&walkerWoken_) CondVar;
  new (&parked_) CondVar;
  mutex_.unlock();
}

ReadAheadSettings Scheduler::Settings() {
  Lock lock(*this);
  return settings_;
}

void Scheduler::SetSettings(const ReadAheadSettings& settings) {
  Lock lock(*this);
  settings_ = settings;
  settings_.helpers = std::clamp(settings.helpers, 1u, tuning::kMaxHelpers);
  on_.store(settings.on);
}

bool Scheduler::ReadsWaitOnDevice() {
  Lock lock(*this);
  return pace_.Now().waitsOnDevice;
}

// ---- The walking thread ---------------------------------------------------

bool Scheduler::StartWalk() {
  if (walking_ || !settings_.on) return false;
  walking_ = tWalking = true;
  hookDue_ = Clock::now() + kHookInterval;
  work_.Start(settings_.maxBytesAhead, DescriptorCap());
  Follow(pace_.StartWalk(settings_.pace, settings_.helpers));
  StartHelpers();
  parked_.notify_all();
  return true;
}

TakenChild Scheduler::Take(ReadAheadLevel& parent, std::string_view name) {
  if (parent.handed_ == ReadAheadLevel::kNone) return {};
  Node& from = *parent.node_;
  const Entry& entry = from.entries[from.children[parent.handed_]];
  if (name != std::string_view(from.names.data() + entry.nameAt, entry.nameLength)) return {};

  Lock lock(*this);
  std::shared_ptr<Node> node = work_.TakeHanded(from, parent.handed_);
  // Not read ahead (or taken before, by a walk of the same child).
  if (!node) node = std::make_shared<Node>(std::string(name), from.folder, from.childChain);
  return Enter(std::move(node), lock);
}

TakenChild Scheduler::AdoptRoot(const std::string& folderPath) {
  Lock lock(*this);
  if (!StartWalk()) return {};
  // A helper reads it: until its read has shown what the device is like,
  // the walking thread had better not wait on it itself.
  return Enter(std::make_shared<Node>(folderPath, nullptr, std::make_shared<const Chain>()), lock,
               false);
}

TakenChild Scheduler::Enter(std::shared_ptr<Node> node, Lock& lock, bool walkerMayRead) {
  node->demanded.store(true);
  work_.Demand(node);
  if (node->state == State::Waiting) Wake();  // else it is read, or being read
  const bool listed = WaitAsWalker(
      lock, [&] { return node->state == State::Listed || node->state == State::Empty; },
      walkerMayRead);
  work_.Demand(nullptr);
  TakenChild taken;
  taken.matched = true;
  if (listed) taken.cycleAt = node->cycleAt, taken.unread = node->unread;
  if (listed && node->state == State::Empty) {
    if (work_.Empty()) EndWalk();
    return taken;
  }
  work_.Open(node);
  taken.level = std::make_unique<ReadAheadLevel>(std::move(node));
  if (listed) {
    WakeIfNewWork();
  } else {
    taken.level->ended_ = true;
    taken.level->node_->cancelled.store(true);
  }
  return taken;
}

// The hook falls due over all the waits of a walk, not each wait's own: on a
// share just mounted, where each entry waited a millisecond or two, it was
// not called for up to 95 ms at a time.
template <typename Done>
bool Scheduler::WaitAsWalker(Lock& lock, Done done, bool mayRead) {
  while (!done()) {
    Work work = mayRead && pace_.Now().walkerReads ? work_.Pick() : Work{};
    WakeIfNewWork();
    if (work.node) {
      Run(std::move(work), lock);
    } else {
      walkerWaiting_.store(true, std::memory_order_seq_cst);
      SendDue();
      if (!done()) walkerWoken_.wait_until(lock, hookDue_);
      walkerWaiting_.store(false, std::memory_order_relaxed);
    }
    const WaitHook hook = waitHook_.load();
    if (hook && Clock::now() >= hookDue_) {
      lock.unlock();
      const bool stop = hook();
      lock.lock();
      if (stop) return done();
      hookDue_ = Clock::now() + kHookInterval;
    }
  }
  return true;
}

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

void Scheduler::PassHanded(ReadAheadLevel& level) {
  std::vector<std::shared_ptr<Node>> dropped;  // freed once the lock is let go
  Lock lock(*this);
  work_.PassHanded(*level.node_, std::exchange(level.handed_, ReadAheadLevel::kNone), dropped);
  WakeIfNewWork();
}

void Scheduler::Close(ReadAheadLevel& level) {
  std::vector<std::shared_ptr<Node>> dropped;
  Lock lock(*this);
  work_.Close(level.ended_, dropped);
  if (work_.Empty()) EndWalk();
  WakeIfNewWork();
}

// ---- Work, on any thread ----------------------------------------------------

void Scheduler::Wake() {
  wakeHelper_ = true;
  if (pace_.Now().walkerReads) WakeWalker();
}

void Scheduler::Run(Work work, Lock& lock) {
  if (work.read) {
    Node& node = *work.node;
    const bool sampled = pace_.Sampled();
    const std::size_t maxBytes = work_.MaxBytes();  // a later walk may change it meanwhile
    lock.unlock();
    ReadCost cost = ReadCost::Start(sampled);
    const State end = ReadFolder(node, maxBytes);
    cost.Stop();
    lock.lock();
    // The walk's outermost folder says which device the walk is on.
    if (end == State::Listed && node.chain->empty())
      Follow(pace_.NoteDevice(node.id.device, node.rotational, node.remote));
    Follow(pace_.NoteRead(cost, 1, true));
    node.state = end;
    node.onlyOnDemand = end == State::Waiting;
    Wake();
    if (work.node == work_.Demanded()) WakeWalker();
    if (node.state != State::Listed || !WorkTree::Unclaimed(node)) return;
    work = work_.Claim(work.node);
  }
  ReadSizesOf(work, lock);
}

// Reads the sizes (and missing types) of a range of a listed node's entries,
// each published by its ready flag: release, or seq_cst while the walking
// thread waits, as it sets `awaited_` before it looks at the flag.
void Scheduler::ReadSizesOf(Work& work, Lock& lock) {
  Node& node = *work.node;
  const bool sampled = pace_.Sampled();
  // The walking thread reads in entry order, so that it can hand back the rest.
  const std::size_t count = work.end - work.begin;
  const bool walker = tWalking;  // read once, not for every entry
  const bool sorted = pace_.Now().inodeOrder && !walker && count <= tuning::kCpuChunk;
  // While the walking thread reads itself, waking it for each of a helper's
  // entries would cost more than the reads; while it only waits, each counts.
  const bool perEntry = !pace_.Now().walkerReads;
  const std::memory_order publish =
      perEntry ? std::memory_order_seq_cst : std::memory_order_release;
  const unsigned crowd = node.sizing;  // size reads of this folder running, this one included
  lock.unlock();
  std::uint32_t order[tuning::kCpuChunk];
  if (sorted) {
    std::iota(order, order + count, static_cast<std::uint32_t>(work.begin));
    std::sort(order, order + count, [&](std::uint32_t a, std::uint32_t b) {
      return node.entries[a].inode < node.entries[b].inode;
    });
  }
  ReadCost cost = ReadCost::Start(sampled);
  duration<double> notifying{0};
  Clock::time_point clocked = Clock::now();
  std::size_t done = 0;
  while (done < count) {
    const std::size_t at = sorted ? order[done] : work.begin + done;
    // Nobody will look at the rest of a dropped listing.
    if (done % tuning::kReadsPerCancelCheck == 0 && node.cancelled.load(std::memory_order_relaxed))
      break;
    if (!node.ready[at].load(std::memory_order_relaxed)) {
      ReadSize(node, at);
      node.ready[at].store(true, publish);
    }
    ++done;
    if (walker && done % tuning::kReadsPerClock == 0) {
      // A read that waits on the device ends the walking thread's turn: the
      // rest goes back to the helpers, and it back to the window's events.
      const Clock::time_point now = Clock::now();
      if (duration<double>(now - clocked).count() >= tuning::kSlowReadSeconds) break;
      clocked = now;
    } else if (perEntry && awaited_.load(std::memory_order_seq_cst) == &node.ready[at]) {
      const Clock::time_point now = Clock::now();
      // Taken and let go: the walking thread has either not yet looked at the
      // flag for the last time, or already waits.
      { const std::lock_guard<Mutex> handshake(mutex_); }
      walkerWoken_.notify_one();
      notifying += Clock::now() - now;
    }
  }
  cost.Stop();
  cost.wallSeconds -= notifying.count();  // waits for the lock are not the device's
  lock.lock();
  --node.sizing;
  if (!perEntry) WakeWalker();
  if (done < count) {
    work_.GiveBack(node, work.begin + done, work.end);
    Wake();
  }
  Follow(pace_.NoteRead(cost, done, false, crowd));
}

// ---- The pace and the helpers -----------------------------------------------

void Scheduler::Follow(bool changed) {
  if (!changed) return;
  const Pace& pace = pace_.Now();
  work_.Shape(pace.window, pace.chunk, pace.spread);
  StartHelpers();
  parked_.notify_all();
  Wake();
}

// Only the first helper is started here; each starts the next while the pace
// wants more (HelperMain). Under wine a thread start waits for its server,
// which stands still while a file opens on a slow share: the walking thread
// must not be the one to start dozens.
void Scheduler::StartHelpers() {
  if (helpersStarted_ > 0) return;
  std::thread([this, index = helpersStarted_++] { HelperMain(index); }).detach();
}

void Scheduler::HelperMain(unsigned index) {
  // Below the walking thread, the window's (tuning.h), relative to the
  // thread that started it, so helpers keep to a walk run below other work.
  LowerThisThread(tuning::kHelperNiceness);
  KeepThreadStatisticsOpen();
  Lock lock(*this);
  // Woken on changed_ and not done with it: a helper that parks instead of
  // working passes the wake-up on.
  bool woken = false;
  for (;;) {
    if (helpersStarted_ < pace_.Now().helpers) {
      const unsigned next = helpersStarted_++;
      lock.unlock();  // the start may wait, as said at StartHelpers
      std::thread([this, next] { HelperMain(next); }).detach();
      lock.lock();
      continue;
    }
    if (!walking_ || index >= pace_.Now().helpers) {
      if (std::exchange(woken, false)) wakeHelper_ = true;
      SendDue();
      parked_.wait(lock);  // only a walk or a faster pace wakes it
    } else if (Work work = work_.Pick(); work.node) {
      woken = false;
      wakeHelper_ = true;  // there may be more: the next helper looks
      WakeIfNewWork();
      Run(std::move(work), lock);
    } else {
      SendDue();
      changed_.wait(lock);
      woken = true;
    }
  }
}

}  // namespace tallyroot::platform::ahead
