#include "walker/windows/folder_checks.h"

#include <string_view>

#include "walker/windows/listing_calls.h"
#include "walker/windows/path_rules.h"

namespace tallyroot::platform::windows {

Verdict JudgeFolder(const std::wstring& longPath, bool outermost, std::span<const FolderId> chain,
                    FolderId& id, std::size_t& cycleAt) {
  if (IsWslKernelFolder(std::wstring_view(longPath))) return Verdict::Empty;
  id = ReadFolderId(longPath, outermost);
  for (std::size_t at = 0; at < chain.size(); ++at) {
    if (SameFolder(chain[at], id)) {
      cycleAt = at;
      return Verdict::Cycle;
    }
  }
  return Verdict::List;
}

void ReadFoldersAbove(const std::wstring& longPath, std::vector<FolderId>& out) {
  out.clear();
  const std::size_t root = rules::RootLength(std::wstring_view(longPath));
  if (root == 0) return;
  for (std::size_t end = root - 1; end != std::wstring::npos && end + 1 < longPath.size();
       end = longPath.find(L'\\', end + 1)) {
    // Leading parts are reached the way the walk's own path is: through links.
    const FolderId id = ReadFolderId(longPath.substr(0, end + 1), true);
    if (id.inode != 0 || id.inodeHigh != 0) out.push_back(id);
  }
}

}  // namespace tallyroot::platform::windows
