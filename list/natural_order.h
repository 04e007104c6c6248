// The order of the folder list's columns. Every column is text, so one rule
// serves them all:
//  - a run of ASCII digits compares by its numeric value, whatever its length
//    (so a 13-digit size sorts after every 12-digit one, and a share of
//    1250,00% after 999,99%); runs of equal value with different numbers of
//    leading zeros compare equal;
//  - any other character compares by its case-folded code unit, so "apfel"
//    and "Apfel" are equal and sort together; no locale is involved, which
//    keeps sorting fast and the same on every machine.
// Returns <0, 0 or >0.
#pragma once

#include <QStringView>
#include <string_view>

namespace tallyroot {

int CompareNatural(QStringView a, QStringView b);
int CompareNatural(std::string_view a, std::string_view b);

}  // namespace tallyroot
