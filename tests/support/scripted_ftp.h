// A control connection scripted byte by byte, for what no real server does on request: replies
// split or joined across segments, lone LF line ends, silence, data from a foreign address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kpwtest {

// Listens on 127.0.0.1; each line the client sends goes to the script, which answers through the
// connection (Send) or stays silent. Commands are recorded. One client at a time.
class ScriptedFtp {
 public:
  using Script = std::function<void(ScriptedFtp& server, const std::string& line)>;

  explicit ScriptedFtp(Script script, std::string greeting = "220 ready\r\n")
      : m_script(std::move(script)), m_greeting(std::move(greeting)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_listen, 4);
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedFtp() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    {
      std::lock_guard lock(m_mutex);
      if (m_client >= 0) ::shutdown(m_client, SHUT_RDWR);
    }
    m_thread.join();
    ::close(m_listen);
  }
  ScriptedFtp(const ScriptedFtp&) = delete;
  ScriptedFtp& operator=(const ScriptedFtp&) = delete;

  int Port() const { return m_port; }
  void Send(const std::string& bytes) {
    std::lock_guard lock(m_mutex);
    if (m_client >= 0) ::send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  std::vector<std::string> Commands() {
    std::lock_guard lock(m_mutex);
    return m_commands;
  }

  // The usual login: USER, PASS, TYPE I, FEAT (none), PWD "/"; true when line was one of them.
  bool Login(const std::string& line) {
    if (line.rfind("USER ", 0) == 0) Send("331 password\r\n");
    else if (line.rfind("PASS ", 0) == 0) Send("230 in\r\n");
    else if (line == "TYPE I") Send("200 binary\r\n");
    else if (line == "FEAT") Send("500 no\r\n");
    else if (line == "PWD") Send("257 \"/\"\r\n");
    else if (line == "QUIT") Send("221 bye\r\n");
    else return false;
    return true;
  }

  // Connects to the client's PORT address from the local address from (host order), sends data
  // and closes.
  static void SendData(const std::string& portArgs, uint32_t from, const std::string& data) {
    int h1, h2, h3, h4, p1, p2;
    if (std::sscanf(portArgs.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) != 6) return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(static_cast<uint32_t>(h1 << 24 | h2 << 16 | h3 << 8 | h4));
    to.sin_port = htons(static_cast<uint16_t>(p1 * 256 + p2));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
      ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    ::close(fd);
  }

 private:
  void Serve() {
    while (!m_stop) {
      const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      const int on = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      {
        std::lock_guard lock(m_mutex);
        m_client = client;
      }
      Send(m_greeting);
      std::string buffer;
      char chunk[4096];
      for (;;) {
        const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t lf;
        while ((lf = buffer.find("\r\n")) != std::string::npos) {
          const std::string line = buffer.substr(0, lf);
          buffer.erase(0, lf + 2);
          {
            std::lock_guard lock(m_mutex);
            m_commands.push_back(line);
          }
          m_script(*this, line);
        }
      }
      std::lock_guard lock(m_mutex);
      ::close(client);
      m_client = -1;
    }
  }

  Script m_script;
  std::string m_greeting;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  int m_client = -1;
  std::vector<std::string> m_commands;
  std::thread m_thread;
};

}  // namespace kpwtest
