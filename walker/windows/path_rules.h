// The decisions about Windows paths that need no system call, so that they
// are tested on every platform over recorded data: which paths go to the
// system as they are. Units are UTF-16 (wchar_t on Windows, char16_t in
// tests).
#pragma once

#include <cstddef>
#include <string_view>

#include "walker/windows/wide_names.h"

namespace tallyroot::platform::windows {

namespace rules {

template <typename Unit>
bool IsLetter(Unit c) {
  return (c >= Unit('A') && c <= Unit('Z')) || (c >= Unit('a') && c <= Unit('z'));
}

template <typename Unit>
bool StartsWith(std::basic_string_view<Unit> text, std::string_view ascii) {
  if (text.size() < ascii.size()) return false;
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (text[i] != Unit(ascii[i])) return false;
  }
  return true;
}

// The length of the leading part of `path` that names a volume: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\".
// 0 for any other form (relative, or a device path "\\.\...").
template <typename Unit>
std::size_t RootLength(std::basic_string_view<Unit> path) {
  const Unit sep('\\');
  // The end of the component that begins at `from`, with its separator;
  // 0 when it is empty or unterminated.
  const auto through = [&](std::size_t from) -> std::size_t {
    const std::size_t end = path.find(sep, from);
    return end == from || end == path.npos ? 0 : end + 1;
  };
  if (path.size() >= 3 && IsLetter(path[0]) && path[1] == Unit(':') && path[2] == sep) return 3;
  if (StartsWith(path, R"(\\?\UNC\)")) {
    const std::size_t server = through(8);
    return server ? through(server) : 0;
  }
  if (StartsWith(path, R"(\\?\)")) return through(4);
  if (StartsWith(path, R"(\\.\)")) return 0;
  if (StartsWith(path, R"(\\)")) {
    const std::size_t server = through(2);
    return server ? through(server) : 0;
  }
  return 0;
}

}  // namespace rules

// Whether `path` goes to the system exactly as it is, prefixed with "\\?\"
// (see LongPath): an absolute path whose every folder is a name. A path
// the program made itself always is one (a root it was given, then names
// the file system gave), and must not be rewritten: the system's own path
// rules would drop a trailing "." or space of a name ("foo." would become
// "foo", another folder). Anything else, a path with "/", "." or ".." in
// it or one that is relative, is made absolute by the system first.
template <typename Unit>
bool IsFullyQualified(std::basic_string_view<Unit> path) {
  if (rules::StartsWith(path, R"(\\?\)") || rules::StartsWith(path, R"(\\.\)")) return true;
  const std::size_t root = rules::RootLength(path);
  if (root == 0 || path.find(Unit('/')) != path.npos) return false;
  for (std::size_t at = root; at < path.size();) {
    std::size_t end = path.find(Unit('\\'), at);
    if (end == path.npos) end = path.size();
    const std::basic_string_view<Unit> name = path.substr(at, end - at);
    if (name.empty() || (name.size() <= 2 && name.find_first_not_of(Unit('.')) == name.npos)) {
      return false;
    }
    at = end + 1;
  }
  return true;
}

}  // namespace tallyroot::platform::windows
