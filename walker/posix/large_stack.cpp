// The large stack as a ucontext fiber on an mmap'ed region that reserves no
// memory up front. AddressSanitizer is told of every switch, so that it
// keeps checking the right stack.
#include "walker/large_stack.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <exception>

#if defined(__SANITIZE_ADDRESS__)
#define TALLYROOT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLYROOT_ASAN 1
#endif
#endif
#ifdef TALLYROOT_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace tallyroot::platform {
namespace {

// Address space asked for first; less is taken where the system refuses it.
constexpr std::size_t kReserveBytes = std::size_t{4} << 30;
constexpr std::size_t kLeastBytes = std::size_t{64} << 20;

// A stack region, unmapped with the object.
class Region {
 public:
  Region() {
    for (std::size_t bytes = kReserveBytes; bytes >= kLeastBytes && !base_; bytes /= 2) {
      void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
      if (at == MAP_FAILED) continue;
      base_ = static_cast<char*>(at);
      bytes_ = bytes;
      // An overflow faults on the lowest page instead of writing past it.
      mprotect(base_, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE);
    }
  }
  ~Region() {
    if (base_) munmap(base_, bytes_);
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  char* Base() const { return base_; }
  std::size_t Bytes() const { return bytes_; }

 private:
  char* base_ = nullptr;
  std::size_t bytes_ = 0;
};

struct Switch {
  ucontext_t caller{};
  ucontext_t fiber{};
  const std::function<void()>* body = nullptr;
  std::exception_ptr error;
  const void* callerBottom = nullptr;  // the caller's stack, for AddressSanitizer
  std::size_t callerSize = 0;
};

thread_local Switch* tSwitch = nullptr;  // set while this thread runs on a large stack

void FiberMain() {
  Switch& to = *tSwitch;
#ifdef TALLYROOT_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &to.callerBottom, &to.callerSize);
#endif
  try {
    (*to.body)();
  } catch (...) {
    to.error = std::current_exception();
  }
#ifdef TALLYROOT_ASAN
  __sanitizer_start_switch_fiber(nullptr, to.callerBottom, to.callerSize);
#endif
  // Returning resumes uc_link: the caller.
}

}  // namespace

bool OnLargeStack() { return tSwitch != nullptr; }

void RunOnLargeStack(const std::function<void()>& body) {
  if (tSwitch) return body();
  Region region;
  Switch to;
  if (!region.Base() || getcontext(&to.fiber) != 0) return body();
  to.body = &body;
  to.fiber.uc_stack.ss_sp = region.Base();
  to.fiber.uc_stack.ss_size = region.Bytes();
  to.fiber.uc_link = &to.caller;
  makecontext(&to.fiber, FiberMain, 0);
  tSwitch = &to;
#ifdef TALLYROOT_ASAN
  void* fakeStack = nullptr;
  __sanitizer_start_switch_fiber(&fakeStack, region.Base(), region.Bytes());
#endif
  const int switched = swapcontext(&to.caller, &to.fiber);
#ifdef TALLYROOT_ASAN
  __sanitizer_finish_switch_fiber(fakeStack, nullptr, nullptr);
#endif
  tSwitch = nullptr;
  if (switched != 0) return body();
  if (to.error) std::rethrow_exception(to.error);
}

}  // namespace tallyroot::platform
