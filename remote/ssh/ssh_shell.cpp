// The SSH adapter's shell: commands framed by sentinel lines, the session with its login, and the probe.
#include "remote/ssh/ssh_connection.h"

#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/ssh/hexout_image.h"
#include "remote/ssh/ssh_internal.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace sshint;

namespace {

std::atomic<u32> g_plainCounter{0};
// A line that has not ended by this size is taken as it is.
constexpr std::size_t kLinePartMax = 64 * 1024;

}  // namespace

namespace sshint {

std::string Sentinel(const char* head, std::atomic<u32>& counter, const char* tail) {
  char text[24];
  std::snprintf(text, sizeof text, "%s%08X%s", head, static_cast<unsigned>(++counter), tail);
  return text;
}

std::string Spoken(const std::string& sentinel) {
  return "'" + sentinel.substr(0, 4) + "'" + sentinel.substr(4);
}

std::size_t SentinelAt(const std::string& text, const std::string& sentinel) {
  return text.find(sentinel);
}

std::string Trim(const char* data, int n) {
  std::string s(data, static_cast<std::size_t>(std::max(n, 0)));
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.back())) s.pop_back();
  std::size_t at = 0;
  while (at < s.size() && blank(s[at])) ++at;
  return s.substr(at);
}

bool StartsWith(const std::string& s, const char* head) {
  return s.rfind(head, 0) == 0;
}

}  // namespace sshint

// ---- quoting and codes -------------------------------------------------------------------------

std::string CSshUrlConnection::ShellQuote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string CSshUrlConnection::EncodeHelperPath(const std::string& path) {
  std::string out;
  for (const char c : path) {
    switch (c) {
      case ' ': out += "=_"; break;
      case '"': out += "=&"; break;
      case '*': out += "=="; break;
      case '-': out += "=-"; break;
      case ';': out += "=#"; break;
      case '=': out += "=$"; break;
      case '?': out += "=+"; break;
      default: out += c;
    }
  }
  return out;
}

std::string CSshUrlConnection::HelperCommand(const std::string& options, const std::string& wire) const {
  return ShellQuote(m_helperPath) + " " + options + ShellQuote(EncodeHelperPath(wire));
}

DWORD CSshUrlConnection::MapShellError(const std::string& text) {
  const auto has = [&](const char* what) { return StrFindNoCaseA(text.c_str(), what) >= 0; };
  if (has("No such file or directory") || has("Datei oder Verzeichnis nicht gefunden")) return ERROR_FILE_NOT_FOUND;
  if (has("Directory not empty") || has("Verzeichnis ist nicht leer")) return ERROR_DIR_NOT_EMPTY;
  if (has("File exists") || has("Die Datei existiert bereits")) return ERROR_ALREADY_EXISTS;
  if (has("Permission denied")) return ERROR_ACCESS_DENIED;
  if (has("invalid option")) return ERROR_INVALID_PARAMETER;
  return 0;
}

DWORD CSshUrlConnection::MapLibraryCode(int code, bool* link) {
  // A wait that saw no line in time is ours, no result of the library.
  if (code == kTimedOut) {
    if (link) *link = true;
    return ERROR_TIMEOUT;
  }
  return CommLibError(code, link);
}

// ---- framed commands ---------------------------------------------------------------------------

void CSshUrlConnection::Drain() {
  CommLibFunctions& lib = CommLib();
  char buffer[kLineMax];
  int count = 0;
  while (lib.SshReadCount(Handle(), &count) > 0 && count > 0)
    if (lib.SshRead(Handle(), buffer, sizeof buffer) <= 0) break;
  m_linePart.clear();
}

bool CSshUrlConnection::Send(const std::string& line) {
  const int n = CommLib().SshWrite(Handle(), line.data(), static_cast<int>(line.size()));
  if (n == static_cast<int>(line.size())) return true;
  SessionFailure(n < 0 ? n : COMM_SHELL_LOST);
  return false;
}

DWORD CSshUrlConnection::SessionFailure(int code) {
  bool link = false;
  DWORD error = MapLibraryCode(code, &link);
  // A break ends the session: it must be renewed, whatever the code says.
  if (m_breakRequested.load()) error = ERROR_CANCELLED;
  m_checkLink.store(true);
  m_lost = true;
  SetLastError(error);
  return error;
}

int CSshUrlConnection::NextLine(std::string& text) {
  CommLibFunctions& lib = CommLib();
  char buffer[kLineMax];
  for (;;) {
    const int ready = lib.SshWait(Handle(), static_cast<int>(m_timeout), 1);
    if (ready <= 0) return ready;
    const int n = lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) return n;
    m_linePart.append(buffer, static_cast<std::size_t>(n));
    // The library hands out the first part of a line whose rest is late (a writer that stalled
    // mid-line under load): taken for a line of its own, it would lose what the line carries.
    if ((n > 0 && buffer[n - 1] == '\n') || m_linePart.size() >= kLinePartMax) {
      text = Trim(m_linePart.data(), static_cast<int>(m_linePart.size()));
      m_linePart.clear();
      return 1;
    }
  }
}

int CSshUrlConnection::RunCommand(const std::string& command, std::string* reply) {
  const std::string sentinel = Sentinel("aaee", g_plainCounter, "xxyy");
  const std::string line = "echo -n " + Spoken(sentinel) + ";" + command + ";echo\r\n";
  if (line.size() > kCommandMax) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  Drain();
  if (!Send(line)) return -1;
  for (;;) {
    std::string text;
    const int got = NextLine(text);
    if (got == 0) {
      SessionFailure(kTimedOut);
      return kTimedOut;
    }
    if (got < 0) {
      SessionFailure(got);
      return got;
    }
    if (const std::size_t at = SentinelAt(text, sentinel); at != std::string::npos) {
      const std::size_t end = at + sentinel.size();
      std::string rest = Trim(text.data() + end, static_cast<int>(text.size() - end));
      SetLastError(MapShellError(rest));
      if (reply) *reply = rest;
      return static_cast<int>(rest.size());
    }
  }
}

BOOL CSshUrlConnection::Simple(const std::string& command, DWORD fallback, bool folderCodes) {
  std::string reply;
  const int n = RunCommand(command, &reply);
  if (n < 0) return FALSE;
  if (n == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  DWORD error = MapShellError(reply);
  if (folderCodes && error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
  return Fail(error ? error : fallback);
}

// ---- session -----------------------------------------------------------------------------------

bool CSshUrlConnection::Login() {
  const std::size_t bar = m_user.find('|');
  if (bar == std::string::npos) return true;
  const std::size_t last = m_user.rfind('|');
  const std::string secret = m_user.substr(last + 1);
  std::string command;
  if (last == bar) {
    command = "sudo -i\n";
  } else {
    command = "su -l " + ShellQuote(m_user.substr(bar + 1, last - bar - 1)) + "\n";
  }
  Drain();
  if (!Send(command)) return false;
  CommLibFunctions& lib = CommLib();
  bool prompted = false;
  char buffer[kLineMax];
  for (int round = 0; round < 10 && !prompted; ++round) {
    const int ready = lib.SshWait(Handle(), round == 0 ? 1000 : 100, 1);
    if (ready < 0) return false;
    if (ready == 0) continue;
    const int n = lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) return false;
    prompted = StrFindNoCaseA(std::string(buffer, static_cast<std::size_t>(n)).c_str(), "passwor") >= 0;
  }
  // The password is typed only where it was asked for, never into a shell.
  if (prompted) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!Send(secret + "\n")) return false;
  }
  lib.SshWait(Handle(), 200, 1);
  Drain();
  if (!prompted && !secret.empty()) {
    // Asked for no password: the elevation either needed none, or did not happen.
    std::string reply;
    if (RunCommand("id -u", &reply) < 0) return false;
  }
  return true;
}

bool CSshUrlConnection::EnsureConnected(bool force) {
  if (!Handle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // After a time-out the shell may still run the command: a new one, also when the session lives.
  if (!force && !m_lost && (!m_checkLink.load() || SessionAnswers())) return true;
  const int code = ConnectSession(m_user.substr(0, m_user.find('|')));
  if (code != COMM_OK) {
    SetLastError(MapLibraryCode(code, nullptr));
    m_checkLink.store(true);
    return false;
  }
  m_checkLink.store(false);
  m_lost = false;
  m_breakRequested.store(false);
  CommLib().SshWait(Handle(), 200, 1);
  Drain();
  Login();
  RemoveLeftover();
  return true;
}

// One attempt, whatever the count asked.
BOOL CSshUrlConnection::Reconnect(u64) { return ReconnectTries(1); }

void CSshUrlConnection::OnBreak() { m_breakRequested.store(true); }

void CSshUrlConnection::RemoveLeftover() {
  if (m_leftover.empty()) return;
  const std::string leftover = std::move(m_leftover);
  m_leftover.clear();
  RunCommand("rm -f " + ShellQuote(leftover), nullptr);
}

BOOL CSshUrlConnection::Probe(u32 reconnect, u32 timeoutMs, u32 utf8Names) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  m_sessionUp = true;
  m_timeout = timeoutMs ? timeoutMs : 10000;
  m_utf8Names = utf8Names != 0;
  m_helperVersion = 0;
  m_lsPrefix.clear();
  CommLib().SshWait(Handle(), 200, 1);
  Drain();
  const auto askHelper = [&]() {
    std::string reply;
    if (RunCommand(ShellQuote(m_helperPath) + " -v", &reply) >= 6 && StartsWith(reply, "version ")) {
      m_helperVersion = static_cast<u32>(std::strtoul(reply.c_str() + 8, nullptr, 10));
    }
  };
  if (m_useHelper) askHelper();
  {
    // The ls variant is found also with the helper: it answers for names with wildcards.
    static const char* const kVariants[] = {"-alogd --full-time .", "-algd --full-time .", "-algd ."};
    static const char* const kOptions[] = {"--full-time -alog", "--full-time -alg", "-alg"};
    m_lsOptions = "-al";
    m_lsStyle = 3;
    bool found = false;
    for (int v = 0; v < 3 && !found; ++v) {
      for (const char* prefix : {"\\", ""}) {
        std::string reply;
        const int n = RunCommand(std::string(prefix) + "ls " + kVariants[v], &reply);
        if (n == kTimedOut) return FALSE;
        if (n >= 11 && reply[0] == 'd' &&
            std::all_of(reply.begin(), reply.begin() + 10, [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '-'; })) {
          m_lsPrefix = prefix;
          m_lsOptions = kOptions[v];
          m_lsStyle = v;
          found = true;
          break;
        }
      }
    }
  }
  std::string pwd;
  if (RunCommand("pwd", &pwd) < 0) return FALSE;
  m_currentDir = AbsolutePath(NameIn(pwd.c_str()));
  m_currentDirLost = false;
  Drain();
  Login();
  // Messages and dates of the tools in one language.
  RunCommand("export LC_ALL=C", nullptr);
  if (m_useHelper && !m_helperVersion) {
    std::string machine;
    if (RunCommand("uname -m", &machine) > 2) {
      bool x86 = false;
      for (const char* word : {"x86", "686", "586", "486", "386"})
        x86 = x86 || StrFindNoCaseA(machine.c_str(), word) >= 0;
      if (x86) {
        std::size_t at = 0;
        const Source image = [&](BYTE* buffer, int size) {
          const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(size), kHexoutImageSize - at));
          std::memcpy(buffer, kHexoutImage + at, static_cast<std::size_t>(n));
          at += static_cast<std::size_t>(n);
          return n;
        };
        std::string wire;
        if (NameOut(m_helperPath.c_str(), wire) && Upload(wire, image, kHexoutImageSize, true, ERROR_READ_FAULT) &&
            RunCommand("chmod 0755 " + ShellQuote(wire), nullptr) == 0)
          askHelper();
      }
    }
  }
  m_checkLink.store(reconnect != 0);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
