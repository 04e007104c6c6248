// File names are bytes; the screen shows text. This conversion is lossless in
// both directions so that a name shown in the list, copied into the path box
// and read back names the very same file.
//
// Valid UTF-8 becomes the characters it encodes. Every byte that is not part
// of valid UTF-8 (always 0x80..0xFF) becomes the code point U+DC00 + byte, a
// lone low surrogate in U+DC80..U+DCFF that valid UTF-8 can never produce,
// and goes back to that byte.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace tallyroot {

QString NameToText(std::string_view bytes);
std::string TextToName(const QString& text);

}  // namespace tallyroot
