// A read-only mirror of a folder on slow storage (tools/slowfs), mounted at a
// fresh temporary folder for as long as the object lives (RAII): every
// request the kernel makes of it is answered after `delayMs` and nothing is
// cached. Where it cannot be had (no slowfs built, no /dev/fuse, no right to
// mount), Skipped() says why and Root() is not to be used; tests then
// GTEST_SKIP() with that reason.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

extern char** environ;

namespace tallyroot::testing {

class SlowMount {
 public:
  SlowMount(const std::string& source, double delayMs) {
#ifndef TALLYROOT_SLOWFS
    skipped_ = "slowfs was not built (no libfuse3 when CMake ran)";
    (void)source, (void)delayMs;
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      skipped_ = std::string("no usable /dev/fuse: ") + std::strerror(errno);
      return;
    }
    base_ = (std::filesystem::temp_directory_path() / "tallyroot-slow-XXXXXX").string();
    if (mkdtemp(base_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = base_ + "/mount";
    std::filesystem::create_directory(root_);
    const std::string delay = std::to_string(delayMs), log = base_ + "/log";
    const char* argv[] = {TALLYROOT_SLOWFS, "--delay-ms", delay.c_str(), source.c_str(),
                          root_.c_str(),    "-f",         nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned =
        posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = 0;
      skipped_ = std::string("cannot start slowfs: ") + std::strerror(spawned);
      return;
    }
    // Live once the kernel lists it; slowfs ends at once where it may not mount.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Mounted()) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        std::ostringstream said;
        said << std::ifstream(log).rdbuf();
        skipped_ = "slowfs could not mount: " + said.str();
        return;
      }
      if (std::chrono::steady_clock::now() > giveUp) {
        skipped_ = "slowfs did not mount within 10 s";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
#endif
  }

  // SIGTERM makes slowfs unmount and end; should it hang, it is killed and
  // its mount detached, so that no test leaves a mount behind.
  ~SlowMount() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      bool ended = false;
      for (int tries = 0; tries < 1000 && !ended; ++tries) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!ended) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
    }
    if (!base_.empty()) {
      if (Mounted() && umount2(root_.c_str(), MNT_DETACH) != 0)
        (void)!std::system(("fusermount3 -uz '" + root_ + "' 2>/dev/null").c_str());
      std::filesystem::remove(base_ + "/log");
      rmdir(root_.c_str());
      rmdir(base_.c_str());
    }
  }
  SlowMount(const SlowMount&) = delete;
  SlowMount& operator=(const SlowMount&) = delete;

  const std::string& Skipped() const { return skipped_; }  // empty when mounted
  const std::string& Root() const { return root_; }        // without a trailing separator

 private:
  bool Mounted() const {  // the mount table has our mount point (temp paths need no escapes)
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
      if (line.find(" " + root_ + " ") != std::string::npos) return true;
    }
    return false;
  }

  std::string skipped_, base_, root_;
  pid_t pid_ = 0;
};

}  // namespace tallyroot::testing
