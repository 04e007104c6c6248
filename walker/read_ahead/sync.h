// The scheduler's lock and condition variables: the standard ones on POSIX,
// the system's slim ones on Windows. mingw-w64's standard ones wait through
// kernel objects, under wine through its server, which stands still while
// any thread opens a file on a slow share: the walking thread would miss its
// turns to let window events through. Both system types are one pointer,
// kept as such, so no Windows header is needed here.
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
