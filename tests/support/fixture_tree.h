// Real folder trees for tests, built in a fresh temporary folder and removed
// again (RAII). Paths given to the builders are relative to the tree's root.
#pragma once

#include <cstdint>
#include <string>

namespace tallyroot::testing {

class FixtureTree {
 public:
  FixtureTree();
  ~FixtureTree();
  FixtureTree(const FixtureTree&) = delete;
  FixtureTree& operator=(const FixtureTree&) = delete;

  // The root, without a trailing separator (e.g. /tmp/tallyroot-XXXXXX).
  const std::string& Root() const { return root_; }
  // Root() + "/" + relative.
  std::string Path(const std::string& relative) const;

  // Creates the folder and any missing parents.
  void Folder(const std::string& relative);
  // A file of `size` bytes, sparse (no data written); parents are created.
  void File(const std::string& relative, std::uint64_t size = 0);
  // A symbolic link at `relative` pointing to `target` (taken verbatim).
  void Link(const std::string& relative, const std::string& target);

 private:
  std::string root_;
};

}  // namespace tallyroot::testing
