// walk_bench [ROOT]: the walker against the bare loop over the same tree.
//
// Walks ROOT (default /tmp/tallyroot-bench-500k) with FindFiles in AllDeep
// mode, counting files and bytes in the callback, and with the bare loop;
// where the walker reads ahead with helper threads, FindFiles runs both with
// and without read-ahead. One warm-up run of each, then five rounds in
// rotating order. Prints the medians, their ratios to the bare loop and the
// heap allocations per reported entry.
//
// walk_bench ROOT --profile: six walks with FindFiles and nothing else, for
// perf, callgrind or strace; --profile-bare the same with the bare loop;
// --once with either makes it one walk (for timing from outside).
// --no-read-ahead turns read-ahead off throughout.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/bench_support.h"
#include "tests/support/scoped_read_ahead.h"
#include "walker/find_files.h"

namespace {

using tallyroot::bench::Tally;

Tally gWalked;
bool gAbort = false;

void CountEntry() {
  const auto& entry = FindFilesModule::FoundEntry;
  if (entry.Attributes & FindFilesModule::kFolderAttribute) {
    ++gWalked.folders;
  } else {
    ++gWalked.files;
    gWalked.bytes += entry.Size;
  }
}

Tally Walk(const std::string& root) {
  gWalked = {};
  FindFilesModule::FindFiles(CountEntry, nullptr, root, FindFilesModule::AllDeep, gAbort);
  return gWalked;
}

// One way of walking the tree, with its timings and allocations.
struct Contender {
  const char* name;
  Tally (*walk)(const std::string&);
  bool readAhead;
  tallyroot::bench::Series times;
  std::uint64_t allocations = 0;
};

Tally BareWalk(const std::string& root) { return tallyroot::bench::BareWalk(root); }

}  // namespace

int main(int argc, char** argv) {
  namespace bench = tallyroot::bench;
  const std::string root = bench::TreeRoot(argc, argv);
  tallyroot::platform::RaiseOpenFileLimit();
  const bool noReadAhead = bench::ApplyNoReadAheadFlag(argc, argv);
  const bool profileBare = bench::HasFlag(argc, argv, "--profile-bare");
  if (profileBare || bench::HasFlag(argc, argv, "--profile")) {
    Tally walked;
    const int runs = bench::HasFlag(argc, argv, "--once") ? 1 : 6;
    for (int run = 0; run < runs; ++run) walked = profileBare ? bench::BareWalk(root) : Walk(root);
    std::printf("%llu files walked %d times\n", static_cast<unsigned long long>(walked.files),
                runs);
    return 0;
  }
  std::printf("walk_bench %s\n", root.c_str());
  bench::WarnIfBusy();

  std::vector<Contender> contenders;
  contenders.push_back({"bare loop", BareWalk, false, {}});
  const bool readAhead = bench::ReadAheadByDefault() && !noReadAhead;
  if (readAhead) contenders.push_back({"FindFiles AllDeep, read-ahead", Walk, true, {}});
  contenders.push_back({"FindFiles AllDeep", Walk, false, {}});

  const Tally expected = bench::BareWalk(root);
  bool same = true;
  if (expected.files == 0) {
    std::fprintf(stderr, "walk_bench: no files under %s (make it with make_tree)\n", root.c_str());
    return 1;
  }
  const auto run = [&](Contender& c) {
    const tallyroot::testing::ScopedReadAhead readAhead(c.readAhead);
    const std::uint64_t before = bench::AllocationCount();
    Tally got;
    c.times.Time([&] { got = c.walk(root); });
    c.allocations += bench::AllocationCount() - before;
    same = same && got == expected;
  };
  for (Contender& c : contenders) {  // warm-up, not counted
    run(c);
    c.times = {};
    c.allocations = 0;
  }
  for (int round = 0; round < 5; ++round) {
    // Rotating the order spreads any drift of the machine over all.
    for (std::size_t turn = 0; turn < contenders.size(); ++turn) {
      run(contenders[(round + turn) % contenders.size()]);
    }
  }

  const double entries = static_cast<double>(expected.files + expected.folders);
  const double folders = static_cast<double>(expected.folders + 1);
  std::printf("tree: %llu files, %llu folders, %llu bytes\n",
              static_cast<unsigned long long>(expected.files),
              static_cast<unsigned long long>(expected.folders),
              static_cast<unsigned long long>(expected.bytes));
  const Contender& bare = contenders.front();
  for (const Contender& c : contenders) bench::Print(c.name, c.times);
  for (const Contender& c : contenders) {
    if (&c == &bare) continue;
    const std::string name = std::string(c.name) + " / bare loop";
    bench::PrintRatio(name.c_str(), c.times, bare.times, 1.10, "<= 1.10");
  }
  for (const Contender& c : contenders) {
    std::printf(
        "%s: %.0f ns per entry, %.1f heap allocations per run (%.4f per entry, %.2f per "
        "folder)\n",
        c.name, c.times.Wall() / entries * 1e9, c.allocations / 5.0, c.allocations / 5.0 / entries,
        c.allocations / 5.0 / folders);
  }
  if (!same) {
    std::printf("MISMATCH: a walk counted other files, folders or bytes than the bare loop\n");
    return 1;
  }
  std::printf("all counted the same files, folders and bytes\n");
  return 0;
}
