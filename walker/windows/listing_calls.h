// The system calls of the Windows listing, made through here and counted, so
// that a test can hold the layer to one search and one identity read per
// folder and no call per file.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "walker/folder_id.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform::windows {

struct CallCounts {
  std::uint64_t findFirst = 0;   // FindFirst: one per listed folder
  std::uint64_t findNext = 0;    // FindNextFileW: one per entry after the first, and the end
  std::uint64_t identities = 0;  // ReadFolderId: one per folder, and one per folder above a walk
  std::uint64_t other = 0;       // anything else that touches the file system
};

// The calls made through this layer since the process began, on all threads.
CallCounts CountedCalls();

// Opens a search (FindFirstFileExW), in the form its volume answers (see
// search_forms.h).
HANDLE FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW& data);
bool FindNext(HANDLE find, WIN32_FIND_DATAW& data);
void FindEnd(HANDLE find);
// The absolute form of `path` written to `out`; 0 on failure,
// or the length needed when `capacity` is too small, as GetFullPathNameW.
DWORD FullPath(const wchar_t* path, DWORD capacity, wchar_t* out);

// The identity of the folder `longPath` names (unknown where it cannot be
// read), through a handle opened with no access rights and full sharing,
// so that nothing of it is read, recalled from the cloud or locked. A link
// is followed only with `followLink`.
FolderId ReadFolderId(const std::wstring& longPath, bool followLink);

// What FindFirst calls to open a search, FindFirstFileExW by default. A
// test puts in one that plays a server refusing the fast form; putting one
// in (or none, for the default) forgets which volumes refused.
using SearchOpener = HANDLE (*)(const wchar_t* pattern, FINDEX_INFO_LEVELS level,
                                WIN32_FIND_DATAW* data, DWORD flags);
void SetSearchOpener(SearchOpener opener);

// What an entry that a search found counts as (see JudgeEntry).
inline JudgedEntry JudgeFound(const WIN32_FIND_DATAW& data) {
  return JudgeEntry(data.dwFileAttributes, data.dwReserved0, data.nFileSizeHigh, data.nFileSizeLow);
}

// The long form of the folder `folderPath` as the system takes it
// ("\\?\C:\x\", see LongPath), ending with the separator, into `out`: a
// fully qualified path (every path the program made itself) as it is, any
// other made absolute by the system first (see IsFullyQualified); false
// when it cannot be.
bool LongFolderPath(const std::string& folderPath, std::wstring& out);

}  // namespace tallyroot::platform::windows
