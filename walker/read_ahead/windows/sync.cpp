#include "walker/read_ahead/sync.h"

#include <windows.h>

#include <algorithm>

namespace tallyroot::platform::ahead {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

SRWLOCK* Srw(void*& lock) { return reinterpret_cast<SRWLOCK*>(&lock); }
CONDITION_VARIABLE* Condition(void*& condition) {
  return reinterpret_cast<CONDITION_VARIABLE*>(&condition);
}

}  // namespace

void Mutex::lock() { AcquireSRWLockExclusive(Srw(lock_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(Srw(lock_)); }

void CondVar::notify_one() { WakeConditionVariable(Condition(condition_)); }
void CondVar::notify_all() { WakeAllConditionVariable(Condition(condition_)); }

void CondVar::wait(std::unique_lock<Mutex>& lock) {
  SleepConditionVariableSRW(Condition(condition_), Srw(lock.mutex()->lock_), INFINITE, 0);
}

void CondVar::wait_until(std::unique_lock<Mutex>& lock,
                         std::chrono::steady_clock::time_point until) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  const DWORD ms = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
  SleepConditionVariableSRW(Condition(condition_), Srw(lock.mutex()->lock_), ms, 0);
}

}  // namespace tallyroot::platform::ahead
