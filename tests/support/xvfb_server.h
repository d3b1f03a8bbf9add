// A virtual X server (Xvfb) of a test's own, on a display number it picks itself.
#pragma once

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

extern char** environ;

namespace kpwtest {

class XvfbServer {
 public:
  // The running server, or null with the reason in why.
  static std::unique_ptr<XvfbServer> Start(std::string& why) {
    std::unique_ptr<XvfbServer> server(new XvfbServer);
    why = server->Launch();
    if (!why.empty()) return nullptr;
    return server;
  }
  ~XvfbServer() { Stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", as DISPLAY names it.
  const std::string& Display() const { return display_; }

 private:
  XvfbServer() = default;

  std::string Launch() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
    const std::string log = dir_ / "xvfb.log";
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], 3);  // the copy is not closed on exec
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "640x480x24", nullptr};
    const int spawned =
        ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
      ::close(fds[0]);
      pid_ = -1;
      return "Xvfb cannot be started (package xvfb): " + std::string(::strerror(spawned));
    }
    // The server writes its display number once it accepts connections.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (number.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fds[0], POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[32];
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      Stop();
      return "Xvfb did not come up within 30 s: " + ReadFile(log);
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    return "";
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 500 && !reaped; ++i) {
      reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

  TempDir dir_{"xvfb"};
  pid_t pid_ = -1;
  std::string display_;
};

// For the tests that need an X server: with CI=true one that cannot start fails the test;
// elsewhere the test is skipped with the reason.
#define KPW_REQUIRE_XVFB(server)                                            \
  do {                                                                      \
    std::string why_;                                                       \
    server = ::kpwtest::XvfbServer::Start(why_);                            \
    if (!server) {                                                          \
      const char* ci = std::getenv("CI");                                   \
      if (ci && std::string(ci) == "true") FAIL() << why_;                  \
      GTEST_SKIP() << "no X server can run here: " << why_;                 \
    }                                                                       \
  } while (0)

}  // namespace kpwtest
