// FTP data connections (active with PORT/EPRT, passive with PASV/EPSV) and the transfers over them.
#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_tempfile.h"
#include "platform/last_error.h"
#include "remote/ftp/ftp_client.h"
#include "remote/ftp/ftp_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace ftpint {

namespace {

constexpr u16 kActiveBase = 63232;
constexpr int kListenTries = 16;
constexpr int kBlock = 256 * 1024;
constexpr int kPiece = 64 * 1024;

// Active-mode ports of every session in this process: 63232 + this counter.
std::atomic<u8> g_portCounter{0};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The port of a 227 reply: the fifth and sixth numbers behind '('; 0 when there are none.
int PasvPort(const std::string& text) {
  const std::size_t open = text.find('(');
  std::size_t at = open == std::string::npos ? 0 : open + 1;
  // Some servers leave the parenthesis out: the six numbers start at the first digit.
  if (open == std::string::npos)
    while (at < text.size() && !IsDigit(text[at])) ++at;
  int numbers[6];
  for (int i = 0; i < 6; ++i) {
    if (at >= text.size() || !IsDigit(text[at])) return 0;
    numbers[i] = std::atoi(text.c_str() + at);
    while (at < text.size() && IsDigit(text[at])) ++at;
    if (i < 5) {
      if (at >= text.size() || text[at] != ',') return 0;
      ++at;
    }
  }
  if (numbers[4] > 255 || numbers[5] > 255) return 0;
  return numbers[4] * 256 + numbers[5];
}

// The port of a 229 reply: the number behind the third '|' after '('.
int EpsvPort(const std::string& text) {
  std::size_t at = text.find('(');
  if (at == std::string::npos) return 0;
  for (int bars = 0; bars < 3; ++bars) {
    at = text.find('|', at + 1);
    if (at == std::string::npos) return 0;
  }
  return std::atoi(text.c_str() + at + 1);
}

void InstallData(FtpSession& s, std::unique_ptr<Sock> data) {
  std::lock_guard lock(s.socketLock);
  s.data = std::move(data);
}

// The listening socket of active mode on the control connection's own address.
int OpenListening(FtpSession& s, SockAddr* local) {
  SockGetLocalAddr(s.control.get(), local, nullptr);
  if (s.listening) return 0;
  for (int i = 0; i < kListenTries; ++i) {
    const u16 port = static_cast<u16>(kActiveBase + static_cast<u8>(g_portCounter.fetch_add(1) + 1));
    auto sock = SockConnect(local, port, 0, nullptr, true, SOCK_REUSEADDR);
    if (sock) {
      s.listenPort = port;
      std::lock_guard lock(s.socketLock);
      s.listening = std::move(sock);
      return 0;
    }
  }
  return Fail(s, FTP_E_LISTEN, "can't open listen port");
}

// Active mode once the server took PORT/EPRT: the command, then the server's connection (only
// from the server's own address) and the 1xx reply, in whichever order they come.
int AwaitActive(FtpSession& s, const std::string& command) {
  // The listening socket is new for every transfer: what waits there already came after PORT, and
  // some servers connect at once. The accept below takes it when it is the server's.
  if (const int rc = SendLine(s, command)) return rc;
  s.state = FTP_STATE_ACTIVE_WAIT;
  const auto deadline = Clock::now() + std::chrono::milliseconds(s.timeoutMs + 5000);
  bool preliminary = false;
  std::unique_ptr<Sock> data;
  while (!data) {
    if (s.breakFlag) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !s.control || !s.listening) break;
    if (s.inBuffer.find('\n') == std::string::npos) {
      pollfd p[2] = {{s.listening->Fd(), POLLIN, 0}, {s.control->Fd(), POLLIN, 0}};
      const int rc = ::poll(p, preliminary ? 1 : 2, static_cast<int>(std::min<long long>(left, 1000)));
      if (rc < 0 && errno != EINTR) break;
      if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      if (!preliminary && (p[1].revents & (POLLERR | POLLHUP | POLLNVAL))) break;
      if (p[0].revents & POLLIN) {
        SockAddr peer;
        auto incoming = SockAccept(s.listening.get(), &peer, nullptr, 0);
        // Only the server may connect: anyone else's data never enters a transfer.
        if (incoming && peer == s.serverAddress) data = std::move(incoming);
        continue;
      }
      if (preliminary || !(p[1].revents & POLLIN)) continue;
    }
    const int code = ReadReply(s);
    if (code / 100 != 1) {
      s.state = FTP_STATE_CONNECTED;
      return code;
    }
    preliminary = true;
  }
  s.state = FTP_STATE_CONNECTED;
  if (!data) {
    if (s.breakFlag) {
      CloseControl(s);
      return BreakResult(s);
    }
    CloseControl(s);
    return Fail(s, FTP_E_NO_DATA_CONN, "don't get data connection");
  }
  InstallData(s, std::move(data));
  if (!preliminary) {
    const int code = ReadReply(s);
    if (code / 100 != 1) {
      CloseData(s);
      return code;
    }
  }
  return 0;
}

int OpenPassive(FtpSession& s, const std::string& command) {
  const bool ipv6 = !SockIsIpv4(s.serverAddress);
  int port = 0;
  if (ipv6 && (s.flags & FTP_FEAT_EPSV)) {
    const int code = Command(s, "EPSV");
    if (code != 229) return code;
    port = EpsvPort(s.replyWhole);
  } else {
    const int code = Command(s, "PASV");
    if (code != 227) return code;
    port = PasvPort(s.replyWhole);  // the address in the reply is never used
  }
  if (port < 1 || port > 65535) return Fail(s, FTP_E_PASSIVE_PORT, "can't get passive data port");
  s.state = FTP_STATE_PASSIVE_WAIT;
  SockBreakArm(&s.connectBreak);
  std::unique_ptr<Sock> data;
  if (!s.breakFlag)
    data = SockConnect(&s.serverAddress, static_cast<u16>(port), s.timeoutMs, &s.connectBreak, false, 0);
  s.state = FTP_STATE_CONNECTED;
  if (!data) return s.breakFlag ? BreakResult(s) : Fail(s, FTP_E_PASSIVE_CONN, "can't open passive data connection");
  InstallData(s, std::move(data));
  if (const int rc = SendLine(s, command)) {
    CloseData(s);
    return rc;
  }
  const int code = ReadReply(s);
  if (code / 100 != 1) {
    CloseData(s);
    return code;
  }
  return 0;
}

}  // namespace

int OpenDataConnection(FtpSession& s, const std::string& command) {
  Drain(s);
  s.abortSent = false;
  CloseData(s);
  if (!(s.flags & FTP_PASSIVE)) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      SockAddr local;
      if (const int rc = OpenListening(s, &local)) return rc;
      const bool ipv6 = !SockIsIpv4(s.serverAddress);
      int code;
      if (ipv6 && (s.flags & FTP_FEAT_EPRT)) {
        const std::string line = "EPRT |" + std::string(SockIsIpv4(local) ? "1" : "2") + "|" +
                                 SockAddrToText(local) + "|" + std::to_string(s.listenPort) + "|";
        code = Command(s, line);
        if (code / 100 != 2) {
          CloseListening(s);
          return code;
        }
      } else {
        std::string text = SockAddrToText(local);
        std::replace(text.begin(), text.end(), '.', ',');
        code = Command(s, "PORT " + text + "," + std::to_string(s.listenPort / 256) + "," +
                              std::to_string(s.listenPort % 256));
        if (code / 100 == 5) {
          // The server takes no PORT: passive from now on, once passive works.
          CloseListening(s);
          const int rc = OpenPassive(s, command);
          if (rc == 0) s.flags |= FTP_PASSIVE;
          return rc;
        }
        if (code / 100 != 2) {
          CloseListening(s);
          return code;
        }
      }
      const int rc = AwaitActive(s, command);
      if (rc == 425 && attempt == 0) {
        CloseListening(s);
        continue;  // once more, never in a loop
      }
      if (rc != 0) CloseListening(s);
      return rc;
    }
  }
  return OpenPassive(s, command);
}

void AbortTransfer(FtpSession& s) {
  CloseData(s);
  CloseListening(s);
  if (!s.control || s.abortSent.exchange(true)) return;
  if (SendLine(s, "ABOR")) return;
  // The transfer's own final reply, then ABOR's; a server that sends only one is caught by the
  // drain before the next command.
  const bool pendingBreak = s.breakFlag.exchange(false);
  const int first = ReadReply(s, false);
  if (first > 0 && first < FTP_E_BAD_NAME && s.control) {
    const int wait = first / 100 == 2 ? 500 : s.timeoutMs;
    pollfd p{s.control->Fd(), POLLIN, 0};
    if (s.inBuffer.find('\n') != std::string::npos || ::poll(&p, 1, wait) > 0) ReadReply(s, false);
  }
  if (pendingBreak) s.breakFlag = true;
}

}  // namespace ftpint

using namespace ftpint;

namespace {

// Where a transfer's bytes come from or go to.
struct Source {
  void* context;
  FtpReadFn read;
};

struct FileSource {
  int fd;
  static int Read(void* context, BYTE* buffer, int size) {
    const i64 n = SysReadUpTo(static_cast<FileSource*>(context)->fd, buffer, static_cast<std::size_t>(size));
    return n < 0 ? -1 : static_cast<int>(n);
  }
};

struct TempSink {
  SysTempFile* temp;
  static int Write(void* context, const BYTE* buffer, int count) {
    if (!buffer) return count;
    return static_cast<TempSink*>(context)->temp->Write(buffer, static_cast<std::size_t>(count)) == 0 ? count : 0;
  }
};

struct MemorySource {
  const BYTE* start;
  int position;
  int length;
  static int Read(void* context, BYTE* buffer, int size) {
    auto* m = static_cast<MemorySource*>(context);
    const int n = std::min(size, m->length - m->position);
    if (n <= 0) return 0;
    std::memcpy(buffer, m->start + m->position, static_cast<std::size_t>(n));
    m->position += n;
    return n;
  }
};

struct MemorySink {
  BYTE* start;
  int position;
  int size;
  static int Write(void* context, const BYTE* buffer, int count) {
    if (!buffer) return count;
    auto* m = static_cast<MemorySink*>(context);
    const int n = std::max(0, std::min(count, m->size - m->position));
    if (n > 0) std::memcpy(m->start + m->position, buffer, static_cast<std::size_t>(n));
    m->position += n;
    return n;
  }
};

// The folder part of a built remote path and a temporary name in it.
std::string TemporaryBeside(const std::string& wire) {
  static std::atomic<u32> counter{0};
  std::random_device random;
  char name[40];
  std::snprintf(name, sizeof name, ".kpw%08x%02x.tmp", random(), counter.fetch_add(1) & 0xFF);
  const std::size_t slash = wire.rfind('/');
  return slash == std::string::npos ? std::string(name) : wire.substr(0, slash + 1) + name;
}

// RNFR and RNTO: RNTO's code, or RNFR's when that refused.
int RenameWire(FtpSession& s, const std::string& from, const std::string& to) {
  const int rc = Command(s, "RNFR " + from);
  return rc == 350 ? Command(s, "RNTO " + to) : rc;
}

// What must still reach the server after a failure: over a new control connection when a break
// or a cut ended the old one (FTP_RECONNECT), which a second break still cuts.
template <typename Fn>
void OnServer(FtpSession& s, Fn fn) {
  if (!s.control && (s.flags & FTP_RECONNECT)) {
    const bool pending = s.breakFlag.exchange(false);
    if (Ready(s) == 0) fn();
    if (pending) s.breakFlag = true;
    return;
  }
  if (s.control) fn();
}

// Sends what the source gives until it reports the end: 0, or an own code.
int SendByRead(FtpSession& s, Source& source) {
  std::vector<BYTE> block(kBlock);
  for (;;) {
    if (s.breakFlag) return 0;
    const int n = source.read(source.context, block.data(), kBlock);
    if (n == 0) return 0;
    if (n < 0 || n > kBlock) return Fail(s, FTP_E_LOCAL_READ, "can't read from local file");
    const int sent = SockSend(s.data.get(), block.data(), n);
    s.bytesDone += static_cast<u64>(std::max(sent, 0));
    if (sent != n) return Fail(s, FTP_E_SEND_DATA, "can't send data file data");
  }
}

// STOR under a temporary name; only a whole file takes the target's name. The command lock is held.
int UploadLocked(FtpSession& s, const char* remote, Source source, u64 announced) {
  const auto last = [&](int code) {
    source.read(source.context, nullptr, code == 226 ? 0 : -1);
    return code;
  };
  s.bytesDone = 0;
  s.expectedSize = announced;
  if (const int rc = Ready(s)) return last(rc);
  std::string target;
  if (const int rc = BuildPath(s, remote, target)) return last(rc);
  const std::string temp = TemporaryBeside(target);
  std::string command = "STOR " + temp;
  if (command.size() > kMaxCommandLine || ("RNTO " + target).size() > kMaxCommandLine)
    return last(Fail(s, FTP_E_PATH_TOO_LONG, "path too long"));
  // A break while the server was to connect ended the control connection, and the server may
  // have made the file already.
  const auto dropTemp = [&] { OnServer(s, [&] { Command(s, "DELE " + temp); }); };
  // The paths are on the wire already: sent as they are.
  if (const int rc = OpenDataConnection(s, command)) {
    if (s.breakFlag || !s.control) {
      // The STOR may have been taken before the connection was lost.
      const std::string text = s.replyText;
      dropTemp();
      Keep(s, rc, text);
    }
    return last(rc);
  }
  const int local = SendByRead(s, source);
  int code;
  if (s.breakFlag || local) {
    // What reached the server is no whole file: ABOR, and the temporary file goes.
    AbortTransfer(s);
    code = s.breakFlag ? BreakResult(s) : local;
  } else {
    CloseData(s);
    code = ReadReply(s);
  }
  CloseListening(s);
  if (code != 226) {
    const std::string text = s.replyText;
    const int kept = s.lastResult;
    dropTemp();
    Keep(s, kept, text);
    return last(code);
  }
  // The whole file takes the target's name. The old file is never removed before the new one
  // stands there: a server that renames onto no existing name gets the old file moved aside
  // first, removed once the new one is in place, and put back when the new one cannot follow.
  int rc = RenameWire(s, temp, target);
  if (rc / 100 != 2 && rc < FTP_E_BAD_NAME) {
    const std::string refused = s.replyText;
    const std::string aside = TemporaryBeside(target);
    if (RenameWire(s, target, aside) / 100 == 2) {
      rc = RenameWire(s, temp, target);
      if (rc / 100 == 2) {
        Command(s, "DELE " + aside);
      } else {
        const std::string text = s.replyText;
        OnServer(s, [&] { RenameWire(s, aside, target); });
        Keep(s, rc, text);
      }
    } else {
      Keep(s, rc, refused);
    }
  }
  if (rc / 100 != 2) {
    const std::string text = s.replyText;
    dropTemp();
    Keep(s, rc, text);
    return last(rc);
  }
  Keep(s, 226, "transfer complete");
  return last(226);
}

// RETR to the sink; the command lock is held.
int DownloadLocked(FtpSession& s, const char* remote, void* context, FtpWriteFn write) {
  const auto last = [&](int code) {
    write(context, nullptr, code == 226 ? 0 : -1);
    return code;
  };
  s.bytesDone = 0;
  s.expectedSize = 0;
  const std::optional<u64> listed = std::exchange(s.nextDownloadSize, std::nullopt);
  if (const int rc = Ready(s)) return last(rc);
  std::string command;
  if (const int rc = BuildCommand(s, "RETR", remote, command)) return last(rc);
  // The file is whole when it has the size it had before: SIZE's, else the listing's.
  bool sized = false;
  if (s.flags & FTP_FEAT_SIZE) {
    u64 size = 0;
    if (SizeLocked(s, remote, &size) == 213) {
      s.expectedSize = size;
      sized = true;
    }
  }
  if (!sized && listed) {
    s.expectedSize = *listed;
    sized = true;
  }
  if (const int rc = OpenDataConnection(s, command)) return last(rc);
  std::vector<BYTE> block(kBlock);
  int local = 0;
  bool timedOut = false;
  for (;;) {
    if (s.breakFlag) break;
    const int n = SockRecv(s.data.get(), block.data(), kBlock, s.timeoutMs);
    if (n < 0) break;  // the end of the file (or a cut connection: the final reply tells)
    if (n == 0) {
      timedOut = true;
      break;
    }
    // The sink gets pieces of at most 64 KiB, however much one read brought; a break stops them.
    for (int at = 0; at < n && !local && !s.breakFlag; at += kPiece) {
      const int piece = std::min(kPiece, n - at);
      if (write(context, block.data() + at, piece) != piece)
        local = Fail(s, FTP_E_LOCAL_WRITE, "can't write to local file");
      else
        s.bytesDone += static_cast<u64>(piece);
    }
    if (local) break;
  }
  int code;
  if (s.breakFlag || local || timedOut) {
    AbortTransfer(s);
    code = s.breakFlag ? BreakResult(s) : local ? local : Fail(s, FTP_E_TIMEOUT, "receive timeout");
  } else {
    CloseData(s);
    code = ReadReply(s);
    if (code == 226 && sized && s.bytesDone < s.expectedSize)
      code = Fail(s, 426, "connection closed; transfer aborted");
    else if (code == 226 && sized && s.bytesDone > s.expectedSize)
      code = Fail(s, FTP_E_CHANGED, "file changed during transfer");
  }
  CloseListening(s);
  return last(code);
}

}  // namespace

int FtpUploadProc(FtpSession* s, const char* remote, void* context, FtpReadFn read) {
  if (!s || !read) return FTP_E_NO_MEMORY;
  Operation op(*s);
  const u64 announced = s->nextUploadSize;
  s->nextUploadSize = 0;
  return UploadLocked(*s, remote, Source{context, read}, announced);
}

int FtpDownloadProc(FtpSession* s, const char* remote, void* context, FtpWriteFn write) {
  if (!s || !write) return FTP_E_NO_MEMORY;
  Operation op(*s);
  return DownloadLocked(*s, remote, context, write);
}

int FtpUploadFile(FtpSession* s, const char* remote, const char* local) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  s->nextUploadSize = 0;
  const SysOsPath path(local ? local : "");
  SysFd fd(path.ok() ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
  struct stat st {};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode)) {
    s->bytesDone = 0;
    return Fail(*s, FTP_E_LOCAL_MISSING, "local file not found");
  }
  ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  FileSource file{fd.Get()};
  return UploadLocked(*s, remote, Source{&file, FileSource::Read}, static_cast<u64>(st.st_size));
}

int FtpDownloadFile(FtpSession* s, const char* remote, const char* local) {
  if (!s) return FTP_E_NO_MEMORY;
  Operation op(*s);
  const SysOsPath path(local ? local : "");
  std::string whole = path.ok() ? path.c_str() : "";
  const std::size_t slash = whole.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : whole.substr(0, slash);
  const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  SysFd dir(name.empty() ? -1 : ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  SysTempFile temp;
  if (!dir || temp.Create(dir.Get(), name) != 0) {
    s->bytesDone = 0;
    return Fail(*s, FTP_E_LOCAL_CREATE, "can't create local file");
  }
  // A file that is replaced keeps its mode.
  struct stat old {};
  if (::fstatat(dir.Get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode))
    ::fchmod(temp.Fd(), old.st_mode & 07777);
  TempSink sink{&temp};
  const int code = DownloadLocked(*s, remote, &sink, TempSink::Write);
  if (code != 226) return code;
  if (temp.Commit(true) != 0) return Fail(*s, FTP_E_LOCAL_WRITE, "can't write to local file");
  return code;
}

int FtpUploadMemory(FtpSession* s, const char* remote, const void* buffer, int length) {
  if (!s) return FTP_E_NO_MEMORY;
  MemorySource source{static_cast<const BYTE*>(buffer), 0, std::max(length, 0)};
  Operation op(*s);
  s->nextUploadSize = 0;
  return UploadLocked(*s, remote, Source{&source, MemorySource::Read}, 0);
}

int FtpDownloadMemory(FtpSession* s, const char* remote, void* buffer, int size, int* stored) {
  if (!s) return FTP_E_NO_MEMORY;
  MemorySink sink{static_cast<BYTE*>(buffer), 0, std::max(size, 0)};
  Operation op(*s);
  const int code = DownloadLocked(*s, remote, &sink, MemorySink::Write);
  if (stored) *stored = sink.position;
  return code;
}
