// The SSH adapter: file operations as framed shell commands, listings and transfers through hexout or ls, printf and hexdump.
#include "remote/ssh/ssh_connection.h"

#include "lib/system/sys_file.h"
#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/ssh/hexout_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <thread>
#include <vector>

namespace {

// A command longer than this does not go out: a terminal line must hold it whole (its input
// buffer takes 4095 bytes), and a cut path could name another file.
constexpr std::size_t kCommandMax = 4000;
constexpr int kLineMax = 4096;
constexpr int kBlock = 256;        // bytes per data line of the helper
constexpr int kShellBlock = 900;   // bytes per printf command at most
constexpr int kInFlight = 65;  // helper data lines sent before their echoes are read

std::atomic<u32> g_plainCounter{0}, g_listCounter{0}, g_uploadCounter{0}, g_downloadCounter{0};

std::string Sentinel(const char* head, std::atomic<u32>& counter, const char* tail) {
  char text[24];
  std::snprintf(text, sizeof text, "%s%08X%s", head, static_cast<unsigned>(++counter), tail);
  return text;
}

// The sentinel as the command line carries it: quoted apart, so that the terminal's echo of the
// line never holds it whole, and only the output of the echo command does.
std::string Spoken(const std::string& sentinel) {
  return "'" + sentinel.substr(0, 4) + "'" + sentinel.substr(4);
}

// The output line that the sentinel begins; a prompt that went out after the echo of a line typed
// ahead (dash) may stand before it. npos when it is not there.
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


bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The next blank-separated word from at; at moves behind it.
std::string Word(const std::string& s, std::size_t& at) {
  while (at < s.size() && s[at] == ' ') ++at;
  const std::size_t start = at;
  while (at < s.size() && s[at] != ' ') ++at;
  return s.substr(start, at - start);
}

int Month(const std::string& name) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  for (int i = 0; i < 12; ++i)
    if (name.size() >= 3 && ::strncasecmp(name.c_str(), kMonths[i], 3) == 0) return i;
  return -1;
}

// A local file descriptor closed on every way out.
struct LocalFile {
  int fd = -1;
  ~LocalFile() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// ---- static helpers ------------------------------------------------------------------------------

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

std::string CSshUrlConnection::PrintfEscape(const unsigned char* data, std::size_t count) {
  std::string out;
  out.reserve(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char b = data[i];
    if (std::isalnum(b)) {
      out += static_cast<char>(b);
    } else {
      char esc[6];
      std::snprintf(esc, sizeof esc, "\\%03o", b);
      out += esc;
    }
  }
  return out;
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

DWORD CSshUrlConnection::MapHelperError(i64 code) {
  switch (code) {
    case SYS_ERR_EXISTS: return ERROR_ALREADY_EXISTS;
    case SYS_ERR_DISK_FULL: return ERROR_HANDLE_DISK_FULL;
    case SYS_ERR_PATH: return ERROR_PATH_NOT_FOUND;
    case SYS_ERR_OTHER: return ERROR_INVALID_ACCESS;
    case SYS_ERR_TOO_MANY_OPEN: return ERROR_NO_MORE_SEARCH_HANDLES;
    case SYS_ERR_ACCESS: return ERROR_ACCESS_DENIED;
    case SYS_ERR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case SYS_ERR_NAME_TOO_LONG: return ERROR_INVALID_NAME;
    case SYS_ERR_INVALID: return ERROR_INVALID_PARAMETER;
    default: return ERROR_INVALID_ACCESS;
  }
}

DWORD CSshUrlConnection::MapLibraryCode(int code, bool* link) {
  // A wait that saw no line in time is ours, no result of the library.
  if (code == kTimedOut) {
    if (link) *link = true;
    return ERROR_TIMEOUT;
  }
  return CommLibError(code, link);
}

u32 CSshUrlConnection::ModeOf(u32 attributes) {
  if (attributes >= 0x10000) return (attributes >> URL_ATTR_UNIX_MODE_SHIFT) & 0777;
  u32 mode = (attributes & URL_ATTR_READONLY) ? 0440 : 0664;
  if (attributes & URL_ATTR_HIDDEN) mode |= 0001;
  if (attributes & URL_ATTR_SYSTEM) mode |= 0010;
  if (attributes & URL_ATTR_ARCHIVE) mode |= 0100;
  if (attributes & URL_ATTR_NORMAL) mode |= 0111;
  // A folder without x cannot be entered: x wherever r is.
  if (attributes & URL_ATTR_DIRECTORY) mode |= (mode & 0444) >> 2;
  return mode & 0777;
}

int CSshUrlConnection::ParseLsLine(const std::string& text, int style, WIN32_FIND_DATAA* record) {
  *record = WIN32_FIND_DATAA{};
  if (text.size() >= 2 && text[0] == '>') {
    // The helper: ">attributes size mtime ctime name".
    if (!std::isdigit(static_cast<unsigned char>(text[1]))) return -1;
    std::size_t at = 1;
    const std::string a = Word(text, at), s = Word(text, at), m = Word(text, at), c = Word(text, at);
    if (!AllDigits(a) || !AllDigits(s) || !AllDigits(m) || !AllDigits(c) || at >= text.size()) return -1;
    const std::string name = text.substr(at + 1);
    if (name.empty() || name.size() >= sizeof record->cFileName) return -1;
    const u32 h = static_cast<u32>(std::strtoul(a.c_str(), nullptr, 10));
    const u64 size = std::strtoull(s.c_str(), nullptr, 10);
    DWORD attr = h & ~0x3FFu;
    attr = (attr & ~(0x3Fu << 10)) | static_cast<DWORD>((size >> 32) & 0x3F) << 10;
    if (!(h & 0x2)) attr |= URL_ATTR_READONLY;
    if (h & 0x80) attr |= URL_ATTR_SYSTEM;
    if (h & 0x20) attr |= URL_ATTR_HIDDEN;
    if (h & 0x40) attr |= URL_ATTR_ARCHIVE;
    if (h & 0x10) attr |= URL_ATTR_DIRECTORY;
    if (((h >> 16) & 0xF000) == 0xA000) attr |= URL_ATTR_LINK;
    record->dwFileAttributes = attr;
    const bool folder = (h & 0x10) != 0;
    record->nFileSizeHigh = folder ? 0 : static_cast<DWORD>(size >> 32);
    record->nFileSizeLow = folder ? 0 : static_cast<DWORD>(size);
    record->ftLastWriteTime = FileTimeFromUnix(std::strtoll(m.c_str(), nullptr, 10));
    record->ftCreationTime = FileTimeFromUnix(std::strtoll(c.c_str(), nullptr, 10));
    StrCopyA(record->cFileName, name.c_str(), sizeof record->cFileName);
    return folder ? 1 : 0;
  }
  if (text.size() < 11) return -1;
  const char type = text[0];
  if (!std::strchr("-dlcbsp", type)) return -1;
  for (int i = 0; i < 10; ++i)
    if (!std::isalpha(static_cast<unsigned char>(text[i])) && text[i] != '-') return -1;
  u32 mode = 0;
  static const char kRwx[] = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) {
    const char ch = text[1 + i];
    if (ch == '-') continue;
    if (ch == kRwx[i] || ((i == 2 || i == 5) && (ch == 's')) || (i == 8 && ch == 't'))
      mode |= 0400u >> i;
    else if (ch != 'S' && ch != 'T')
      break;
  }
  std::size_t at = 10;
  while (at < text.size() && text[at] != ' ') ++at;  // an ACL or context mark
  if (!AllDigits(Word(text, at))) return -1;          // link count
  const int names = style == 0 ? 0 : style == 3 ? 2 : 1;
  for (int i = 0; i < names; ++i)
    if (Word(text, at).empty()) return -1;
  std::string sizeWord = Word(text, at);
  u64 size = 0;
  if (type == 'c' || type == 'b') {
    if (sizeWord.empty() || sizeWord.back() != ',') {
      // "1,3" in one word, or "1, 3"
      if (sizeWord.find(',') == std::string::npos) return -1;
    } else {
      Word(text, at);
    }
  } else {
    if (!AllDigits(sizeWord)) return -1;
    size = std::strtoull(sizeWord.c_str(), nullptr, 10);
  }
  // The date, then one blank, then the name.
  i64 seconds = 0;
  u32 fraction = 0;
  if (style <= 1) {
    const std::string day = Word(text, at), clock = Word(text, at), zone = Word(text, at);
    int y = 0, mo = 0, d = 0, hh = 0, mm = 0, ss = 0;
    if (std::sscanf(day.c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
        std::sscanf(clock.c_str(), "%d:%d:%d", &hh, &mm, &ss) != 3 || zone.size() != 5)
      return -1;
    const std::size_t dot = clock.find('.');
    if (dot != std::string::npos) {
      std::string digits = clock.substr(dot + 1, 7);
      digits.resize(7, '0');
      fraction = static_cast<u32>(std::strtoul(digits.c_str(), nullptr, 10));
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = hh;
    tm.tm_min = mm;
    tm.tm_sec = ss;
    const int offset = ((zone[1] - '0') * 10 + (zone[2] - '0')) * 3600 + ((zone[3] - '0') * 10 + (zone[4] - '0')) * 60;
    seconds = static_cast<i64>(::timegm(&tm)) - (zone[0] == '-' ? -offset : offset);
  } else {
    const std::string mon = Word(text, at), day = Word(text, at), last = Word(text, at);
    std::tm tm{};
    tm.tm_mon = Month(mon);
    tm.tm_mday = std::atoi(day.c_str());
    if (tm.tm_mon < 0 || tm.tm_mday < 1) return -1;
    int hh = 0, mm = 0;
    if (std::sscanf(last.c_str(), "%d:%d", &hh, &mm) == 2) {
      // Within the last half year: this year, or the last when that would lie ahead.
      const std::time_t now = std::time(nullptr);
      std::tm today{};
      ::gmtime_r(&now, &today);
      tm.tm_year = today.tm_year;
      tm.tm_hour = hh;
      tm.tm_min = mm;
      if (::timegm(&tm) > now + 86400) --tm.tm_year;
    } else if (AllDigits(last)) {
      tm.tm_year = std::atoi(last.c_str()) - 1900;
    } else {
      return -1;
    }
    seconds = static_cast<i64>(::timegm(&tm));
  }
  if (at >= text.size()) return -1;
  std::string name = text.substr(at + 1);
  int result = type == 'd' ? 1 : 0;
  if (type == 'l') {
    const std::size_t arrow = name.find(" -> ");
    if (arrow != std::string::npos) {
      result = static_cast<int>(text.size() - (name.size() - arrow - 4));
      name.resize(arrow);
    }
  }
  if (name.empty() || name.size() >= sizeof record->cFileName) return -1;
  if (type == 'd') size = 0;
  DWORD attr = mode << 16 | static_cast<DWORD>((size >> 32) & 0x3F) << 10;
  const u32 typeBits = type == 'd' ? 0x4000 : type == 'l' ? 0xA000 : type == '-' ? 0x8000 : 0;
  attr |= typeBits << 16;
  if (!(mode & 0200)) attr |= URL_ATTR_READONLY;
  if (type == 'd') attr |= URL_ATTR_DIRECTORY;
  if (mode & 0001) attr |= URL_ATTR_HIDDEN;
  if (mode & 0010) attr |= URL_ATTR_SYSTEM;
  if (mode & 0100) attr |= URL_ATTR_ARCHIVE;
  if (result > 1) attr |= URL_ATTR_LINK;
  record->dwFileAttributes = attr;
  record->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  record->nFileSizeLow = static_cast<DWORD>(size);
  record->ftLastWriteTime = FileTimeFromUnix(seconds, fraction);
  StrCopyA(record->cFileName, name.c_str(), sizeof record->cFileName);
  return result;
}

// ---- session -------------------------------------------------------------------------------------

CSshUrlConnection::CSshUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user,
                                     const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CCommLibConnection(Half::Ssh, engineHandle, host, user, password, reserved, port, alternateMode) {
  m_urlPrefix = "ssh://";
  m_useHelper = (alternateMode & 1) != 0;
  m_caps.kind = m_caps.kind68 = URL_KIND_SFTP;  // options 68 and 71 tell ssh as sftp
  m_caps.timeout = m_caps.utf8Option = m_caps.reconnects = true;
  m_caps.timeStep = 10'000'000;
  // Every path goes to the shell on one command line.
  m_pathRules.refused = "\r\n";
}

void CSshUrlConnection::Drain() {
  CommLibFunctions& lib = CommLib();
  char buffer[kLineMax];
  int count = 0;
  while (lib.SshReadCount(Handle(), &count) > 0 && count > 0)
    if (lib.SshRead(Handle(), buffer, sizeof buffer) <= 0) break;
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

int CSshUrlConnection::RunCommand(const std::string& command, std::string* reply) {
  const std::string sentinel = Sentinel("aaee", g_plainCounter, "xxyy");
  const std::string line = "echo -n " + Spoken(sentinel) + ";" + command + ";echo\r\n";
  if (line.size() > kCommandMax) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  Drain();
  if (!Send(line)) return -1;
  CommLibFunctions& lib = CommLib();
  char buffer[kLineMax];
  for (;;) {
    const int ready = lib.SshWait(Handle(), static_cast<int>(m_timeout), 1);
    if (ready == 0) {
      SessionFailure(kTimedOut);
      return kTimedOut;
    }
    const int n = ready < 0 ? ready : lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) {
      SessionFailure(n);
      return n;
    }
    const std::string text = Trim(buffer, n);
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

CUrlConnection::Attempt CSshUrlConnection::ReconnectOnce() {
  return EnsureConnected(true) ? Attempt::Done : Attempt::Failed;
}

// One attempt, whatever the count asked.
BOOL CSshUrlConnection::Reconnect(u64) { return ReconnectTries(1); }

void CSshUrlConnection::OnBreak() { m_breakRequested.store(true); }

UrlCapabilities CSshUrlConnection::Capabilities() const {
  UrlCapabilities caps = m_caps;
  caps.foldersOnly = static_cast<int>(m_helperVersion);
  caps.creationTimes = m_helperVersion != 0;
  return caps;
}

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

std::string CSshUrlConnection::HelperCommand(const std::string& options, const std::string& wire) const {
  return ShellQuote(m_helperPath) + " " + options + ShellQuote(EncodeHelperPath(wire));
}

bool CSshUrlConnection::Stat(const std::string& wire, WIN32_FIND_DATAA* record) {
  std::string reply;
  // The helper takes '*' and '?' for wildcards: such names are asked of ls.
  const bool helper = m_helperVersion && wire.substr(wire.rfind('/') + 1).find_first_of("*?") == std::string::npos;
  const std::string command = helper
                                  ? HelperCommand("-l ", wire)
                                  : "TZ=UTC0 " + m_lsPrefix + "ls " + m_lsOptions + "d " + ShellQuote(wire);
  const int n = RunCommand(command, &reply);
  if (n < 0) return false;
  if (ParseLsLine(reply, m_lsStyle, record) >= 0) return true;
  const DWORD error = GetLastError();
  SetLastError(error == 0 ? ERROR_ACCESS_DENIED : error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
  return false;
}

// ---- single operations ---------------------------------------------------------------------------

BOOL CSshUrlConnection::ChangeDir(const char* path) {
  std::string joined, wire;
  if (!EnsureConnected(false) || !Build(path, &joined, &wire)) return FALSE;
  std::string reply;
  const std::string target = wire == "/" ? wire : wire + "/";
  if (RunCommand(m_lsPrefix + "ls -ald " + ShellQuote(target), &reply) < 0) return FALSE;
  if (reply.size() < 10 || reply[0] != 'd') return Fail(ERROR_PATH_NOT_FOUND);
  return EnterDir(joined);
}

BOOL CSshUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  std::string wire;
  if (!EnsureConnected(false) || !Build(path, nullptr, &wire)) return FALSE;
  const std::time_t seconds = static_cast<std::time_t>(FileTimeToUnix(lastWrite));
  std::tm tm{};
  if (!::gmtime_r(&seconds, &tm)) return Fail(ERROR_INVALID_PARAMETER);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  // touch reads the stamp in the host's zone: UTC for it.
  return Simple("TZ=UTC0 touch -c -m -t " + std::string(stamp) + " " + ShellQuote(wire) + " && " + m_lsPrefix +
                    "ls -d " + ShellQuote(wire) + " >/dev/null",
                ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (attributes == 0xFFFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!EnsureConnected(false) || !Build(path, nullptr, &wire)) return FALSE;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", ModeOf(attributes));
  return Simple("chmod " + std::string(mode) + " " + ShellQuote(wire), ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::Rmdir(const char* path) {
  std::string wire;
  if (!EnsureConnected(false) || !Build(path, nullptr, &wire)) return FALSE;
  return Simple("rmdir " + ShellQuote(wire), ERROR_ACCESS_DENIED, true);
}

BOOL CSshUrlConnection::Mkdir(const char* path) {
  std::string wire;
  if (!EnsureConnected(false) || !Build(path, nullptr, &wire)) return FALSE;
  return Simple("mkdir " + ShellQuote(wire), ERROR_ACCESS_DENIED, true);
}

BOOL CSshUrlConnection::Remove(const char* path) {
  std::string wire;
  if (!EnsureConnected(false) || !Build(path, nullptr, &wire)) return FALSE;
  // rm -f never asks, but says nothing of a missing file: ls does.
  const std::string q = ShellQuote(wire);
  return Simple(m_lsPrefix + "ls -d " + q + " >/dev/null && rm -f " + q, ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::Rename(const char* oldPath, const char* newPath) {
  std::string from, to;
  if (!EnsureConnected(false) || !Build(oldPath, nullptr, &from) || !Build(newPath, nullptr, &to)) return FALSE;
  WIN32_FIND_DATAA record;
  if (!Stat(from, &record)) return Fail(ERROR_FILE_NOT_FOUND);
  if (Stat(to, &record)) return Fail(ERROR_FILE_EXISTS);
  // -n: a target that appears meanwhile is never replaced; -T: never moved into a folder.
  std::string reply;
  if (RunCommand("mv -n -T " + ShellQuote(from) + " " + ShellQuote(to), &reply) < 0) return FALSE;
  const DWORD mapped = MapShellError(reply);
  if (Stat(from, &record)) return Fail(reply.empty() ? ERROR_FILE_EXISTS : mapped ? mapped : ERROR_ACCESS_DENIED);
  if (!Stat(to, &record)) return Fail(mapped ? mapped : ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- listings ------------------------------------------------------------------------------------

BOOL CSshUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  m_breakRequested.store(false);
  std::string wire;
  if (!Handle() || !EnsureConnected(false) || !Build(path && *path ? path : "", nullptr, &wire)) {
    const DWORD code = Handle() ? GetLastError() : ERROR_INVALID_HANDLE;
    entry(context, nullptr);
    return Fail(code);
  }
  const std::string sentinel = Sentinel("abcd", g_listCounter, "vvww");
  const std::string folder = wire == "/" ? wire : wire + "/";
  std::string command;
  if (m_helperVersion)
    command = HelperCommand(filter.foldersOnly ? "-e -o -l " : "-e -l ", folder + "*");
  else
    command = "TZ=UTC0 " + m_lsPrefix + "ls " + m_lsOptions +
              (m_lsStyle <= 1 ? " --quoting-style=literal --show-control-chars " : " ") + ShellQuote(folder);
  const std::string line = "echo " + Spoken(sentinel) + ";" + command + ";echo ssttoopp\r\n";
  if (line.size() > kCommandMax) {
    entry(context, nullptr);
    return Fail(ERROR_FILENAME_EXCED_RANGE);
  }
  Drain();
  if (!Send(line)) {
    const DWORD code = GetLastError();
    entry(context, nullptr);
    return Fail(code);
  }
  SetBusy(true);
  CommLibFunctions& lib = CommLib();
  struct Link {
    std::string name;
    WIN32_FIND_DATAA record;
  };
  std::vector<Link> links;
  bool started = false, stopped = false, ended = false;
  i64 helperEnd = 0;
  bool helperEnded = false;
  u64 counted = 0;
  DWORD shellError = 0;
  DWORD failure = 0;
  char buffer[kLineMax];
  while (!ended) {
    const int ready = lib.SshWait(Handle(), static_cast<int>(m_timeout), 1);
    if (ready == 0 && !m_breakRequested.load()) {
      failure = SessionFailure(kTimedOut);
      break;
    }
    const int n = ready <= 0 ? (ready == 0 ? COMM_SHELL_BREAK : ready) : lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) {
      failure = SessionFailure(n);
      break;
    }
    const std::string text = Trim(buffer, n);
    if (!started) {
      started = SentinelAt(text, sentinel) != std::string::npos;
      continue;
    }
    if (text.size() >= 8 && text.size() <= 12 && StartsWith(text, "ssttoopp")) {
      ended = true;
      break;
    }
    if (StartsWith(text, "END<")) {
      helperEnd = std::strtoll(text.c_str() + 4, nullptr, 10);
      helperEnded = true;
      continue;
    }
    if (StartsWith(text, "LEN<")) continue;
    WIN32_FIND_DATAA record;
    const int kind = ParseLsLine(text, m_lsStyle, &record);
    if (kind < 0) {
      if (const DWORD e = MapShellError(text)) shellError = e;
      continue;
    }
    ++counted;
    if (stopped) continue;
    if (filter.foldersOnly && !(record.dwFileAttributes & URL_ATTR_DIRECTORY) && kind <= 1) continue;
    if (filter.mask && *filter.mask &&
        StrMatchPatternA(filter.mask, -1, NameIn(record.cFileName).c_str(), -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0)
      continue;
    const std::string inside = NameIn(record.cFileName);
    StrCopyA(record.cFileName, inside.c_str(), sizeof record.cFileName);
    if (kind > 1 || (record.dwFileAttributes & URL_ATTR_LINK)) {
      links.push_back({inside, record});
      continue;
    }
    if (!entry(context, &record)) stopped = true;
  }
  // Links after the listing: each with the data of what it leads to, where that can be read.
  for (std::size_t i = 0; failure == 0 && !stopped && i < links.size(); ++i) {
    WIN32_FIND_DATAA record = links[i].record;
    std::string linkWire;
    if (m_helperVersion == 0 && NameOut((folder + links[i].name).c_str(), linkWire)) {
      std::string target;
      WIN32_FIND_DATAA resolved;
      if (RunCommand("readlink -fv " + ShellQuote(linkWire), &target) > 0 && target[0] == '/' &&
          Stat(target, &resolved)) {
        resolved.dwFileAttributes |= URL_ATTR_LINK;
        StrCopyA(resolved.cFileName, record.cFileName, sizeof resolved.cFileName);
        record = resolved;
      }
    }
    if (!entry(context, &record)) stopped = true;
  }
  SetBusy(false);
  entry(context, nullptr);
  if (m_breakRequested.load()) return Fail(ERROR_CANCELLED);
  if (failure) return Fail(failure);
  if (helperEnded) {
    if (helperEnd < 0) return Fail(helperEnd == SYS_ERR_NOT_FOUND ? ERROR_PATH_NOT_FOUND : MapHelperError(helperEnd));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (counted == 0) return Fail(shellError == ERROR_FILE_NOT_FOUND || shellError == 0 ? ERROR_PATH_NOT_FOUND : shellError);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- transfers -----------------------------------------------------------------------------------

int CSshUrlConnection::UploadHelper(const std::string& wire, const Source& source, DWORD sourceError) {
  const std::string sentinel = Sentinel("aacc", g_uploadCounter, "ggtt");
  Drain();
  if (!Send("echo " + Spoken(sentinel) + ";" + HelperCommand("-w -e ", wire) + "\n")) return -1;
  CommLibFunctions& lib = CommLib();
  enum { Sentinel, Length, Sending, Ending } state = Sentinel;
  i64 expected = 0;
  int unanswered = 0;
  char buffer[kLineMax];
  BYTE block[kBlock];
  char encoded[kBlock * 2];
  for (;;) {
    if (m_breakRequested.load()) return Fail(ERROR_CANCELLED), -1;
    while (state == Sending && unanswered < kInFlight) {
      const int n = source(block, kBlock);
      if (n < 0) {
        // The helper keeps the old file when its input ends without the stop line.
        SessionFailure(COMM_SHELL_LOST);
        lib.SshBreak(Handle());
        return Fail(sourceError), -1;
      }
      std::string out;
      if (n == 0) {
        out = ">STOP<\n";
        state = Ending;
      } else {
        memtobase64(block, n, encoded);
        out = std::string(">") + encoded + "\n";
        expected += n;
        m_bytesDone.fetch_add(static_cast<u64>(n));
      }
      if (!Send(out)) return -1;
      ++unanswered;
      if (m_breakRequested.load()) return Fail(ERROR_CANCELLED), -1;
    }
    const int ready = lib.SshWait(Handle(), static_cast<int>(m_timeout), 1);
    if (ready == 0) return SessionFailure(kTimedOut), -1;
    const int n = ready < 0 ? ready : lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) return SessionFailure(n), -1;
    const std::string text = Trim(buffer, n);
    if (unanswered > 0) --unanswered;
    if (state == Sentinel) {
      if (SentinelAt(text, sentinel) != std::string::npos) state = Length;
      continue;
    }
    if (StartsWith(text, "END<")) {
      const i64 end = std::strtoll(text.c_str() + 4, nullptr, 10);
      if (end < 0) return Fail(MapHelperError(end)), -1;
      if (state != Ending || end != expected) return Fail(ERROR_HANDLE_EOF), -1;
      return 0;
    }
    if (state == Length && StartsWith(text, "LEN<")) {
      state = Sending;
      unanswered = 0;
    }
  }
}

int CSshUrlConnection::UploadShell(const std::string& wire, const Source& source, DWORD sourceError) {
  // As many bytes per command as a command line holds (four characters each at most): the
  // round trips, not the bytes, take the time.
  const std::string target = ShellQuote(wire);
  const std::size_t room = kCommandMax > target.size() + 128 ? (kCommandMax - target.size() - 128) / 4 : 0;
  const int block = static_cast<int>(std::min<std::size_t>(room, kShellBlock));
  if (block < 16) return Fail(ERROR_FILENAME_EXCED_RANGE), -1;
  std::vector<BYTE> data(static_cast<std::size_t>(block));
  bool first = true;
  u64 written = 0;
  int retry = 0;  // blocks still covered by the one retry after a failed block
  int n = 0;
  bool resend = false;
  for (;;) {
    if (m_breakRequested.load()) return Fail(ERROR_CANCELLED), -1;
    if (!resend) {
      n = 0;
      while (n < block) {
        const int got = source(data.data() + n, block - n);
        if (got < 0) return Fail(sourceError), -1;
        if (got == 0) break;
        n += got;
      }
      if (n == 0 && !first) return 0;
    }
    resend = false;
    // printf with octal escapes: the same bytes under every shell (echo -ne is bash only).
    const std::string command =
        (n == 0 ? std::string(":") : "printf '" + PrintfEscape(data.data(), static_cast<std::size_t>(n)) + "'") +
        (first ? " > " : " >> ") + target;
    std::string reply;
    const int r = RunCommand(command, &reply);
    if (m_breakRequested.load()) return Fail(ERROR_CANCELLED), -1;
    if (r != 0) {
      const DWORD error = r > 0 ? (MapShellError(reply) ? MapShellError(reply) : ERROR_ACCESS_DENIED) : GetLastError();
      if (retry > 0) return Fail(error), -1;
      // Once: a new session, the file cut back to what was written, the block again.
      CommLib().SshBreak(Handle());
      m_lost = true;
      const std::string leftover = std::move(m_leftover);
      m_leftover.clear();
      const bool renewed = EnsureConnected(false);
      m_leftover = leftover;
      if (!renewed) return -1;
      if (!first && !Truncate(wire, written)) return -1;
      retry = 16;
      resend = true;
      continue;
    }
    first = false;
    if (retry > 0) --retry;
    written += static_cast<u64>(n);
    m_bytesDone.fetch_add(static_cast<u64>(n));
    if (n < block) return 0;
  }
}

bool CSshUrlConnection::Truncate(const std::string& wire, u64 length) {
  // The path goes to perl as an argument, never inside its program text.
  std::string reply;
  const int r = RunCommand("perl -e 'my $f; (open($f, \"+<\", $ARGV[0]) && truncate($f, $ARGV[1]) && close($f)) or print \"$!\"' " +
                               ShellQuote(wire) + " " + std::to_string(length),
                           &reply);
  if (r < 0) return false;
  if (r > 0) return Fail(MapShellError(reply) ? MapShellError(reply) : ERROR_ACCESS_DENIED);
  WIN32_FIND_DATAA record;
  if (!Stat(wire, &record)) return Fail(ERROR_FILE_NOT_FOUND);
  if ((u64{record.nFileSizeHigh} << 32 | record.nFileSizeLow) != length) return Fail(ERROR_HANDLE_EOF);
  return true;
}

BOOL CSshUrlConnection::Upload(const std::string& wire, const Source& given, u64 total, bool checkSize,
                               DWORD sourceError) {
  // The source is asked for large pieces, which go out in blocks.
  std::vector<BYTE> piece(64 * 1024);
  std::size_t at = 0, held = 0;
  bool failed = false;
  const Source source = [&](BYTE* buffer, int size) -> int {
    if (at == held && !failed) {
      const int n = given(piece.data(), static_cast<int>(piece.size()));
      if (n < 0) failed = true;
      at = 0;
      held = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (at == held) return failed ? -1 : 0;
    const std::size_t n = std::min(held - at, static_cast<std::size_t>(size));
    std::memcpy(buffer, piece.data() + at, n);
    at += n;
    return static_cast<int>(n);
  };
  m_failureSide = URL_FAIL_TRANSFER;
  m_bytesDone.store(0);
  m_bytesTotal.store(total);
  m_breakRequested.store(false);
  SetBusy(true);
  int rc;
  if (m_helperVersion) {
    // The helper writes a temporary name itself and renames it when whole.
    rc = UploadHelper(wire, source, sourceError);
  } else {
    const std::size_t slash = wire.rfind('/');
    char suffix[48];
    static std::atomic<u32> counter{0};
    std::snprintf(suffix, sizeof suffix, ".kpw-%d-%u", static_cast<int>(::getpid()), static_cast<unsigned>(++counter));
    const std::string temp = wire.substr(0, slash + 1) + "." + wire.substr(slash + 1) + suffix;
    m_leftover = temp;
    rc = UploadShell(temp, source, sourceError);
    const DWORD error = GetLastError();
    SetBusy(false);
    if (rc == 0 && checkSize && total != ~u64{0}) {
      WIN32_FIND_DATAA record;
      if (!Stat(temp, &record)) {
        rc = -1;
      } else if ((u64{record.nFileSizeHigh} << 32 | record.nFileSizeLow) != m_bytesDone.load()) {
        SetLastError(ERROR_HANDLE_EOF);
        rc = -1;
      }
    }
    if (rc == 0) {
      // The old file's mode goes over to the new one.
      std::string reply;
      const int r = RunCommand("chmod --reference=" + ShellQuote(wire) + " " + ShellQuote(temp) + " 2>/dev/null; mv -f " +
                                   ShellQuote(temp) + " " + ShellQuote(wire),
                               &reply);
      if (r != 0) {
        if (r > 0) SetLastError(MapShellError(reply) ? MapShellError(reply) : ERROR_ACCESS_DENIED);
        rc = -1;
      }
    }
    const DWORD kept = rc == 0 ? 0 : GetLastError() ? GetLastError() : error;
    if (rc != 0 && !m_lost) RunCommand("rm -f " + ShellQuote(temp), nullptr);
    if (!m_lost) m_leftover.clear();
    if (rc != 0) return Fail(kept ? kept : ERROR_ACCESS_DENIED);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetBusy(false);
  if (rc != 0) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CSshUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!EnsureConnected(false) || !Build(remote, nullptr, &wire)) return FALSE;
  const u64 announced = m_nextUploadSize;
  m_nextUploadSize = 0;
  return Upload(wire, [&](BYTE* buffer, int size) { return read(context, buffer, size); },
                announced ? announced : ~u64{0}, announced != 0, ERROR_READ_FAULT);
}

BOOL CSshUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  const i64 size = SysFileLength(local ? local : "");
  LocalFile file;
  if (size >= 0) file.fd = ::open(local, O_RDONLY | O_CLOEXEC);
  if (size < 0 || file.fd < 0) {
    m_failureSide = URL_FAIL_LOCAL;
    return Fail(SysFileExist(local ? local : "") == 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
  }
  std::string wire;
  if (!EnsureConnected(false) || !Build(remote, nullptr, &wire)) return FALSE;
  return Upload(wire,
                [&](BYTE* buffer, int want) -> int {
                  for (;;) {
                    const ssize_t n = ::read(file.fd, buffer, static_cast<std::size_t>(want));
                    if (n >= 0) return static_cast<int>(n);
                    if (errno != EINTR) return -1;
                  }
                },
                static_cast<u64>(size), true, ERROR_WRITE_FAULT);
}

BOOL CSshUrlConnection::Download(const std::string& wire, const Sink& sink) {
  m_failureSide = URL_FAIL_TRANSFER;
  m_breakRequested.store(false);
  m_bytesDone.store(0);
  WIN32_FIND_DATAA record;
  if (!Stat(wire, &record)) {
    if (GetLastError() == ERROR_PATH_NOT_FOUND) SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (record.dwFileAttributes & URL_ATTR_DIRECTORY) return Fail(ERROR_ACCESS_DENIED);
  const u64 total = u64{record.nFileSizeHigh} << 32 | record.nFileSizeLow;
  m_bytesTotal.store(total);
  // An empty file needs no command (hexdump prints nothing at all for it).
  if (total == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  const std::string sentinel = Sentinel("aadd", g_downloadCounter, "ggtt");
  const bool helper = m_helperVersion != 0;
  const std::string command =
      helper ? HelperCommand("-r256 -e ", wire)
             : "hexdump -v -e '\"END<%08_Ad>\\n\"' -e '256/1 \"%02x\"' -e '\"\\n\"' " + ShellQuote(wire);
  const std::string line = "echo " + Spoken(sentinel) + ";" + command + ";echo ddoonnee\r\n";
  if (line.size() > kCommandMax) return Fail(ERROR_FILENAME_EXCED_RANGE);
  Drain();
  if (!Send(line)) return FALSE;
  SetBusy(true);
  CommLibFunctions& lib = CommLib();
  bool started = false;
  i64 end = -1, length = -1;
  u64 written = 0;
  DWORD failure = 0, shellError = 0;
  char buffer[kLineMax];
  BYTE data[kLineMax / 2];
  for (;;) {
    if (m_breakRequested.load()) break;
    const int ready = lib.SshWait(Handle(), static_cast<int>(m_timeout), 1);
    if (m_breakRequested.load()) break;
    if (ready == 0) {
      failure = SessionFailure(kTimedOut);
      break;
    }
    const int n = ready < 0 ? ready : lib.SshRead(Handle(), buffer, sizeof buffer);
    if (n < 0) {
      failure = SessionFailure(n);
      break;
    }
    const std::string text = Trim(buffer, n);
    if (!started) {
      started = SentinelAt(text, sentinel) != std::string::npos;
      continue;
    }
    if (text == "ddoonnee") break;
    if (StartsWith(text, "END<")) {
      end = std::strtoll(text.c_str() + 4, nullptr, 10);
      if (helper && end < 0) failure = MapHelperError(end);
      continue;
    }
    if (StartsWith(text, "LEN<")) {
      length = std::strtoll(text.c_str() + 4, nullptr, 10);
      if (helper && length < 0) failure = MapHelperError(length);
      continue;
    }
    int count = -1;
    if (helper && !text.empty() && text[0] == '>') {
      count = base64tomem(data, 260, text.c_str() + 1, static_cast<int>(text.size() - 1));
    } else if (!helper && !text.empty() && text.size() % 2 == 0 && text.size() <= 512 &&
               std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      count = static_cast<int>(text.size() / 2);
      for (int i = 0; i < count; ++i)
        data[i] = static_cast<BYTE>(std::stoi(text.substr(static_cast<std::size_t>(i) * 2, 2), nullptr, 16));
    } else {
      if (const DWORD e = MapShellError(text)) shellError = e;
      continue;
    }
    if (failure) continue;
    if (count > 0) {
      if (!sink(data, count)) {
        failure = ERROR_WRITE_FAULT;
        // The rest of the output is of no use: the session goes.
        lib.SshBreak(Handle());
        m_checkLink.store(true);
        break;
      }
      written += static_cast<u64>(count);
      m_bytesDone.store(written);
    }
  }
  SetBusy(false);
  if (m_breakRequested.load()) return Fail(ERROR_CANCELLED);
  if (failure) return Fail(failure);
  if (shellError && written == 0) return Fail(shellError);
  if (end < 0 || static_cast<u64>(end) != written || (length >= 0 && static_cast<u64>(length) != written))
    return Fail(ERROR_HANDLE_EOF);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CSshUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!Handle() || !EnsureConnected(false) || !Build(remote, nullptr, &wire)) {
    const DWORD code = Handle() ? GetLastError() : ERROR_INVALID_HANDLE;
    write(context, nullptr, -1);
    return Fail(code);
  }
  const BOOL ok = Download(wire, [&](const BYTE* data, int count) { return write(context, data, count) == count; });
  const DWORD error = GetLastError();
  write(context, nullptr, ok ? 0 : -1);
  SetLastError(error);
  return ok;
}

BOOL CSshUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  if (!local || !*local) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st {};
  if (failIfExists && ::lstat(local, &st) == 0) {
    m_failureSide = URL_FAIL_LOCAL;
    return Fail(ERROR_FILE_EXISTS);
  }
  std::string wire;
  if (!EnsureConnected(false) || !Build(remote, nullptr, &wire)) return FALSE;
  // A temporary name beside the target, renamed over it when whole; made with the mode that the
  // user's mask gives a new file.
  static std::atomic<u32> counter{0};
  std::string temp;
  LocalFile file;
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    temp = std::string(local) + ".kpw-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    file.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) {
    m_failureSide = URL_FAIL_LOCAL;
    return Fail(ERROR_ACCESS_DENIED);
  }
  BOOL ok = Download(wire, [&](const BYTE* data, int count) {
    for (int done = 0; done < count;) {
      const ssize_t n = ::write(file.fd, data + done, static_cast<std::size_t>(count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<int>(n);
    }
    return true;
  });
  DWORD error = GetLastError();
  if (ok && (::close(file.fd) != 0 || ::rename(temp.c_str(), local) != 0)) {
    file.fd = -1;
    ok = FALSE;
    error = ERROR_WRITE_FAULT;
    m_failureSide = URL_FAIL_LOCAL;
  } else if (ok) {
    file.fd = -1;
  }
  if (!ok) ::unlink(temp.c_str());
  SetLastError(ok ? ERROR_SUCCESS : error);
  return ok;
}

// ---- options -------------------------------------------------------------------------------------

BOOL CSshUrlConnection::SetFindData(const void* buffer, int size) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  if (record.ftLastWriteTime.dwHighDateTime != 0 && !SetFileTime(record.cFileName, record.ftLastWriteTime))
    return FALSE;
  const u32 attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF &&
      !SetAttributes(record.cFileName, attributes & ~u32{URL_ATTR_NORMAL}))
    return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
