// The decisions of the Windows listing that need no system call, so that
// they are tested on every platform over recorded entry data: names between
// UTF-16 and the program's 8-bit text, the long-path form of a path, and
// what an entry counts as.
//
// Names on Windows are sequences of UTF-16 units that need not be valid
// UTF-16. The program's text is WTF-8: valid UTF-16 becomes the UTF-8 of the
// same characters, and an unpaired surrogate the three-byte form of its
// code unit, which valid UTF-8 never holds. The conversion back gives the
// very same units, so a folder with such a name can be entered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyroot::platform::windows {

// Appends the WTF-8 form of the `count` UTF-16 units at `units`.
template <typename Unit>
void AppendWtf8(std::string& out, const Unit* units, std::size_t count) {
  const auto put = [&](std::uint32_t value) { out += static_cast<char>(value); };
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
      const std::uint32_t low = static_cast<std::uint16_t>(units[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6)), put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      put(0xE0 | (c >> 12)), put(0x80 | ((c >> 6) & 0x3F)), put(0x80 | (c & 0x3F));
    } else {
      put(0xF0 | (c >> 18)), put(0x80 | ((c >> 12) & 0x3F));
      put(0x80 | ((c >> 6) & 0x3F)), put(0x80 | (c & 0x3F));
    }
  }
}

// Appends the UTF-16 units of WTF-8 `bytes` to `out` (a std::wstring on
// Windows, a std::u16string in tests). A byte that starts no WTF-8 sequence
// cannot come from a Windows name; it becomes U+FFFD, which names no file
// that was listed.
template <typename Wide>
void AppendWide(Wide& out, std::string_view bytes) {
  using Unit = typename Wide::value_type;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  std::size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t c = 0, minimum = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, c = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && at + length <= bytes.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
      valid = (byte(at + i) & 0xC0) == 0x80;
      c = (c << 6) | (byte(at + i) & 0x3F);
    }
    if (!valid || c < minimum || c > 0x10FFFF) {
      out += static_cast<Unit>(0xFFFD);
      ++at;
      continue;
    }
    if (c >= 0x10000) {
      out += static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<Unit>(c);
    }
    at += length;
  }
}

// The form of an absolute path that the system takes beyond 260 characters
// and without rewriting it: "C:\x\" as "\\?\C:\x\", "\\server\share\x\" as
// "\\?\UNC\server\share\x\"; a path already in that form ("\\?\...", or a
// device path "\\.\...") stays as it is. `full` is what GetFullPathNameW
// made of the user's path, so it is never relative.
template <typename Wide>
Wide LongPath(const Wide& full) {
  using Unit = typename Wide::value_type;
  const auto is = [&](std::size_t at, char c) { return at < full.size() && full[at] == Unit(c); };
  if (is(0, '\\') && is(1, '\\') && (is(2, '?') || is(2, '.')) && is(3, '\\')) return full;
  Wide out;
  for (const char c : std::string_view(R"(\\?\)")) out += Unit(c);
  if (is(0, '\\') && is(1, '\\')) {
    for (const char c : std::string_view(R"(UNC\)")) out += Unit(c);
    out.append(full, 2);
  } else {
    out += full;
  }
  return out;
}

// Attribute bits and the reparse tag bit that the decision reads, as the
// Windows headers define them.
inline constexpr std::uint32_t kAttributeFolder = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kTagNameSurrogate = 0x20000000;

struct JudgedEntry {
  bool isFolder;
  std::uint64_t size;
};

// What a listed entry counts as. A reparse point that stands for another
// name (a symbolic link, a junction, a volume mount point) is a file of its
// own size that is never entered, as a link is on POSIX; any other reparse
// point (a cloud-file placeholder, a deduplicated file) is what its
// attributes say, with the size the listing gives, which reads nothing.
inline JudgedEntry JudgeEntry(std::uint32_t attributes, std::uint32_t reparseTag,
                              std::uint32_t sizeHigh, std::uint32_t sizeLow) {
  const bool nameSurrogate =
      (attributes & kAttributeReparsePoint) != 0 && (reparseTag & kTagNameSurrogate) != 0;
  if ((attributes & kAttributeFolder) != 0 && !nameSurrogate) return {true, 0};
  return {false, (std::uint64_t{sizeHigh} << 32) | sizeLow};
}

}  // namespace tallyroot::platform::windows
