// One entry as a folder listing gives it: what the platform's listing and
// the read-ahead beneath it hand upward alike.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallyroot::platform {

// `name` is the raw name field (on Windows the name in WTF-8, see
// walker/windows/wide_names.h), at most 255 bytes on POSIX and possibly
// padded with NULs, which the caller cuts off; it stays valid until the next
// call of Next on the same listing.
struct ListedEntry {
  std::string_view name;
  bool isFolder = false;
  std::uint64_t size = 0;  // apparent size in bytes; 0 for a folder
};

}  // namespace tallyroot::platform
