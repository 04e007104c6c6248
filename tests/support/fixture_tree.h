// Real folder trees in a fresh temporary folder, removed again; relative paths use "/".
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "walker/folder_listing.h"
#include "walker/typed_path.h"

namespace tallyroot::testing {

inline const std::string kSep(1, platform::kSeparator);

// Windows: by the long-path form, which takes any length and every name ("foo." too).
void RemoveTree(const std::string& root);
void MakeFolders(const std::string& path);
bool MakeFile(const std::string& path, std::uint64_t size);  // sparse where it can be

class FixtureTree {
 public:
  explicit FixtureTree(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      const std::filesystem::path root = base / ("tallyroot-" + std::to_string(seed()));
      if (std::filesystem::create_directory(root)) root_ = root.string();
    }
    if (root_.empty()) throw std::runtime_error("cannot make a temporary folder");
    root_ = *platform::TypedFolderPath(root_, false);  // as the program shows it once loaded
    if (root_.ends_with(kSep)) root_.pop_back();
  }
  ~FixtureTree() { RemoveTree(root_); }
  FixtureTree(const FixtureTree&) = delete;

  const std::string& Root() const { return root_; }  // without a trailing separator
  std::string Path(std::string relative) const {
    std::replace(relative.begin(), relative.end(), '/', platform::kSeparator);
    return root_ + kSep + relative;
  }

  void Folder(const std::string& relative) { MakeFolders(Path(relative)); }
  void File(const std::string& relative, std::uint64_t size = 0) {
    Folder(std::filesystem::path(relative).parent_path().string());
    if (!MakeFile(Path(relative), size))
      throw std::runtime_error("cannot create " + relative + " of " + std::to_string(size));
  }
  void Link(const std::string& relative, const std::string& target) {
    Folder(std::filesystem::path(relative).parent_path().string());
    std::filesystem::create_symlink(target, Path(relative));
  }

 private:
  std::string root_;
};

}  // namespace tallyroot::testing
