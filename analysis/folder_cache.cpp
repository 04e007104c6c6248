#include "analysis/folder_cache.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "walker/folder_listing.h"

namespace TallyrootModule {
namespace {

// Hashes at most the first and the last kHashedEnd bytes of a path, and its
// length: a path thousands of folders deep is looked up and added once per
// level, and hashing it whole would make a deep chain cost the square of its
// depth. Paths that share both ends and their length differ only in the
// middle, which folders as real trees hold them seldom do.
constexpr std::size_t kHashedEnd = 256;
std::size_t HashPath(std::string_view path) {
  const std::hash<std::string_view> hash;
  if (path.size() <= 2 * kHashedEnd) return hash(path);
  const std::size_t head = hash(path.substr(0, kHashedEnd));
  const std::size_t tail = hash(path.substr(path.size() - kHashedEnd));
  return (head * 0x9E3779B97F4A7C15ULL) ^ tail ^ (path.size() * 0xC2B2AE3D27D4EB4FULL);
}

// A key is a leading part of a shared block of bytes. Folders are added
// deepest first, so a folder's key is usually a leading part of the key
// added just before it (that of its last subfolder), and shares its block:
// a chain of folders keeps one copy of its deepest path, not one per level.
// A block is one allocation, its bytes beside its count of users.
struct SharedKey {
  std::shared_ptr<char[]> block;
  std::size_t capacity = 0;  // the block's bytes
  std::size_t length = 0;    // the key's
  std::string_view View() const { return {block.get(), length}; }
};

struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const { return HashPath(path); }
  std::size_t operator()(const SharedKey& key) const { return HashPath(key.View()); }
};

struct PathEqual {
  using is_transparent = void;
  static std::string_view View(std::string_view path) { return path; }
  static std::string_view View(const SharedKey& key) { return key.View(); }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return View(a) == View(b);
  }
};

// A FIFO ring of entries plus a hash index from path to the oldest and
// newest entry with that path. Entries carry consecutive sequence numbers;
// entry `seq` lives in slot seq % capacity, and entries sharing a path are
// linked oldest to newest so that evicting one hands the lookup to the next.
struct Chain {
  std::uint64_t oldest;
  std::uint64_t newest;
};

using Index = std::unordered_map<SharedKey, Chain, PathHash, PathEqual>;

struct Entry {
  // The entry's path in the index. The index never rehashes (its buckets are
  // reserved for a full cache), so this stays valid, and evicting the entry
  // needs no second lookup of its path.
  Index::iterator node;
  std::string size;
  std::uint64_t nextSamePath;  // 0 = none
  std::uint32_t unread;
};

struct Cache {
  std::vector<Entry> ring;
  Index index;
  std::uint64_t oldestSeq = 1;
  std::uint64_t nextSeq = 1;
  SharedKey lastKey;                // the key added last, whose block the next may share
  std::uint64_t blocksWritten = 0;  // changes whenever lastKey's bytes do

  // The key for `path`: a leading part of the last key's block if it is
  // one, else `spare` (the key of an evicted entry) when nothing else uses
  // its block and the path fits, else a new block. The first `known` bytes
  // of the path are known to equal the block's.
  SharedKey KeyOf(std::string_view path, std::size_t known, SharedKey spare = {}) {
    const bool leading =
        lastKey.block && path.size() <= lastKey.capacity &&
        std::string_view(lastKey.block.get() + known, path.size() - known) == path.substr(known);
    if (!leading) {
      ++blocksWritten;
      if (spare.block && spare.block.use_count() == 1 && spare.capacity >= path.size()) {
        lastKey = std::move(spare);
      } else {
        lastKey.block = std::make_shared<char[]>(path.size());
        lastKey.capacity = path.size();
      }
      path.copy(lastKey.block.get(), path.size());
    }
    lastKey.length = path.size();
    return lastKey;
  }

  Entry& Slot(std::uint64_t seq) { return ring[(seq - 1) % kCacheCapacity]; }
  std::int32_t Count() const { return static_cast<std::int32_t>(nextSeq - oldestSeq); }

  // Forgets the oldest entry. Returns its index node when no newer entry
  // shares its path, so that the next insertion can reuse the node instead
  // of allocating one.
  Index::node_type EvictOldest() {
    Entry& oldest = Slot(oldestSeq++);
    if (oldest.nextSamePath != 0) {
      oldest.node->second.oldest = oldest.nextSamePath;
      return {};
    }
    return index.extract(oldest.node);
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
  cache.lastKey = {};
  ++cache.blocksWritten;
}

std::int32_t CacheFind(std::string_view path) {
  Cache& cache = TheCache();
  const auto found = cache.index.find(path);
  if (found == cache.index.end()) return 0;
  return static_cast<std::int32_t>(found->second.oldest - cache.oldestSeq + 1);
}

namespace {

// Adds the entry; `known` leading bytes of the path equal the last key's.
// Returns whether the last key is now the path.
bool Add(std::string_view path, std::string_view size, std::uint32_t unread, std::size_t known) {
  Cache& cache = TheCache();
  Index::node_type spare;
  if (cache.Count() >= kCacheCapacity) spare = cache.EvictOldest();

  const std::uint64_t seq = cache.nextSeq++;
  auto node = cache.index.find(path);
  if (node != cache.index.end()) {
    cache.Slot(node->second.newest).nextSamePath = seq;
    node->second.newest = seq;
  } else if (spare) {
    spare.key() = cache.KeyOf(path, known, std::move(spare.key()));
    spare.mapped() = Chain{seq, seq};
    node = cache.index.insert(std::move(spare)).position;
  } else {
    node = cache.index.emplace(cache.KeyOf(path, known), Chain{seq, seq}).first;
  }

  if (cache.ring.size() < static_cast<std::size_t>(kCacheCapacity)) {
    cache.ring.push_back(Entry{node, std::string(size), 0, unread});  // slots fill in order
  } else {
    Entry& slot = cache.Slot(seq);
    slot.node = node;
    slot.size.assign(size);
    slot.nextSamePath = 0;
    slot.unread = unread;
  }
  return node->first.block == cache.lastKey.block && node->first.length == cache.lastKey.length;
}

}  // namespace

void CacheAdd(std::string_view path, std::string_view size, std::uint32_t unread) {
  Add(path, size, unread, 0);
}

void KeyPath::AppendFolder(std::string_view name) {
  text_.append(name) += tallyroot::platform::kSeparator;
}

void CacheAdd(KeyPath& path, std::string_view size, std::uint32_t unread) {
  Cache& cache = TheCache();
  const bool same = path.matchedKey_ == cache.blocksWritten;
  if (Add(path.text_, size, unread, same ? path.matched_ : 0)) {
    path.matchedKey_ = cache.blocksWritten;
    path.matched_ = path.text_.size();
  }
}

namespace {
const Entry& At(std::int32_t index) {
  Cache& cache = TheCache();
  return cache.Slot(cache.oldestSeq + static_cast<std::uint64_t>(index) - 1);
}
}  // namespace

const std::string& CacheSize(std::int32_t index) { return At(index).size; }

std::uint32_t CacheUnread(std::int32_t index) { return At(index).unread; }

std::int32_t CacheCount() { return TheCache().Count(); }

}  // namespace TallyrootModule
