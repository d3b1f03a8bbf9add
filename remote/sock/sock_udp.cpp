// The socket library's UDP sockets: datagrams to and from any address, broadcasts over IPv4.
#include "platform/last_error.h"
#include "remote/sock/sock.h"
#include "remote/sock/sock_internal.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

using namespace sock_detail;

std::unique_ptr<Sock> SockUdpOpen(const SockAddr* address, u16 port, u32 flags) {
  SockInit();
  SockAddr a = address ? *address : SockIpv4(0);
  const bool v6 = !SockIsIpv4(a);
  // A multicast address (the all-nodes address of a masked IPv6 host, say) is received on every
  // address: Linux binds no socket to it.
  if (v6 && reinterpret_cast<const unsigned char*>(a.w)[0] == 0xFF) a = SockAddr{};
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, nullptr);
    return nullptr;
  }
  auto sock = std::make_unique<Sock>(fd);
  const int on = 1;
  const auto fail = [] {
    SetLastErrorFromErrno(errno, nullptr);
    return nullptr;
  };
  if ((flags & SOCK_REUSEADDR) && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return fail();
  if ((flags & SOCK_BROADCAST) && !v6 && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    return fail();
  if ((flags & SOCK_NONBLOCKING) && !SetBlocking(fd, false)) return fail();
  sockaddr_storage sa;
  socklen_t len = 0;
  ToSockaddr(a, port, v6, &sa, &len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) return fail();
  sock->kind = SOCK_KIND_UDP;
  sock->options = flags & 0xFF;
  sock->ownerClose = (flags & SOCK_OWNER_CLOSE) != 0;
  SockGetLocalAddr(sock.get(), &sock->peer, &sock->port);
  return sock;
}

BOOL SockUdpClose(std::unique_ptr<Sock>& sock) {
  if (!sock || sock->kind != SOCK_KIND_UDP) return FALSE;
  sock.reset();
  return TRUE;
}

BOOL SockShutdown(Sock* sock) {
  if (!sock || sock->Fd() < 0) return FALSE;
  // Marked first: a receive that the shutdown wakes reads an empty datagram and must know why.
  sock->closedSeen = true;
  // An unconnected datagram socket answers ENOTCONN, yet its waits are woken all the same.
  const bool ok = ::shutdown(sock->Fd(), SHUT_RDWR) == 0 || errno == ENOTCONN;
  if (sock->ownerClose) ReleaseHandle(sock);
  return ok ? TRUE : FALSE;
}

int SockSendTo(Sock* sock, const SockAddr* address, const void* data, int length) {
  return sock ? SockSendTo(sock, address, sock->port, data, length) : -1;
}

int SockSendTo(Sock* sock, const SockAddr* address, u16 port, const void* data, int length) {
  if (!sock || !address || length < 0 || sock->closedSeen) {
    SetLastError(sock && sock->closedSeen ? ERROR_CONNECTION_ABORTED : ERROR_INVALID_PARAMETER);
    return -1;
  }
  const bool v6 = FamilyOf(sock->Fd()) == AF_INET6;
  if (!v6 && !SockIsIpv4(*address)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // an IPv6 peer on an IPv4 socket
    return -1;
  }
  sockaddr_storage sa;
  socklen_t len = 0;
  ToSockaddr(*address, port, v6, &sa, &len);
  for (int retries = 0;; ++retries) {
    const ssize_t n = ::sendto(sock->Fd(), data, static_cast<std::size_t>(length),
                               MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), len);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    const bool full = errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS;
    if (!full || (sock->options & SOCK_NONBLOCKING) || retries == 5) break;
    Wait(sock->Fd(), POLLOUT, 250);
  }
  SetLastErrorFromErrno(errno, nullptr);
  return -1;
}

int SockRecvFrom(Sock* sock, void* buffer, int size, SockAddr* from, u16* port, int timeoutMs) {
  if (from) *from = SockIpv4(0);
  if (port) *port = 0;
  if (!sock || size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const auto deadline = DeadlineIn(timeoutMs);
  for (;;) {
    if (sock->closedSeen) {
      SetLastError(ERROR_CONNECTION_ABORTED);
      return -1;
    }
    const int ev = Wait(sock->Fd(), POLLIN, MsLeft(deadline));
    if (ev < 0) {
      SetLastErrorFromErrno(errno, nullptr);
      return -1;
    }
    if (ev == 0) {
      SetLastError(ERROR_TIMEOUT);
      return -1;
    }
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    // MSG_TRUNC gives the datagram's whole length, so that a cut one is told.
    const ssize_t n = ::recvfrom(sock->Fd(), buffer, static_cast<std::size_t>(size), MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      SetLastErrorFromErrno(errno, nullptr);
      return -1;
    }
    if (n == 0 && sock->closedSeen) continue;  // a shutdown reads as an empty datagram
    if (from || port) {
      const SockAddr sender = FromSockaddr(reinterpret_cast<sockaddr*>(&sa), port);
      if (from) *from = sender;
    }
    if (n > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return -1;
    }
    return static_cast<int>(n);
  }
}
