// How a platform layer recognises the walk entering a child of the folder it
// has open innermost, which it then opens relative to that folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "walker/folder_listing.h"

namespace tallyroot::platform {

// The name of `folderPath` in the folder whose path is the first
// `parentLength` bytes of `parentPath`, when it is a direct child of it (the
// path being that folder's, the name and a separator).
inline std::optional<std::string_view> ChildName(const std::string& folderPath,
                                                 const std::string& parentPath,
                                                 std::size_t parentLength) {
  // The same string grown since (as the walker passes it) still starts with
  // the parent's path; only another string needs comparing.
  if (folderPath.size() <= parentLength + 1 ||
      (&folderPath != &parentPath &&
       folderPath.compare(0, parentLength, parentPath, 0, parentLength) != 0)) {
    return std::nullopt;
  }
  const std::string_view rest(folderPath.data() + parentLength,
                              folderPath.size() - parentLength - 1);
  if (rest.find(kSeparator) != std::string_view::npos) return std::nullopt;
  return rest;
}

}  // namespace tallyroot::platform
