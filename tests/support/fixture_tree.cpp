#include "tests/support/fixture_tree.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace tallyroot::testing {

#if defined(_WIN32)
namespace {

// std::filesystem lists no folder whose path passes 260 characters with
// mingw-w64's runtime, so a deep tree would stay; the system's own calls
// take any length in the long-path form ("\\?\C:\...").
void RemoveBelow(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      RemoveBelow(path);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || !RemoveDirectoryW(path.c_str()))
      DeleteFileW(path.c_str());
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

}  // namespace

void RemoveTree(const std::string& root) {
  const std::wstring folder = L"\\\\?\\" + std::filesystem::absolute(root).wstring();
  RemoveBelow(folder);
  RemoveDirectoryW(folder.c_str());
}
#else
void RemoveTree(const std::string& root) {
  // By tools that reopen unreadable folders and take trees deeper than any path.
  (void)!std::system(("chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'").c_str());
}
#endif

}  // namespace tallyroot::testing
