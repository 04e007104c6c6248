#include "bench/bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "walker/read_ahead/read_ahead.h"

namespace tallyroot::bench {
namespace {

// glibc's own readdir buffer size.
constexpr std::size_t kBufferSize = 32 * 1024;

void WalkFolder(int dir, Tally& tally) {
  alignas(dirent64) char buffer[kBufferSize];
  for (;;) {
    const ssize_t got = getdents64(dir, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      unsigned char type = entry->d_type;
      struct stat info {};
      if (type == DT_UNKNOWN) {
        if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
        if (type != DT_DIR) {
          ++tally.files;
          tally.bytes += static_cast<std::uint64_t>(info.st_size);
          continue;
        }
      }
      if (type == DT_DIR) {
        if (name[0] == '.') continue;  // ".", ".." and hidden folders
        const int child = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) continue;
        ++tally.folders;
        WalkFolder(child, tally);
        close(child);
        continue;
      }
      if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      ++tally.files;
      tally.bytes += static_cast<std::uint64_t>(info.st_size);
    }
  }
}

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ':';
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return 0;
}

}  // namespace

Tally BareWalk(const std::string& root) {
  Tally tally;
  const int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return tally;
  WalkFolder(dir, tally);
  close(dir);
  return tally;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::string Duration(double seconds) {
  char text[32];
  if (seconds >= 1) {
    std::snprintf(text, sizeof text, "%.3f s", seconds);
  } else if (seconds >= 1e-3) {
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
  }
  return text;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Print(const char* name, const Series& series) {
  std::printf("  %-30s wall %10s  cpu %10s  (wall:", name, Duration(series.Wall()).c_str(),
              Duration(series.Cpu()).c_str());
  for (double t : series.wall) std::printf(" %s", Duration(t).c_str());
  std::printf(")\n");
}

double PrintRatio(const char* name, const Series& mine, const Series& theirs, double limit,
                  const char* target) {
  const double wall = mine.Wall() / theirs.Wall();
  const double cpu = mine.Cpu() / theirs.Cpu();
  std::printf("%s: wall %.3f, cpu %.3f (target %s)%s\n", name, wall, cpu, target,
              wall <= limit ? "" : "  MISSED");
  return wall;
}

long PeakResidentKiB() { return StatusKiB("VmHWM"); }
bool ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  return static_cast<bool>(clear << "5" << std::flush);
}
long ResidentKiB() { return StatusKiB("VmRSS"); }

double LoadAverage() {
  double load = 0;
  if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = 0;
    std::fclose(file);
  }
  return load;
}

void WarnIfBusy() {
  const double load = LoadAverage();
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("load average %.2f on %u cores\n", load, cores);
  if (load > 0.5 * cores) {
    std::printf(
        "warning: the machine is busy; the figures of this run are noisy, run again "
        "when it is quiet\n");
  }
  std::fflush(stdout);
}

std::string TreeRoot(int argc, char** argv) {
  std::string root = "/tmp/tallyroot-bench-500k";
  const auto number = [](const char* text) {
    return *text != '\0' && std::strspn(text, "0123456789.") == std::strlen(text);
  };
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-' && !(i > 1 && argv[i - 1][0] == '-' && number(argv[i]))) {
      root = argv[i];
      break;
    }
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

bool ReadAheadByDefault() { return platform::GetReadAhead().on; }

bool ApplyNoReadAheadFlag(int argc, char** argv) {
  if (!HasFlag(argc, argv, "--no-read-ahead")) return false;
  platform::ReadAheadSettings settings = platform::GetReadAhead();
  settings.on = false;
  platform::SetReadAhead(settings);
  return true;
}

long NumberAfter(int argc, char** argv, const char* flag, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

bool HasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) return true;
  }
  return false;
}

}  // namespace tallyroot::bench
