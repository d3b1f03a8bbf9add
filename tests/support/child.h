// A function run in a child process of the test program, as user "nobody" when asked.
#pragma once

#include "tests/support/deadline.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kpwtest {

// Forks; the child runs fn and exits with what it returns (125 when it cannot become nobody).
inline pid_t StartChild(const std::function<int()>& fn, bool asNobody = false) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
    ::_exit(125);
  ::_exit(fn());
}

// The child's exit status; 128 + the signal when it was killed, -1 when it cannot be waited for.
// A child that does not end within limit fails the test and is killed.
inline int WaitChild(pid_t pid, std::chrono::milliseconds limit = kChildLimit) {
  int status = 0;
  if (pid < 0 || !WaitProcess(pid, &status, "child process", limit)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int RunChild(const std::function<int()>& fn, bool asNobody = false) {
  return WaitChild(StartChild(fn, asNobody));
}

}  // namespace kpwtest
