// The socket library over POSIX sockets: poll() waits, MSG_NOSIGNAL sends, breaks by shutdown().
#include "remote/sock.h"

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

namespace {

constexpr u32 kConnectMarker = 0x5A71D34E;
constexpr int kMaxConnectMs = 120000;

// Guards the break handles (the publishing of a connect and its cut from another thread).
std::mutex g_lock;

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
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

// A sockaddr as our address; a mapped IPv4 address comes back tagged as IPv4.
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

bool SetBlocking(int fd, bool blocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  return ::fcntl(fd, F_SETFL, blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK)) == 0;
}

// Waits for events on fd; the revents, 0 after the time-out, -1 on an error.
int Wait(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

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

bool SockIpv6Available() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    available = fd >= 0;
    CloseFd(fd);
  });
  return available;
}

int SockResolve(SockAddr* address, const char* host) {
  *address = SockIpv4(0xFFFFFFFF);
  std::string name = host ? host : "";
  if (name.empty()) {
    char local[256] = {};
    if (::gethostname(local, sizeof local - 1) != 0) return 0;
    name = local;
  }
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) return 0;
  int result = 0;
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      *address = FromSockaddr(ai->ai_addr, nullptr);
      result = 1;
      break;  // IPv4 wins
    }
    if (ai->ai_family == AF_INET6 && result == 0 && SockIpv6Available()) {
      *address = FromSockaddr(ai->ai_addr, nullptr);
      result = SockIsIpv4(*address) ? 1 : 2;
    }
  }
  ::freeaddrinfo(list);
  return result;
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
  if ((flags & SOCK_REUSEADDR) && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return nullptr;
  sockaddr_storage sa;
  socklen_t len = 0;
  ToSockaddr(a, port, v6, &sa, &len);
  if (listen) {
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 8) != 0) return nullptr;
    sock->kind = 0xFFFF;
    sock->peer = a;
    sock->port = port;
    sock->options = flags & 0xFF;
    return sock;
  }
  if (const u16 localPort = static_cast<u16>(flags >> 16)) {
    sockaddr_storage local;
    socklen_t localLen = 0;
    ToSockaddr(SockIsIpv4(a) ? SockIpv4(0) : SockAddr{}, localPort, v6, &local, &localLen);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) != 0) return nullptr;
  }
  if (brk) {
    std::lock_guard lock(g_lock);
    if (brk->cancelled) {
      SetLastError(ERROR_CANCELLED);
      return nullptr;
    }
    brk->fd = fd;
    brk->marker = kConnectMarker;
  }
  const auto withdraw = [&] {
    if (!brk) return false;
    std::lock_guard lock(g_lock);
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
  sock->kind = 0xFFFE;
  sock->peer = a;
  sock->port = port;
  sock->options = flags & 0xFF;
  return sock;
}

std::unique_ptr<Sock> SockAccept(Sock* listening, SockAddr* peer, u16* port, int timeoutMs) {
  if (peer) *peer = SockIpv4(0);
  if (port) *port = 0;
  if (!listening) return nullptr;
  const int ev = Wait(listening->Fd(), POLLIN, timeoutMs < 0 ? 0 : timeoutMs);
  if (ev <= 0 || !(ev & POLLIN)) return nullptr;
  sockaddr_storage sa;
  socklen_t len = sizeof sa;
  const int fd = ::accept4(listening->Fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  auto sock = std::make_unique<Sock>(fd);
  sock->kind = 0xFFFE;
  sock->peer = FromSockaddr(reinterpret_cast<sockaddr*>(&sa), &sock->port);
  if (peer) *peer = sock->peer;
  if (port) *port = sock->port;
  return sock;
}

int SockSend(Sock* sock, const void* data, int length) {
  if (!sock || length <= 0) return 0;
  const auto* p = static_cast<const char*>(data);
  int sent = 0;
  const int limit = sock->sendTimeoutMs < 15000 ? 15000 : sock->sendTimeoutMs;
  auto deadline = Clock::now() + std::chrono::milliseconds(limit);
  while (sent < length) {
    const ssize_t n = ::send(sock->Fd(), p + sent, static_cast<std::size_t>(length - sent),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
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
  return ::shutdown(sock->Fd(), SHUT_RDWR) == 0 ? TRUE : FALSE;
}

BOOL SockCloseLocked(SockBreakHandle* brk) {
  if (!brk) return FALSE;
  std::lock_guard lock(g_lock);
  brk->cancelled = true;
  if (brk->marker != kConnectMarker || brk->fd < 0) return FALSE;
  ::shutdown(brk->fd, SHUT_RDWR);
  return TRUE;
}

void SockBreakArm(SockBreakHandle* brk) {
  if (!brk) return;
  std::lock_guard lock(g_lock);
  brk->cancelled = false;
}

int SockSetSendTimeout(Sock* sock, int ms) {
  if (!sock) return -1;
  sock->sendTimeoutMs = ms < 500 ? 500 : ms;
  return 0;
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
