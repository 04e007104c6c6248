// A typed path made the program's own with the system's help: made absolute
// by GetFullPathNameW, and each folder's stored name read with one search
// of that name alone (see StoredCase). Runs once per "load", never in a walk.
#include "walker/typed_path.h"

#include <windows.h>

#include <optional>

#include "walker/windows/listing_calls.h"
#include "walker/windows/path_rules.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform {
namespace {

// The absolute form the system makes of `path`, or `path` itself when it
// cannot. A path in the long form is absolute already, and is not
// rewritten.
std::wstring Absolute(const std::wstring& path) {
  if (path.starts_with(LR"(\\?\)")) return path;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  DWORD length = windows::FullPath(path.c_str(), static_cast<DWORD>(full.size()), full.data());
  if (length >= full.size()) {
    full.resize(length);
    length = windows::FullPath(path.c_str(), static_cast<DWORD>(full.size()), full.data());
  }
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  return full;
}

// The name of the entry `longPath` names, as its folder stores it.
std::optional<std::wstring> StoredName(const std::wstring& longPath) {
  WIN32_FIND_DATAW data;
  const HANDLE find = windows::FindFirst(longPath.c_str(), data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  windows::FindEnd(find);
  return std::wstring(data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
}

}  // namespace

std::string TypedFolderPath(std::string_view typed) {
  if (typed.find('\0') != std::string_view::npos) return std::string(typed);
  std::wstring path;
  windows::AppendWide(path, typed);
  path = windows::UnquotedPath(std::move(path));
  if (path.empty()) return {};
  // A folder: "C:" is the drive's root here, not the folder the drive was
  // last in.
  if (path.back() != L'\\') path += L'\\';
  const std::wstring stored = windows::StoredCase(Absolute(path), StoredName);
  std::string out;
  windows::AppendWtf8(out, stored.data(), stored.size());
  return out;
}

}  // namespace tallyroot::platform
