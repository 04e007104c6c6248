// The fixed-width texts in which sizes and shares are shown and stored, so
// that a column's text order is its numeric order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TallyrootModule {

// Byte count in decimal with leading zeros to at least twelve digits;
// counts of 10^12 bytes or more are written in full (1000000000005).
std::string SizeText(std::uint64_t bytes);

// Writes SizeText into `out` (at least 21 chars) and returns its length; for
// the per-entry path, where allocating would cost more than the rest.
std::size_t WriteSizeText(std::uint64_t bytes, char* out);

// The value of a size text: leading blanks skipped, then the decimal digits
// up to the first other character; no digits count as 0. Saturates rather
// than wrapping.
std::uint64_t SizeValue(std::string_view text);

// Sum that saturates instead of wrapping: no total is ever smaller than a part.
inline std::uint64_t AddSizes(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Share of `size` in `total` in hundredths of a percent, cut (never rounded)
// and computed exactly in integers. A zero total gives 0.
std::uint64_t ShareOf(std::uint64_t size, std::uint64_t total);

// A share in hundredths of a percent: the whole percent with at least three
// digits (in full above 999), a comma and two digits: 012,50 or 1250,00.
std::string ShareText(std::uint64_t hundredths);

}  // namespace TallyrootModule
