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
  constexpr std::uint64_t kScale = 10000;
  if (total == 0) return 0;
  if (size <= UINT64_MAX / kScale) return size * kScale / total;
  // size * 10000 needs up to 78 bits, and standard C++ has no wider integer:
  // the whole part of size / total, then the four decimal digits of the rest,
  // each found by adding the remainder ten times modulo total, which never
  // exceeds 64 bits. Only sizes beyond 1.8 PB come here.
  const std::uint64_t whole = size / total;
  std::uint64_t rest = size % total;
  std::uint64_t fraction = 0;
  for (int place = 0; place < 4; ++place) {  // kScale is 10^4
    std::uint64_t tenfold = 0, carries = 0;
    for (int i = 0; i < 10; ++i) {
      if (tenfold >= total - rest) {  // tenfold + rest >= total, without wrapping
        tenfold -= total - rest;
        ++carries;
      } else {
        tenfold += rest;
      }
    }
    fraction = fraction * 10 + carries;
    rest = tenfold;
  }
  if (whole > UINT64_MAX / kScale) return UINT64_MAX;
  return AddSizes(whole * kScale, fraction);
}

std::string ShareText(std::uint64_t hundredths) {
  char text[32];
  std::size_t length = WriteDecimal(hundredths / 100, 3, text);
  text[length++] = ',';
  length += WriteDecimal(hundredths % 100, 2, text + length);
  return std::string(text, length);
}

}  // namespace TallyrootModule
