// The one lock and the condition variables of the scheduler. On POSIX the
// standard ones. On Windows the system's own slim lock and condition
// variable: the standard ones of mingw-w64's thread library wait through
// kernel objects, and under wine every such wait goes through its server,
// which stands still while any thread opens a file on a slow share, so the
// walking thread would miss its turns to let window events through. No
// Windows header here: both system types are one pointer, kept as such.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tallyroot::platform::ahead {

#if defined(_WIN32)

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  friend class CondVar;
  void* lock_ = nullptr;  // an SRWLOCK, unlocked when null
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;
  void notify_one();
  void notify_all();
  void wait(std::unique_lock<Mutex>& lock);
  void wait_until(std::unique_lock<Mutex>& lock, std::chrono::steady_clock::time_point until);

 private:
  void* condition_ = nullptr;  // a CONDITION_VARIABLE
};

#else

using Mutex = std::mutex;
using CondVar = std::condition_variable;

#endif

}  // namespace tallyroot::platform::ahead
