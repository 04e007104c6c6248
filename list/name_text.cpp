#include "list/name_text.h"

namespace tallyroot {
namespace {

constexpr char16_t kEscapeBase = 0xDC80;

// Length of the valid UTF-8 sequence at `bytes[at]`, or 0 if it is not one.
std::size_t ValidSequenceLength(std::string_view bytes, std::size_t at, char32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  char32_t minimum;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and code points beyond Unicode are not valid.
  if (codePoint < minimum || codePoint > 0x10FFFF) return 0;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
  return length;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

QString NameToText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  std::size_t at = 0;
  while (at < bytes.size()) {
    char32_t codePoint = 0;
    const std::size_t length = ValidSequenceLength(bytes, at, codePoint);
    if (length == 0) {
      text +=
          QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[at]) - 0x80));
      ++at;
      continue;
    }
    if (codePoint >= 0x10000) {
      const char32_t c = codePoint - 0x10000;
      text += QChar(static_cast<char16_t>(0xD800 + (c >> 10)));
      text += QChar(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      text += QChar(static_cast<char16_t>(codePoint));
    }
    at += length;
  }
  return text;
}

std::string TextToName(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  const qsizetype size = text.size();
  for (qsizetype i = 0; i < size; ++i) {
    const char16_t unit = text[i].unicode();
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < size) {
      const char16_t low = text[i + 1].unicode();
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(bytes, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= kEscapeBase && unit <= kEscapeBase + 0x7F) {
      bytes += static_cast<char>(unit - kEscapeBase + 0x80);
      continue;
    }
    // Any other lone surrogate cannot come from a file name; keep its
    // three-byte form rather than dropping it.
    AppendUtf8(bytes, unit);
  }
  return bytes;
}

}  // namespace tallyroot
