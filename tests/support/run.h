// Running shell commands and finding tools from the tests.
#pragma once

#include "tests/support/deadline.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kpwtest {

// A word for the shell: in single quotes, inner ones escaped.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

// Runs a shell command; its standard output, and its exit status in *status (-1: it did not end
// by itself or could not start). A command that has not ended within limit fails the test and is
// killed.
inline std::string Shell(const std::string& command, int* status = nullptr,
                         std::chrono::milliseconds limit = kChildLimit) {
  std::string out;
  const std::string seconds = std::to_string(std::max<long long>(1, limit.count() / 1000));
  std::FILE* pipe = ::popen(("timeout -k 10 " + seconds + " /bin/sh -c " + Quote(command)).c_str(), "r");
  if (!pipe) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int rc = ::pclose(pipe);
  // timeout's own statuses: the command was stopped, or killed when it did not stop.
  const bool stopped = WIFEXITED(rc) && (WEXITSTATUS(rc) == 124 || WEXITSTATUS(rc) == 137);
  if (stopped) ADD_FAILURE() << "no end within " << seconds << " s: " << command;
  if (status) *status = WIFEXITED(rc) && !stopped ? WEXITSTATUS(rc) : -1;
  return out;
}

// Runs a shell command as std::system does, within limit (see Shell); its exit status, -1 when it
// did not end by itself.
inline int System(const std::string& command, std::chrono::milliseconds limit = kChildLimit) {
  int status = -1;
  Shell(command, &status, limit);
  return status;
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace kpwtest
