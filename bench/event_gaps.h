// How long the window's thread goes without handling events while a load
// runs: a 5 ms timer ticks in that thread, and the longest interval between
// two ticks (the start and the stop count as ticks) is the longest time a
// person waited for a repaint or a click to be taken.
#pragma once

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>

namespace tallyroot::bench {

class EventGaps {
 public:
  EventGaps() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    longest_ = {};
    last_ = std::chrono::steady_clock::now();
    timer_.start();
  }
  // The longest interval since Start, in seconds.
  double Stop() {
    Tick();
    timer_.stop();
    return std::chrono::duration<double>(longest_).count();
  }

 private:
  void Tick() {
    const auto now = std::chrono::steady_clock::now();
    longest_ = std::max(longest_, now - last_);
    last_ = now;
  }

  QTimer timer_;
  std::chrono::steady_clock::time_point last_;
  std::chrono::steady_clock::duration longest_{};
};

}  // namespace tallyroot::bench
