// The folder size cache: the total of every folder measured so far, keyed by
// the folder's path (ending with the separator), for the life of the process.
//
// Contract:
//  - At most kCacheCapacity entries. Adding to a full cache first forgets the
//    oldest entry; age is the order of insertion, and lookups do not refresh it.
//  - Entries are addressed by index, 1 = the oldest .. CacheCount() = the
//    newest; an index stays valid until the next CacheAdd.
//  - CacheFind returns the oldest entry whose path matches, or 0. Paths match
//    exactly where the file system tells letter case apart (Linux), and
//    ignoring case where it does not.
//  - CacheAdd does not look for an existing entry; callers add only after a
//    miss. The size text is kept as given ("0" stays "0"), and beside it the
//    number of folders at or below the folder that could not be read, which
//    makes the size a lower bound.
//  - Lookups and insertions take constant time on average, whatever the
//    path's length, but for a comparison of the path with the key it
//    matches; keys share their leading parts, so a chain of folders costs
//    memory by its depth, not by the square of it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TallyrootModule {

inline constexpr std::int32_t kCacheCapacity = 100000;

void CacheCreate();  // empties the cache
std::int32_t CacheFind(std::string_view path);
void CacheAdd(std::string_view path, std::string_view size, std::uint32_t unread = 0);
const std::string& CacheSize(std::int32_t index);
std::uint32_t CacheUnread(std::int32_t index);
std::int32_t CacheCount();

}  // namespace TallyrootModule
