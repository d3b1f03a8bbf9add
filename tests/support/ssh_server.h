// OpenSSH's sshd for the tests on 127.0.0.1 with a test user and fresh keys, OpenSSH's sftp to check it, stopped by PID.
#pragma once

#include "lib/system/registry.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kpwtest {

// The library as the build made it, and the folder layout the machine's registry points to.
inline const std::string kBuiltCommLib = std::string(KPW_BUILD_DIR) + "/app/libTavrinCommLib.so";

// Points HKEY_LOCAL_MACHINE "Software\Tavrin\Tavrin-Tools" "Path" at a folder whose "Tools/" holds
// the built library (a link to it), so that CommLibLoad finds it as an installed program would.
// folder: where the hive and the link go. Without the built library nothing is linked.
inline void UseBuiltCommLib(const std::string& folder, bool withLibrary = true) {
  std::filesystem::create_directories(folder + "/Tools");
  if (withLibrary) std::filesystem::create_symlink(kBuiltCommLib, folder + "/Tools/libTavrinCommLib.so");
  SysTestSetMachineHive(folder + "/machine.reg");
  CRegistry key;
  if (key.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tavrin-Tools", REG_OPEN_CREATE)) key.SetString("Path", folder);
}

// Runs argv (stdin from /dev/null); its exit status, its output (stdout and stderr) in *output.
inline int RunProgram(const std::vector<std::string>& args, std::string* output = nullptr,
                      const std::string& input = "") {
  char outName[] = "/tmp/kpw-run-XXXXXX";
  const int out = ::mkstemp(outName);
  if (out < 0) return -1;
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = input.empty() ? ::open("/dev/null", O_RDONLY) : ::open(input.c_str(), O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  int status = -1;
  if (pid > 0 && !WaitProcess(pid, &status, argv[0])) status = -1;
  if (output) *output = ReadFile(outName);
  ::unlink(outName);
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An exclusive lock on /tmp/kpw-<name>.lock for as long as it lives. Users, /etc and /bin are
// shared by every test process on the machine, also those of other build trees (an ASan and a
// TSan run side by side): a test that changes them holds the lock of what it changes.
class MachineLock {
 public:
  explicit MachineLock(const std::string& name)
      : m_fd(::open(("/tmp/kpw-" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(m_fd);
        m_fd = -1;
      }
    }
  }
  ~MachineLock() {
    if (m_fd >= 0) ::close(m_fd);
  }
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  bool Held() const { return m_fd >= 0; }

 private:
  int m_fd;
};

// The lock of useradd and chpasswd (they fail at once when another one holds /etc/shadow).
inline constexpr const char* kUsersLock = "sshd-user";

class SshServer {
 public:
  // The test user, made once per machine. Its password is longer than 63 characters: nothing on
  // the way may cut it.
  static constexpr const char* kUser = "kpwsftp";
  static constexpr const char* kPassword = "Kopiwart-Prüfpasswort-das-länger-ist-als-dreiundsechzig-Zeichen-0123";

  struct Options {
    bool passwords = true;    // password login offered
    bool interactive = false; // keyboard-interactive through PAM instead
    bool logRequests = false; // sftp-server writes each request into RequestLog()
    bool rootLogin = false;   // root may log in with the client key
  };

  // Why the server cannot run here, or "" when it can: sshd, a test user and password logins need
  // root (CI runs as root).
  static std::string Missing() {
    if (::geteuid() != 0) return "sshd with a test user needs root (the tests run as root in CI)";
    for (const char* program : {"/usr/sbin/sshd", "/usr/bin/ssh-keygen", "/usr/bin/sftp"})
      if (::access(program, X_OK) != 0) return std::string(program) + " is not installed (openssh-server)";
    return "";
  }

  static std::unique_ptr<SshServer> Start() { return Start(Options()); }
  static std::unique_ptr<SshServer> Start(Options options) {
    if (!Missing().empty()) return nullptr;
    std::unique_ptr<SshServer> s(new SshServer);
    ::chmod(s->m_dir.path().c_str(), 0755);
    if (!MakeUser() || !s->MakeKeys()) return nullptr;
    ::mkdir("/run/sshd", 0755);
    for (int attempt = 0; attempt < 5; ++attempt) {
      s->m_port = FreePort();
      if (s->m_port <= 0 || !s->WriteConfig(options)) return nullptr;
      if (!s->Spawn()) return nullptr;
      if (s->WaitReady()) break;
      s->Stop();  // the port was taken meanwhile: another one
    }
    if (s->m_pid <= 0) return nullptr;
    // Our library remembers hosts here, never in the user's own files.
    ::setenv("TAVRIN_KNOWN_HOSTS", s->KnownHosts().c_str(), 1);
    return s;
  }

  ~SshServer() { Stop(); }
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  int Port() const { return m_port; }
  // A fresh empty folder that belongs to the test user; its path on the server and here.
  std::string NewFolder(const std::string& name) const {
    const std::string path = m_dir / ("data/" + name);
    std::filesystem::create_directories(path);
    Own(path);
    return path;
  }
  // Files the test makes in the user's folders belong to the user.
  static void Own(const std::string& path) {
    const passwd* pw = ::getpwnam(kUser);
    if (pw && ::lchown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) return;
  }
  std::string Home() const {
    const passwd* pw = ::getpwnam(kUser);
    return pw ? pw->pw_dir : "";
  }
  // The private key whose public half the server accepts for the test user.
  std::string ClientKey() const { return m_dir / "client_ed25519"; }
  // The known-hosts file the library uses while this server runs (TAVRIN_KNOWN_HOSTS).
  std::string KnownHosts() const { return m_dir / "known_hosts"; }
  // The host key the server shows, as a line of a known-hosts file for it.
  std::string HostKeyLine() const {
    return "[127.0.0.1]:" + std::to_string(m_port) + " " + ReadFile(m_dir / "host_ed25519.pub");
  }
  // What sftp-server logged of the requests it got (with Options::logRequests).
  std::string RequestLog() const { return ReadFile(m_dir / "requests.log"); }
  // A folder for the test's own files (the library link, the hive, keys).
  const std::string& Folder() const { return m_dir.path(); }

  // OpenSSH's sftp with the client key runs the batch; its exit status and output.
  int Sftp(const std::string& batch, std::string* output = nullptr) const {
    const std::string file = m_dir / "batch";
    WriteFile(file, batch);
    return RunProgram({"/usr/bin/sftp", "-q", "-b", file, "-i", ClientKey(), "-P", std::to_string(m_port), "-o",
                       "UserKnownHostsFile=" + (m_dir / "client_known_hosts"), "-o", "StrictHostKeyChecking=no",
                       "-o", "BatchMode=yes", std::string(kUser) + "@127.0.0.1"},
                      output);
  }

  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
  }
  pid_t Pid() const { return m_pid; }

 private:
  SshServer() = default;

  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
  }

  // The user and its password; test programs run side by side, so one at a time changes them.
  static bool MakeUser() {
    const MachineLock lock(kUsersLock);
    if (!lock.Held()) return false;
    bool ok = ::getpwnam(kUser) ||
              RunProgram({"/usr/sbin/useradd", "-m", "-s", "/bin/bash", kUser}) == 0;
    if (ok) {
      char name[] = "/tmp/kpw-pass-XXXXXX";
      const int fd = ::mkstemp(name);
      const std::string line = std::string(kUser) + ":" + kPassword + "\n";
      ok = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
      if (fd >= 0) ::close(fd);
      ok = ok && RunProgram({"/usr/sbin/chpasswd"}, nullptr, name) == 0;
      ::unlink(name);
    }
    return ok;
  }

  bool MakeKeys() {
    for (const std::string key : {"host_ed25519", "client_ed25519"})
      if (RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "kpw-test", "-f", m_dir / key}) != 0)
        return false;
    std::filesystem::copy_file(m_dir / "client_ed25519.pub", m_dir / "authorized_keys");
    ::chmod((m_dir / "authorized_keys").c_str(), 0644);
    std::filesystem::create_directories(m_dir / "data");
    ::chmod((m_dir / "data").c_str(), 0755);
    return true;
  }

  bool WriteConfig(const Options& options) const {
    if (options.logRequests) {
      WriteFile(m_dir / "requests.log", "");
      ::chmod((m_dir / "requests.log").c_str(), 0666);
    }
    std::ofstream out(m_dir / "sshd_config");
    out << "Port " << m_port << "\nListenAddress 127.0.0.1\nHostKey " << (m_dir / "host_ed25519")
        << "\nPidFile " << (m_dir / "sshd.pid") << "\nAuthorizedKeysFile " << (m_dir / "authorized_keys")
        << "\nUsePAM " << (options.interactive ? "yes" : "no")
        << "\nPasswordAuthentication " << (options.passwords && !options.interactive ? "yes" : "no")
        << "\nKbdInteractiveAuthentication " << (options.interactive ? "yes" : "no")
        << "\nPubkeyAuthentication yes\nStrictModes no\nPermitRootLogin "
        << (options.rootLogin ? "prohibit-password" : "no") << "\nUseDNS no\n"
           "MaxStartups 100\nMaxSessions 100\nMaxAuthTries 10\nLogLevel ERROR\n"
           "Subsystem sftp /usr/lib/openssh/sftp-server";
    // The subsystem runs through the user's shell: its log goes to a file the user may write.
    if (options.logRequests) out << " -e -l DEBUG1 2>>" << (m_dir / "requests.log");
    out << "\n";
    return static_cast<bool>(out);
  }

  bool Spawn() {
    std::vector<std::string> args{"/usr/sbin/sshd", "-D", "-e", "-f", m_dir / "sshd_config"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = m_dir / "sshd.log";
    std::fflush(nullptr);
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      // A test process that dies takes its server along.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return true;
  }

  // Whether the socket listening on the port is the server's: another test's server may have
  // taken the port first, and then ours ends while that one answers.
  bool ListensHere() const {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(m_port));
    std::ifstream table("/proc/net/tcp");
    std::string line, inode;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, address, remote, state, skip;
      fields >> slot >> address >> remote >> state;
      for (int i = 0; i < 5; ++i) fields >> skip;
      if (address == local && state == "0A") fields >> inode;
    }
    if (inode.empty()) return false;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd", ec))
      if (std::filesystem::read_symlink(fd.path(), ec).string() == "socket:[" + inode + "]") return true;
    return false;
  }

  // The server listens and answers with its banner; false when it ended (or never answered).
  bool WaitReady() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
      }
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const timeval patience{5, 0};  // a server that takes the connection and says nothing
      if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(m_port));
      char banner[8] = {};
      const bool up = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                      ::recv(fd, banner, 4, MSG_WAITALL) == 4 && std::string(banner) == "SSH-";
      if (fd >= 0) ::close(fd);
      if (up && ListensHere()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TempDir m_dir{"sshd"};
  int m_port = -1;
  pid_t m_pid = -1;
};

}  // namespace kpwtest
