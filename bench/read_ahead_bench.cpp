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
#include "walker/find_files.h"
#include "walker/folder_listing.h"

namespace {

namespace bench = tallyroot::bench;
using namespace FindFilesModule;
using tallyroot::platform::ReadAheadSettings;

struct Seen {
  std::uint64_t hash = 14695981039346656037u;
  std::uint64_t entries = 0, dones = 0;
  bool operator==(const Seen&) const = default;
};

Seen gSeen;
unsigned gPassEvery = 0;  // pass over every n-th folder met; 0: none
std::uint64_t gFolders = 0;
bool gAbort = false;

void Hash(std::string_view text) {
  for (const unsigned char c : text) gSeen.hash = (gSeen.hash ^ c) * 1099511628211u;
  gSeen.hash = (gSeen.hash ^ 0x100) * 1099511628211u;
}

void Publish() {
  ++gSeen.entries;
  Hash(FoundEntry.FolderPath);
  Hash(FoundEntry.Name);
  const std::uint64_t size = FoundEntry.Size;
  Hash({reinterpret_cast<const char*>(&size), sizeof size});
  Hash((FoundEntry.Attributes & kFolderAttribute) ? "/" : "");
}

void Done() { ++gSeen.dones; }

// The size analysis' way down: a walk per folder met, from the callback.
void Measure() {
  Publish();
  if (!(FoundEntry.Attributes & kFolderAttribute)) return;
  if (gPassEvery != 0 && ++gFolders % gPassEvery == 0) return;
  FindFiles(Measure, Done, FoundEntry.FullPath, AllHere, gAbort);
}

Seen Walk(const std::string& root, bool nested, unsigned passEvery = 0) {
  gSeen = {};
  gPassEvery = passEvery;
  gFolders = 0;
  FindFiles(nested ? Measure : Publish, Done, root, nested ? AllHere : AllDeep, gAbort);
  return gSeen;
}

void SetAhead(bool on, std::size_t maxBytes = std::size_t{32} << 20) {
  ReadAheadSettings settings = tallyroot::platform::GetReadAhead();
  settings.on = on;
  settings.maxBytesAhead = maxBytes;
  tallyroot::platform::SetReadAhead(settings);
}

// Walks `root` every way with and without read-ahead; false on a difference.
bool SameWithAndWithout(const std::string& root) {
  struct Way {
    const char* name;
    bool nested;
    unsigned passEvery;
    std::size_t maxBytes;
  };
  const Way ways[] = {{"own descent (AllDeep)", false, 0, 32u << 20},
                      {"nested, every folder entered", true, 0, 32u << 20},
                      {"nested, every 2nd passed over", true, 2, 32u << 20},
                      {"nested, every 3rd passed over", true, 3, 32u << 20},
                      {"nested, every 10th passed over", true, 10, 32u << 20},
                      {"nested, at most 64 KiB ahead", true, 0, 64u << 10}};
  bool same = true;
  for (const Way& way : ways) {
    SetAhead(false);
    const Seen without = Walk(root, way.nested, way.passEvery);
    SetAhead(true, way.maxBytes);
    const Seen with = Walk(root, way.nested, way.passEvery);
    const bool equal = with == without;
    same = same && equal;
    std::printf("  %-32s %9llu entries %6llu done  hash %016llx %s\n", way.name,
                static_cast<unsigned long long>(without.entries),
                static_cast<unsigned long long>(without.dones),
                static_cast<unsigned long long>(without.hash), equal ? "same" : "DIFFERENT");
  }
  SetAhead(true);
  return same;
}

// Five rounds of bare loop, walk without and walk with read-ahead.
void Race(const char* what, const std::string& root, bool nested, double target) {
  bench::Series bare, without, with;
  for (int round = 0; round < 5; ++round) {
    bare.Time([&] { bench::BareWalk(root); });
    SetAhead(false);
    without.Time([&] { Walk(root, nested); });
    SetAhead(true);
    with.Time([&] { Walk(root, nested); });
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
