#include "folder_cache.h"

#include <QString>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "folder_listing.h"
#include "name_text.h"

namespace TallyrootModule {
namespace {

// Where paths ignore case, keys compare in the locale's upper case; where
// they do not, the path itself is the key and a lookup copies nothing.
using Key = std::conditional_t<tallyroot::platform::kPathsIgnoreCase, std::string, std::string_view>;
Key FoldKey(std::string_view path) {
  if constexpr (tallyroot::platform::kPathsIgnoreCase) {
    return tallyroot::TextToName(tallyroot::NameToText(path).toUpper());
  } else {
    return path;
  }
}

struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};

// A FIFO ring of entries plus a hash index from path to the oldest and
// newest entry with that path. Entries carry consecutive sequence numbers;
// entry `seq` lives in slot seq % capacity, and entries sharing a path are
// linked oldest to newest so that evicting one hands the lookup to the next.
struct Chain {
  std::uint64_t oldest;
  std::uint64_t newest;
};

struct Entry {
  const std::string* path;  // the index's key; nodes never move
  std::string size;
  std::uint64_t nextSamePath;  // 0 = none
};

struct Cache {
  std::vector<Entry> ring;
  std::unordered_map<std::string, Chain, PathHash, std::equal_to<>> index;
  std::uint64_t oldestSeq = 1;
  std::uint64_t nextSeq = 1;

  Entry& Slot(std::uint64_t seq) { return ring[(seq - 1) % kCacheCapacity]; }
  std::int32_t Count() const { return static_cast<std::int32_t>(nextSeq - oldestSeq); }

  void EvictOldest() {
    Entry& oldest = Slot(oldestSeq);
    auto found = index.find(*oldest.path);
    if (oldest.nextSamePath != 0) {
      found->second.oldest = oldest.nextSamePath;
    } else {
      index.erase(found);
    }
    ++oldestSeq;
  }
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

}  // namespace

void CacheCreate() {
  Cache& cache = TheCache();
  cache.ring.clear();
  cache.index.clear();
  cache.index.reserve(kCacheCapacity);  // no rehashing as the cache fills
  cache.oldestSeq = cache.nextSeq = 1;
}

std::int32_t CacheFind(std::string_view path) {
  Cache& cache = TheCache();
  const auto found = cache.index.find(FoldKey(path));
  if (found == cache.index.end()) return 0;
  return static_cast<std::int32_t>(found->second.oldest - cache.oldestSeq + 1);
}

void CacheAdd(std::string_view path, std::string_view size) {
  Cache& cache = TheCache();
  if (cache.Count() >= kCacheCapacity) cache.EvictOldest();

  const std::uint64_t seq = cache.nextSeq++;
  auto [node, inserted] = cache.index.try_emplace(std::string(FoldKey(path)), Chain{seq, seq});
  if (!inserted) {
    cache.Slot(node->second.newest).nextSamePath = seq;
    node->second.newest = seq;
  }
  Entry entry{&node->first, std::string(size), 0};
  if (cache.ring.size() < static_cast<std::size_t>(kCacheCapacity)) {
    cache.ring.push_back(std::move(entry));  // slots fill in order 1, 2, ...
  } else {
    cache.Slot(seq) = std::move(entry);
  }
}

const std::string& CacheSize(std::int32_t index) {
  Cache& cache = TheCache();
  return cache.Slot(cache.oldestSeq + static_cast<std::uint64_t>(index) - 1).size;
}

std::int32_t CacheCount() { return TheCache().Count(); }

}  // namespace TallyrootModule
