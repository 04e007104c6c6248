// What the read-ahead asks of Linux besides the reads (platform.h): thread
// clocks and scheduler statistics, affinity, descriptors, niceness.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <system_error>
#include <thread>

#include "walker/read_ahead/platform.h"
#include "walker/read_ahead/tuning.h"

namespace tallyroot::platform::ahead {
namespace {

// A helper, which lives as long as the process and never forks, keeps its
// scheduler statistics open: opening them for each sampled read cost more
// than all the rest of the timing. Other threads open them for each reading,
// so that nothing stays open after they are gone.
thread_local bool tKeepsStatistics = false;
thread_local int tStatistics = -1;

}  // namespace

// This thread's time waiting for a CPU, from its scheduler statistics (time
// on a CPU, time waiting for one, time slices).
double ThreadRunDelaySeconds() {
  const int fd =
      tStatistics >= 0 ? tStatistics : open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[96];
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  if (tKeepsStatistics) {
    tStatistics = fd;
  } else {
    close(fd);
  }
  if (got <= 0) return -1;
  // sscanf would cost more than the rest of a sampled read's timing.
  const char* const end = text + got;
  std::uint64_t onCpu = 0, waiting = 0;
  const auto first = std::from_chars(text, end, onCpu);
  if (first.ec != std::errc() || first.ptr == end || *first.ptr != ' ') return -1;
  if (std::from_chars(first.ptr + 1, end, waiting).ec != std::errc()) return -1;
  return double(waiting) * 1e-9;
}

double ThreadCpuSeconds() {
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  return double(cpu.tv_sec) + double(cpu.tv_nsec) * 1e-9;
}

double CpuClockTick() { return 0; }  // exact to the nanosecond

void KeepThreadStatisticsOpen() { tKeepsStatistics = true; }

unsigned UsableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned ReadersAtOnce() { return tuning::kMaxHelpers; }

std::size_t OpenDescriptorLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<std::size_t>(limit.rlim_cur);
}

void AtFork(void (*prepare)(), void (*parent)(), void (*child)()) {
  pthread_atfork(prepare, parent, child);
}

// Niceness is per thread on Linux, and a new thread inherits its creator's.
void LowerThisThread(int steps) {
  const auto self = static_cast<id_t>(gettid());
  errno = 0;
  const int inherited = getpriority(PRIO_PROCESS, self);
  if (errno == 0) setpriority(PRIO_PROCESS, self, inherited + steps);
}

}  // namespace tallyroot::platform::ahead
