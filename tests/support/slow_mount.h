// A read-only mirror of `source` by tools/slowfs, each request answered after `delayMs`, uncached.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tallyroot::testing {

class SlowMount {
 public:
  SlowMount(const std::string& source, double delayMs) : source_(source), delayMs_(delayMs) {
#ifndef TALLYROOT_SLOWFS
    skipped_ = "slowfs was not built (no libfuse3 when CMake ran)";
#else
    root_ = (std::filesystem::temp_directory_path() / "tallyroot-slow-XXXXXX").string();
    if (mkdtemp(root_.data()) == nullptr) root_.clear();
    Mount();
#endif
  }
  ~SlowMount() {
    Unmount();
    if (!root_.empty()) rmdir(root_.c_str());
  }
  void Remount() { Unmount(), Mount(); }  // a share just mounted: names the kernel has not seen
  SlowMount(const SlowMount&) = delete;

  const std::string& Skipped() const { return skipped_; }  // why not mounted, for GTEST_SKIP()
  const std::string& Root() const { return root_; }

 private:
  void Mount() {  // slowfs forks to the background once mounted
#ifdef TALLYROOT_SLOWFS
    const std::string command = TALLYROOT_SLOWFS " --delay-ms " + std::to_string(delayMs_) + " '" +
                                source_ + "' '" + root_ + "' 2>&1";
    FILE* said = root_.empty() ? nullptr : popen(command.c_str(), "r");
    std::string text;
    for (int c; said && (c = std::fgetc(said)) != EOF;) text += static_cast<char>(c);
    mounted_ = said && pclose(said) == 0;
    if (!mounted_) skipped_ = "slowfs could not mount: " + text;
#endif
  }
  void Unmount() {  // detached at once: no test leaves a mount behind
    if (mounted_ && umount2(root_.c_str(), MNT_DETACH) != 0)
      (void)!std::system(("fusermount3 -uz '" + root_ + "' 2>/dev/null").c_str());
    mounted_ = false;
  }

  std::string source_, skipped_, root_;
  double delayMs_;
  bool mounted_ = false;
};

}  // namespace tallyroot::testing
