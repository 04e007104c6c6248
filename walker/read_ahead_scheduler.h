// The read-ahead scheduler: which read runs next, on which thread, and when a
// listing read ahead is handed to the walk or dropped. One per process.
//
// Threads, and what each owns:
//  - The walking thread (the one thread that has read-ahead listings open)
//    makes and closes the levels, takes children, waits for entries
//    (read_ahead.cpp). While reads are CPU work it reads what it waits for
//    itself; while they wait on the device it only waits, calling the wait
//    hook every few milliseconds with the lock let go.
//  - Helper threads pick the most urgent work and run it without the lock
//    (read_ahead_scheduler.cpp). They are started as the pace first needs
//    them, sleep between walks and are never joined: the scheduler is never
//    destroyed, so a helper still blocked in a read when the walk or the
//    program ends finds everything it uses in place.
//  - Every read is timed (a sample of them in full), and what the times say
//    sets the pace (read_ahead_pace.h) for all threads.
//  - Wake-ups decided under the lock are sent once it is let go (Lock), and
//    the walking thread, while it only waits, is woken for the one entry or
//    listing it waits for, not for every read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "walker/folder_listing.h"
#include "walker/read_ahead.h"
#include "walker/read_ahead_node.h"
#include "walker/read_ahead_pace.h"
#include "walker/read_ahead_system.h"

namespace tallyroot::platform::ahead {

struct Work {
  std::shared_ptr<Node> node;  // none: nothing to do
  bool read = false;           // the folder read, else the sizes of [begin, end)
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Whether this thread has read-ahead listings open.
inline thread_local bool tWalking = false;

class Scheduler {
 public:
  // Never destroyed: a helper may still be blocked in a read when the
  // program ends, and must find everything it uses in place.
  static Scheduler& Get();

  ReadAheadSettings Settings();

  void SetSettings(const ReadAheadSettings& settings);

  void SetWaitHook(WaitHook hook) { waitHook_.store(hook); }

  TakenChild Take(ReadAheadLevel& parent, std::string_view name);

  bool Wanted() const { return tWalking || on_.load(); }

  TakenChild AdoptRoot(const std::string& folderPath);

  std::unique_ptr<ReadAheadLevel> Adopt(FolderHandle::Native folder, FolderId id, Chain enclosing);

  // False when the wait hook asked to stop before the entry was ready.
  bool WaitForEntry(ReadAheadLevel& level, std::size_t at);

  // The walk went on past the child handed out last: drop it unless taken,
  // and read the next one ahead instead.
  void PassHanded(ReadAheadLevel& level);

  void Close(ReadAheadLevel& level);

 private:
  using Clock = std::chrono::steady_clock;

  // The scheduler's lock. Wake-ups asked for while it is held (Wake and the
  // like) are sent once it is let go: a thread woken by a holder only blocks
  // on the lock again, and a holder that the thread it woke preempts keeps
  // every other thread waiting for the lock (with dozens of helpers on two
  // CPUs, a quarter of their time went to that). Before a thread waits on a
  // condition it sends them itself (SendDue), still holding the lock, which
  // it lets go at once.
  class Lock : public std::unique_lock<std::mutex> {
   public:
    explicit Lock(Scheduler& scheduler) : unique_lock(scheduler.mutex_), scheduler_(scheduler) {}
    ~Lock() {
      if (owns_lock()) unlock();
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void unlock() {
      const Due due = std::exchange(scheduler_.due_, Due{});
      unique_lock::unlock();
      scheduler_.Send(due);
    }

   private:
    Scheduler& scheduler_;
  };

  // Wake-ups to send when the lock is let go.
  struct Due {
    bool helper = false;
    bool walker = false;
  };

  void Send(Due due) {
    if (due.helper) changed_.notify_one();
    if (due.walker) walkerWoken_.notify_one();
  }

  void SendDue() { Send(std::exchange(due_, Due{})); }

  Scheduler();

  // A child process has only the thread that forked: no helper, nobody
  // waiting. It starts helpers of its own when it walks.
  void AfterForkInChild();

  // Reads `node` (the walking thread reads it itself if it reads at all and
  // nobody else does) and, when it can be listed, opens it as the innermost
  // level; `taken` learns where it is open further up when it was cut
  // short as a cycle, and whether it could not be opened. A level whose wait
  // was stopped by the hook yields nothing.
  std::unique_ptr<ReadAheadLevel> Enter(std::shared_ptr<Node> node, Lock& lock, TakenChild* taken,
                                        bool walkerMayRead = true);

  // Waits on the walking thread until `done`. Where the walking thread reads
  // (CPU-bound reads) it runs the most urgent work meanwhile, else it sleeps;
  // either way it calls the wait hook every kHookInterval. False when the
  // hook asked to stop.
  template <typename Done>
  bool WaitAsWalker(Lock& lock, Done done, bool mayRead = true);

  void TopUp(Node& node);

  // Cancels `child` and everything read ahead below it.
  static void Drop(std::shared_ptr<Node>& child, std::vector<std::shared_ptr<Node>>& dropped);

  // There may be new work: for the helpers, and for the walking thread where
  // it reads. Sent when the lock is let go.
  void Wake();

  // Wakes the walking thread if it waits, once the lock is let go.
  void WakeWalker() {
    if (walkerWaiting_.load(std::memory_order_relaxed)) due_.walker = true;
  }

  // The most urgent work: what the walk waits for, then, from the innermost
  // open listing outwards, its remaining sizes and the folders below it in
  // the order the walk will enter them.
  Work Pick();

  // Depth first through what is read ahead below `node`. Below the children
  // of an open listing only while the walk goes down rather than passing
  // folders over, so a listing whose subfolders are all skipped wastes one
  // level of reads at most.
  Work Search(Node& node, std::size_t& budget);

  Work WorkOn(const std::shared_ptr<Node>& node, bool demanded);

  static bool Unclaimed(const Node& node);

  Work Claim(const std::shared_ptr<Node>& node);

  // Whether `node` may be read before the walk needs it: not while the
  // listings held ahead are at their limits (noted in heldBack_).
  bool MayReadAhead(const Node& node);

  // Runs `work` without the lock; a folder read goes on with its first sizes.
  void Run(Work work, Lock& lock);

  // Whether the next read is timed in full: all until the share is known
  // and while they wait on the device, else one in 64, and the one after a
  // read that seemed slow.
  bool Sampled() {
    return pace_.waitsOnDevice || sampleNext_ || !blocked_.Known() || (++unsampled_ & 63) == 0;
  }

  // Learns from the cost of a read, and changes the pace when the reads
  // have changed their nature; NoteListing also from that of a listing.
  void Note(const ReadCost& cost, std::size_t reads);
  void NoteListing(const ReadCost& cost);

  void Repace();

  // Helpers are started as the pace first needs them and then kept.
  void StartHelpers();

  // A helper works while a walk is open and the pace counts it in.
  void HelperMain(unsigned index);

  // The device of the walk's outermost folder, probed anew for its best
  // number of readers when the walks move to it.
  void NoteDevice(std::uint64_t device);

  // False when another thread walks with read-ahead, or it is off.
  bool StartWalk();

  void EndWalk() { walking_ = tWalking = false; }

  // Everything below is guarded by mutex_ except the atomics; a node's reads
  // run without it (see read_ahead_node.h).
  std::mutex mutex_;
  std::condition_variable changed_;      // helpers that the pace counts in wait on it
  std::condition_variable parked_;       // the others, and all between walks
  std::condition_variable walkerWoken_;  // the walking thread waits on it
  std::atomic<bool> walkerWaiting_{false};
  // The ready flag of the entry the walking thread waits for, if any.
  std::atomic<const std::atomic<bool>*> awaited_{nullptr};
  Due due_;
  std::atomic<WaitHook> waitHook_{nullptr};
  ReadAheadSettings settings_;
  std::atomic<bool> on_;
  bool walking_ = false;                 // a thread has read-ahead listings open
  bool descending_ = false;              // the walk entered the last child it was given
  bool heldBack_ = false;                // a read waits for listings held ahead to go
  std::vector<ReadAheadLevel*> levels_;  // the walking thread's, innermost last
  std::shared_ptr<Node> demanded_;       // read for the walk before it becomes a level
  std::size_t maxBytes_ = 0;             // fixed for a walk
  std::size_t maxDescriptors_ = 0;
  unsigned cpuHelpers_ = 1;
  std::uint64_t device_ = 0;  // that of the walk's outermost folder
  bool rotational_ = false;   // whether it is rotational and seeks, as far as known
  SeekCheck seeks_;
  ReaderProbe probe_;
  unsigned unsampled_ = 0;
  bool sampleNext_ = false;
  std::uint64_t readsDone_ = 0;
  double sizeReadSeconds_ = 0.001;  // what a size read takes, of late
  double idleSeconds_ = 0;          // helpers found no work while a walk was open
  BlockedShare blocked_;
  Pace pace_;
  unsigned helpersStarted_ = 0;
};

}  // namespace tallyroot::platform::ahead
