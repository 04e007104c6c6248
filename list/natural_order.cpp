#include "list/natural_order.h"

namespace tallyroot {
namespace {

template <typename Unit>
bool IsDigit(Unit c) {
  return c >= Unit('0') && c <= Unit('9');
}

inline char16_t Fold(QChar c) {
  const char16_t u = c.unicode();
  if (u < 0x80) return u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u - u'A' + u'a') : u;
  return c.toCaseFolded().unicode();
}
inline char16_t Fold(char c) {
  return static_cast<char16_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a'
                                                    : static_cast<unsigned char>(c));
}
inline char16_t Unit(QChar c) { return c.unicode(); }
inline char16_t Unit(char c) { return static_cast<unsigned char>(c); }

template <typename Text>
int Compare(const Text& a, const Text& b) {
  const auto na = static_cast<std::size_t>(a.size());
  const auto nb = static_cast<std::size_t>(b.size());
  std::size_t i = 0, j = 0;
  while (i < na && j < nb) {
    const char16_t ca = Unit(a[i]), cb = Unit(b[j]);
    if (IsDigit(ca) && IsDigit(cb)) {
      while (i < na && Unit(a[i]) == u'0') ++i;
      while (j < nb && Unit(b[j]) == u'0') ++j;
      std::size_t ea = i, eb = j;
      while (ea < na && IsDigit(Unit(a[ea]))) ++ea;
      while (eb < nb && IsDigit(Unit(b[eb]))) ++eb;
      if (ea - i != eb - j) return ea - i < eb - j ? -1 : 1;
      for (; i < ea; ++i, ++j) {
        if (Unit(a[i]) != Unit(b[j])) return Unit(a[i]) < Unit(b[j]) ? -1 : 1;
      }
      continue;
    }
    if (ca != cb) {
      const char16_t fa = Fold(a[i]), fb = Fold(b[j]);
      if (fa != fb) return fa < fb ? -1 : 1;
    }
    ++i, ++j;
  }
  if (i < na) return 1;
  if (j < nb) return -1;
  return 0;
}

}  // namespace

int CompareNatural(QStringView a, QStringView b) { return Compare(a, b); }
int CompareNatural(std::string_view a, std::string_view b) { return Compare(a, b); }

}  // namespace tallyroot
