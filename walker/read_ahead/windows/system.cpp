// What the read-ahead asks of Windows besides the reads (platform.h). A
// thread's CPU time counts in clock ticks (about 15.6 ms), far longer than a
// read, so the pace sums it over many; its time waiting for a CPU is not told.
#include <windows.h>

#include <bit>
#include <cstdint>

#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {
namespace {

double Seconds(const FILETIME& time) {
  const std::uint64_t units = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return double(units) * 1e-7;  // 100 ns units
}

}  // namespace

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
  return Seconds(kernel) + Seconds(user);
}

double ThreadRunDelaySeconds() { return -1; }

// The clock's tick as the system says, else the usual one.
double CpuClockTick() {
  DWORD adjustment = 0, increment = 0;
  BOOL disabled = FALSE;
  if (GetSystemTimeAdjustment(&adjustment, &increment, &disabled) && increment > 0) {
    return double(increment) * 1e-7;
  }
  return 0.015625;
}

void KeepThreadStatisticsOpen() {}

unsigned UsableCpus() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
  }
  return 1;
}

unsigned ReadersAtOnce() {
  static const bool underWine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return underWine ? tuning::kReadersUnderWine : tuning::kMaxHelpers;
}

std::size_t OpenDescriptorLimit() { return SIZE_MAX; }  // no handle limit a walk could reach

void AtFork(void (*)(), void (*)(), void (*)()) {}  // no process here forks

// Thread priorities come in steps of their own; one step below normal keeps
// helpers behind the walking thread, which is also the window's.
void LowerThisThread(int) { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace tallyroot::platform::ahead
