#include "analysis/size_text.h"

namespace TallyrootModule {
namespace {

// Writes `value` in decimal, left-padded with zeros to `minDigits`.
std::size_t WriteDecimal(std::uint64_t value, std::size_t minDigits, char* out) {
  char reversed[20];
  std::size_t digits = 0;
  do {
    reversed[digits++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::size_t length = 0;
  for (std::size_t pad = digits; pad < minDigits; ++pad) out[length++] = '0';
  while (digits > 0) out[length++] = reversed[--digits];
  return length;
}

}  // namespace

std::size_t WriteSizeText(std::uint64_t bytes, char* out) { return WriteDecimal(bytes, 12, out); }

std::string SizeText(std::uint64_t bytes) {
  char text[21];
  return std::string(text, WriteSizeText(bytes, text));
}

std::uint64_t SizeValue(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && text[at] == ' ') ++at;
  std::uint64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t ShareOf(std::uint64_t size, std::uint64_t total) {
  if (total == 0) return 0;
  __extension__ typedef unsigned __int128 Wide;  // size * 10000 needs 78 bits
  const Wide share = static_cast<Wide>(size) * 10000u / total;
  return share > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(share);
}

std::string ShareText(std::uint64_t hundredths) {
  char text[32];
  std::size_t length = WriteDecimal(hundredths / 100, 3, text);
  text[length++] = ',';
  length += WriteDecimal(hundredths % 100, 2, text + length);
  return std::string(text, length);
}

}  // namespace TallyrootModule
