// CProcessLauncher: posix_spawn, scripts through /bin/sh, descriptors closed on request.
#include "lib/system/process.h"
#include "lib/system/sys_fdio.h"

#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// True when the file is best run by /bin/sh: not an ELF binary, and not an executable "#!" script.
bool NeedsShell(const char* path) {
  const int fd = SysOpenRegular(path);
  if (fd < 0) return false;  // let the spawn report the error
  char head[4] = {};
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) return false;
  if (n >= 2 && head[0] == '#' && head[1] == '!' && ::access(path, X_OK) == 0) return false;
  return true;
}

}  // namespace

CProcessLauncher::~CProcessLauncher() {
  if (m_pid <= 0 || m_reaped) return;
  if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
  const pid_t pid = m_pid;
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
}

int CProcessLauncher::Start(const char* program, DWORD flags, const char* const* args) {
  if (!program || !*program) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (m_pid > 0 && !m_reaped) {
    SetLastError(ERROR_BUSY);
    return 0;
  }
  // Drive and UNC forms are refused before any search of PATH.
  const SysOsPath os(program);
  if (!os.ok()) return 0;
  const std::string path = program;
  const bool hasSlash = std::strchr(program, '/') != nullptr;
  std::vector<std::string> argv;
  if (hasSlash && NeedsShell(path.c_str())) argv.push_back("/bin/sh");
  argv.push_back(path);
  for (const char* const* a = args; a && *a; ++a) argv.emplace_back(*a);
  std::vector<char*> argp;
  for (std::string& s : argv) argp.push_back(s.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (flags & PL_NO_INHERIT) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  const int rc = argv.front() == "/bin/sh" || hasSlash
                     ? ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), environ)
                     : ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    SetLastErrorFromErrno(rc, path.c_str());
    return 0;
  }
  m_pid = pid;
  m_reaped = false;
  m_exitCode = -1;
  if (!(flags & PL_WAIT)) return 1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno, nullptr);
      return 0;
    }
  }
  m_reaped = true;
  m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return 1;
}
