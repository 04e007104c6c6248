// Real folder trees for tests, built in a fresh temporary folder and removed
// again (RAII). Paths given to the builders are relative to the tree's root;
// they create missing parents. Files are sparse; link targets are verbatim.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tallyroot::testing {

class FixtureTree {
 public:
  // In the temporary folder, or in `base` (a file system in memory, say, where
  // removing a tree thousands of folders deep takes no minute).
  explicit FixtureTree(const std::filesystem::path& base = std::filesystem::temp_directory_path())
      : root_((base / "tallyroot-XXXXXX").string()) {
    if (mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  // By tools that reopen unreadable folders and take trees deeper than any path.
  ~FixtureTree() {
    (void)!std::system(
        ("chmod -R u+rwx '" + root_ + "' 2>/dev/null; rm -rf '" + root_ + "'").c_str());
  }
  FixtureTree(const FixtureTree&) = delete;

  const std::string& Root() const { return root_; }  // without a trailing separator
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  void Folder(const std::string& relative) { std::filesystem::create_directories(Path(relative)); }
  void File(const std::string& relative, std::uint64_t size = 0) {
    Folder(std::filesystem::path(relative).parent_path());
    const int fd = open(Path(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int rc = fd < 0 ? -1 : ftruncate(fd, static_cast<off_t>(size));
    if (fd >= 0) close(fd);
    if (rc != 0)
      throw std::runtime_error("cannot create " + relative + " of " + std::to_string(size) +
                               " bytes");
  }
  void Link(const std::string& relative, const std::string& target) {
    Folder(std::filesystem::path(relative).parent_path());
    std::filesystem::create_symlink(target, Path(relative));
  }

 private:
  std::string root_;
};

}  // namespace tallyroot::testing
