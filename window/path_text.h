// The text rules of the path box, free of widgets so that they can be tested
// and fuzzed on their own.
#pragma once

#include <QString>
#include <optional>

namespace tallyroot {

// Leading and trailing spaces removed; tabs and other blanks stay.
QString TrimSpaces(const QString& text);

// The folder the up button lists, given the path box's text and the root:
// the parent of the path box's folder, ending with the separator. None when
// there is no root, the path has no separator to cut at, or the parent would
// lie above the root (only lengths are compared: every path the program
// writes below a root starts with it, and any user edit forgets the root).
std::optional<QString> UpTarget(const QString& pathText, const QString& root);

}  // namespace tallyroot
