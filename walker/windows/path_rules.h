// The decisions about Windows paths that need no system call, so that they
// are tested on every platform over recorded data: which paths go to the
// system as they are, what becomes of a path a person typed, and which
// folders of a WSL share hold no disk space. `Wide` is std::wstring on
// Windows and std::u16string in tests; its units are UTF-16.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "walker/windows/wide_names.h"

namespace tallyroot::platform::windows {

namespace rules {

template <typename Unit>
bool IsLetter(Unit c) {
  return (c >= Unit('A') && c <= Unit('Z')) || (c >= Unit('a') && c <= Unit('z'));
}

template <typename Unit>
Unit AsciiLower(Unit c) {
  return c >= Unit('A') && c <= Unit('Z') ? Unit(c - 'A' + 'a') : c;
}

template <typename Unit>
bool EqualsAsciiIgnoringCase(std::basic_string_view<Unit> text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != Unit(AsciiLower(ascii[i]))) return false;
  }
  return true;
}

template <typename Unit>
bool StartsWith(std::basic_string_view<Unit> text, std::string_view ascii) {
  if (text.size() < ascii.size()) return false;
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (text[i] != Unit(ascii[i])) return false;
  }
  return true;
}

// The length of the leading part of `path` that names a volume and that
// no file system lookup can give another case: "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\". 0 for any other
// form (relative, or a device path "\\.\...").
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

// The characters that make a name a pattern in a search (the last three
// are the system's own forms of "*", "?" and "." in patterns).
template <typename Unit>
bool IsWildcard(Unit c) {
  return c == Unit('*') || c == Unit('?') || c == Unit('<') || c == Unit('>') || c == Unit('"');
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

// The text a person typed into the path box as a path to hand to the
// system: without the quotes around it that Explorer's "Copy as path" adds
// (no Windows name holds a quote), and with "/" read as the separator, as
// the system reads it.
template <typename Wide>
Wide UnquotedPath(Wide typed) {
  using Unit = typename Wide::value_type;
  if (typed.size() >= 2 && typed.front() == Unit('"') && typed.back() == Unit('"')) {
    typed = typed.substr(1, typed.size() - 2);
  }
  for (Unit& c : typed) {
    if (c == Unit('/')) c = Unit('\\');
  }
  return typed;
}

// `full`, an absolute path the system made of what a person typed, with
// each folder's name as the file system stores it: `storedName(path)`
// gives the name of the entry that the long-form `path` ("\\?\C:\x\y")
// names, the way the file system looks names up (ignoring case, or not in
// a folder that tells case apart; an 8.3 short name finds the long one),
// or nothing. The drive letter is made upper case. From the first name
// that cannot be found, or that holds a wildcard, the rest stays as typed.
//
// This is what lets paths that differ only in how they were typed share
// the folder size cache, whose keys are exact: "c:\windows" finds the
// totals measured under "C:\Windows", while two folders that a
// case-sensitive folder keeps apart ("A" and "a") never share a key.
template <typename Wide, typename StoredName>
Wide StoredCase(const Wide& full, StoredName storedName) {
  using Unit = typename Wide::value_type;
  const std::basic_string_view<Unit> view(full);
  const std::size_t root = rules::RootLength(view);
  if (root == 0) return full;
  Wide out = full.substr(0, root);
  if (root == 3 && out[0] >= Unit('a') && out[0] <= Unit('z')) out[0] = Unit(out[0] - 'a' + 'A');
  std::size_t at = root;
  while (at < full.size()) {
    std::size_t end = full.find(Unit('\\'), at);
    if (end == Wide::npos) end = full.size();
    const Wide name = full.substr(at, end - at);
    if (name.empty() || std::any_of(name.begin(), name.end(), rules::IsWildcard<Unit>)) break;
    const std::optional<Wide> stored = storedName(LongPath(out + name));
    if (!stored || stored->empty()) break;
    out += *stored;
    if (end < full.size()) out += Unit('\\');
    at = end + 1;
  }
  if (at < full.size()) out.append(full, at);
  return out;
}

// Whether the folder `longPath` ("\\?\UNC\wsl.localhost\Ubuntu\proc\")
// is one of the kernel's at the root of a WSL share (\\wsl.localhost\ or
// \\wsl$\ and a distribution): proc, sys or dev. Like those file systems
// on Linux, they hold no disk space (/proc/kcore alone reports 128 TB) and
// count as empty.
template <typename Unit>
bool IsWslKernelFolder(std::basic_string_view<Unit> longPath) {
  if (!rules::StartsWith(longPath, R"(\\?\UNC\)")) return false;
  const std::size_t root = rules::RootLength(longPath);
  if (root == 0) return false;
  const std::size_t serverEnd = longPath.find(Unit('\\'), 8);
  const std::basic_string_view<Unit> server = longPath.substr(8, serverEnd - 8);
  if (!rules::EqualsAsciiIgnoringCase(server, "wsl.localhost") &&
      !rules::EqualsAsciiIgnoringCase(server, "wsl$")) {
    return false;
  }
  std::basic_string_view<Unit> rest = longPath.substr(root);
  if (!rest.empty() && rest.back() == Unit('\\')) rest.remove_suffix(1);
  for (const std::string_view kernel : {"proc", "sys", "dev"}) {
    if (rest.size() == kernel.size() && rules::StartsWith(rest, kernel)) return true;
  }
  return false;
}

}  // namespace tallyroot::platform::windows
