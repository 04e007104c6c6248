// Runs `body` in a forked child with mounts of its own, as asked; _exit keeps parent fixtures.
#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tallyroot::testing {

struct ChildSetup {
  std::vector<std::vector<std::string>> mounts = {};  // {source, target[, type]}; bind if no type
  bool asNobody = false;                              // whom mode 000 keeps out
  unsigned seconds = 60;
};

inline std::string RunInChild(const ChildSetup& setup, const std::function<std::string()>& body) {
  int fds[2] = {-1, -1};
  const pid_t pid = pipe(fds) == 0 ? fork() : -1;
  if (pid == 0) {
    alarm(setup.seconds);
    const char* refused = nullptr;
    if (!setup.mounts.empty() &&
        (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)))
      refused = "private mount namespace";
    for (const std::vector<std::string>& m : setup.mounts) {
      const char* type = m.size() > 2 ? m[2].c_str() : nullptr;
      if (!refused && mount(m[0].c_str(), m[1].c_str(), type, type ? 0 : MS_BIND, nullptr))
        refused = "mount";
    }
    if (!refused && setup.asNobody && geteuid() == 0 &&
        (setgroups(0, nullptr) || setgid(65534) || setuid(65534)))
      refused = "becoming nobody";
    const std::string text =
        refused ? std::string("refused: ") + refused + ": " + std::strerror(errno) : body();
    _exit(write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  std::string text;
  close(fds[1]);
  for (char c; read(fds[0], &c, 1) == 1;) text += c;
  close(fds[0]);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && status == 0 ? text
                                                                   : text + "[no child, or killed]";
}

}  // namespace tallyroot::testing
