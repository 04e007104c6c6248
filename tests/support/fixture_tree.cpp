#include "fixture_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tallyroot::testing {

namespace fs = std::filesystem;

FixtureTree::FixtureTree() {
  std::string pattern = (fs::temp_directory_path() / "tallyroot-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
}

FixtureTree::~FixtureTree() {
  std::error_code ignored;
  // Unreadable folders a test made must not keep their contents alive.
  for (auto it = fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(root_, ignored);
}

std::string FixtureTree::Path(const std::string& relative) const { return root_ + "/" + relative; }

void FixtureTree::Folder(const std::string& relative) { fs::create_directories(Path(relative)); }

void FixtureTree::File(const std::string& relative, std::uint64_t size) {
  const fs::path path = Path(relative);
  fs::create_directories(path.parent_path());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  const int rc = ftruncate(fd, static_cast<off_t>(size));
  close(fd);
  if (rc != 0) throw std::runtime_error("cannot size " + path.string());
}

void FixtureTree::Link(const std::string& relative, const std::string& target) {
  const fs::path path = Path(relative);
  fs::create_directories(path.parent_path());
  fs::create_symlink(target, path);
}

}  // namespace tallyroot::testing
