// A read-only mirror of a folder on slow storage (tools/slowfs) for as long as
// the object lives (RAII): every request is answered after `delayMs`, nothing
// is cached. Where it cannot be had (no slowfs, no /dev/fuse, no right to
// mount), Skipped() says why, for GTEST_SKIP(), and Root() is not to be used.
// Remount() mounts it afresh at the same root: a share just mounted, whose
// names the kernel does not know yet.
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
  // slowfs goes to the background once it has mounted, and ends when unmounted.
  SlowMount(const std::string& source, double delayMs) : source_(source), delayMs_(delayMs) {
#ifndef TALLYROOT_SLOWFS
    skipped_ = "slowfs was not built (no libfuse3 when CMake ran)";
#else
    root_ = (std::filesystem::temp_directory_path() / "tallyroot-slow-XXXXXX").string();
    if (mkdtemp(root_.data()) == nullptr) root_.clear();
    Mount();
#endif
  }
  // Detached at once, so that no test leaves a mount behind.
  ~SlowMount() {
    Unmount();
    if (!root_.empty()) rmdir(root_.c_str());
  }
  void Remount() {
    Unmount();
    Mount();
  }
  SlowMount(const SlowMount&) = delete;
  SlowMount& operator=(const SlowMount&) = delete;

  const std::string& Skipped() const { return skipped_; }  // empty when mounted
  const std::string& Root() const { return root_; }        // without a trailing separator

 private:
  void Mount() {
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
  void Unmount() {
    if (mounted_ && umount2(root_.c_str(), MNT_DETACH) != 0)
      (void)!std::system(("fusermount3 -uz '" + root_ + "' 2>/dev/null").c_str());
    mounted_ = false;
  }

  std::string source_;
  double delayMs_;
  std::string skipped_, root_;
  bool mounted_ = false;
};

}  // namespace tallyroot::testing
