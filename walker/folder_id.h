// What makes a folder the same folder, whatever path led to it, and where a
// folder stands in a thread's chain of open folders. The same on every
// platform: POSIX fills it from fstat, Windows from the volume and file ID.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallyroot::platform {

struct FolderId {
  std::uint64_t device = 0;  // the file system (volume) it lives on
  std::uint64_t inode = 0;   // the folder within it
};

// Position in a chain of open folders (0 = the outermost); kNoCycle where
// no folder of the chain is meant.
inline constexpr std::size_t kNoCycle = static_cast<std::size_t>(-1);

}  // namespace tallyroot::platform
