// What makes a folder the same folder, whatever path led to it, and where a
// folder stands in a thread's chain of open folders. The same on every
// platform: POSIX fills it from fstat (device, inode), Windows from the
// volume's serial number and the folder's file ID, which is 128 bits on
// ReFS. Where Windows gives no file ID, both halves stay 0 and the folder
// is no other's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallyroot::platform {

struct FolderId {
  std::uint64_t device = 0;     // the file system (volume) it lives on
  std::uint64_t inode = 0;      // the folder within it (on Windows the low half of its file ID)
  std::uint64_t inodeHigh = 0;  // the high half of a Windows file ID; 0 on POSIX
};

// Position in a chain of open folders (0 = the outermost); kNoCycle where
// no folder of the chain is meant.
inline constexpr std::size_t kNoCycle = static_cast<std::size_t>(-1);

}  // namespace tallyroot::platform
