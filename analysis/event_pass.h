// The event pass used during walks, sliced by time: called for every entry,
// it does real work only when `interval` has passed since the last pass
// ended. Then it publishes the list's pending changes to its views and
// processes every pending event. Otherwise it costs next to nothing.
//
// A pass per entry without slicing would repaint the view for every row and
// every size change, which costs up to milliseconds each; slicing keeps the
// window answering within a few tens of milliseconds at a tiny fraction of
// the walk's time.
#pragma once

#include <chrono>

namespace tallyroot {
class FolderList;
}

namespace TallyrootModule {

class ThrottledEventPass {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ThrottledEventPass(tallyroot::FolderList& list,
                              Clock::duration interval = std::chrono::milliseconds(10));

  void operator()() {
    // Reading the clock costs more than the rest of an entry's bookkeeping,
    // so look only every 16th call: entries take well under a microsecond.
    if ((calls_++ & 15u) == 0 && Clock::now() - lastEnd_ >= interval_) RunNow();
  }
  // For callers that come every few milliseconds rather than per entry.
  void RunIfDue() {
    if (Clock::now() - lastEnd_ >= interval_) RunNow();
  }
  void RunNow();

 private:
  tallyroot::FolderList& list_;
  Clock::duration interval_;
  Clock::time_point lastEnd_;
  unsigned calls_ = 0;
};

}  // namespace TallyrootModule
