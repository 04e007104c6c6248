#include "tests/support/fixture_tree.h"

#if defined(_WIN32)
#include <windows.h>

#include "walker/windows/wide_names.h"
#else
#include <cstdlib>
#endif

namespace tallyroot::testing {

#if defined(_WIN32)
namespace {

// mingw's std::filesystem lists no folder past 260 characters.
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

std::wstring LongForm(const std::string& path) {
  std::wstring wide = L"\\\\?\\";
  platform::windows::AppendWide(wide, path);
  return wide;
}

}  // namespace

void RemoveTree(const std::string& root) {
  const std::wstring folder = L"\\\\?\\" + std::filesystem::absolute(root).wstring();
  RemoveBelow(folder);
  RemoveDirectoryW(folder.c_str());
}

void MakeFolders(const std::string& path) {
  const std::wstring folder = LongForm(path);
  // Every leading part past "\\?\C:\", then the folder itself.
  for (std::size_t end = folder.find(L'\\', 7);; end = folder.find(L'\\', end + 1)) {
    CreateDirectoryW(folder.substr(0, end).c_str(), nullptr);
    if (end == std::wstring::npos) break;
  }
}

bool MakeFile(const std::string& path, std::uint64_t size) {
  const HANDLE file = CreateFileW(LongForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const LARGE_INTEGER end{.QuadPart = static_cast<LONGLONG>(size)};
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return sized;
}
#else
void RemoveTree(const std::string& root) {  // also unreadable and deeper than any path
  (void)!std::system(("chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'").c_str());
}

void MakeFolders(const std::string& path) { std::filesystem::create_directories(path); }

bool MakeFile(const std::string& path, std::uint64_t size) {
  std::error_code error;
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, size, error);
  return !error;
}
#endif

}  // namespace tallyroot::testing
