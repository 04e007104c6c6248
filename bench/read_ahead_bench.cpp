// read_ahead_bench [ROOT] [--flat FOLDER]: the walker with read-ahead against
// itself without it and against the bare loop.
//
// First it proves that read-ahead changes nothing a caller sees: it walks
// ROOT (default /tmp/tallyroot-bench-500k) with and without read-ahead, by
// the walker's own descent and by nested AllHere walks started from the
// callback as the size analysis starts them (entering every folder, then
// passing over every 2nd, 3rd and 10th one as if cached, then with a 64 KiB
// bound), and compares an order-sensitive hash of every published
// (FolderPath, Name, folder bit, Size) and the counts of OnEntry and OnDone.
//
// Then five rounds in turn: the bare loop, nested walks without read-ahead,
// nested walks with it; medians and ratios of that one run. With --flat, the
// same for one AllHere walk of FOLDER (make_tree FOLDER --flat 200000).
// Last, the process's peak resident memory.
#include <cstdio>
#include <string>
#include <string_view>

#include "bench/bench_support.h"
#include "tests/support/scoped_read_ahead.h"
#include "tests/support/walk_trace.h"
#include "walker/read_ahead/read_ahead.h"

namespace {

namespace bench = tallyroot::bench;
using tallyroot::testing::ScopedReadAhead;
using tallyroot::testing::TraceWalk;
using tallyroot::testing::WalkTrace;
using tallyroot::testing::WalkWay;

// Read-ahead on, with at most `maxBytes` ahead.
tallyroot::platform::ReadAheadSettings On(std::size_t maxBytes = std::size_t{32} << 20) {
  tallyroot::platform::ReadAheadSettings settings = tallyroot::platform::GetReadAhead();
  settings.on = true;
  settings.maxBytesAhead = maxBytes;
  return settings;
}

// Walks `root` every way with and without read-ahead; false on a difference.
bool SameWithAndWithout(const std::string& root) {
  struct Way {
    const char* name;
    WalkWay way;
    std::size_t maxBytes;
  };
  const Way ways[] = {
      {"own descent (AllDeep)", {}, 32u << 20},
      {"nested, every folder entered", {.nested = true}, 32u << 20},
      {"nested, every 2nd passed over", {.nested = true, .skipEvery = 2}, 32u << 20},
      {"nested, every 3rd passed over", {.nested = true, .skipEvery = 3}, 32u << 20},
      {"nested, every 10th passed over", {.nested = true, .skipEvery = 10}, 32u << 20},
      {"nested, at most 64 KiB ahead", {.nested = true}, 64u << 10}};
  bool same = true;
  for (const Way& way : ways) {
    WalkTrace without, with;
    {
      const ScopedReadAhead off(false);
      without = TraceWalk(root, way.way);
    }
    {
      const ScopedReadAhead on(On(way.maxBytes));
      with = TraceWalk(root, way.way);
    }
    const bool equal = with == without;
    same = same && equal;
    std::printf("  %-32s %9llu entries %6llu done  hash %016llx %s\n", way.name,
                static_cast<unsigned long long>(without.entries),
                static_cast<unsigned long long>(without.dones),
                static_cast<unsigned long long>(without.hash), equal ? "same" : "DIFFERENT");
  }
  return same;
}

// Five rounds of bare loop, walk without and walk with read-ahead.
void Race(const char* what, const std::string& root, bool nested, double target) {
  bench::Series bare, without, with;
  const WalkWay way{.nested = nested};
  for (int round = 0; round < 5; ++round) {
    bare.Time([&] { bench::BareWalk(root); });
    {
      const ScopedReadAhead off(false);
      without.Time([&] { TraceWalk(root, way); });
    }
    const ScopedReadAhead on(On());
    with.Time([&] { TraceWalk(root, way); });
  }
  std::printf("%s\n", what);
  bench::Print("bare loop", bare);
  bench::Print("without read-ahead", without);
  bench::Print("with read-ahead", with);
  bench::PrintRatio("without / bare loop", without, bare, 1.10, "<= 1.10");
  char target_text[32];
  std::snprintf(target_text, sizeof target_text, "<= %.2f", target);
  bench::PrintRatio("with / bare loop", with, bare, target, target_text);
}

}  // namespace

int main(int argc, char** argv) {
  tallyroot::platform::RaiseOpenFileLimit();
  const std::string root = bench::TreeRoot(argc, argv);
  std::string flat;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) == "--flat") flat = argv[i + 1];
  }
  std::printf("read_ahead_bench %s (%u helpers)\n", root.c_str(),
              tallyroot::platform::GetReadAhead().helpers);
  bench::WarnIfBusy();
  if (bench::BareWalk(root).files == 0) {
    std::fprintf(stderr, "read_ahead_bench: no files under %s (make it with make_tree)\n",
                 root.c_str());
    return 1;
  }

  const bool same = SameWithAndWithout(root);
  Race("nested AllHere walks, as the size analysis walks:", root, true, 0.70);
  if (!flat.empty()) Race("one flat folder:", flat, false, 0.75);
  std::printf("peak resident memory: %.1f MB (target < 100 MB)\n",
              bench::PeakResidentKiB() / 1024.0);
  bench::WarnIfBusy();
  if (!same) std::printf("FAILED: read-ahead changed what the walk published\n");
  return same ? 0 : 1;
}
