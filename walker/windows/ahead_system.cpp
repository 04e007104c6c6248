// What the read-ahead asks of Windows besides the reads (see
// walker/read_ahead_system.h). A thread's CPU time is left unknown:
// GetThreadTimes counts in clock ticks of about 15.6 ms, far longer than a
// read, and QueryThreadCycleTime counts cycles of no fixed length. The pace
// therefore stays that of CPU-bound reads.
#include <windows.h>

#include <bit>
#include <cstdint>

#include "walker/read_ahead_system.h"

namespace tallyroot::platform::ahead {

double ThreadCpuSeconds() { return -1; }
double ThreadRunDelaySeconds() { return -1; }
void KeepThreadStatisticsOpen() {}

unsigned UsableCpus() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
  }
  return 1;
}

// Handles have no per-process limit that a walk could reach.
std::size_t OpenDescriptorLimit() { return SIZE_MAX; }

// A seek penalty is not looked up: a walk on a spinning disk here reads as
// on any other.
bool IsRotationalDevice(std::uint64_t) { return false; }

// No process here forks.
void AtFork(void (*)(), void (*)(), void (*)()) {}

// Thread priorities come in steps of their own; one step below normal keeps
// helpers behind the walking thread, which is also the window's.
void LowerThisThread(int) { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace tallyroot::platform::ahead
