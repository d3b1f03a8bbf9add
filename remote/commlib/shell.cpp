// The Ssh functions of the communication library: an interactive shell read a line at a time.
#include "remote/commlib/session.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

using namespace commlib;

namespace {

using Clock = LineFramer::Clock;

std::shared_ptr<Session> Shell(uint32_t handle) {
  return Find(handle, Kind::Shell);
}

int ShellUsable(const Session& s) {
  switch (s.Usable()) {
    case COMM_OK: return 0;
    case COMM_BREAK: return COMM_SHELL_BREAK;
    case COMM_NO_CONNECTION: return COMM_SHELL_CLOSED;
    default: return COMM_SHELL_LOST;
  }
}

int ShellFailure(Session& s, int rc) {
  const int code = s.Failure(rc);
  return code == COMM_BREAK ? COMM_SHELL_BREAK : COMM_SHELL_LOST;
}

// Waits until libssh2 can go on in the direction it is blocked in, or until deadline.
bool WaitSocket(Session& s, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  const int directions = libssh2_session_block_directions(s.ssh);
  pollfd p{s.Socket(), 0, 0};
  if (directions & LIBSSH2_SESSION_BLOCK_INBOUND) p.events |= POLLIN;
  if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) p.events |= POLLOUT;
  if (p.events == 0) p.events = POLLIN;
  return ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000 * 1000))) > 0;
}

// Reads what the shell has sent into the framer, without waiting. Negative on an error.
int Gather(Session& s) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = libssh2_channel_read(s.channel, buffer, sizeof buffer);
    if (n > 0) {
      s.lines.Feed(buffer, static_cast<std::size_t>(n), Clock::now());
      continue;
    }
    if (n == LIBSSH2_ERROR_EAGAIN) break;
    if (n < 0) return ShellFailure(s, static_cast<int>(n));
    if (libssh2_channel_eof(s.channel)) {
      s.eof = true;
      s.lines.Finish();
    }
    break;
  }
  return s.Broken() ? ShellFailure(s, 0) : 0;
}

// 1 when a line is ready, 0 when none is by deadline, negative when the shell ended or broke.
int Pump(Session& s, Clock::time_point deadline) {
  for (;;) {
    if (const int usable = ShellUsable(s); usable < 0) return usable;
    if (const int rc = Gather(s); rc < 0) return rc;
    const Clock::time_point now = Clock::now();
    if (s.lines.Ready(now)) return 1;
    if (s.eof) return COMM_SHELL_CLOSED;
    const Clock::time_point until = std::min(deadline, s.lines.SettleAt());
    if (now >= deadline) return 0;
    if (!WaitSocket(s, until) && Clock::now() >= deadline) {
      // One last look: bytes may have come with the deadline.
      if (const int rc = Gather(s); rc < 0) return rc;
      return s.lines.Ready(Clock::now()) ? 1 : 0;
    }
  }
}

}  // namespace

COMM_EXPORT uint32_t SshCreate(void) {
  return CreateHandle(Kind::Shell);
}

COMM_EXPORT int SshBreak(uint32_t handle) {
  if (auto s = Shell(handle)) s->Break();
  return 0;
}

COMM_EXPORT int SshIsConnected(uint32_t handle) {
  auto s = Shell(handle);
  return s && s->Alive() && !s->eof ? 1 : 0;
}

COMM_EXPORT int SshClose(uint32_t handle) {
  return Release(handle, Kind::Shell) ? COMM_OK : COMM_BAD_HANDLE;
}

COMM_EXPORT int SshErrorText(uint32_t handle, int code, char* buffer, int size) {
  auto s = Shell(handle);
  return CopyText(s ? s->Text(code) : Session(Kind::Shell).Text(code), buffer, size);
}

COMM_EXPORT int SshConnect(uint32_t handle, const char* host, int port, const char* user, const char* password,
                           int timeoutMs) {
  auto s = Shell(handle);
  if (!s) return COMM_BAD_HANDLE;
  return s->Connect(host, port, user, password, timeoutMs);
}

COMM_EXPORT int SshWait(uint32_t handle, int ms, int) {
  auto s = Shell(handle);
  if (!s) return COMM_SHELL_BAD_HANDLE;
  return Pump(*s, Clock::now() + std::chrono::milliseconds(std::max(ms, 0)));
}

COMM_EXPORT int SshRead(uint32_t handle, char* buffer, int count) {
  auto s = Shell(handle);
  if (!s) return COMM_SHELL_BAD_HANDLE;
  if (!buffer || count < 1) return COMM_SHELL_BAD_PARAMETER;
  const int rc = Pump(*s, Clock::now());
  if (rc < 0 && s->lines.ReadyBytes() == 0) return rc;
  return static_cast<int>(s->lines.Take(buffer, static_cast<std::size_t>(count)));
}

COMM_EXPORT int SshReadCount(uint32_t handle, int* count) {
  if (count) *count = 0;
  auto s = Shell(handle);
  if (!s) return COMM_SHELL_BAD_HANDLE;
  const int rc = Pump(*s, Clock::now());
  const int ready = static_cast<int>(std::min<std::size_t>(s->lines.ReadyBytes(), 0x7FFFFFFF));
  if (rc < 0 && ready == 0) return rc;
  if (count) *count = ready;
  return ready;
}

COMM_EXPORT int SshWrite(uint32_t handle, const char* text, int length) {
  auto s = Shell(handle);
  if (!s) return COMM_SHELL_BAD_HANDLE;
  if (!text || length < 0) return COMM_SHELL_BAD_PARAMETER;
  if (const int usable = ShellUsable(*s); usable < 0) return usable;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(s->timeoutMs);
  int written = 0;
  while (written < length) {
    const ssize_t n =
        libssh2_channel_write(s->channel, text + written, static_cast<std::size_t>(length - written));
    if (n >= 0) {
      written += static_cast<int>(n);
    } else if (n == LIBSSH2_ERROR_EAGAIN) {
      // Reading keeps the window open; what comes meanwhile goes to the lines.
      if (const int rc = Gather(*s); rc < 0) return rc;
      if (!WaitSocket(*s, deadline) && Clock::now() >= deadline) {
        s->lost.store(true);
        return COMM_SHELL_LOST;
      }
    } else {
      return ShellFailure(*s, static_cast<int>(n));
    }
    if (s->Broken()) return ShellFailure(*s, 0);
  }
  return written;
}

COMM_EXPORT int SshWriteCount(uint32_t handle, int* count) {
  if (count) *count = 0;
  return Shell(handle) ? 0 : COMM_SHELL_BAD_HANDLE;
}
