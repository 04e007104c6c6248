#include "walker/windows/listing_calls.h"

#include <string_view>

#include "walker/windows/path_rules.h"

namespace tallyroot::platform::windows {
namespace {

std::atomic<std::uint64_t> gFindFirst{0}, gFindNext{0}, gOther{0};

void Count(std::atomic<std::uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

CallCounts CountedCalls() {
  return {gFindFirst.load(std::memory_order_relaxed), gFindNext.load(std::memory_order_relaxed),
          gOther.load(std::memory_order_relaxed)};
}

// Names and sizes come with the listing (FindExInfoBasic leaves out only the
// short 8.3 name), in large batches; nothing is opened, so a cloud-file
// placeholder is listed without being recalled.
HANDLE FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW& data) {
  Count(gFindFirst);
  return FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                          FIND_FIRST_EX_LARGE_FETCH);
}

bool FindNext(HANDLE find, WIN32_FIND_DATAW& data) {
  Count(gFindNext);
  return FindNextFileW(find, &data) != 0;
}

void FindEnd(HANDLE find) { FindClose(find); }

DWORD FullPath(const wchar_t* path, DWORD capacity, wchar_t* out) {
  Count(gOther);
  return GetFullPathNameW(path, capacity, out, nullptr);
}

bool LongFolderPath(const std::string& folderPath, std::wstring& out) {
  std::wstring given;
  AppendWide(given, folderPath);
  if (IsFullyQualified(std::wstring_view(given))) {
    out = LongPath(given);
    if (out.back() != L'\\') out += L'\\';
    return true;
  }
  std::wstring full(given.size() + MAX_PATH, L'\0');
  DWORD length = FullPath(given.c_str(), static_cast<DWORD>(full.size()), full.data());
  if (length >= full.size()) {
    full.resize(length);
    length = FullPath(given.c_str(), static_cast<DWORD>(full.size()), full.data());
  }
  if (length == 0 || length >= full.size()) return false;
  full.resize(length);
  if (full.back() != L'\\') full += L'\\';
  out = LongPath(full);
  return true;
}

}  // namespace tallyroot::platform::windows
