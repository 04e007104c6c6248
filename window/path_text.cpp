#include "window/path_text.h"

#include "walker/folder_listing.h"

namespace tallyroot {

QString TrimSpaces(const QString& text) {
  qsizetype first = 0, last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  return text.mid(first, last - first);
}

std::optional<QString> UpTarget(const QString& pathText, const QString& root) {
  constexpr QChar kSeparator(platform::kSeparator);
  if (root.isEmpty()) return std::nullopt;
  QString path = TrimSpaces(pathText);
  if (path.endsWith(kSeparator)) path.chop(1);
  const qsizetype cut = path.lastIndexOf(kSeparator);
  if (cut < 0) return std::nullopt;
  path.truncate(cut + 1);
  if (path.size() < root.size()) return std::nullopt;
  return path;
}

}  // namespace tallyroot
