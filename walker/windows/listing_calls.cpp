#include "walker/windows/listing_calls.h"

#include <cstring>
#include <string_view>

#include "walker/windows/path_rules.h"
#include "walker/windows/search_forms.h"

namespace tallyroot::platform::windows {
namespace {

std::atomic<std::uint64_t> gFindFirst{0}, gFindNext{0}, gIdentities{0}, gOther{0};

void Count(std::atomic<std::uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

HANDLE SystemSearch(const wchar_t* pattern, FINDEX_INFO_LEVELS level, WIN32_FIND_DATAW* data,
                    DWORD flags) {
  return FindFirstFileExW(pattern, level, data, FindExSearchNameMatch, nullptr, flags);
}

std::atomic<SearchOpener> gOpener{SystemSearch};

// Never destroyed: a helper may still search while the program ends.
PlainSearchVolumes<std::wstring>& PlainVolumes() {
  static auto* const volumes = new PlainSearchVolumes<std::wstring>;
  return *volumes;
}

// A handle, closed with the object.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

CallCounts CountedCalls() {
  return {gFindFirst.load(std::memory_order_relaxed), gFindNext.load(std::memory_order_relaxed),
          gIdentities.load(std::memory_order_relaxed), gOther.load(std::memory_order_relaxed)};
}

// In the fast form, names and sizes come with the listing (FindExInfoBasic
// leaves out only the short 8.3 name), in large batches; in either form
// nothing is opened, so a cloud-file placeholder is listed without being
// recalled.
HANDLE FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW& data) {
  Count(gFindFirst);
  const SearchOpener opener = gOpener.load(std::memory_order_acquire);
  return OpenSearch<std::wstring>(
      std::wstring_view(pattern), PlainVolumes(), INVALID_HANDLE_VALUE,
      [&](bool fast) {
        return fast ? opener(pattern, FindExInfoBasic, &data, FIND_FIRST_EX_LARGE_FETCH)
                    : opener(pattern, FindExInfoStandard, &data, 0);
      },
      [] { return static_cast<std::uint32_t>(GetLastError()); });
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

FolderId ReadFolderId(const std::wstring& longPath, bool followLink) {
  Count(gIdentities);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const Handle folder(CreateFileW(longPath.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
  if (folder.get() == INVALID_HANDLE_VALUE) return {};
  // The 128-bit file ID where the system has it (ReFS needs all of it),
  // else the 64-bit file index.
  FILE_ID_INFO info{};
  if (GetFileInformationByHandleEx(folder.get(), FileIdInfo, &info, sizeof info)) {
    FolderId id{info.VolumeSerialNumber, 0, 0};
    static_assert(sizeof info.FileId.Identifier == 2 * sizeof id.inode);
    std::memcpy(&id.inode, info.FileId.Identifier, sizeof id.inode);
    std::memcpy(&id.inodeHigh, info.FileId.Identifier + sizeof id.inode, sizeof id.inodeHigh);
    return id;
  }
  BY_HANDLE_FILE_INFORMATION byHandle{};
  if (!GetFileInformationByHandle(folder.get(), &byHandle)) return {};
  return {byHandle.dwVolumeSerialNumber,
          (std::uint64_t{byHandle.nFileIndexHigh} << 32) | byHandle.nFileIndexLow, 0};
}

void SetSearchOpener(SearchOpener opener) {
  gOpener.store(opener ? opener : SystemSearch, std::memory_order_release);
  PlainVolumes().Clear();
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
