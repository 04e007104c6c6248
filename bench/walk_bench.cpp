// walk_bench [ROOT]: the walker against the bare loop over the same tree.
//
// Walks ROOT (default /tmp/tallyroot-bench-500k) with FindFiles in AllDeep
// mode, counting files and bytes in the callback, and with the bare loop;
// one warm-up run of each, then five rounds in alternating order. Prints both
// medians, their ratio and the heap allocations per reported entry.
//
// walk_bench ROOT --profile: six walks with FindFiles and nothing else, for
// perf, callgrind or strace; --profile-bare the same with the bare loop.
#include <cstdio>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "bench_support.h"
#include "find_files.h"

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

}  // namespace

int main(int argc, char** argv) {
  namespace bench = tallyroot::bench;
  const std::string root = bench::TreeRoot(argc, argv);
  tallyroot::platform::RaiseOpenFileLimit();
  const bool profileBare = bench::HasFlag(argc, argv, "--profile-bare");
  if (profileBare || bench::HasFlag(argc, argv, "--profile")) {
    Tally walked;
    for (int run = 0; run < 6; ++run) walked = profileBare ? bench::BareWalk(root) : Walk(root);
    std::printf("%llu files walked 6 times\n", static_cast<unsigned long long>(walked.files));
    return 0;
  }
  std::printf("walk_bench %s\n", root.c_str());
  bench::WarnIfBusy();

  const Tally expected = bench::BareWalk(root);  // warm-up of both
  const Tally first = Walk(root);
  if (expected.files == 0) {
    std::fprintf(stderr, "walk_bench: no files under %s (make it with make_tree)\n", root.c_str());
    return 1;
  }

  bench::Series bare, walker;
  std::uint64_t bareAllocations = 0, walkerAllocations = 0;
  bool same = first == expected;
  const auto run = [&](bench::Series& series, std::uint64_t& allocations, auto walk) {
    const std::uint64_t before = bench::AllocationCount();
    Tally got;
    series.Time([&] { got = walk(root); });
    allocations += bench::AllocationCount() - before;
    same = same && got == expected;
  };
  for (int round = 0; round < 5; ++round) {
    // Alternating the order spreads any drift of the machine over both.
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        run(bare, bareAllocations, bench::BareWalk);
      } else {
        run(walker, walkerAllocations, Walk);
      }
    }
  }

  const double entries = static_cast<double>(expected.files + expected.folders);
  std::printf("tree: %llu files, %llu folders, %llu bytes\n",
              static_cast<unsigned long long>(expected.files),
              static_cast<unsigned long long>(expected.folders),
              static_cast<unsigned long long>(expected.bytes));
  bench::Print("bare loop", bare);
  bench::Print("FindFiles AllDeep", walker);
  bench::PrintRatio("FindFiles / bare loop", walker, bare, 1.10, "<= 1.10");
  std::printf("per entry: bare %.0f ns, FindFiles %.0f ns\n", bare.Wall() / entries * 1e9,
              walker.Wall() / entries * 1e9);
  std::printf("heap allocations per run: bare %.1f, FindFiles %.1f (%.4f per entry, %.2f per "
              "folder)\n",
              bareAllocations / 5.0, walkerAllocations / 5.0, walkerAllocations / 5.0 / entries,
              walkerAllocations / 5.0 / static_cast<double>(expected.folders + 1));
  if (!same) {
    std::printf("MISMATCH: FindFiles counted %llu files, %llu folders, %llu bytes\n",
                static_cast<unsigned long long>(first.files),
                static_cast<unsigned long long>(first.folders),
                static_cast<unsigned long long>(first.bytes));
    return 1;
  }
  std::printf("both counted the same files, folders and bytes\n");
  return 0;
}
