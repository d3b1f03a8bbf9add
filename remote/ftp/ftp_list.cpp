// FTP listings: "LIST -al" read whole, its Unix and DOS lines parsed, links resolved, exact times asked.
#include "lib/text/num.h"
#include "lib/text/str.h"
#include "lib/system/sys_path.h"
#include "remote/ftp/ftp_client.h"
#include "remote/ftp/ftp_internal.h"
#include "remote/url_connection.h"

#include <cstring>
#include <ctime>
#include <vector>

namespace {

using namespace ftpint;

constexpr std::size_t kMaxListLine = 16 * 1024;
constexpr std::size_t kNameMax = sizeof(WIN32_FIND_DATAA::cFileName) - 1;
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

struct Token {
  std::string_view text;
  std::size_t end;  // position behind it in the line
};

std::vector<Token> Tokens(std::string_view line, std::size_t from) {
  std::vector<Token> out;
  std::size_t at = from;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size()) break;
    std::size_t end = at;
    while (end < line.size() && line[end] != ' ') ++end;
    out.push_back({line.substr(at, end - at), end});
    at = end;
  }
  return out;
}

// The Windows bits of a Unix type and mode.
DWORD Attributes(u32 type, u32 mode, bool link) {
  DWORD a = (type | (mode & 07777)) << 16;
  if (!(mode & 0200)) a |= URL_ATTR_READONLY;
  if (type == 0x4000) a |= URL_ATTR_DIRECTORY;
  if (mode & 0001) a |= URL_ATTR_HIDDEN;
  if (mode & 0010) a |= URL_ATTR_SYSTEM;
  if (mode & 0100) a |= URL_ATTR_ARCHIVE;
  if (link) a |= URL_ATTR_LINK;
  return a;
}

// The nine mode letters (and an optional tenth mark) at line[1..]; the mode, or -1.
int ModeOf(std::string_view line, std::size_t* end) {
  if (line.size() < 11) return -1;
  static const char kLetters[] = "rwxrwxrwx";
  int mode = 0;
  for (int i = 0; i < 9; ++i) {
    const char c = line[static_cast<std::size_t>(1 + i)];
    const int bit = 0400 >> i;
    if (c == kLetters[i]) {
      mode |= bit;
    } else if (c == '-') {
    } else if ((i == 2 || i == 5) && (c == 's' || c == 'S')) {
      mode |= i == 2 ? 04000 : 02000;
      if (c == 's') mode |= bit;
    } else if (i == 8 && (c == 't' || c == 'T')) {
      mode |= 01000;
      if (c == 't') mode |= bit;
    } else {
      return -1;
    }
  }
  std::size_t at = 10;
  if (line[at] != ' ') ++at;  // "+" (ACL), "." (SELinux), "@" (extended attributes)
  if (at >= line.size() || line[at] != ' ') return -1;
  *end = at;
  return mode;
}

bool TakeName(std::string_view wire, u32 flags, FtpListEntry* out) {
  if (wire.empty() || wire.find('/') != std::string_view::npos || wire.find('\0') != std::string_view::npos)
    return false;
  const std::string name = (flags & FTP_RAW_NAMES) ? CUrlConnection::NameFromLatin1(wire) : std::string(wire);
  if (name.size() > kNameMax) return false;  // never cut: a cut name is another file
  std::memcpy(out->data.cFileName, name.data(), name.size());
  out->data.cFileName[name.size()] = '\0';
  return true;
}

int ParseUnix(std::string_view line, u32 flags, const FtpListClock& clock, FtpListEntry* out) {
  std::size_t modeEnd = 0;
  const int mode = ModeOf(line, &modeEnd);
  if (mode < 0) return FTP_LINE_BAD;
  const char type = line[0];
  if (type != 'd' && type != 'l' && type != '-') return FTP_LINE_SKIP;  // devices, pipes, sockets
  // Anchor on "size month day time-or-year": owners and groups may be missing or hold blanks.
  const std::vector<Token> t = Tokens(line, modeEnd);
  std::size_t i = 0;
  for (; i + 3 < t.size(); ++i) {
    const std::string_view month = t[i + 1].text, day = t[i + 2].text, last = t[i + 3].text;
    if (!AllDigits(t[i].text) || month.size() < 3 || month.size() > 12 || IsDigit(month[0]) ||
        month.find(':') != std::string_view::npos || !AllDigits(day) || day.size() > 2)
      continue;
    const std::size_t colon = last.find(':');
    const bool time = colon != std::string_view::npos && colon >= 1 && colon <= 2 &&
                      AllDigits(last.substr(0, colon)) && AllDigits(last.substr(colon + 1)) &&
                      last.size() - colon - 1 == 2;
    const bool year = AllDigits(last) && last.size() == 4;
    if (time || year) break;
  }
  if (i + 3 >= t.size()) return FTP_LINE_BAD;
  const std::size_t nameAt = t[i + 3].end + 1;
  if (nameAt >= line.size()) return FTP_LINE_BAD;
  std::string_view name = line.substr(nameAt);
  std::string_view target;
  const bool link = type == 'l';
  if (link) {
    const std::size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos) {
      target = name.substr(arrow + 4);
      name = name.substr(0, arrow);
    }
  }
  *out = FtpListEntry{};
  if (!TakeName(name, flags, out)) return FTP_LINE_BAD;
  out->isLink = link;
  out->linkTarget = std::string(target);
  const u32 unixType = type == 'd' ? 0x4000 : link ? 0xA000 : 0;
  out->data.dwFileAttributes = Attributes(unixType, static_cast<u32>(mode), link);
  const u64 size = type == 'd' ? 0 : std::strtoull(std::string(t[i].text).c_str(), nullptr, 10);
  out->data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  out->data.nFileSizeLow = static_cast<DWORD>(size);

  int month = 0;
  for (int m = 0; m < 12; ++m)
    if (t[i + 1].text == kMonths[m]) month = m + 1;
  const int day = std::atoi(std::string(t[i + 2].text).c_str());
  const std::string_view last = t[i + 3].text;
  int year = clock.year, hour = 0, minute = 0;
  const std::size_t colon = last.find(':');
  const bool hasTime = colon != std::string_view::npos;
  if (hasTime) {
    hour = std::atoi(std::string(last.substr(0, colon)).c_str());
    minute = std::atoi(std::string(last.substr(colon + 1)).c_str());
    if (clock.month <= 6 && clock.month + 2 < month) --year;
    out->askTime = month == 0;
  } else {
    year = std::atoi(std::string(last).c_str());
    out->askTime = true;
    if (year < 1001) return FTP_LINE_BAD;
  }
  // Minutes with a guessed year, or a day: MDTM makes it exact where the server answers.
  out->data.dwReserved1 = URL_TIME_COARSE;
  if (month >= 1 && day >= 1 && day <= 31 && hour < 24 && minute < 60) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    const FILETIME ft = FileTimeFromUnix(static_cast<i64>(::timegm(&tm)));
    out->data.ftLastWriteTime = ft;
    out->data.ftCreationTime = ft;
    out->data.ftLastAccessTime = hasTime ? FileTimeFromUnix(clock.now) : ft;
  } else {
    out->askTime = true;
  }
  return FTP_LINE_ENTRY;
}

int ParseDos(std::string_view line, u32* flags, FtpListEntry* out) {
  const std::vector<Token> t = Tokens(line, 0);
  if (t.size() < 4) return FTP_LINE_BAD;
  const std::string when = std::string(t[0].text) + " " + std::string(t[1].text);
  std::tm tm{};
  const u32 got = DateParseTextNA(when.c_str(), &tm, DATE_DOS_LISTING, -1);
  if (!(got & (DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY))) return FTP_LINE_BAD;
  if (!(*flags & FTP_KEEP_NAMES)) *flags |= FTP_RAW_NAMES;
  *out = FtpListEntry{};
  std::size_t k = 2;
  bool dir = false;
  while (k < t.size() && t[k].text.starts_with('<')) {
    if (t[k].text.substr(1).starts_with("DIR>")) dir = true;
    ++k;
  }
  u64 size = 0;
  if (!dir) {
    if (k >= t.size() || !AllDigits(t[k].text)) return FTP_LINE_BAD;
    size = std::strtoull(std::string(t[k].text).c_str(), nullptr, 10);
    ++k;
  }
  if (k >= t.size()) return FTP_LINE_BAD;
  std::size_t nameAt = t[k - 1].end;
  while (nameAt < line.size() && line[nameAt] == ' ') ++nameAt;
  if (!TakeName(line.substr(nameAt), *flags, out)) return FTP_LINE_BAD;
  out->data.dwFileAttributes = Attributes(dir ? 0x4000 : 0, 0x1F8, false);
  out->data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  out->data.nFileSizeLow = static_cast<DWORD>(size);
  out->askTime = (got & DATE_COMPLETE) != DATE_COMPLETE;
  out->data.dwReserved1 = URL_TIME_COARSE;  // no seconds
  if (got & DATE_GOT_DAY) {
    tm.tm_sec = 0;
    tm.tm_isdst = 0;
    const FILETIME ft = FileTimeFromUnix(static_cast<i64>(::timegm(&tm)));
    out->data.ftLastWriteTime = ft;
    out->data.ftCreationTime = ft;
    out->data.ftLastAccessTime = ft;
  }
  return FTP_LINE_ENTRY;
}

}  // namespace

FtpListClock FtpListClock::System() {
  FtpListClock c;
  c.now = static_cast<i64>(std::time(nullptr));
  std::tm tm{};
  const time_t now = static_cast<time_t>(c.now);
  ::gmtime_r(&now, &tm);
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  return c;
}

int FtpParseListLine(std::string_view line, u32* flags, const FtpListClock& clock, FtpListEntry* out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty() || line.starts_with("total ") || line == "total") return FTP_LINE_SKIP;
  const char c = line[0];
  if (IsDigit(c)) return ParseDos(line, flags, out);
  if (std::strchr("dl-bcpsD", c)) return ParseUnix(line, *flags, clock, out);
  return FTP_LINE_BAD;
}

int FtpNormalizePath(std::string& path) {
  path = SysPathDots(path, 0);
  return static_cast<int>(path.size());
}

namespace {

// Reads the listing's data connection to its end into entries; the command lock is held.
// 0, FTP_E_LISTING for a line that could not be read, or another code.
int CollectListing(FtpSession& s, const FtpListClock& clock, std::vector<FtpListEntry>& entries,
                   std::vector<std::string>& wireNames) {
  std::string pending;
  char buffer[64 * 1024];
  bool bad = false;
  bool timedOut = false;
  const auto take = [&](std::string_view line) {
    FtpListEntry entry;
    u32 flags = s.flags;
    const int kind = FtpParseListLine(line, &flags, clock, &entry);
    s.flags = flags;
    if (kind == FTP_LINE_BAD) {
      bad = true;
      return;
    }
    if (kind != FTP_LINE_ENTRY) return;
    entries.push_back(std::move(entry));
  };
  for (;;) {
    if (s.breakFlag) break;
    const int n = SockRecv(s.data.get(), buffer, sizeof buffer, s.timeoutMs);
    if (n < 0) break;
    if (n == 0) {
      timedOut = true;
      break;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (;;) {
      const std::size_t lf = pending.find('\n', start);
      if (lf == std::string::npos) break;
      take(std::string_view(pending).substr(start, lf - start));
      start = lf + 1;
    }
    pending.erase(0, start);
    if (pending.size() > kMaxListLine) bad = true;
    if (bad) break;
  }
  if (!bad && !s.breakFlag && !timedOut && !pending.empty()) take(pending);  // a last line without LF
  wireNames.clear();
  for (const FtpListEntry& e : entries) {
    std::string wire = e.data.cFileName;
    if (s.flags & FTP_RAW_NAMES) CUrlConnection::NameToLatin1(e.data.cFileName, wire);
    wireNames.push_back(std::move(wire));
  }
  if (s.breakFlag || bad || timedOut) {
    AbortTransfer(s);
    if (s.breakFlag) return BreakResult(s);
    if (timedOut) return Fail(s, FTP_E_TIMEOUT, "receive timeout");
    return Fail(s, FTP_E_LISTING, "incomplete listing");
  }
  CloseData(s);
  return 0;
}

// A link entry with a known target: a folder when the server can enter it (CWD), else a file
// with the target's size and time where the server tells them.
void ResolveLink(FtpSession& s, const std::string& dirWire, FtpListEntry& entry) {
  if (entry.linkTarget.empty()) return;
  if (entry.linkTarget.ends_with('/')) {
    entry.data.dwFileAttributes |= URL_ATTR_DIRECTORY;
    entry.data.nFileSizeHigh = entry.data.nFileSizeLow = 0;
    entry.askTime = false;
    return;
  }
  std::string target = entry.linkTarget;
  if (!target.starts_with('/')) target = dirWire + target;
  FtpNormalizePath(target);
  const std::string name = NameIn(s, target);
  const std::string back = s.currentDir;
  if (CwdRaw(s, name.c_str()) / 100 == 2) {
    CwdRaw(s, back.c_str());
    entry.data.dwFileAttributes |= URL_ATTR_DIRECTORY;
    entry.data.nFileSizeHigh = entry.data.nFileSizeLow = 0;
    entry.askTime = false;
    return;
  }
  if (s.flags & FTP_FEAT_SIZE) {
    u64 size = 0;
    if (SizeLocked(s, name.c_str(), &size) == 213) {
      entry.data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      entry.data.nFileSizeLow = static_cast<DWORD>(size);
    }
  }
  if (s.flags & FTP_FEAT_MDTM) {
    i64 t = 0;
    if (MdtmLocked(s, name.c_str(), &t) == 213) {
      entry.data.ftLastWriteTime = entry.data.ftCreationTime = FileTimeFromUnix(t);
      entry.data.dwReserved1 &= ~URL_TIME_COARSE;
      entry.askTime = false;
    }
  }
}

}  // namespace

int FtpReadDir(FtpSession* s, const char* path, void* context, FtpEntryFn entry, const FtpListClock* clock) {
  if (!entry) return FTP_E_NO_MEMORY;
  if (!s) {
    entry(context, nullptr);
    return FTP_E_NO_MEMORY;
  }
  Operation op(*s);
  const auto end = [&](int code) {
    entry(context, nullptr);
    s->lastResult = code;
    return code;
  };
  if (const int rc = Ready(*s)) return end(rc);
  const FtpListClock now = clock ? *clock : FtpListClock::System();
  std::string dirWire;
  if (const int rc = BuildPath(*s, path && *path ? path : ".", dirWire)) return end(rc);
  const std::string command = (s->plainList ? "LIST " : "LIST -al ") + dirWire;
  if (command.size() > kMaxCommandLine) return end(Fail(*s, FTP_E_PATH_TOO_LONG, "path too long"));
  // A listing is no transfer: the counters keep the last transfer's bytes (options 63 and 64).
  int rc = OpenDataConnection(*s, command);
  if (rc / 100 == 5 && !s->plainList) {
    // Servers that take "-al" for a name refuse it: the plain command, from then on when it works.
    CloseListening(*s);
    rc = OpenDataConnection(*s, "LIST " + dirWire);
    if (rc == 0) s->plainList = true;
  }
  if (rc) {
    CloseListening(*s);
    return end(rc);
  }
  std::vector<FtpListEntry> entries;
  std::vector<std::string> wireNames;
  int code = CollectListing(*s, now, entries, wireNames);
  if (code == 0) code = ReadReply(*s);
  CloseListening(*s);
  if (code != 226) return end(code);

  // A listing that shows no "." may name a missing folder or a file: only a folder can be entered.
  bool dot = false;
  for (const FtpListEntry& e : entries)
    if (std::strcmp(e.data.cFileName, ".") == 0 && (e.data.dwFileAttributes & URL_ATTR_DIRECTORY)) dot = true;
  if (!dot) {
    const std::string back = s->currentDir;
    const int cwd = CwdRaw(*s, path && *path ? path : ".");
    if (cwd / 100 != 2) return end(cwd);
    CwdRaw(*s, back.c_str());
  }

  std::string prefix = dirWire == "." ? std::string() : dirWire;
  if (!prefix.empty() && !prefix.ends_with('/')) prefix += '/';
  for (std::size_t i = 0; i < entries.size(); ++i) {
    FtpListEntry& e = entries[i];
    if (e.isLink && (s->flags & FTP_RESOLVE_LINKS)) ResolveLink(*s, prefix, e);
    if (e.askTime && (s->flags & FTP_FEAT_MDTM) && !(e.data.dwFileAttributes & URL_ATTR_DIRECTORY)) {
      i64 t = 0;
      const std::string name = NameIn(*s, prefix + wireNames[i]);
      if (MdtmLocked(*s, name.c_str(), &t) == 213) {
        e.data.ftLastWriteTime = e.data.ftCreationTime = FileTimeFromUnix(t);
        e.data.dwReserved1 &= ~URL_TIME_COARSE;
      }
    }
    if (!entry(context, &e.data)) break;
  }
  Keep(*s, 226, "listing complete");
  return end(226);
}
