// The socket library over POSIX sockets: poll() waits, MSG_NOSIGNAL sends, breaks by shutdown().
#include "remote/sock/sock.h"
#include "remote/sock/sock_internal.h"

#include "platform/last_error.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace sock_detail {

std::mutex& BreakLock() {
  static std::mutex lock;
  return lock;
}

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Clock::time_point DeadlineIn(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

void ToSockaddr(const SockAddr& a, u16 port, bool asIpv6, sockaddr_storage* out, socklen_t* len) {
  std::memset(out, 0, sizeof *out);
  if (SockIsIpv4(a) && !asIpv6) {
    auto* s = reinterpret_cast<sockaddr_in*>(out);
    s->sin_family = AF_INET;
    s->sin_port = htons(port);
    s->sin_addr.s_addr = a.w[1];
    *len = sizeof *s;
    return;
  }
  auto* s = reinterpret_cast<sockaddr_in6*>(out);
  s->sin6_family = AF_INET6;
  s->sin6_port = htons(port);
  if (SockIsIpv4(a)) {
    // An IPv4 address on an IPv6 socket: ::ffff:a.b.c.d (IPv4 0 is the any address).
    if (a.w[1] != 0) {
      s->sin6_addr.s6_addr[10] = 0xFF;
      s->sin6_addr.s6_addr[11] = 0xFF;
      std::memcpy(&s->sin6_addr.s6_addr[12], &a.w[1], 4);
    }
  } else {
    std::memcpy(&s->sin6_addr, a.w, 16);
  }
  *len = sizeof *s;
}

SockAddr FromSockaddr(const sockaddr* sa, u16* port) {
  SockAddr a;
  if (sa->sa_family == AF_INET) {
    const auto* s = reinterpret_cast<const sockaddr_in*>(sa);
    a.w[0] = kSockIpv4Tag;
    a.w[1] = s->sin_addr.s_addr;
    if (port) *port = ntohs(s->sin_port);
  } else if (sa->sa_family == AF_INET6) {
    const auto* s = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&s->sin6_addr)) {
      a.w[0] = kSockIpv4Tag;
      std::memcpy(&a.w[1], &s->sin6_addr.s6_addr[12], 4);
    } else {
      std::memcpy(a.w, &s->sin6_addr, 16);
    }
    if (port) *port = ntohs(s->sin6_port);
  } else if (port) {
    *port = 0;
  }
  return a;
}

int FamilyOf(int fd) {
  int family = 0;
  socklen_t len = sizeof family;
  return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) == 0 ? family : 0;
}

bool SetBlocking(int fd, bool blocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  return ::fcntl(fd, F_SETFL, blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK)) == 0;
}

int Wait(int fd, short events, int timeoutMs) {
  if (fd < 0) return -1;
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void ReleaseHandle(Sock* sock) {
  // A shut-down stand-in takes the descriptor's number over: reads see the end, sends fail, and
  // no file opened meanwhile can get the number while another thread still uses it.
  const int dead = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (dead >= 0) {
    ::shutdown(dead, SHUT_RDWR);
    ::dup3(dead, sock->Fd(), O_CLOEXEC);
    ::close(dead);
  }
  sock->closedSeen = true;
}

}  // namespace sock_detail

using namespace sock_detail;

namespace {

constexpr int kMaxConnectMs = 120000;

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

SockAddr SockIpv4(u32 hostOrder) {
  SockAddr a;
  a.w[0] = kSockIpv4Tag;
  a.w[1] = htonl(hostOrder);
  return a;
}

Sock::~Sock() {
  CloseFd(m_fd);
}

int SockConnectTimeout(int timeoutMs) {
  return timeoutMs <= 0 || timeoutMs > kMaxConnectMs ? kMaxConnectMs : timeoutMs;
}

std::unique_ptr<Sock> SockConnect(const SockAddr* address, u16 port, int timeoutMs, SockBreakHandle* brk,
                                  bool listen, u32 flags) {
  const SockAddr any = SockIpv4(0);
  const SockAddr& a = address ? *address : any;
  // Listening on IPv4 0 takes every address, IPv6 too where the system has it (dual stack).
  const bool dualAny = listen && SockIsIpv4(a) && a.w[1] == 0 && SockIpv6Available();
  const bool v6 = !SockIsIpv4(a) || dualAny;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return nullptr;
  auto sock = std::make_unique<Sock>(fd);
  if (dualAny) {
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  const int on = 1;
  if ((flags & SOCK_REUSEADDR) && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return nullptr;
  sockaddr_storage sa;
  socklen_t len = 0;
  ToSockaddr(a, port, v6, &sa, &len);
  if (listen) {
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 8) != 0) return nullptr;
    sock->kind = SOCK_KIND_LISTEN;
    sock->peer = a;
    sock->port = port;
    sock->options = flags & 0xFF;
    sock->ownerClose = (flags & SOCK_OWNER_CLOSE) != 0;
    return sock;
  }
  if (const u16 localPort = static_cast<u16>(flags >> 16)) {
    sockaddr_storage local;
    socklen_t localLen = 0;
    ToSockaddr(SockIsIpv4(a) ? SockIpv4(0) : SockAddr{}, localPort, v6, &local, &localLen);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) != 0) return nullptr;
  }
  if (brk) {
    std::lock_guard lock(BreakLock());
    if (brk->cancelled) {
      SetLastError(ERROR_CANCELLED);
      return nullptr;
    }
    brk->fd = fd;
    brk->marker = kConnectMarker;
  }
  const auto withdraw = [&] {
    if (!brk) return false;
    std::lock_guard lock(BreakLock());
    const bool cancelled = brk->cancelled;
    brk->fd = -1;
    brk->marker = 0;
    return cancelled;
  };
  bool ok = SetBlocking(fd, false);
  if (ok && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    ok = errno == EINPROGRESS;
    const auto deadline = Clock::now() + std::chrono::milliseconds(SockConnectTimeout(timeoutMs));
    while (ok) {
      // A shutdown from another thread wakes the wait at once.
      const int ev = Wait(fd, POLLOUT, MsLeft(deadline));
      if (ev < 0) {
        ok = false;
      } else if (ev == 0) {
        errno = ETIMEDOUT;
        ok = false;
      } else {
        int err = 0;
        socklen_t errLen = sizeof err;
        ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0;
        if (!ok) errno = err;
        break;
      }
    }
  }
  const int err = errno;
  if (withdraw() || !ok) {
    SetLastErrorFromErrno(err, nullptr);
    return nullptr;
  }
  if (!(flags & SOCK_NONBLOCKING)) SetBlocking(fd, true);
  if (flags & SOCK_KEEPALIVE) ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  sock->kind = SOCK_KIND_TCP;
  sock->peer = a;
  sock->port = port;
  sock->options = flags & 0xFF;
  sock->ownerClose = (flags & SOCK_OWNER_CLOSE) != 0;
  return sock;
}

namespace {

// accept on a listening socket that reported readiness; the errno of a failure stays.
std::unique_ptr<Sock> AcceptReady(Sock* listening, SockAddr* peer, u16* port) {
  sockaddr_storage sa;
  socklen_t len = sizeof sa;
  const int fd = ::accept4(listening->Fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  auto sock = std::make_unique<Sock>(fd);
  sock->kind = SOCK_KIND_TCP;
  sock->peer = FromSockaddr(reinterpret_cast<sockaddr*>(&sa), &sock->port);
  if (peer) *peer = sock->peer;
  if (port) *port = sock->port;
  return sock;
}

}  // namespace

std::unique_ptr<Sock> SockAccept(Sock* listening, SockAddr* peer, u16* port, int timeoutMs) {
  if (peer) *peer = SockIpv4(0);
  if (port) *port = 0;
  if (!listening) return nullptr;
  const int ev = Wait(listening->Fd(), POLLIN, timeoutMs < 0 ? 0 : timeoutMs);
  if (ev <= 0 || !(ev & POLLIN)) return nullptr;
  return AcceptReady(listening, peer, port);
}

std::unique_ptr<Sock> SockAcceptWait(Sock* listening, SockAddr* peer, u16* port) {
  if (peer) *peer = SockIpv4(0);
  if (port) *port = 0;
  if (!listening) return nullptr;
  if (listening->options & SOCK_NONBLOCKING) return SockAccept(listening, peer, port, 0);
  for (;;) {
    const auto tried = Clock::now();
    const int ev = Wait(listening->Fd(), POLLIN, 5000);
    if (ev < 0 || (ev & POLLNVAL)) return nullptr;
    if (ev == 0) continue;
    if (auto sock = AcceptReady(listening, peer, port)) return sock;
    // A connection that vanished before it was taken is waited past; a socket that was shut
    // down (EINVAL) or fails otherwise ends the wait instead of spinning on it.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR &&
        errno != EPROTO) {
      SetLastErrorFromErrno(errno, nullptr);
      return nullptr;
    }
    std::this_thread::sleep_until(tried + std::chrono::milliseconds(200));
  }
}

int SockSend(Sock* sock, const void* data, int length) {
  if (!sock || length <= 0) return 0;
  const auto* p = static_cast<const char*>(data);
  int sent = 0;
  const int limit = sock->sendTimeoutMs < 15000 ? 15000 : sock->sendTimeoutMs;
  auto deadline = Clock::now() + std::chrono::milliseconds(limit);
  while (sent < length) {
    const ssize_t n =
        ::send(sock->Fd(), p + sent, static_cast<std::size_t>(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<int>(n);
      deadline = Clock::now() + std::chrono::milliseconds(limit);  // progress restarts the wait
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (sock->options & SOCK_NONBLOCKING) break;
      const int ev = Wait(sock->Fd(), POLLOUT, MsLeft(deadline));
      if (ev <= 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) {
        if (ev == 0) SetLastError(ERROR_TIMEOUT);
        break;
      }
      continue;
    }
    sock->closedSeen = true;
    break;
  }
  return sent;
}

int SockRecv(Sock* sock, void* buffer, int size, int timeoutMs) {
  if (!sock) return -1;
  if (timeoutMs < 0) return SockIsClosed(sock, 2) ? -1 : 0;
  const int ev = Wait(sock->Fd(), POLLIN, timeoutMs);
  if (ev < 0) return -1;
  if (ev == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(sock->Fd(), buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    sock->closedSeen = true;
    return -1;
  }
}

int SockRecvTimeout(Sock* sock, void* buffer, int size, int timeoutMs) {
  if (!sock) return -1;
  auto* p = static_cast<char*>(buffer);
  int got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (got < size) {
    const int n = SockRecv(sock, p + got, size - got, MsLeft(deadline));
    if (n < 0) return got > 0 ? got : -1;
    if (n == 0 && MsLeft(deadline) == 0) break;
    got += n;
  }
  return got;
}

int SockAvailable(Sock* sock) {
  if (!sock) return 0;
  int n = 0;
  return ::ioctl(sock->Fd(), FIONREAD, &n) == 0 ? n : -1;
}

int SockPending(Sock* sock, int ms) {
  if (!sock) return 0;
  if (Wait(sock->Fd(), POLLIN, ms < 0 ? 0 : ms) < 0) return -1;
  return SockAvailable(sock);
}

namespace {
int RecvTimeoutOf(const Sock* sock) {
  return sock->recvTimeoutMs > 0 ? sock->recvTimeoutMs : 30000;
}
}  // namespace

int SockRecvPending(Sock* sock) {
  return sock ? SockPending(sock, RecvTimeoutOf(sock)) : 0;
}

int SockRecvSome(Sock* sock, void* buffer, int size) {
  return sock ? SockRecv(sock, buffer, size, RecvTimeoutOf(sock)) : -1;
}

BOOL SockCanSend(Sock* sock, int ms) {
  if (!sock) return FALSE;
  const int ev = Wait(sock->Fd(), POLLOUT, ms < 0 ? 0 : ms);
  return ev > 0 && (ev & POLLOUT) && !(ev & (POLLERR | POLLHUP | POLLNVAL)) ? TRUE : FALSE;
}

BOOL SockIsClosed(Sock* sock, int mode) {
  if (!sock || sock->Fd() < 0) return TRUE;
  const int waiting = SockAvailable(sock);
  if (mode == 2 && waiting > 0) return FALSE;
  if (sock->closedSeen) return TRUE;
  const int ev = Wait(sock->Fd(), POLLIN | POLLRDHUP, 0);
  if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP))) {
    if (mode == 0 && waiting > 0) return FALSE;
    sock->closedSeen = true;
    return TRUE;
  }
  return FALSE;
}

BOOL SockCloseNoLinger(Sock* sock) {
  if (!sock || sock->Fd() < 0) return FALSE;
  const bool ok = ::shutdown(sock->Fd(), SHUT_RDWR) == 0;
  if (sock->ownerClose) ReleaseHandle(sock);
  return ok ? TRUE : FALSE;
}

BOOL SockClose(std::unique_ptr<Sock>& sock) {
  if (!sock || (sock->kind != SOCK_KIND_LISTEN && sock->kind != SOCK_KIND_TCP)) return FALSE;
  ::shutdown(sock->Fd(), SHUT_RDWR);
  sock.reset();
  return TRUE;
}

BOOL SockCloseLocked(SockBreakHandle* brk) {
  if (!brk) return FALSE;
  std::lock_guard lock(BreakLock());
  brk->cancelled = true;
  if (brk->marker != kConnectMarker || brk->fd < 0) return FALSE;
  ::shutdown(brk->fd, SHUT_RDWR);
  return TRUE;
}

void SockBreakArm(SockBreakHandle* brk) {
  if (!brk) return;
  std::lock_guard lock(BreakLock());
  brk->cancelled = false;
}

BOOL SockBreakHandleSet(Sock* sock, SockBreakHandle* brk, BOOL on) {
  if (!brk || (on && !sock)) return FALSE;
  std::lock_guard lock(BreakLock());
  if (!on) {
    brk->fd = -1;
    brk->marker = 0;
    return TRUE;
  }
  brk->fd = sock->Fd();
  brk->marker = kConnectMarker;
  if (!brk->cancelled) return TRUE;
  ::shutdown(sock->Fd(), SHUT_RDWR);  // the break came first: it is not lost
  return FALSE;
}

BOOL SockBreakHandleArmed(SockBreakHandle* brk) {
  if (!brk) return FALSE;
  std::lock_guard lock(BreakLock());
  return brk->marker == kConnectMarker ? TRUE : FALSE;
}

namespace {

int SetTimeout(Sock* sock, int option, int ms) {
  const timeval tv{ms / 1000, (ms % 1000) * 1000};
  return ::setsockopt(sock->Fd(), SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : -1;
}

}  // namespace

// The library's own sends and receives wait with poll; the descriptor carries the times as well,
// for anything that reads it blocking.
int SockSetSendTimeout(Sock* sock, int ms) {
  if (!sock) return -1;
  sock->sendTimeoutMs = ms < 500 ? 500 : ms;
  return SetTimeout(sock, SO_SNDTIMEO, sock->sendTimeoutMs);
}

int SockSetRecvTimeout(Sock* sock, int ms) {
  if (!sock) return -1;
  sock->recvTimeoutMs = ms < 500 ? 500 : ms;
  return SetTimeout(sock, SO_RCVTIMEO, sock->recvTimeoutMs);
}

int SockSetBufferSizes(Sock* sock, int sendBytes, int recvBytes) {
  if (!sock) return -1;
  int rc = 0;
  if (sendBytes > 0 && ::setsockopt(sock->Fd(), SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes) != 0)
    rc = -1;
  if (recvBytes > 0 && ::setsockopt(sock->Fd(), SOL_SOCKET, SO_RCVBUF, &recvBytes, sizeof recvBytes) != 0)
    rc = -1;
  return rc;
}

BOOL SockSetOwnerClose(Sock* sock, BOOL on) {
  if (!sock) return FALSE;
  sock->ownerClose = on != FALSE;
  return TRUE;
}

BOOL SockSetNonBlockingWait(Sock* sock, BOOL on) {
  if (!sock) return FALSE;
  sock->options = on ? (sock->options | SOCK_NONBLOCKING) : (sock->options & ~u32{SOCK_NONBLOCKING});
  return TRUE;
}

BOOL SockSetIoctlFlags(Sock* sock, u32 flags) {
  if (!sock) return FALSE;
  const int keepAlive = (flags & SOCK_KEEPALIVE) ? 1 : 0;
  if (!SetBlocking(sock->Fd(), !(flags & SOCK_NONBLOCKING)) ||
      ::setsockopt(sock->Fd(), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, sizeof keepAlive) != 0) {
    SetLastErrorFromErrno(errno, nullptr);
    return FALSE;
  }
  sock->options = (sock->options & ~u32{SOCK_NONBLOCKING | SOCK_KEEPALIVE}) |
                  (flags & (SOCK_NONBLOCKING | SOCK_KEEPALIVE));
  return TRUE;
}

BOOL SockSetPeer(Sock* sock, const SockAddr* address, u16 port) {
  if (!sock || !address) return FALSE;
  sock->peer = *address;
  if (port != 0) sock->port = port;
  return TRUE;
}

BOOL SockGetLocalAddr(Sock* sock, SockAddr* address, u16* port) {
  sockaddr_storage sa;
  socklen_t len = sizeof sa;
  if (!sock || ::getsockname(sock->Fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    if (address) *address = SockIpv4(0);
    if (port) *port = 0;
    return FALSE;
  }
  const SockAddr a = FromSockaddr(reinterpret_cast<sockaddr*>(&sa), port);
  if (address) *address = a;
  return TRUE;
}

std::string SockAddrToText(const SockAddr& address) {
  char text[64];
  const auto* b = reinterpret_cast<const unsigned char*>(address.w);
  if (SockIsIpv4(address)) {
    const auto* v4 = reinterpret_cast<const unsigned char*>(&address.w[1]);
    std::snprintf(text, sizeof text, "%i.%i.%i.%i", v4[0], v4[1], v4[2], v4[3]);
    return text;
  }
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(b, kMapped, 12) == 0) {
    std::snprintf(text, sizeof text, "%i.%i.%i.%i", b[12], b[13], b[14], b[15]);
    return text;
  }
  int groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = b[2 * i] << 8 | b[2 * i + 1];
  int bestAt = -1, bestLen = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLen) {
      bestAt = i;
      bestLen = j - i;
    }
    i = j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestAt) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    const int hi = groups[i] >> 8, lo = groups[i] & 0xFF;
    if (hi != 0)
      std::snprintf(text, sizeof text, "%X%02X", hi, lo);
    else
      std::snprintf(text, sizeof text, "%X", lo);
    out += text;
  }
  return out;
}
