#include "walker/read_ahead_scheduler.h"

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

namespace tallyroot::platform::ahead {
namespace {

// Listings looked at in one search for work, per child read ahead below a
// listing, so that a search stays short however much lies ahead. The walking
// thread does what nobody reached itself when it gets there.
constexpr std::size_t kSearchedPerChild = 32;

// A size read that takes longer than this waited on the device: no size read
// that the page cache answers comes near it, nor do kReadsPerClock of them.
constexpr std::chrono::milliseconds kSlowRead{2};
constexpr std::size_t kReadsPerClock = 16;
constexpr double kSlowReadSeconds = std::chrono::duration<double>(kSlowRead).count();

// How much less CPU time a helper is given than the walking thread.
constexpr int kHelperNiceness = 5;

}  // namespace

// Never destroyed: a helper may still be blocked in a read when the
// program ends, and must find everything it uses in place.
Scheduler& Scheduler::Get() {
  static Scheduler* const scheduler = new Scheduler;
  return *scheduler;
}

ReadAheadSettings Scheduler::Settings() {
  Lock lock(*this);
  return settings_;
}

void Scheduler::SetSettings(const ReadAheadSettings& settings) {
  Lock lock(*this);
  settings_ = settings;
  settings_.helpers = std::clamp(settings.helpers, 1u, kMaxHelpers);
  on_.store(settings.on);
}

Scheduler::Scheduler() : settings_(DefaultReadAhead()), on_(settings_.on) {
  AtFork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
         [] { Get().AfterForkInChild(); });
}

// A child process has only the thread that forked: no helper, nobody
// waiting. It starts helpers of its own when it walks.
void Scheduler::AfterForkInChild() {
  helpersStarted_ = 0;
  walkerWaiting_.store(false);
  awaited_.store(nullptr);
  due_ = Due{};
  new (&changed_) std::condition_variable;
  new (&walkerWoken_) std::condition_variable;
  new (&parked_) std::condition_variable;
  mutex_.unlock();
}

void Scheduler::TopUp(Node& node) {
  const std::size_t before = node.window.size();
  while (node.window.size() < pace_.window &&
         node.windowStart + node.window.size() < node.children.size()) {
    const Entry& entry = node.entries[node.children[node.windowStart + node.window.size()]];
    node.window.push_back(
        std::make_shared<Node>(std::string(node.names.data() + entry.nameAt, entry.nameLength),
                               node.folder, node.childChain));
  }
  if (node.window.size() != before) Wake();
}

// Cancels `child` and everything read ahead below it.
void Scheduler::Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped) {
  if (!child) return;
  child->cancelled.store(true);
  for (std::shared_ptr<Node>& below : child->window) Drop(below, dropped);
  child->window.clear();
  dropped.push_back(std::move(child));
}

// There may be new work: for the helpers, and for the walking thread where
// it reads. One helper is woken; one that finds work wakes the next before
// it reads (HelperMain), so that helpers start one after another while there
// is work, and dozens of idle ones do not all contend for the lock to find
// nothing.
void Scheduler::Wake() {
  due_.helper = true;
  if (pace_.walkerReads) WakeWalker();
}

// The most urgent work: what the walk waits for, then, from the innermost
// open listing outwards, its remaining sizes and the folders below it in
// the order the walk will enter them.
Work Scheduler::Pick() {
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
Work Scheduler::Search(Node& node, std::size_t& budget) {
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

Work Scheduler::WorkOn(const std::shared_ptr<Node>& node, bool demanded) {
  if (node->cancelled.load()) return {};
  if (node->state == State::Waiting && (demanded || MayReadAhead(*node))) {
    node->state = State::Reading;
    return {node, true};
  }
  if (node->state == State::Listed && Unclaimed(*node)) return Claim(node);
  return {};
}

// Where the listing gives every size, a listed folder has nothing left to read.
bool Scheduler::Unclaimed(const Node& node) {
  if constexpr (kSizesListed) return false;
  return node.claimed < node.entries.size() || !node.givenBack.empty();
}

Work Scheduler::Claim(const std::shared_ptr<Node>& node) {
  if (!node->givenBack.empty()) {
    const auto [begin, end] = node->givenBack.back();
    node->givenBack.pop_back();
    return {node, false, begin, end};
  }
  const std::size_t begin = node->claimed;
  node->claimed = std::min(node->entries.size(), begin + pace_.chunk);
  return {node, false, begin, node->claimed};
}

bool Scheduler::MayReadAhead(const Node& node) {
  if (node.onlyOnDemand) return false;
  const bool may = BytesHeld() < maxBytes_ && DescriptorsHeld() < levels_.size() + maxDescriptors_;
  heldBack_ = heldBack_ || !may;
  return may;
}

// Runs `work` without the lock; a folder read goes on with its first sizes.
void Scheduler::Run(Work work, Lock& lock) {
  Node& node = *work.node;
  const bool inodeOrder = pace_.inodeOrder;
  if (work.read) {
    const bool sampled = Sampled();
    const std::size_t maxBytes = maxBytes_;  // a later walk may change it meanwhile
    lock.unlock();
    const ReadTimer timer(sampled);
    const ReadEnd end = ReadFolder(node, maxBytes);
    const ReadCost cost = timer.Stop();
    lock.lock();
    NoteListing(cost);
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
    if (work.node == demanded_) WakeWalker();
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
    // and the walking thread back to letting window events through. The
    // clock costs more than a size read from the page cache, so it is read
    // after every kReadsPerClock reads (a warm walk spent 2% of its time
    // reading it after each).
    Clock::time_point last = Clock::now();
    std::size_t unclocked = 0;
    ReadSizes(node, work.begin, work.end, false, std::memory_order_release, [&](std::size_t at) {
      if (++unclocked < kReadsPerClock) return true;
      unclocked = 0;
      const Clock::time_point now = Clock::now();
      if (now - last < kSlowRead) return last = now, true;
      stoppedAt = at + 1;
      return false;
    });
  } else if (perEntry) {
    // The walking thread waits for one entry at a time: it is woken when
    // that one is ready, and for no other.
    ReadSizes(node, work.begin, work.end, inodeOrder, std::memory_order_seq_cst,
              [&](std::size_t at) {
                if (awaited_.load(std::memory_order_seq_cst) == &node.ready[at]) {
                  const Clock::time_point now = Clock::now();
                  // Taken and let go: the walking thread has either not yet looked at
                  // the flag for the last time, or already waits.
                  { const std::lock_guard<std::mutex> handshake(mutex_); }
                  walkerWoken_.notify_one();
                  notifying += Clock::now() - now;
                }
                return true;
              });
  } else {
    ReadSizes(node, work.begin, work.end, inodeOrder, std::memory_order_release,
              [](std::size_t) { return true; });
  }
  ReadCost cost = timer.Stop();
  cost.wallSeconds -= notifying.count();  // waits for the lock are not the device's
  lock.lock();
  if (!perEntry) WakeWalker();
  if (stoppedAt < work.end && !node.cancelled.load()) {
    node.givenBack.emplace_back(stoppedAt, work.end);
    Wake();
  }
  if (stoppedAt > work.begin) {
    // Followed over the last hundred items or so; the chunk is about the
    // typical size read, so a slow one weighs no more than a fast one.
    const double perRead = cost.wallSeconds / double(stoppedAt - work.begin);
    sizeReadSeconds_ += (perRead - sizeReadSeconds_) * 0.01;
  }
  Note(cost, stoppedAt - work.begin);
}

// A rotational disk whose listings wait less than a head takes to seek is
// read as any other device.
void Scheduler::NoteListing(const ReadCost& cost) {
  if (!rotational_ || cost.cpuSeconds < 0) return;
  seeks_.Add(cost.BlockedSeconds());
  if (seeks_.Seeks() == false) {
    rotational_ = false;
    probe_.Restart(kDeviceReaders);
  }
}

void Scheduler::Note(const ReadCost& cost, std::size_t reads) {
  if (cost.cpuSeconds >= 0) {
    sampleNext_ = false;
  } else if (reads > 0 && cost.wallSeconds > kSlowReadSeconds * double(reads)) {
    sampleNext_ = true;
  }
  blocked_.Add(cost);
  readsDone_ += reads;
  if (pace_.waitsOnDevice) {
    const std::chrono::duration<double> now = Clock::now().time_since_epoch();
    probe_.Note(readsDone_, idleSeconds_, now.count());
  }
  if (blocked_.Known()) Repace();
}

void Scheduler::Repace() {
  const double share = settings_.pace == ReadPace::DeviceBound ? 1.0
                       : settings_.pace == ReadPace::CpuBound  ? 0.0
                                                               : blocked_.Share();
  const Pace next =
      PaceFor(share, cpuHelpers_, pace_, rotational_, probe_.Readers(), sizeReadSeconds_);
  if (next == pace_) return;
  pace_ = next;
  StartHelpers();
  parked_.notify_all();
  Wake();
}

// Helpers are started as the pace first needs them and then kept.
void Scheduler::StartHelpers() {
  while (helpersStarted_ < pace_.helpers) {
    std::thread([this, index = helpersStarted_] { HelperMain(index); }).detach();
    ++helpersStarted_;
  }
}

// A helper works while a walk is open and the pace counts it in.
void Scheduler::HelperMain(unsigned index) {
  // Below the walking thread, which is also the window's: with dozens of
  // helpers runnable at once, the window must not wait for their slices.
  // Relative to the thread that started it, so that a walk run below or
  // above other work keeps its helpers with it.
  LowerThisThread(kHelperNiceness);
  KeepThreadStatisticsOpen();
  Lock lock(*this);
  // Woken by a notify on changed_ and not yet done with it: one meant for
  // a helper that works is passed on by one that parks instead.
  bool woken = false;
  for (;;) {
    if (!walking_ || index >= pace_.helpers) {
      if (woken) due_.helper = true;
      woken = false;
      SendDue();
      parked_.wait(lock);  // only a walk or a faster pace wakes it
    } else if (Work work = Pick(); work.node) {
      woken = false;
      due_.helper = true;  // there may be more: the next helper looks
      Run(std::move(work), lock);
    } else {
      SendDue();
      const Clock::time_point idleSince = Clock::now();
      changed_.wait(lock);
      if (walking_) idleSeconds_ += std::chrono::duration<double>(Clock::now() - idleSince).count();
      woken = true;
    }
  }
}

}  // namespace tallyroot::platform::ahead
