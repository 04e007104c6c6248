// The folder size cache: exact keys, first in first out at 100000 entries,
// indices counted from the oldest entry.
#include <gtest/gtest.h>

#include <string>

#include "folder_cache.h"
#include "size_text.h"

namespace TallyrootModule {
namespace {

std::string Key(int i) { return "/data/" + std::to_string(i) + "/"; }

void Add(int first, int last) {
  for (int i = first; i <= last; ++i) CacheAdd(Key(i), SizeText(static_cast<std::uint64_t>(i)));
}

// How many of the entries first..last are not at index i - offset with their own size.
int Misplaced(int first, int last, int offset) {
  int misplaced = 0;
  for (int i = first; i <= last; ++i) {
    const std::int32_t index = CacheFind(Key(i));
    misplaced += index != i - offset || CacheSize(index) != SizeText(static_cast<std::uint64_t>(i));
  }
  return misplaced;
}

TEST(FolderCache, KeysMatchExactlyAsLinuxPathsDo) {
  CacheCreate();
  EXPECT_EQ(CacheFind("/data/A/"), 0);
  CacheAdd("/data/A/", "000000000001");
  CacheAdd("/data/a/", "000000000002");
  CacheAdd("/data/\xFF/", "0");
  EXPECT_EQ(CacheSize(CacheFind("/data/a/")), "000000000002");
  EXPECT_EQ(CacheSize(CacheFind("/data/\xFF/")), "0");
  for (const char* miss : {"/data/A", "/DATA/A/", "/data//A/", "/data/\xFE/"}) {
    EXPECT_EQ(CacheFind(miss), 0) << miss;
  }
}

TEST(FolderCache, ForgetsTheOldestBeyondAHundredThousand) {
  CacheCreate();
  Add(1, kCacheCapacity);
  EXPECT_EQ(Misplaced(1, kCacheCapacity, 0), 0);
  Add(kCacheCapacity + 1, kCacheCapacity + 1);
  EXPECT_EQ(CacheCount(), kCacheCapacity);
  EXPECT_EQ(CacheFind(Key(1)), 0);
  EXPECT_EQ(Misplaced(2, kCacheCapacity + 1, 1), 0);

  // Rounds later the indices still count from the oldest entry.
  const int last = 2 * kCacheCapacity + 12345;
  Add(kCacheCapacity + 2, last);
  EXPECT_EQ(CacheCount(), kCacheCapacity);
  EXPECT_EQ(CacheFind(Key(last - kCacheCapacity)), 0);
  EXPECT_EQ(Misplaced(last - kCacheCapacity + 1, last, last - kCacheCapacity), 0);
}

TEST(FolderCache, TheOlderOfTwoEqualKeysWinsUntilItIsForgotten) {
  CacheCreate();
  CacheAdd("/dup/", "000000000001");
  CacheAdd("/dup/", "000000000002");
  Add(3, kCacheCapacity);
  EXPECT_EQ(CacheSize(CacheFind("/dup/")), "000000000001");
  Add(kCacheCapacity + 1, kCacheCapacity + 1);
  ASSERT_EQ(CacheFind("/dup/"), 1);
  EXPECT_EQ(CacheSize(1), "000000000002");
  Add(kCacheCapacity + 2, kCacheCapacity + 2);
  EXPECT_EQ(CacheFind("/dup/"), 0);
  CacheAdd("/dup/", "000000000009");
  EXPECT_EQ(CacheFind("/dup/"), kCacheCapacity);
}

}  // namespace
}  // namespace TallyrootModule
