// The read-ahead's threads, its one lock and its waits; which read runs next
// is the WorkTree's (work.h), how many read and who, the PaceControl's
// (pace.h). One per process, never destroyed.
//
// Threads, and what each owns:
//  - The walking thread makes and closes the levels, takes children and
//    waits for entries and listings: reading itself only while the pace
//    says so, else calling the wait hook every few milliseconds with the
//    lock let go. It is woken for the one entry or listing it waits for.
//  - Helpers pick the most urgent work and run it without the lock. Started
//    as the pace first needs them, they sleep between walks and are never
//    joined: one still blocked in a read at exit finds all it uses in place.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "walker/read_ahead/node.h"
#include "walker/read_ahead/pace.h"
#include "walker/read_ahead/read_ahead.h"
#include "walker/read_ahead/sync.h"
#include "walker/read_ahead/work.h"

namespace tallyroot::platform::ahead {

inline thread_local bool tWalking = false;  // this thread has read-ahead listings open

class Scheduler {
 public:
  static Scheduler& Get();

  ReadAheadSettings Settings();
  void SetSettings(const ReadAheadSettings& settings);
  bool ReadsWaitOnDevice();
  void SetWaitHook(WaitHook hook) { waitHook_.store(hook); }
  bool Wanted() const { return tWalking || on_.load(); }

  // The child `parent` handed out last, named `name`, entered by the walk.
  TakenChild Take(ReadAheadLevel& parent, std::string_view name);
  // The outermost folder of a walk, read by a helper.
  TakenChild AdoptRoot(const std::string& folderPath);
  // False when the wait hook asked to stop before the entry was ready.
  bool WaitForEntry(ReadAheadLevel& level, std::size_t at);
  // The walk went on past the child handed out last.
  void PassHanded(ReadAheadLevel& level);
  void Close(ReadAheadLevel& level);

 private:
  using Clock = std::chrono::steady_clock;

  // The lock. Wake-ups asked for while it is held are sent once it is let go
  // (or by SendDue before a wait lets it go): a thread woken by a holder only
  // blocks on the lock, and a holder it preempts keeps every other waiting
  // (a quarter of the helpers' time, with dozens on two CPUs).
  class Lock : public std::unique_lock<Mutex> {
   public:
    explicit Lock(Scheduler& scheduler) : unique_lock(scheduler.mutex_), scheduler_(scheduler) {}
    ~Lock() {
      if (owns_lock()) unlock();
    }
    void unlock() {
      const bool helper = std::exchange(scheduler_.wakeHelper_, false);
      const bool walker = std::exchange(scheduler_.wakeWalker_, false);
      unique_lock::unlock();
      scheduler_.Send(helper, walker);
    }

   private:
    Scheduler& scheduler_;
  };

  Scheduler();

  void Send(bool helper, bool walker) {
    if (helper) changed_.notify_one();
    if (walker) walkerWoken_.notify_one();
  }
  void SendDue() { Send(std::exchange(wakeHelper_, false), std::exchange(wakeWalker_, false)); }

  void AfterForkInChild();  // no helper there, nobody waiting: it starts its own

  // False when another thread walks with read-ahead, or it is off.
  bool StartWalk();
  void EndWalk() { walking_ = tWalking = false; }

  // Has `node` read and, when listed, opens it as the innermost level. A
  // level whose wait the hook stopped yields nothing.
  TakenChild Enter(std::shared_ptr<Node> node, Lock& lock, bool walkerMayRead = true);

  // Waits on the walking thread until `done`, reading meanwhile where the
  // pace lets it, and calling the wait hook. False when the hook stopped it.
  template <typename Done>
  bool WaitAsWalker(Lock& lock, Done done, bool mayRead = true);

  // There may be new work: one helper is woken (one that finds work wakes
  // the next), and the walking thread where it reads.
  void Wake();
  void WakeIfNewWork() {
    if (work_.TakeNewWork()) Wake();
  }
  // Wakes the walking thread if it waits, once the lock is let go.
  void WakeWalker() {
    if (walkerWaiting_.load(std::memory_order_relaxed)) wakeWalker_ = true;
  }

  // Runs `work` without the lock; a folder read goes on with its first sizes.
  void Run(Work work, Lock& lock);
  void ReadSizesOf(Work& work, Lock& lock);

  // Takes on a changed pace: its shape of work, and its helpers.
  void Follow(bool changed);
  void StartHelpers();
  void HelperMain(unsigned index);  // works while a walk is open and the pace counts it in

  // Guarded by mutex_ but for the atomics; a node's reads run without it.
  Mutex mutex_;
  CondVar changed_;      // helpers that the pace counts in wait on it
  CondVar parked_;       // the others, and all between walks
  CondVar walkerWoken_;  // the walking thread waits on it
  std::atomic<bool> walkerWaiting_{false};
  // The ready flag of the entry the walking thread waits for, if any.
  std::atomic<const std::atomic<bool>*> awaited_{nullptr};
  bool wakeHelper_ = false, wakeWalker_ = false;  // to send once the lock is let go
  std::atomic<WaitHook> waitHook_{nullptr};
  Clock::time_point hookDue_;  // the walking thread's alone
  ReadAheadSettings settings_;
  std::atomic<bool> on_;
  bool walking_ = false;  // a thread has read-ahead listings open
  WorkTree work_;
  PaceControl pace_;
  unsigned helpersStarted_ = 0;
};

}  // namespace tallyroot::platform::ahead
