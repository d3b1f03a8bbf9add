// What the socket library's sources share: address conversion, waits and the break lock.
#pragma once

#include "remote/sock/sock.h"

#include <sys/socket.h>

#include <chrono>
#include <mutex>

namespace sock_detail {

inline constexpr u32 kConnectMarker = 0x5A71D34E;

using Clock = std::chrono::steady_clock;

// Milliseconds until deadline, never negative.
int MsLeft(Clock::time_point deadline);
// A deadline timeoutMs from now (a negative time counts as 0).
Clock::time_point DeadlineIn(int timeoutMs);

// Our address as a sockaddr; asIpv6 writes an IPv4 address as ::ffff:a.b.c.d (IPv4 0 as ::).
void ToSockaddr(const SockAddr& a, u16 port, bool asIpv6, sockaddr_storage* out, socklen_t* len);
// A sockaddr as our address; a mapped IPv4 address comes back tagged as IPv4.
SockAddr FromSockaddr(const sockaddr* sa, u16* port);
// AF_INET or AF_INET6 of a socket; 0 when it cannot be told.
int FamilyOf(int fd);

bool SetBlocking(int fd, bool blocking);
// Waits for events on fd: the revents, 0 after the time-out (a negative one waits without limit),
// -1 on an error or for no descriptor.
int Wait(int fd, short events, int timeoutMs);

// Releases a socket while keeping its descriptor number taken (owner close).
void ReleaseHandle(Sock* sock);

// Guards the break handles.
std::mutex& BreakLock();

}  // namespace sock_detail
