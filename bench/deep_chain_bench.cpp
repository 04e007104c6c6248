// deep_chain_bench [--levels N] [--profile] [--no-read-ahead]: a chain of N nested folders
// (default 100,000), each holding a 1-byte file, loaded through the main
// window against `du -sb` in the same run.
//
// The chain is made in /dev/shm where there is one (removing a deep chain
// from a disk file system is slow), else in the temporary folder, and removed
// at the end. Prints the window's time and total, du's time, their ratio and
// the process's peak resident memory during the load. --profile makes the
// chain, loads it once and removes it, for perf, callgrind or heaptrack.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "analysis/folder_cache.h"
#include "analysis/size_text.h"
#include "bench/bench_support.h"
#include "tests/support/headless_app.h"
#include "tests/support/window_input.h"
#include "walker/folder_listing.h"

namespace {

namespace bench = tallyroot::bench;

// Each folder of the chain holds "f" (1 byte) and, but the last, "d". Returns
// the levels made.
long MakeChain(const std::string& root, long levels) {
  long made = 0;
  for (int dir = open(root.c_str(), O_RDONLY | O_CLOEXEC); dir >= 0; ++made) {
    const int file = openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool sized = file >= 0 && write(file, "x", 1) == 1;
    const int next = made + 1 < levels && sized && mkdirat(dir, "d", 0755) == 0
                         ? openat(dir, "d", O_RDONLY | O_CLOEXEC)
                         : -1;
    if (file >= 0) close(file);
    close(dir);
    dir = next;
  }
  return made;
}

// Removes the chain from the top, one level at a time, so that no path ever
// gets longer than two names below the root.
void RemoveChain(const std::string& root) {
  const std::string d = root + "/d", x = root + "/x";
  while (rename(d.c_str(), x.c_str()) == 0) {
    rename((x + "/d").c_str(), d.c_str());
    unlink((x + "/f").c_str());
    rmdir(x.c_str());
  }
  unlink((root + "/f").c_str());
  rmdir(root.c_str());
}

double SecondsOf(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// CPU time (user and system) of this process, or of its children that have ended.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return SecondsOf(usage.ru_utime) + SecondsOf(usage.ru_stime);
}

struct Timed {
  double wall = -1;
  double cpu = -1;
};

Timed TimeDu(const std::string& root) {
  const std::string command = "du -sb '" + root + "' >/dev/null 2>&1";
  int status = 0;
  const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
  const double seconds = bench::Seconds([&] { status = std::system(command.c_str()); });
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return {seconds, CpuSeconds(RUSAGE_CHILDREN) - cpuBefore};
}

}  // namespace

int main(int argc, char** argv) {
  tallyroot::testing::HeadlessApplication app(argc, argv);
  tallyroot::platform::RaiseOpenFileLimit();
  bench::ApplyNoReadAheadFlag(argc, argv);
  const long levels = bench::NumberAfter(argc, argv, "--levels", 100000);
  const std::string base = std::filesystem::is_directory("/dev/shm")
                               ? "/dev/shm"
                               : std::filesystem::temp_directory_path();
  const std::string root = base + "/tallyroot-deep-chain-" + std::to_string(getpid());
  if (mkdir(root.c_str(), 0755) != 0) return std::perror(root.c_str()), 1;
  const long made = MakeChain(root, levels);
  std::printf("deep_chain_bench: %ld levels in %s (open-file limit %ld)\n", made, root.c_str(),
              sysconf(_SC_OPEN_MAX));
  bench::WarnIfBusy();

  tallyroot::testing::WindowInput w;
  const QString rootText = QString::fromStdString(root + '/');
  bool right = false;
  const auto load = [&] {
    TallyrootModule::CacheCreate();
    w.path->setText(rootText);
    bench::ResetPeakResident();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double seconds = bench::Seconds([&] { w.load->click(); });
    getrusage(RUSAGE_SELF, &after);
    const double cpu = SecondsOf(after.ru_utime) + SecondsOf(after.ru_stime) -
                       SecondsOf(before.ru_utime) - SecondsOf(before.ru_stime);
    std::uint64_t total = 0;
    for (int row = 1; row <= w.list.Count(); ++row)
      total += TallyrootModule::SizeValue(w.list.SizeCell(row));
    right = total == static_cast<std::uint64_t>(made);
    const auto spent = [](const timeval& from, const timeval& to) {
      return static_cast<double>(to.tv_sec - from.tv_sec) +
             static_cast<double>(to.tv_usec - from.tv_usec) * 1e-6;
    };
    std::printf(
        "  window load %s (user %.3f s, system %.3f s), total %llu bytes (%s), peak resident "
        "memory %ld KiB\n",
        bench::Duration(seconds).c_str(), spent(before.ru_utime, after.ru_utime),
        spent(before.ru_stime, after.ru_stime), static_cast<unsigned long long>(total),
        right ? "right" : "WRONG", bench::PeakResidentKiB());
    return Timed{seconds, cpu};
  };
  bool failed = false;
  if (bench::HasFlag(argc, argv, "--profile")) {
    load();
  } else {
    const Timed du = TimeDu(root);
    const Timed window = load();
    const Timed du2 = TimeDu(root);
    const Timed duBest = du.wall < du2.wall ? du : du2;
    std::printf("  du -sb %s (CPU %.3f s, best of two)\n", bench::Duration(duBest.wall).c_str(),
                duBest.cpu);
    std::printf("  window / du: %.2f (target <= 2), CPU time %.2f\n", window.wall / duBest.wall,
                window.cpu / duBest.cpu);
    failed = duBest.wall > 0 && window.wall / duBest.wall > 2;
  }
  RemoveChain(root);
  return failed || !right ? 1 : 0;
}
