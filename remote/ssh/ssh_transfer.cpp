// The SSH adapter's transfers: uploads through the helper or printf, downloads through the helper or hexdump.
#include "remote/ssh/ssh_connection.h"

#include "lib/system/sys_file.h"
#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/ssh/ssh_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace sshint;

namespace {

constexpr int kBlock = 256;       // bytes per data line of the helper
constexpr int kShellBlock = 900;  // bytes per printf command at most
constexpr int kInFlight = 65;     // helper data lines sent before their echoes are read

std::atomic<u32> g_uploadCounter{0}, g_downloadCounter{0};

// A local file descriptor closed on every way out.
struct LocalFile {
  int fd = -1;
  ~LocalFile() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// ---- uploads -----------------------------------------------------------------------------------

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

int CSshUrlConnection::UploadHelper(const std::string& wire, const Source& source, DWORD sourceError) {
  const std::string sentinel = Sentinel("aacc", g_uploadCounter, "ggtt");
  Drain();
  if (!Send("echo " + Spoken(sentinel) + ";" + HelperCommand("-w -e ", wire) + "\n")) return -1;
  CommLibFunctions& lib = CommLib();
  enum { Sentinel, Length, Sending, Ending } state = Sentinel;
  i64 expected = 0;
  int unanswered = 0;
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
    std::string text;
    const int got = NextLine(text);
    if (got == 0) return SessionFailure(kTimedOut), -1;
    if (got < 0) return SessionFailure(got), -1;
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
  if (!Reach(remote, wire)) return FALSE;
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
  if (!Reach(remote, wire)) return FALSE;
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

// ---- downloads ---------------------------------------------------------------------------------

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
  BYTE data[kLineMax / 2];
  for (;;) {
    if (m_breakRequested.load()) break;
    std::string text;
    const int got = NextLine(text);
    if (m_breakRequested.load()) break;
    if (got == 0) {
      failure = SessionFailure(kTimedOut);
      break;
    }
    if (got < 0) {
      failure = SessionFailure(got);
      break;
    }
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
  if (!Reach(remote, wire)) return AbortDownload(context, write);
  const BOOL ok = Download(wire, [&](const BYTE* data, int count) { return write(context, data, count) == count; });
  const DWORD error = GetLastError();
  write(context, nullptr, ok ? 0 : -1);
  SetLastError(error);
  return ok;
}

BOOL CSshUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) {
  std::string wire;
  if (!ReachDownload(remote, local, failIfExists, wire)) return FALSE;
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
