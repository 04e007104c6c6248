// Properties of the text functions the list, the cache and the path box
// live on, for any input. The first byte picks the property, the rest is
// its material:
//   0  size texts: exact round trip, shape, and text order = numeric order
//   1  share texts: shape, round trip, order; shares are cut, never rounded
//   2  the up command's target and the trimming of the path box
//   3  file names: bytes -> text -> the same bytes, whatever they are
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "analysis/size_text.h"
#include "list/name_text.h"
#include "list/natural_order.h"
#include "window/path_text.h"

namespace {

using namespace TallyrootModule;
using tallyroot::CompareNatural;

void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// Takes up to eight bytes off the front as a number.
std::uint64_t Take(std::string_view& in) {
  std::uint64_t value = 0;
  const std::size_t n = std::min<std::size_t>(8, in.size());
  std::memcpy(&value, in.data(), n);
  in.remove_prefix(n);
  return value;
}

int Sign(long long v) { return (v > 0) - (v < 0); }
template <typename T>
int Order(T a, T b) {
  return (a > b) - (a < b);
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

void Sizes(std::string_view in) {
  // Small numbers and numbers around the twelve-digit edge are the
  // interesting ones; a shift byte lets the fuzzer reach them.
  const unsigned shift = in.empty() ? 0 : static_cast<unsigned char>(in[0]) % 64;
  if (!in.empty()) in.remove_prefix(1);
  const std::uint64_t a = Take(in) >> shift, b = Take(in) >> shift;

  const std::string text = SizeText(a);
  Require(AllDigits(text), "a size text is all digits");
  Require(a < 1000000000000 ? text.size() == 12 : text.size() > 12 && text[0] != '0',
          "twelve digits, or every digit of a larger count");
  Require(SizeValue(text) == a, "a size text reads back as its count");
  Require(SizeValue("  " + text + "%x") == a, "blanks before and other text after are ignored");
  char buffer[24];
  Require(std::string_view(buffer, WriteSizeText(a, buffer)) == text, "both writers agree");
  Require(Sign(CompareNatural(text, SizeText(b))) == Order(a, b),
          "size texts sort as their counts");
  Require(AddSizes(a, b) >= a && AddSizes(a, b) >= b, "a sum never wraps below a part");

  // Any text at all: the leading digits, saturated.
  std::uint64_t expected = 0;
  std::size_t at = in.find_first_not_of(' ');
  for (; at < in.size() && in[at] >= '0' && in[at] <= '9'; ++at) {
    const unsigned digit = static_cast<unsigned>(in[at] - '0');
    expected = expected > (UINT64_MAX - digit) / 10 ? UINT64_MAX : expected * 10 + digit;
  }
  Require(SizeValue(in) == expected, "any text reads as its leading digits");
}

void Shares(std::string_view in) {
  const std::uint64_t a = Take(in), b = Take(in);
  const std::string text = ShareText(a);
  const std::size_t comma = text.find(',');
  Require(comma != std::string::npos && comma >= 3 && comma + 3 == text.size() &&
              AllDigits(text.substr(0, comma)) && AllDigits(text.substr(comma + 1)),
          "a share is three or more digits, a comma and two digits");
  Require((comma == 3 || text[0] != '0') && SizeValue(text) == a / 100 &&
              SizeValue(text.substr(comma + 1)) == a % 100,
          "a share text reads back as its hundredths");
  Require(Sign(CompareNatural(text + "%", ShareText(b) + "%")) == Order(a, b),
          "share cells sort as their shares");

  // Share of a in b, cut: k * b <= a * 10000 < (k + 1) * b, unless saturated.
  __extension__ typedef unsigned __int128 Wide;
  const std::uint64_t k = ShareOf(a, b);
  if (b == 0) {
    Require(k == 0, "a zero total gives a zero share");
  } else if (k != UINT64_MAX) {
    Require(Wide(k) * b <= Wide(a) * 10000 && Wide(a) * 10000 < (Wide(k) + 1) * b,
            "a share is cut exactly");
  } else {
    Require(Wide(a) * 10000 >= Wide(UINT64_MAX) * b, "a share saturates only at its limit");
  }
}

// Text as a path box may hold it: names as the list shows them, or any
// UTF-16 at all (pasted).
QString AsText(std::string_view bytes, bool anyUtf16) {
  if (!anyUtf16) return tallyroot::NameToText(bytes);
  QString text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += QChar(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

void Up(std::string_view in) {
  if (in.size() < 2) return;
  const unsigned flags = static_cast<unsigned char>(in[0]);
  const unsigned cut = static_cast<unsigned char>(in[1]);
  in.remove_prefix(2);
  // The root is mostly a leading part of the path, as the program keeps it.
  const std::size_t half = flags & 2 ? in.size() : in.size() / 2;
  const QString path = AsText(in.substr(0, half), flags & 1);
  const QString root =
      flags & 2 ? path.left(cut % (path.size() + 1)) : AsText(in.substr(half), flags & 1);

  const QString trimmed = tallyroot::TrimSpaces(path);
  Require(!trimmed.startsWith(' ') && !trimmed.endsWith(' ') && path.contains(trimmed) &&
              tallyroot::TrimSpaces(trimmed) == trimmed,
          "trimming removes the spaces at both ends, and only those");

  const std::optional<QString> up = tallyroot::UpTarget(path, root);
  if (root.isEmpty()) Require(!up, "no root, no way up");
  if (!up) return;
  QString folder = trimmed;
  if (folder.endsWith('/')) folder.chop(1);
  Require(up->endsWith('/'), "the target ends with the separator");
  Require(trimmed.startsWith(*up), "the target is a leading part of the path");
  Require(up->size() >= root.size(), "the target is never above the root");
  // Only one trailing separator is dropped, so a path ending in "//" goes
  // "up" to itself minus one "/". The program never writes such a path
  // below a root, so that case is left out here.
  if (!folder.endsWith('/'))
    Require(up->size() < folder.size(), "the target is above the path's folder");
}

void Names(std::string_view bytes) {
  const QString text = tallyroot::NameToText(bytes);
  Require(tallyroot::TextToName(text) == bytes, "a name survives the trip through text");
  const QString qt = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  if (qt.toUtf8() == QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))) {
    Require(text == qt, "valid UTF-8 reads as the characters it encodes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: Sizes(in); break;
    case 1: Shares(in); break;
    case 2: Up(in); break;
    case 3: Names(in); break;
  }
  return 0;
}
