// The folder size cache: the total of every folder measured so far, keyed by
// the folder's path (ending with the separator), for the life of the process.
//
// Contract:
//  - At most kCacheCapacity entries. Adding to a full cache first forgets the
//    oldest entry; age is the order of insertion, and lookups do not refresh it.
//  - Entries are addressed by index, 1 = the oldest .. CacheCount() = the
//    newest; an index stays valid until the next CacheAdd.
//  - CacheFind returns the oldest entry whose path equals the given one, or
//    0. Paths are compared exactly, also where the file system ignores
//    letter case: folded keys would let two folders share one total where
//    the file system keeps their names apart (in a folder made to tell case
//    apart, or for names such as "Maße" and "MASSE", which full Unicode
//    upper-casing makes one but Windows does not). A miss only costs a new
//    measurement; a false hit shows a wrong figure. Every path the program
//    keeps is made of a typed path given the file system's own letter case
//    (TypedFolderPath) and of names as the listing gives them, so paths that
//    differ only in how they were typed still share their entries.
//  - CacheAdd does not look for an existing entry; callers add only after a
//    miss. The size text is kept as given ("0" stays "0"), and beside it the
//    number of folders at or below the folder that could not be read, which
//    makes the size a lower bound.
//  - Lookups and insertions take constant time on average, whatever the
//    path's length, but for a comparison of the path with the key it
//    matches; keys share their leading parts, so a chain of folders costs
//    memory by its depth, not by the square of it. A path added as a KeyPath
//    is compared with the key added before it only as far as it changed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace TallyrootModule {

inline constexpr std::int32_t kCacheCapacity = 100000;

void CacheCreate();  // empties the cache
std::int32_t CacheFind(std::string_view path);
void CacheAdd(std::string_view path, std::string_view size, std::uint32_t unread = 0);

// A folder's path that grows and is cut back by whole folders, as a
// measurement's does while it descends and returns. It remembers how much of
// it was last found equal to the key the cache added last: the folders of a
// chain are added deepest first, each a leading part of the one before, and
// sharing that key's bytes then costs no comparison of the whole path.
class KeyPath {
 public:
  KeyPath& operator=(std::string_view path) {
    text_.assign(path);
    matched_ = 0;
    return *this;
  }
  void AppendFolder(std::string_view name);  // the name and a separator
  void Cut(std::size_t length) {             // back to its first `length` bytes
    text_.resize(length);
    matched_ = std::min(matched_, length);
  }
  const std::string& Text() const { return text_; }
  operator std::string_view() const { return text_; }

 private:
  friend void CacheAdd(KeyPath& path, std::string_view size, std::uint32_t unread);
  std::string text_;
  std::uint64_t matchedKey_ = 0;  // the cache's count of key blocks written when matched_ was found
  std::size_t matched_ = 0;       // leading bytes equal to that key's
};
void CacheAdd(KeyPath& path, std::string_view size, std::uint32_t unread = 0);
const std::string& CacheSize(std::int32_t index);
std::uint32_t CacheUnread(std::int32_t index);
std::int32_t CacheCount();

}  // namespace TallyrootModule
