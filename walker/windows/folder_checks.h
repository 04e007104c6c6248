// What becomes of a folder about to be listed on Windows, for the walking
// thread's listings and the read-ahead's alike, so that both decide every
// case the same way.
//
// Only real folders are entered (every reparse point that stands for another
// name is a file, see JudgeEntry), but a server that follows links itself (a
// Samba share, or wine's drive Z:) hands a link to a folder above as a plain
// folder, and a walk into it would repeat that folder until a path grew too
// long. A folder is therefore told by its identity, as on POSIX by device and
// inode. The kernel's folders at the root of a WSL share count as empty, as
// kernel file systems do on POSIX.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "walker/folder_id.h"

namespace tallyroot::platform::windows {

enum class Verdict {
  List,   // list it
  Empty,  // a kernel folder of a WSL share: complete, and empty
  Cycle,  // already open further up: cut short
};

// Whether `a` and `b` are known to be the same folder.
inline bool SameFolder(const FolderId& a, const FolderId& b) {
  return (a.inode != 0 || a.inodeHigh != 0) && a.device == b.device && a.inode == b.inode &&
         a.inodeHigh == b.inodeHigh;
}

// The verdict on the folder `longPath` ("\\?\C:\x\") inside the folders
// `chain` open around it (outermost first); for a cycle, `cycleAt` learns
// the position of the same folder in the chain. `id` learns the folder's
// identity (unknown where it cannot be read: such a folder is listed).
// `outermost`: the folder is the first of a walk, which may be reached
// through a link; any other is one that a listing gave as a real folder.
Verdict JudgeFolder(const std::wstring& longPath, bool outermost, std::span<const FolderId> chain,
                    FolderId& id, std::size_t& cycleAt);

// The folders named by the leading parts of `longPath` ("\\?\C:\",
// "\\?\C:\x\", ...; not the path itself) whose identity is known, into
// `out`: a folder met below that is one of them lies above the walk.
void ReadFoldersAbove(const std::wstring& longPath, std::vector<FolderId>& out);

}  // namespace tallyroot::platform::windows
