// The large stack as a Windows fiber whose stack is reserved large and
// committed only as it is used. The thread becomes a fiber for as long as
// the body runs, unless it is one already.
#include <windows.h>

#include <cstddef>
#include <exception>

#include "walker/large_stack.h"

namespace tallyroot::platform {
namespace {

// Address space asked for first; less is taken where the system refuses it.
constexpr std::size_t kReserveBytes = std::size_t{4} << 30;
constexpr std::size_t kLeastBytes = std::size_t{64} << 20;
constexpr std::size_t kCommitBytes = std::size_t{64} << 10;

struct Switch {
  void* caller = nullptr;
  const std::function<void()>* body = nullptr;
  std::exception_ptr error;
};

thread_local Switch* tSwitch = nullptr;  // set while this thread runs on a large stack

void WINAPI FiberMain(void* parameter) {
  Switch& to = *static_cast<Switch*>(parameter);
  try {
    (*to.body)();
  } catch (...) {
    to.error = std::current_exception();
  }
  // A fiber's procedure must not return: that would end the thread.
  SwitchToFiber(to.caller);
}

// The fiber this thread runs as. GetCurrentFiber reads the thread's record
// through the segment register, which GCC takes for an empty array.
void* CurrentFiber() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
  return GetCurrentFiber();
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace

bool OnLargeStack() { return tSwitch != nullptr; }

void RunOnLargeStack(const std::function<void()>& body) {
  if (tSwitch) return body();
  Switch to;
  to.body = &body;
  const bool wasFiber = IsThreadAFiber() != FALSE;
  to.caller = wasFiber ? CurrentFiber() : ConvertThreadToFiber(nullptr);
  if (!to.caller) return body();
  void* fiber = nullptr;
  for (std::size_t bytes = kReserveBytes; bytes >= kLeastBytes && !fiber; bytes /= 2)
    fiber = CreateFiberEx(kCommitBytes, bytes, FIBER_FLAG_FLOAT_SWITCH, FiberMain, &to);
  if (fiber) {
    tSwitch = &to;
    SwitchToFiber(fiber);
    tSwitch = nullptr;
    DeleteFiber(fiber);
  }
  if (!wasFiber) ConvertFiberToThread();
  if (!fiber) return body();
  if (to.error) std::rethrow_exception(to.error);
}

}  // namespace tallyroot::platform
