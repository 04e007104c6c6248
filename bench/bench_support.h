// What the benchmarks share: the bare walk they are measured against, timing
// and medians, and the process's memory figures.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tallyroot::bench {

struct Tally {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;  // below the root, the root not counted
  std::uint64_t bytes = 0;
  bool operator==(const Tally&) const = default;
};

// The least a program can do to learn the same as the walker: open +
// getdents64 + fstatat relative to the folder's descriptor, recursing into
// every folder whose name does not begin with "." and following no links.
// Sizes are apparent sizes (st_size).
Tally BareWalk(const std::string& root);

// Runs `work` and returns its wall time in seconds.
template <typename Work>
double Seconds(Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time (user + system) this process has used so far, all threads.
double ProcessCpuSeconds();

double Median(std::vector<double> values);

// "12.3 ms" / "1.234 s"
std::string Duration(double seconds);

// The timings of one contender: wall time, and the CPU time it used. Other
// work on the machine stretches the wall time far more than the CPU time, so
// the CPU ratio is the steadier figure on a busy machine.
struct Series {
  std::vector<double> wall, cpu;

  Series() {
    wall.reserve(16);  // no allocation while a run is counted
    cpu.reserve(16);
  }
  void Add(double wallSeconds, double cpuSeconds) {
    wall.push_back(wallSeconds);
    cpu.push_back(cpuSeconds);
  }
  template <typename Work>
  void Time(Work&& work) {
    const double cpuBefore = ProcessCpuSeconds();
    const double seconds = Seconds(work);
    Add(seconds, ProcessCpuSeconds() - cpuBefore);
  }
  double Wall() const { return Median(wall); }
  double Cpu() const { return Median(cpu); }
};

// "  name   wall <median>  cpu <median>  (wall: a b c d e)"
void Print(const char* name, const Series& series);

// "name: wall 1.043, cpu 1.021 (target <= 1.10)", with MISSED when the wall
// ratio is above `limit`. Returns the wall ratio.
double PrintRatio(const char* name, const Series& mine, const Series& theirs, double limit,
                  const char* target);

// Peak and current resident set size of this process in KiB (VmHWM and
// VmRSS of /proc/self/status); 0 if unknown.
long PeakResidentKiB();
long ResidentKiB();
// Sets the peak back to the present resident size, so that the next
// PeakResidentKiB tells the peak of what ran since; false where the kernel
// does not allow it.
bool ResetPeakResident();

// The 1-minute load average, to tell a quiet machine from a busy one.
double LoadAverage();

// Warns on stderr when the machine was busy: other work on a 2-core machine
// shifts every figure, and a ratio is only worth quoting from a quiet run.
void WarnIfBusy();

// The tree to measure: the first argument that is neither an option nor a
// number after one (its value), or the default tree. Ends without a
// separator.
std::string TreeRoot(int argc, char** argv);

// Whether `flag` is among the arguments.
bool HasFlag(int argc, char** argv, const char* flag);

// The number after `flag` ("--moves 1000"), or `fallback` without it.
long NumberAfter(int argc, char** argv, const char* flag, long fallback);

// Whether the walker reads ahead with helper threads by default here.
bool ReadAheadByDefault();

// "--no-read-ahead" among the arguments turns read-ahead off for the whole
// run; returns whether it did.
bool ApplyNoReadAheadFlag(int argc, char** argv);

}  // namespace tallyroot::bench
