// The socket library: TCP over IPv4 and IPv6 behind one address type, with waits, time-outs and breaks.
#pragma once

#include "platform/win_types.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// 16 bytes: a first word of kSockIpv4Tag marks IPv4 with the address in the second word (network
// order); otherwise the 16 bytes are an IPv6 address in network order.
struct SockAddr {
  u32 w[4] = {0, 0, 0, 0};
  bool operator==(const SockAddr&) const = default;
};
inline constexpr u32 kSockIpv4Tag = 0xD93B3BD9;
inline bool SockIsIpv4(const SockAddr& a) {
  return a.w[0] == kSockIpv4Tag;
}
// IPv4 a.b.c.d as a tagged address (host-order word 0xAABBCCDD).
SockAddr SockIpv4(u32 hostOrder);

// Option flags of SockConnect (the low byte of its flags).
enum : u32 {
  SOCK_NONBLOCKING = 0x01,
  SOCK_KEEPALIVE = 0x04,
  SOCK_REUSEADDR = 0x08,
};

// One socket. The owning thread does everything with it; another thread may only call
// SockCloseNoLinger (a shutdown) to end a blocked wait. Only the owner closes the descriptor.
class Sock {
 public:
  explicit Sock(int fd) : m_fd(fd) {}
  ~Sock();
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  int Fd() const { return m_fd; }
  SockAddr peer;       // remote address (connected, accepted) or the bound one (listening)
  u16 port = 0;        // host order
  u32 options = 0;     // SOCK_* flags
  u32 kind = 0;        // 0xFFFF listening, 0xFFFE connected
  int sendTimeoutMs = 15000;
  std::atomic<bool> closedSeen{false};  // the peer's end was seen (recv gave 0 or an error)

 private:
  int m_fd;
};

// Lets another thread cut a SockConnect in progress: the connecting thread publishes its socket
// here; SockCloseLocked shuts it down and marks the connect cancelled. Only the connecting thread
// closes its descriptor.
struct SockBreakHandle {
  int fd = -1;
  u32 marker = 0;  // 0x5A71D34E while a connect runs
  bool cancelled = false;
};

int SockResolve(SockAddr* address, const char* host);  // 0 failure, 1 IPv4, 2 IPv6
// Connects (listen false) or listens (listen true) on address and port. timeoutMs: 0 or above
// 120000 means 120000. flags: SOCK_* in the low byte, a local port to bind to in the upper 16 bits.
// The wait of a connect: 0 or above 120000 means 120000.
int SockConnectTimeout(int timeoutMs);
std::unique_ptr<Sock> SockConnect(const SockAddr* address, u16 port, int timeoutMs, SockBreakHandle* brk,
                                  bool listen, u32 flags);
// The next connection at a listening socket within timeoutMs; the peer's address and port out.
std::unique_ptr<Sock> SockAccept(Sock* listening, SockAddr* peer, u16* port, int timeoutMs);
// Sends all bytes (MSG_NOSIGNAL; waits for room up to the socket's send time-out); the bytes sent.
int SockSend(Sock* sock, const void* data, int length);
// Up to size bytes that arrive within timeoutMs: the count (> 0), 0 after the time-out, -1 on an
// error or at the end of the stream (waiting bytes come first). A negative time-out only asks:
// -1 when the socket is closed, else 0.
int SockRecv(Sock* sock, void* buffer, int size, int timeoutMs);
// Reads until size bytes have come or the time-out has passed; the bytes read, also at the end of
// the stream; -1 on an error or when the stream ended before any byte came.
int SockRecvTimeout(Sock* sock, void* buffer, int size, int timeoutMs);
int SockAvailable(Sock* sock);  // bytes waiting, -1 on an error, 0 for null
// TRUE for null or a socket whose peer has closed; mode 2 (and mode 0 with waiting bytes): FALSE
// while bytes wait.
BOOL SockIsClosed(Sock* sock, int mode);
// Shuts both directions down (any thread); the owner still closes.
BOOL SockCloseNoLinger(Sock* sock);
// Under the library's lock: marks the handle cancelled and shuts a published connect down; TRUE
// when one was running. A connect that starts on a cancelled handle fails at once, so a break
// that comes just before the connect is not lost; SockBreakArm clears the mark.
BOOL SockCloseLocked(SockBreakHandle* brk);
void SockBreakArm(SockBreakHandle* brk);
int SockSetSendTimeout(Sock* sock, int ms);  // at least 500 ms; -1 for null
BOOL SockGetLocalAddr(Sock* sock, SockAddr* address, u16* port);
// IPv4 (and ::ffff:a.b.c.d) as a.b.c.d; other IPv6 in upper-case hex groups with the longest run
// of zero groups (the first of equal runs, a single group too) written as "::".
std::string SockAddrToText(const SockAddr& address);
bool SockIpv6Available();
