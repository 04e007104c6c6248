// window_bench [ROOT]: the main window against the bare loop, du, ncdu, gdu.
//
// Builds the main window offscreen, types ROOT (default
// /tmp/tallyroot-bench-500k) into the path box and presses "load", timing
// until the listing is done, with an empty folder cache each time; in the
// same rounds times the bare loop, `du -sb`, `ncdu -0 -o /dev/null` and, if
// installed, `gdu -n -p` (with both cores and with one). Then times a second load of the same root,
// a double-click into the largest subfolder and the way back up, all from the cache, and reports
// the process's peak resident memory. Where the walker reads ahead with helper threads, the first
// load is timed with and without.
//
// Each first load also gives the longest stretch without event handling in
// the window's thread (a 5 ms timer's longest interval between ticks) and
// its own peak resident memory.
//
// window_bench ROOT --profile: six first loads and nothing else, for perf,
// callgrind or heaptrack. --no-read-ahead turns read-ahead off throughout.
// window_bench ROOT --once: one first load and nothing else (no warm-up, so
// a cold cache stays cold); prints its time, longest stretch and peak.
// --stalls also watches the longest time the whole machine stood still
// meanwhile (machine_stalls.h), -1 without it: its real-time threads wake
// on each CPU every millisecond and slow the load they watch.
// window_bench ROOT --close-after-ms M: starts a first load, closes the
// window M ms into it and ends as the program does; prints the wall clock
// time the close was asked for and how late the window took it, so that a
// caller can time the way from the click to the exit.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/folder_cache.h"
#include "analysis/size_text.h"
#include "bench/bench_support.h"
#include "bench/event_gaps.h"
#include "bench/machine_stalls.h"
#include "tests/support/headless_app.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/window_input.h"

extern char** environ;

namespace {

namespace bench = tallyroot::bench;

// Runs a program with its output discarded and adds its wall and CPU time
// (its own, children included) to `series`; false when it could not be
// started or failed.
bool RunTool(const std::vector<std::string>& command, bench::Series& series) {
  std::vector<char*> argv;
  for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  int status = -1;
  rusage usage{};
  const double seconds = bench::Seconds([&] {
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return;
    wait4(pid, &status, 0, &usage);
  });
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  const auto toSeconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  series.Add(seconds, toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime));
  return true;
}

struct Tool {
  const char* name;
  std::vector<std::string> command;
  bench::Series times;
  bool available = true;
};

// The row of the largest subfolder in the list (1-based), or 0.
int LargestFolder(const tallyroot::FolderList& list) {
  int best = 0;
  std::uint64_t bestSize = 0;
  for (int row = 1; row <= list.Count(); ++row) {
    if (list.Tag(row).isEmpty()) continue;  // a file
    const std::uint64_t size = TallyrootModule::SizeValue(list.SizeCell(row));
    if (best == 0 || size > bestSize) {
      best = row;
      bestSize = size;
    }
  }
  return best;
}

// What one first load showed besides its time.
struct LoadFigures {
  double longestGap = 0;     // seconds without event handling
  long peakKiB = 0;          // peak resident memory during the load
  double longestStall = -1;  // seconds the whole machine stood still; -1 unknown
};

// The process's peak resident memory, kept across the resets that give each
// load its own peak.
class Peaks {
 public:
  void StartLoad() {
    Note();
    bench::ResetPeakResident();
  }
  long EndLoad() {
    const long load = bench::PeakResidentKiB();
    Note();
    return load;
  }
  long Overall() {
    Note();
    return overall_;
  }

 private:
  void Note() { overall_ = std::max(overall_, bench::PeakResidentKiB()); }
  long overall_ = 0;
};

// Closes the window `ms` into a first load, as a person would click its
// close button then, and lets the program end as the real one does, by the
// end of the event loop once its last window is closed. The close takes
// effect only when the window next handles events; what counts for the
// person is the time from the click to the exit.
int CloseDuringLoad(QApplication& app, tallyroot::testing::WindowInput& w, const QString& rootText,
                    long ms) {
  using Clock = std::chrono::system_clock;
  Clock::time_point asked;
  w.path->setText(rootText);
  QTimer::singleShot(0, w.load, [&] {
    asked = Clock::now() + std::chrono::milliseconds(ms);
    w.load->click();
  });
  QTimer::singleShot(ms, &w.form, [&] {
    std::printf("close asked at %lld ns since the epoch, handled %.3f s later, %s\n",
                static_cast<long long>(std::chrono::nanoseconds(asked.time_since_epoch()).count()),
                std::chrono::duration<double>(Clock::now() - asked).count(),
                w.form.IsBusy() ? "during the load" : "after the load had ended");
    std::fflush(stdout);
    w.form.close();
  });
  return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
  tallyroot::testing::HeadlessApplication app(argc, argv);
  const std::string root = bench::TreeRoot(argc, argv);
  const QString rootText = QString::fromStdString(root + '/');
  std::printf("window_bench %s\n", root.c_str());
  bench::WarnIfBusy();

  tallyroot::testing::WindowInput w;
  auto* const text1 = w.path;
  auto* const command1 = w.load;
  auto* const command2 = w.up;
  auto* const label1 = w.root;
  const long startKiB = bench::ResidentKiB();

  const auto load = [&](bench::Series& series) {
    text1->setText(rootText);
    series.Time([&] { command1->click(); });
  };
  // Where the walker reads ahead with helper threads, the first load is also
  // timed without read-ahead.
  bench::ApplyNoReadAheadFlag(argc, argv);
  const bool readAhead = bench::ReadAheadByDefault();
  Peaks peaks;
  bench::EventGaps gaps;
  bench::MachineStalls stalls;
  const bool watchStalls = bench::HasFlag(argc, argv, "--stalls");
  const auto firstLoad = [&](bench::Series& series, bool withReadAhead) {
    const tallyroot::testing::ScopedReadAhead scope(withReadAhead && readAhead);
    TallyrootModule::CacheCreate();
    peaks.StartLoad();
    if (watchStalls) stalls.Start();
    gaps.Start();
    load(series);
    const double longestGap = gaps.Stop();
    return LoadFigures{longestGap, peaks.EndLoad(), stalls.Stop()};
  };
  const auto listed = [&] {
    return label1->text() == rootText && w.list.Count() > 0 && !w.form.IsBusy();
  };

  const long closeAfter = bench::NumberAfter(argc, argv, "--close-after-ms", -1);
  if (closeAfter >= 0) return CloseDuringLoad(app, w, rootText, closeAfter);
  if (bench::HasFlag(argc, argv, "--once")) {
    bench::Series once;
    const LoadFigures figures = firstLoad(once, true);
    std::printf(
        "first load %.6f s; longest stretch without event handling %.6f s; peak resident "
        "memory %ld KiB; longest stall of the machine %.6f s\n",
        once.Wall(), figures.longestGap, figures.peakKiB, figures.longestStall);
    return listed() ? 0 : 1;
  }
  if (bench::HasFlag(argc, argv, "--profile")) {
    bench::Series loads;
    for (int run = 0; run < 6; ++run) {
      TallyrootModule::CacheCreate();
      load(loads);
    }
    bench::Print("first load", loads);
    std::printf("peak resident memory %.1f MB\n", bench::PeakResidentKiB() / 1024.0);
    return 0;
  }

  std::vector<Tool> tools = {
      {"du -sb", {"du", "-sb", root}, {}},
      {"ncdu -0 -o /dev/null", {"ncdu", "-0", "-o", "/dev/null", root}, {}},
      {"gdu -n -p (2 threads)", {"gdu", "-n", "-p", root}, {}},
      {"gdu -n -p -m 1 (1 thread)", {"gdu", "-n", "-p", "-m", "1", root}, {}},
  };

  // Warm-up: the page cache holds the tree's folders and inodes afterwards.
  const bench::Tally tally = bench::BareWalk(root);
  if (tally.files == 0) {
    std::fprintf(stderr, "window_bench: no files under %s (make it with make_tree)\n",
                 root.c_str());
    return 1;
  }
  for (Tool& tool : tools) {
    bench::Series warmUp;
    tool.available = RunTool(tool.command, warmUp);
  }
  bench::Series warmUp, bare, first, firstAlone;
  firstLoad(warmUp, true);
  if (readAhead) firstLoad(warmUp, false);

  std::vector<LoadFigures> firstFigures, aloneFigures;
  for (int round = 0; round < 5; ++round) {
    firstFigures.push_back(firstLoad(first, true));
    if (readAhead) aloneFigures.push_back(firstLoad(firstAlone, false));
    bare.Time([&] { bench::BareWalk(root); });
    for (Tool& tool : tools) {
      if (tool.available) tool.available = RunTool(tool.command, tool.times);
    }
  }
  const long loadedPeakKiB = peaks.Overall();
  const bool rootListed = listed();

  bench::Series again, down, up;
  bool moved = true;
  for (int round = 0; round < 5 && moved; ++round) {
    load(again);
    const int largest = LargestFolder(w.list);
    if (largest == 0) continue;  // a flat tree: nowhere to go down
    down.Time([&] { w.DoubleClick(largest); });
    moved = moved && text1->text() != rootText;
    up.Time([&] { command2->click(); });
    moved = moved && text1->text() == rootText;
  }

  std::printf("tree: %llu files, %llu folders; root listed in %d rows\n",
              static_cast<unsigned long long>(tally.files),
              static_cast<unsigned long long>(tally.folders), w.list.Count());
  const char* const firstName = readAhead ? "first load, read-ahead" : "first load";
  bench::Print("bare loop", bare);
  bench::Print(firstName, first);
  if (readAhead) bench::Print("first load, no read-ahead", firstAlone);
  for (const Tool& tool : tools) {
    if (tool.available) {
      bench::Print(tool.name, tool.times);
    } else {
      std::printf("  %-30s not available\n", tool.name);
    }
  }
  for (int alone = 0; alone < (readAhead ? 2 : 1); ++alone) {
    const bench::Series& mine = alone ? firstAlone : first;
    const std::string name = alone ? "first load, no read-ahead" : firstName;
    const std::vector<LoadFigures>& figures = alone ? aloneFigures : firstFigures;
    for (std::size_t at = 0; at < figures.size(); ++at) {
      std::printf(
          "%s, round %zu: %s, longest stretch without event handling %s, peak %.1f MB, machine "
          "stalled up to %s\n",
          name.c_str(), at + 1, bench::Duration(mine.wall[at]).c_str(),
          bench::Duration(figures[at].longestGap).c_str(), figures[at].peakKiB / 1024.0,
          figures[at].longestStall < 0 ? "(not watched)"
                                       : bench::Duration(figures[at].longestStall).c_str());
    }
    bench::PrintRatio((name + " / bare loop").c_str(), mine, bare, 1.15, "<= 1.15");
    for (const Tool& tool : tools) {
      if (!tool.available) continue;
      bench::PrintRatio((name + " / " + tool.name).c_str(), mine, tool.times, 1.0, "< 1");
    }
  }
  bench::Print("second load (from cache)", again);
  if (down.wall.empty()) {
    std::printf("  the root has no subfolder: double-click and up not measured\n");
  } else {
    bench::Print("double-click largest folder", down);
    bench::Print("up to the root", up);
  }
  const double slowest = std::max({again.Wall(), down.Wall(), up.Wall()});
  std::printf("slowest move from the cache: %s (target < 50 ms)%s\n",
              bench::Duration(slowest).c_str(), slowest < 0.05 ? "" : "  MISSED");
  const long peakKiB = peaks.Overall();
  std::printf(
      "resident memory: %.1f MB with the window shown, peak %.1f MB after the first "
      "loads, peak %.1f MB at the end (target < 80 MB)%s\n",
      startKiB / 1024.0, loadedPeakKiB / 1024.0, peakKiB / 1024.0,
      peakKiB < 80 * 1024 ? "" : "  MISSED");
  if (!rootListed || !moved) {
    std::printf("FAILED: %s\n", !rootListed ? "the root was not listed"
                                            : "the double-click or the up button did not move");
    return 1;
  }
  return 0;
}
