// A controller of its own for a test: ctlsim serving a folder on a loopback port, and its commands.
#pragma once

#include "tests/support/deadline.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kpwtest {

inline const std::string kCtlSim = std::string(KPW_BUILD_DIR) + "/remote/ctlsim/ctlsim";
// Where the build puts the controller library, and a build of it that lacks CiGetInfos.
inline const std::string kCtlClientFolder = std::string(KPW_BUILD_DIR) + "/app";
inline const std::string kCtlClientIncompleteFolder = std::string(KPW_BUILD_DIR) + "/tests/remote/incomplete";

class CtlSimulator {
 public:
  // Serves root (made when missing) with names in "utf8" or "latin1"; port 0 takes a free port.
  explicit CtlSimulator(std::string root, const char* names = "utf8", int port = 0)
      : m_root(std::move(root)) {
    std::filesystem::create_directories(m_root);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string portText = std::to_string(port);
    std::vector<char*> argv = {const_cast<char*>(kCtlSim.c_str()),
                               const_cast<char*>("--root"),
                               m_root.data(),
                               const_cast<char*>("--port"),
                               const_cast<char*>(portText.c_str()),
                               const_cast<char*>("--names"),
                               const_cast<char*>(names),
                               nullptr};
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
      // A test process that dies (a sanitizer's halt) takes its controller with it.
      if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent || ::dup2(out[1], 1) < 0)
        ::_exit(127);
      ::execv(kCtlSim.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    // "ctlsim: bereit auf 127.0.0.1:PORT"
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (m_pid > 0 && line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
      char buffer[128];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const std::size_t colon = line.rfind(':');
    if (line.starts_with("ctlsim: bereit") && colon != std::string::npos)
      m_port = std::atoi(line.c_str() + colon + 1);
  }
  ~CtlSimulator() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    WaitProcess(m_pid, nullptr, "ctlsim after SIGTERM", std::chrono::seconds(10));
  }
  CtlSimulator(const CtlSimulator&) = delete;
  CtlSimulator& operator=(const CtlSimulator&) = delete;

  bool Ok() const { return m_port > 0; }
  int Port() const { return m_port; }
  const std::string& Root() const { return m_root; }
  // The folder on disk of a controller path ("/a/b").
  std::string Local(const std::string& path) const { return m_root + path; }

  // A test command ("SIM DROP", "SIM CUT 1000", "SIM DELAY 5") on a link of its own; true when
  // it was answered with 0.
  bool Command(const std::string& line) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval patience{30, 0};  // a simulator that does not answer
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string in;
    const std::string text = line + "\n";
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    // The greeting, then the answer.
    while (ok && std::count(in.begin(), in.end(), '\n') < 2) {
      char buffer[256];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      ok = n > 0;
      if (ok) in.append(buffer, static_cast<std::size_t>(n));
    }
    if (fd >= 0) ::close(fd);
    return ok && in.ends_with("\n0\n");
  }

 private:
  std::string m_root;
  pid_t m_pid = -1;
  int m_port = 0;
};

}  // namespace kpwtest
