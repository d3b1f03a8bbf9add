// The SSH adapter's listings: lines of ls and of the helper read as entries, Stat and ReadDir.
#include "remote/ssh/ssh_connection.h"

#include "lib/system/sys_types.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/ssh/ssh_internal.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

using namespace sshint;

namespace {

std::atomic<u32> g_listCounter{0};

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

}  // namespace

// ---- lines -------------------------------------------------------------------------------------

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

// ---- listings ----------------------------------------------------------------------------------

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

BOOL CSshUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  m_breakRequested.store(false);
  std::string wire;
  if (!Reach(path && *path ? path : "", wire))
    return AbortListing(context, entry);
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
  if (!Send(line)) return AbortListing(context, entry);
  SetBusy(true);
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
  while (!ended) {
    std::string text;
    const int got = NextLine(text);
    if (got == 0 && !m_breakRequested.load()) {
      failure = SessionFailure(kTimedOut);
      break;
    }
    if (got <= 0) {
      failure = SessionFailure(got == 0 ? COMM_SHELL_BREAK : got);
      break;
    }
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

UrlCapabilities CSshUrlConnection::Capabilities() const {
  UrlCapabilities caps = m_caps;
  caps.foldersOnly = static_cast<int>(m_helperVersion);
  caps.creationTimes = m_helperVersion != 0;
  return caps;
}
