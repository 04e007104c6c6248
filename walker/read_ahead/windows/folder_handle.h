// What the Windows read-ahead holds of a folder (node.h): its long path,
// which its children's are made from. Nothing stays open between reads.
#pragma once

#include <string>
#include <utility>

namespace tallyroot::platform::ahead {

// A listed folder's long path ("\\?\C:\x\", with the separator at its end).
class FolderHandle {
 public:
  explicit FolderHandle(std::wstring path) : path_(std::move(path)) {}
  const std::wstring& get() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace tallyroot::platform::ahead
