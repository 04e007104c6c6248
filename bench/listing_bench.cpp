// listing_bench [ROOT]: a listing of ROOT with no view, and the folder cache.
//
// Lists ROOT (default /tmp/tallyroot-bench-500k) with RunListing, as the
// window does, into a FolderList with the throttled event pass, starting
// from an empty cache each time; five rounds, alternating with the bare loop. Then times CacheFind
// and CacheAdd on a full cache of 100000 realistic paths.
//
// Where the walker reads ahead with helper threads, the listing runs both with
// and without read-ahead.
//
// listing_bench ROOT --profile: six listings with an empty cache and nothing
// else, for perf, callgrind or strace. --no-read-ahead turns read-ahead off
// throughout.
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "analysis/event_pass.h"
#include "analysis/folder_cache.h"
#include "analysis/listing_window.h"
#include "analysis/size_text.h"
#include "analysis/tallyroot_module.h"
#include "bench/alloc_count.h"
#include "bench/bench_random.h"
#include "bench/bench_support.h"
#include "list/folder_list.h"
#include "list/name_text.h"
#include "tests/support/scoped_read_ahead.h"
#include "walker/find_files.h"

namespace {

namespace bench = tallyroot::bench;
using namespace TallyrootModule;

class BenchWindow final : public ListingWindow {
 public:
  explicit BenchWindow(const std::string& folder) : path_(tallyroot::NameToText(folder)) {}
  QString PathText() const override { return path_; }
  QString RootText() const override { return path_; }
  tallyroot::FolderList& List() override { return list_; }
  void PassEvents() override { pass_(); }

 private:
  QString path_;
  tallyroot::FolderList list_;
  ThrottledEventPass pass_{list_};
};

std::uint64_t CachedTotal(const std::string& folder) {
  const std::int32_t found = CacheFind(folder);
  return found == 0 ? 0 : SizeValue(CacheSize(found));
}

int BenchListing(const std::string& root, bool profile) {
  const std::string folder = root + '/';
  BenchWindow window(folder);
  SetWindow(&window);
  if (profile) {
    for (int run = 0; run < 6; ++run) {
      CacheCreate();
      RunListing(folder);
    }
    std::printf("listed in %d rows 6 times\n", window.List().Count());
    SetWindow(nullptr);
    return 0;
  }

  const bench::Tally expected = bench::BareWalk(root);  // warm-up
  if (expected.files == 0) {
    std::fprintf(stderr, "listing_bench: no files under %s (make it with make_tree)\n",
                 root.c_str());
    return 1;
  }

  // The listing as the program runs it and, where that reads ahead with
  // helper threads, also without read-ahead.
  struct Contender {
    const char* name;
    bool readAhead;
    bench::Series cold, warm;
    std::uint64_t coldAllocations = 0, warmAllocations = 0;
  };
  std::vector<Contender> listings;
  if (bench::ReadAheadByDefault()) listings.push_back({"listing, read-ahead", true, {}, {}});
  listings.push_back({"listing", false, {}, {}});
  bench::Series bare;
  bool same = true;
  const auto timeListing = [&](bench::Series& series, std::uint64_t& allocations) {
    const std::uint64_t before = bench::AllocationCount();
    series.Time([&] { RunListing(folder); });
    allocations += bench::AllocationCount() - before;
    same = same && CachedTotal(folder) == expected.bytes;
  };
  const auto runListing = [&](Contender& c) {
    const tallyroot::testing::ScopedReadAhead readAhead(c.readAhead);
    CacheCreate();
    timeListing(c.cold, c.coldAllocations);
    timeListing(c.warm, c.warmAllocations);  // the same folder from the cache
  };
  for (Contender& c : listings) {  // warm-up, not counted
    runListing(c);
    c = Contender{c.name, c.readAhead, {}, {}};
  }
  for (int round = 0; round < 5; ++round) {
    // Rotating the order spreads any drift of the machine over all.
    const std::size_t turns = listings.size() + 1;
    for (std::size_t turn = 0; turn < turns; ++turn) {
      const std::size_t who = (round + turn) % turns;
      if (who == listings.size()) {
        bench::Tally got;
        bare.Time([&] { got = bench::BareWalk(root); });
        same = same && got == expected;
      } else {
        runListing(listings[who]);
      }
    }
  }

  const double entries = static_cast<double>(expected.files + expected.folders);
  const double folders = static_cast<double>(expected.folders + 1);
  std::printf(
      "tree: %llu files, %llu folders, %llu bytes; root listed in %d rows; %d folders "
      "cached\n",
      static_cast<unsigned long long>(expected.files),
      static_cast<unsigned long long>(expected.folders),
      static_cast<unsigned long long>(expected.bytes), window.List().Count(), CacheCount());
  bench::Print("bare loop", bare);
  for (const Contender& c : listings) {
    bench::Print((std::string(c.name) + ", empty cache").c_str(), c.cold);
    bench::Print((std::string(c.name) + " again, from cache").c_str(), c.warm);
  }
  for (const Contender& c : listings) {
    bench::PrintRatio((std::string(c.name) + " / bare loop").c_str(), c.cold, bare, 1.15,
                      "<= 1.15");
  }
  for (const Contender& c : listings) {
    std::printf("%s: %.0f heap allocations (%.4f per entry, %.2f per folder); from cache: %.0f\n",
                c.name, c.coldAllocations / 5.0, c.coldAllocations / 5.0 / entries,
                c.coldAllocations / 5.0 / folders, c.warmAllocations / 5.0);
  }
  std::printf("peak resident memory so far: %.1f MB\n", bench::PeakResidentKiB() / 1024.0);
  SetWindow(nullptr);
  if (!same) {
    std::printf("MISMATCH: a listing's total differs from the bare loop's %llu bytes\n",
                static_cast<unsigned long long>(expected.bytes));
    return 1;
  }
  std::printf("every listing's total equals the bare loop's byte count\n");
  return 0;
}

// Folder paths of 60..100 bytes that look like the ones a disk holds, all
// different (the last part carries `serial`).
std::string FolderPath(bench::SplitMix64& random, std::uint64_t serial) {
  static const char* const kParts[] = {
      "home",     "anna",       "projects", "src",        "node_modules",     "lib",
      "photos",   "2019-08-14", "Holiday",  "build",      "Release",          "cache",
      "share",    "Documents",  "invoices", "thumbnails", "x86_64-linux-gnu", "assets",
      "textures", "v2"};
  const std::string last = "folder-" + std::to_string(serial) + '/';
  const std::size_t length = 60 + random.Below(41);
  std::string path = "/";
  while (path.size() + last.size() < length) {
    path += kParts[random.Below(std::size(kParts))];
    path += '/';
  }
  return path + last;
}

void Shuffle(std::vector<std::string>& paths, bench::SplitMix64& random) {
  for (std::size_t i = paths.size(); i > 1; --i) std::swap(paths[i - 1], paths[random.Below(i)]);
}

template <typename Op>
double NanosPerOp(const std::vector<std::string>& paths, Op&& op) {
  return bench::Seconds([&] {
           for (const std::string& path : paths) op(path);
         }) /
         static_cast<double>(paths.size()) * 1e9;
}

void BenchCache() {
  bench::SplitMix64 random(7);
  const std::size_t n = kCacheCapacity;
  std::vector<std::string> sets[2];
  std::size_t pathBytes = 0;
  for (int s = 0; s < 2; ++s) {
    for (std::size_t i = 0; i < n; ++i) {
      sets[s].push_back(FolderPath(random, s * n + i));
      pathBytes += sets[s].back().size();
    }
  }
  std::vector<std::string> sizes;
  for (std::size_t i = 0; i < 1000; ++i) sizes.push_back(SizeText(random.Below(1ull << 40)));

  std::uint64_t sink = 0;
  std::size_t next = 0;
  const auto add = [&](const std::string& path) { CacheAdd(path, sizes[next++ % sizes.size()]); };
  const auto find = [&](const std::string& path) {
    sink += static_cast<std::uint64_t>(CacheFind(path));
  };

  CacheCreate();
  const long before = bench::ResidentKiB();
  const double fill = NanosPerOp(sets[0], add);
  const long filled = bench::ResidentKiB();

  // Each round adds the other set to the full cache (every add evicts the
  // oldest entry), then looks up the set now held (hits) and the one just
  // evicted (misses), each in a fresh random order.
  std::vector<double> adds, hits, misses;
  for (int round = 0; round < 5; ++round) {
    const int held = (round + 1) % 2;
    adds.push_back(NanosPerOp(sets[held], add));
    Shuffle(sets[0], random);
    Shuffle(sets[1], random);
    hits.push_back(NanosPerOp(sets[held], find));
    misses.push_back(NanosPerOp(sets[1 - held], find));
  }
  std::printf("folder cache, %zu paths of 60..100 bytes (mean %.0f):\n", n,
              static_cast<double>(pathBytes) / (2.0 * static_cast<double>(n)));
  std::printf("  CacheAdd into the empty cache  %6.0f ns/op\n", fill);
  std::printf("  CacheAdd on the full cache     %6.0f ns/op (median; evicts the oldest)\n",
              bench::Median(adds));
  std::printf("  CacheFind hit                  %6.0f ns/op (median)\n", bench::Median(hits));
  std::printf("  CacheFind miss                 %6.0f ns/op (median)\n", bench::Median(misses));
  std::printf("  resident memory of the full cache: %.1f MB (%.0f bytes per entry)\n",
              (filled - before) / 1024.0, (filled - before) * 1024.0 / static_cast<double>(n));
  const double worst = std::max({bench::Median(adds), bench::Median(hits), bench::Median(misses)});
  std::printf("slowest cache operation: %.0f ns (target < 1000)%s\n", worst,
              worst < 1000 ? "" : "  MISSED");
  if (sink == 0) std::printf("(no hits?)\n");
  CacheCreate();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string root = bench::TreeRoot(argc, argv);
  tallyroot::platform::RaiseOpenFileLimit();
  std::printf("listing_bench %s\n", root.c_str());
  bench::WarnIfBusy();
  bench::ApplyNoReadAheadFlag(argc, argv);
  const bool profile = bench::HasFlag(argc, argv, "--profile");
  const int result = BenchListing(root, profile);
  if (!profile) BenchCache();
  return result;
}
