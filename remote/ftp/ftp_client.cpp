// The FTP session: control connection, replies, login with FEAT, the file commands and the break.
#include "remote/ftp/ftp_client.h"

#include "platform/last_error.h"
#include "remote/ftp/ftp_internal.h"
#include "remote/url_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace ftpint {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;  // a control line longer than this is no reply
constexpr std::size_t kTextMax = 127;
constexpr int kWaitSliceMs = 2500;
constexpr const char* kGuest = "gastkonto";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool HasCode(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

// The text of a reply line: behind the digits, a '-' and the blanks, without trailing blanks.
std::string ReplyTextOf(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && IsDigit(line[at])) ++at;
  if (at < line.size() && line[at] == '-') ++at;
  while (at < line.size() && static_cast<unsigned char>(line[at]) < 33) ++at;
  std::size_t end = line.size();
  while (end > at && static_cast<unsigned char>(line[end - 1]) < 33) --end;
  return std::string(line.substr(at, end - at));
}

}  // namespace

void Keep(FtpSession& s, int code, std::string text) {
  s.lastResult = code;
  s.replyWhole = text;
  if (text.size() > kTextMax) text.resize(kTextMax);
  s.replyText = std::move(text);
}

namespace {

// RFC 959: the folder between the first '"' and the one that ends it; '""' stands for one '"'.
std::string QuotedPath(const std::string& text) {
  if (!text.starts_with('"')) return text;
  std::string out;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] != '"') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '"') {
      out += '"';
      ++i;
    } else {
      break;
    }
  }
  return out;
}

}  // namespace

int Fail(FtpSession& s, int code, const char* text) {
  Keep(s, code, text ? text : "");
  return code;
}

int BreakResult(FtpSession& s) {
  s.breakFlag = false;
  return Fail(s, FTP_E_TIMEOUT, "user break");
}

void CloseControl(FtpSession& s) {
  std::unique_ptr<Sock> gone;
  {
    std::lock_guard lock(s.socketLock);
    gone = std::move(s.control);
  }
  s.inBuffer.clear();
}

void CloseData(FtpSession& s) {
  std::unique_ptr<Sock> gone;
  std::lock_guard lock(s.socketLock);
  gone = std::move(s.data);
}

void CloseListening(FtpSession& s) {
  std::unique_ptr<Sock> gone;
  std::lock_guard lock(s.socketLock);
  gone = std::move(s.listening);
}

int ReadLine(FtpSession& s, std::string& line, ReplyLimit& limit) {
  const auto timedOut = [&] {
    CloseControl(s);
    return s.breakFlag ? BreakResult(s) : Fail(s, FTP_E_TIMEOUT, "receive timeout");
  };
  for (;;) {
    const std::size_t lf = s.inBuffer.find('\n');
    if (lf != std::string::npos) {
      if (lf + 1 > limit.left) return timedOut();
      limit.left -= lf + 1;
      std::size_t end = lf;
      if (end > 0 && s.inBuffer[end - 1] == '\r') --end;
      line.assign(s.inBuffer, 0, end);
      s.inBuffer.erase(0, lf + 1);
      return 0;
    }
    if (s.inBuffer.size() > kMaxLine || !s.control) {
      CloseControl(s);
      return s.breakFlag ? BreakResult(s) : Fail(s, FTP_E_BROKEN, "connection brocken");
    }
    if (s.inBuffer.size() >= limit.left) return timedOut();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit.deadline - Clock::now()).count();
    if (left <= 0) return timedOut();
    char buffer[4096];
    const int wait = static_cast<int>(std::min<long long>(std::max<long long>(left, 100), kWaitSliceMs));
    const int n = SockRecv(s.control.get(), buffer, sizeof buffer, wait);
    if (n < 0) {
      CloseControl(s);
      return s.breakFlag ? BreakResult(s) : Fail(s, FTP_E_BROKEN, "connection brocken");
    }
    if (n == 0 && s.breakFlag) {
      CloseControl(s);
      return BreakResult(s);
    }
    s.inBuffer.append(buffer, static_cast<std::size_t>(n));
  }
}

int ReadReply(FtpSession& s, bool keepText, bool firstLineOnly) {
  ReplyLimit limit(s);
  std::string line;
  if (const int rc = ReadLine(s, line, limit)) return rc;
  if (!HasCode(line)) {
    if (keepText) Keep(s, 0, ReplyTextOf(line));
    return 0;
  }
  const int code = std::atoi(line.substr(0, 3).c_str());
  const std::string text = ReplyTextOf(line);
  if (line.size() > 3 && line[3] == '-' && !firstLineOnly) {
    // RFC 959: the reply ends with the line that repeats the code followed by a blank.
    const std::string end = line.substr(0, 3);
    std::string next;
    for (;;) {
      if (const int rc = ReadLine(s, next, limit)) return rc;
      if (next.compare(0, 3, end) == 0 && (next.size() == 3 || next[3] == ' ')) break;
    }
  }
  if (keepText) Keep(s, code, text);
  return code;
}

int SendLine(FtpSession& s, const std::string& line) {
  if (!s.control) return Fail(s, FTP_E_SEND, "can't send data");
  const std::string wire = line + "\r\n";
  if (SockSend(s.control.get(), wire.data(), static_cast<int>(wire.size())) != static_cast<int>(wire.size())) {
    CloseControl(s);
    return Fail(s, FTP_E_SEND, "can't send data");
  }
  return 0;
}

void Drain(FtpSession& s) {
  if (!s.control) return;
  s.inBuffer.clear();
  char buffer[4096];
  while (SockAvailable(s.control.get()) > 0)
    if (SockRecv(s.control.get(), buffer, sizeof buffer, 0) <= 0) break;
}

int Command(FtpSession& s, const std::string& line, bool closeOnFail) {
  Drain(s);
  if (const int rc = SendLine(s, line)) return rc;
  const int code = ReadReply(s);
  if (closeOnFail && code / 100 != 2) CloseControl(s);
  return code;
}

int BuildPath(FtpSession& s, const char* path, std::string& out) {
  std::string p = path ? path : "";
  std::string whole;
  if (p.starts_with('/')) {
    whole = p;
  } else {
    if (p == ".") p.clear();
    if (p.starts_with("./")) p.erase(0, 2);
    whole = s.currentDir;
    if (!p.empty() && !whole.empty() && whole.back() != '/') whole += '/';
    whole += p;
    if (whole.empty()) whole = ".";
  }
  if (whole.find_first_of("\r\n") != std::string::npos || whole.find('\0') != std::string::npos)
    return Fail(s, FTP_E_BAD_NAME, "bad file name");
  if (s.flags & FTP_RAW_NAMES) {
    std::string latin;
    if (!CUrlConnection::NameToLatin1(whole, latin)) return Fail(s, FTP_E_BAD_NAME, "bad file name");
    whole = std::move(latin);
  }
  if (whole.size() > kMaxCommandLine) return Fail(s, FTP_E_PATH_TOO_LONG, "path too long");
  out = std::move(whole);
  return 0;
}

std::string NameIn(const FtpSession& s, std::string_view wire) {
  return (s.flags & FTP_RAW_NAMES) ? CUrlConnection::NameFromLatin1(wire) : std::string(wire);
}

int BuildCommand(FtpSession& s, const char* verb, const char* path, std::string& line, bool dropSlash) {
  std::string wire;
  if (const int rc = BuildPath(s, path, wire)) return rc;
  line = std::string(verb) + " " + wire;
  if (dropSlash && line.size() > 5 && line.back() == '/') line.pop_back();
  if (line.size() > kMaxCommandLine) return Fail(s, FTP_E_PATH_TOO_LONG, "path too long");
  return 0;
}

int PwdLocked(FtpSession& s, std::string* dir) {
  const int code = Command(s, "PWD");
  if (code / 100 != 2) return code;
  s.currentDir = NameIn(s, QuotedPath(s.replyWhole));
  if (dir) *dir = s.currentDir;
  return code;
}

int CwdRaw(FtpSession& s, const char* path) {
  std::string line;
  if (const int rc = BuildCommand(s, "CWD", path, line, true)) return rc;
  return Command(s, line);
}

int LoginLocked(FtpSession& s) {
  CloseControl(s);
  SockBreakArm(&s.connectBreak);
  if (s.breakFlag) {
    s.breakFlag = false;
    return Fail(s, FTP_E_CONNECT, "can't connect to target");
  }
  if (!SockResolve(&s.serverAddress, s.host.c_str())) return Fail(s, FTP_E_HOST, "wrong hostname");
  auto control = SockConnect(&s.serverAddress, s.port, 2 * s.timeoutMs, &s.connectBreak, false, 0);
  if (!control) {
    s.breakFlag = false;
    return Fail(s, FTP_E_CONNECT, "can't connect to target");
  }
  const int on = 1;
  ::setsockopt(control->Fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SockSetSendTimeout(control.get(), s.timeoutMs);
  {
    std::lock_guard lock(s.socketLock);
    s.control = std::move(control);
  }
  if (s.state != FTP_STATE_CLOSED) s.state = FTP_STATE_CONNECTED;
  int code = ReadReply(s);
  if (code >= FTP_E_BAD_NAME) return code;
  if (code != 0 && code / 100 != 2) {
    CloseControl(s);
    return code;
  }
  std::string user = s.user, password = s.password;
  bool guestTried = false;
  for (;;) {
    bool askPassword = false;
    if (!user.empty()) {
      code = Command(s, "USER " + user);
      if (code / 100 == 3) {
        askPassword = true;
      } else if (code / 100 != 2) {
        CloseControl(s);
        return code;
      }
    }
    if (!password.empty() || askPassword) {
      code = Command(s, "PASS " + password, true);
      if (code / 100 != 2) return code;
    }
    code = Command(s, "TYPE I");
    if (code / 100 == 2) break;
    if (code >= FTP_E_BAD_NAME) return code;
    if (!s.user.empty() || guestTried || (s.flags & FTP_NO_GUEST)) {
      CloseControl(s);
      s.lastResult = 0;
      return 0;
    }
    user = password = kGuest;
    guestTried = true;
  }
  // FEAT: the extensions this client uses.
  s.flags &= ~(FTP_FEAT_MDTM | FTP_FEAT_SIZE | FTP_FEAT_EPRT | FTP_FEAT_EPSV | FTP_FEAT_MFMT);
  Drain(s);
  if (const int rc = SendLine(s, "FEAT")) return rc;
  ReplyLimit limit(s);
  std::string line;
  if (const int rc = ReadLine(s, line, limit)) return rc;
  const bool multi = HasCode(line) && line.size() > 3 && line[3] == '-';
  const int featCode = HasCode(line) ? std::atoi(line.substr(0, 3).c_str()) : 0;
  if (multi) {
    const std::string end = line.substr(0, 3);
    for (;;) {
      if (const int rc = ReadLine(s, line, limit)) return rc;
      if (line.compare(0, 3, end) == 0 && (line.size() == 3 || line[3] == ' ')) break;
      if (featCode != 211) continue;
      std::string_view feature(line);
      if (HasCode(feature)) {
        const int n = std::atoi(std::string(feature.substr(0, 3)).c_str());
        if (n != 211) Keep(s, n, "wrong response for FEAD command");
        feature.remove_prefix(std::min<std::size_t>(4, feature.size()));
      } else if (!feature.empty()) {
        feature.remove_prefix(1);
      }
      while (!feature.empty() && static_cast<unsigned char>(feature.back()) < 33) feature.remove_suffix(1);
      if (feature == "EPRT") s.flags |= FTP_FEAT_EPRT;
      if (feature == "EPSV") s.flags |= FTP_FEAT_EPSV;
      if (feature == "SIZE") s.flags |= FTP_FEAT_SIZE;
      if (feature == "MDTM") s.flags |= FTP_FEAT_MDTM;
      if (feature == "MFMT") s.flags |= FTP_FEAT_MFMT;
    }
  }
  std::string dir;
  code = PwdLocked(s, &dir);
  return code;
}

int Ready(FtpSession& s) {
  if (s.control && !SockIsClosed(s.control.get(), 1)) return 0;
  if (!(s.flags & FTP_RECONNECT)) {
    if (s.control) CloseControl(s);
    return Fail(s, FTP_E_SEND, "can't send data");
  }
  const std::string saved = s.currentDir;
  const int code = LoginLocked(s);
  if (code / 100 != 2) return code == 0 ? Fail(s, FTP_E_CONNECT, "can't connect to target") : code;
  // Back to the folder the session was in, so that relative paths keep their meaning.
  if (!saved.empty() && saved != s.currentDir && CwdRaw(s, saved.c_str()) / 100 == 2) s.currentDir = saved;
  return 0;
}

int SizeLocked(FtpSession& s, const char* path, u64* size) {
  std::string line;
  if (const int rc = BuildCommand(s, "SIZE", path, line)) return rc;
  const int code = Command(s, line);
  if (code == 213) {
    const std::string& text = s.replyWhole;
    if (text.empty() || !IsDigit(text[0])) return Fail(s, 501, "bad SIZE reply");
    *size = std::strtoull(text.c_str(), nullptr, 10);
  }
  return code;
}

int MdtmLocked(FtpSession& s, const char* path, i64* time) {
  *time = -1;
  std::string line;
  if (const int rc = BuildCommand(s, "MDTM", path, line)) return rc;
  const int code = Command(s, line);
  if (code != 213) return code;
  const std::string& text = s.replyWhole;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
  if (text.size() < 14 || std::sscanf(text.c_str(), "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &se) != 6)
    return Fail(s, 501, "bad MDTM reply");
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = se;
  *time = static_cast<i64>(::timegm(&t));
  return code;
}

}  // namespace ftpint

using namespace ftpint;

// ---- session -------------------------------------------------------------------------------------

std::unique_ptr<FtpSession> FtpConnect(const char* host, const char* user, const char* password, u16 port,
                                       u32 flags, int timeoutMs, int* result, const FtpEarlyFn& early) {
  auto s = std::make_unique<FtpSession>();
  if (early) early(s.get());
  s->host = host ? host : "";
  s->user = user ? user : "";
  s->password = password ? password : "";
  s->port = port ? port : 21;
  s->flags = flags;
  s->timeoutMs = timeoutMs > 0 ? timeoutMs : 30000;
  s->state = FTP_STATE_CONNECTING;
  int code;
  {
    Operation op(*s);
    code = LoginLocked(*s);
  }
  if (result) *result = code;
  if (code / 100 == 2) {
    s->state = FTP_STATE_CONNECTED;
    s->breakFlag = false;
    return s;
  }
  s->state = FTP_STATE_CLOSED;
  if (early) early(nullptr);  // no break reaches the session once it is gone
  CloseControl(*s);
  return nullptr;
}

int FtpReconnect(FtpSession* s) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  const std::string saved = s->currentDir;
  const int code = LoginLocked(*s);
  if (code / 100 == 2 && !saved.empty() && saved != s->currentDir && CwdRaw(*s, saved.c_str()) / 100 == 2)
    s->currentDir = saved;
  s->breakFlag = false;
  return code;
}

BOOL FtpClose(std::unique_ptr<FtpSession> s, int waitMs) {
  if (!s) return FALSE;
  std::unique_lock lock(s->commandLock, std::defer_lock);
  if (waitMs == 0) {
    lock.lock();
  } else if (!lock.try_lock_for(std::chrono::milliseconds(std::max(50, waitMs)))) {
    FtpBreak(s.get());
    lock.lock();
  }
  if (s->control && !s->breakFlag && !SockIsClosed(s->control.get(), 1)) {
    if (SendLine(*s, "QUIT") == 0 && s->control) {
      char buffer[640];
      SockRecv(s->control.get(), buffer, sizeof buffer, 200);
    }
  }
  CloseData(*s);
  CloseListening(*s);
  CloseControl(*s);
  s->state = FTP_STATE_CLOSED;
  lock.unlock();
  return TRUE;
}

int FtpBreak(FtpSession* s) {
  if (!s) return 0;
  std::lock_guard lock(s->socketLock);
  if (s->breakFlag.exchange(true)) return 2;
  if (!s->running) return 1;  // the next operation sees it
  const u32 state = s->state.load();
  if (s->data) {
    // A transfer runs: its loop sees the break and says ABOR on the control connection.
    SockCloseNoLinger(s->data.get());
  } else if (state == FTP_STATE_ACTIVE_WAIT) {
    SockCloseNoLinger(s->listening.get());
    SockCloseNoLinger(s->control.get());
  } else if (state == FTP_STATE_PASSIVE_WAIT) {
    SockCloseLocked(&s->connectBreak);  // the command is not sent yet: the control stays in step
  } else if (s->control) {
    SockCloseLocked(&s->connectBreak);
    SockCloseNoLinger(s->control.get());
  } else {
    SockCloseLocked(&s->connectBreak);
  }
  return 1;
}

void FtpClearBreak(FtpSession* s) {
  if (!s) return;
  std::lock_guard lock(s->socketLock);
  s->breakFlag = false;
}

void FtpSetTimeout(FtpSession* s, int ms) {
  if (s) s->timeoutMs = ms < 1000 ? 1000 : ms > 200000 ? 200000 : ms;
}

int FtpGetTimeout(FtpSession* s) {
  return s ? s->timeoutMs : 0;
}

BOOL FtpGetProgress(FtpSession* s, u64* done, u64* total) {
  if (!s) {
    if (done) *done = 0;
    if (total) *total = 0;
    return FALSE;
  }
  if (done) *done = s->bytesDone.load();
  if (total) *total = s->expectedSize.load();
  return TRUE;
}

void FtpSetProgress(FtpSession* s, u64 done, u64 total) {
  if (!s) return;
  if (done != ~u64{0}) s->bytesDone = done;
  if (total != ~u64{0}) s->expectedSize = total;
}

void FtpSetTransferSize(FtpSession* s, u64 size) {
  if (s) s->nextUploadSize = size;
}

void FtpSetDownloadSize(FtpSession* s, u64 size) {
  if (s) s->nextDownloadSize = size;
}

std::string FtpLastText(FtpSession* s) {
  return s ? s->replyText : std::string();
}

// ---- commands ------------------------------------------------------------------------------------

namespace {

// One command under the lock: reconnect when asked, build, send, read.
int Simple(FtpSession* s, const char* verb, const char* path, bool dropSlash) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  if (const int rc = Ready(*s)) return rc;
  std::string line;
  if (const int rc = BuildCommand(*s, verb, path, line, dropSlash)) return rc;
  const int code = Command(*s, line);
  if (s->breakFlag && code >= FTP_E_BAD_NAME) s->breakFlag = false;
  return code;
}

}  // namespace

int FtpPwd(FtpSession* s, std::string* dir) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  if (const int rc = Ready(*s)) return rc;
  return PwdLocked(*s, dir);
}

int FtpCwd(FtpSession* s, const char* path) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  if (const int rc = Ready(*s)) return rc;
  const int code = CwdRaw(*s, path);
  if (code / 100 != 2) return code;
  std::string dir;
  PwdLocked(*s, &dir);
  return code;
}

int FtpRmdir(FtpSession* s, const char* path) {
  return Simple(s, "RMD", path, true);
}

int FtpMkdir(FtpSession* s, const char* path) {
  return Simple(s, "MKD", path, true);
}

int FtpRemove(FtpSession* s, const char* path) {
  return Simple(s, "DELE", path, false);
}

int FtpRename(FtpSession* s, const char* oldPath, const char* newPath) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  if (const int rc = Ready(*s)) return rc;
  std::string from, to;
  if (const int rc = BuildCommand(*s, "RNFR", oldPath, from)) return rc;
  if (const int rc = BuildCommand(*s, "RNTO", newPath, to)) return rc;
  const int code = Command(*s, from);
  if (code != 350) return code;
  return Command(*s, to);
}

int FtpChmod(FtpSession* s, const char* path, u32 mode) {
  char verb[32];
  std::snprintf(verb, sizeof verb, "SITE chmod %03o", mode);
  return Simple(s, verb, path, false);
}

int FtpSetFileTime(FtpSession* s, const char* path, i64 time) {
  if (!s) return FTP_E_NO_MEMORY;
  std::tm t{};
  const time_t tt = static_cast<time_t>(time);
  // The stamp holds four digits of the year: times before 1970 are as good as later ones.
  if (!::gmtime_r(&tt, &t) || t.tm_year + 1900 < 1 || t.tm_year + 1900 > 9999) {
    Operation op(*s);
    return Fail(*s, FTP_E_WRONG_TIME, "wrong time");
  }
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04u%02u%02u%02u%02u%02u", static_cast<unsigned>(t.tm_year + 1900),
                static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday),
                static_cast<unsigned>(t.tm_hour), static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
  const std::string verb = ((s->flags & FTP_FEAT_MFMT) ? "MFMT " : "MDTM ") + std::string(stamp);
  return Simple(s, verb.c_str(), path, false);
}

int FtpGetFileTime(FtpSession* s, const char* path, i64* time) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  if (const int rc = Ready(*s)) return rc;
  i64 t = -1;
  const int code = MdtmLocked(*s, path, &t);
  if (time) *time = t;
  return code;
}

int FtpProbe(FtpSession* s, const char* path) {
  if (!s) return -1;
  Operation op(*s);
  if (Ready(*s)) return -1;
  bool asked = false;
  if (s->flags & FTP_FEAT_MDTM) {
    i64 t = 0;
    const int code = MdtmLocked(*s, path, &t);
    if (code == 213) return 1;
    asked = code / 100 == 5;
  } else if (s->flags & FTP_FEAT_SIZE) {
    u64 size = 0;
    const int code = SizeLocked(*s, path, &size);
    if (code == 213) return 1;
    asked = code / 100 == 5;
  }
  const std::string back = s->currentDir;
  if (CwdRaw(*s, path) / 100 == 2) {
    CwdRaw(*s, back.c_str());
    return 2;
  }
  return asked ? 0 : -1;
}
