// The socket library: TCP and UDP over IPv4 and IPv6 behind one address type, with waits, time-outs,
// breaks and wake-up events.
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

// Option flags of SockConnect and SockUdpOpen (the low byte of their flags).
enum : u32 {
  SOCK_NONBLOCKING = 0x01,
  SOCK_BROADCAST = 0x02,  // UDP over IPv4: datagrams to broadcast addresses
  SOCK_KEEPALIVE = 0x04,
  SOCK_REUSEADDR = 0x08,
  SOCK_OWNER_CLOSE = 0x10,  // a shutdown releases the socket itself too (see SockSetOwnerClose)
};

// What a socket object holds.
enum : u32 {
  SOCK_KIND_LISTEN = 0xFFFF,
  SOCK_KIND_TCP = 0xFFFE,
  SOCK_KIND_UDP = 0xFFFD,
  SOCK_KIND_EVENT = 0xFFFC,  // a free-standing wake-up event
};

// One socket or wake-up event. The owning thread does everything with it; another thread may only
// call SockCloseNoLinger or SockShutdown to end a blocked wait, and SockEventSet on an event. Only
// the owner closes the descriptor: a shutdown that releases the socket (owner close) keeps its
// number taken by a dead stand-in until the object goes, so no other file can slip in under it.
class Sock {
 public:
  explicit Sock(int fd) : m_fd(fd) {}
  ~Sock();
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  int Fd() const { return m_fd; }
  SockAddr peer;    // remote address (connected, accepted) or the bound one (listening, UDP)
  u16 port = 0;     // host order
  u32 options = 0;  // SOCK_* flags
  u32 kind = 0;     // SOCK_KIND_*
  int sendTimeoutMs = 15000;
  int recvTimeoutMs = 0;                // 0: none set
  std::atomic<bool> closedSeen{false};  // the peer's end was seen (recv gave 0 or an error), or a shutdown
  std::atomic<bool> ownerClose{false};  // a shutdown releases the socket itself

 private:
  int m_fd;
};

// Lets another thread cut a SockConnect in progress (or the waits of a socket published with
// SockBreakHandleSet): the connecting thread publishes its socket here; SockCloseLocked shuts it
// down and marks the handle cancelled. Only the connecting thread closes its descriptor.
struct SockBreakHandle {
  int fd = -1;
  u32 marker = 0;  // 0x5A71D34E while a connect runs
  bool cancelled = false;
};

// Probes once whether the system has IPv6; every entry point that needs to know calls it.
void SockInit();
bool SockIpv6Available();

// Host name or address text to an address: 0 failure (IPv4 255.255.255.255), 1 IPv4, 2 IPv6. An
// empty or null host is the local host; IPv4 wins over IPv6 for a name that has both. Without
// IPv6, "::" gives IPv4 0, "::1" 127.0.0.1, a text with a dotted IPv4 tail that tail, and any
// other IPv6 text fails.
int SockResolve(SockAddr* address, const char* host);
// The broadcast address of a host: an empty host gives IPv4 255.255.255.255 and 0; without mask
// SockResolve's result; else SockAddrMask's on the resolved address (a failed resolution stays 0).
int SockResolveMasked(SockAddr* address, const char* host, const char* mask);
// Applies a mask text to an address: IPv6 becomes the all-nodes address ff01::1 (2); IPv4 becomes
// address | ~mask, the directed broadcast (1); a mask of 255.255.255.255, or a text that is no
// mask, gives 255.255.255.255 and 0.
int SockAddrMask(SockAddr* address, const char* mask);
// "host", "host:port", "[IPv6]" or "[IPv6]:port" (an IPv6 text without brackets has no port):
// SockResolve's result, the port (1-65535) into *port when the text names one; a port that is
// no number in that range gives 0.
int SockResolveArgs(SockAddr* address, u16* port, const char* text, int length = -1);
// A wide host text as UTF-8, whole (a name is never cut: a cut one would name another host).
std::string SockNarrowHost(const WCHAR* host, int length = -1);
int SockResolveW(SockAddr* address, const WCHAR* host, int length = -1);
// What an address text is: 0 no IPv6 text, 1 IPv6, 2 the unspecified address (any spelling of
// ::), 3 the loopback address (::1), 7 or more an IPv6 address whose last 32 bits are written
// as a dotted IPv4 address starting at that position of the text (a tail that starts sooner
// counts as 1). Brackets around the whole and a zone id ("%eth0") are allowed.
int SockParseIPv6(const char* text, int length = -1);

// The local host name, fetched once and kept; SockSetHostName replaces the kept text (at most 63
// characters), null forgets it so that the next call fetches it again.
std::string SockGetHostName();
void SockSetHostName(const char* name, int length = -1);

// Connects (listen false) or listens (listen true) on address and port. timeoutMs: 0 or above
// 120000 means 120000. flags: SOCK_* in the low byte, a local port to bind to in the upper 16 bits.
// The wait of a connect: 0 or above 120000 means 120000.
int SockConnectTimeout(int timeoutMs);
std::unique_ptr<Sock> SockConnect(const SockAddr* address, u16 port, int timeoutMs, SockBreakHandle* brk,
                                  bool listen, u32 flags);
// The next connection at a listening socket within timeoutMs; the peer's address and port out.
std::unique_ptr<Sock> SockAccept(Sock* listening, SockAddr* peer, u16* port, int timeoutMs);
// Waits for the next connection in waits of 5000 ms for as long as it takes (a non-blocking
// socket tries once). A listening socket that is shut down or fails ends the wait with null.
std::unique_ptr<Sock> SockAcceptWait(Sock* listening, SockAddr* peer, u16* port);
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
// Bytes waiting after a wait of up to ms for some to come (-1 on an error, 0 for null).
int SockPending(Sock* sock, int ms);
// SockPending with the socket's receive time-out (30000 ms when none is set).
int SockRecvPending(Sock* sock);
// One SockRecv of what comes within the socket's receive time-out (30000 ms when none is set).
int SockRecvSome(Sock* sock, void* buffer, int size);
// Whether the socket can take bytes within ms.
BOOL SockCanSend(Sock* sock, int ms);
// TRUE for null or a socket whose peer has closed; mode 2 (and mode 0 with waiting bytes): FALSE
// while bytes wait.
BOOL SockIsClosed(Sock* sock, int mode);
// Shuts both directions down (any thread); with owner close the socket itself is released too.
BOOL SockCloseNoLinger(Sock* sock);
// Shuts down and frees a listening or connected socket; FALSE (and nothing done) for other kinds.
BOOL SockClose(std::unique_ptr<Sock>& sock);
// Under the library's lock: marks the handle cancelled and shuts a published connect down; TRUE
// when one was running. A connect that starts on a cancelled handle fails at once, so a break
// that comes just before the connect is not lost; SockBreakArm clears the mark.
BOOL SockCloseLocked(SockBreakHandle* brk);
void SockBreakArm(SockBreakHandle* brk);
// Publishes a socket in a break handle (on) or withdraws it, so that SockCloseLocked from
// another thread ends what the socket waits for. Withdraw it before the socket goes. On a
// cancelled handle the socket is shut down at once and the result is FALSE.
BOOL SockBreakHandleSet(Sock* sock, SockBreakHandle* brk, BOOL on);
BOOL SockBreakHandleArmed(SockBreakHandle* brk);  // a socket is published

// Option setters: the setsockopt result (0, or -1 also for null); times at least 500 ms.
int SockSetSendTimeout(Sock* sock, int ms);
int SockSetRecvTimeout(Sock* sock, int ms);
int SockSetBufferSizes(Sock* sock, int sendBytes, int recvBytes);  // a size of 0 or less stays
BOOL SockSetOwnerClose(Sock* sock, BOOL on);
// Only the socket object's SOCK_NONBLOCKING flag: sends give up at the first stall.
BOOL SockSetNonBlockingWait(Sock* sock, BOOL on);
// SOCK_NONBLOCKING (the descriptor's O_NONBLOCK) and SOCK_KEEPALIVE as flags gives them.
BOOL SockSetIoctlFlags(Sock* sock, u32 flags);
// Stores a peer address, and the port unless it is 0.
BOOL SockSetPeer(Sock* sock, const SockAddr* address, u16 port);
// Without a socket a plain sleep; else a wait of up to ms (12345678: 5000) for the socket to
// become readable. TRUE when it did.
BOOL SockSleep(Sock* sock, int ms);

// UDP socket bound to the port on the address (IPv4 0: every IPv4 address; an IPv6 multicast
// address such as ff01::1: every IPv6 address); flags SOCK_REUSEADDR, SOCK_NONBLOCKING,
// SOCK_BROADCAST, SOCK_OWNER_CLOSE. Port 0 takes a free one, which the object's port then holds.
std::unique_ptr<Sock> SockUdpOpen(const SockAddr* address, u16 port, u32 flags);
BOOL SockUdpClose(std::unique_ptr<Sock>& sock);
// UDP twin of SockCloseNoLinger.
BOOL SockShutdown(Sock* sock);
// One datagram to address and port (without a port: the socket object's port): the bytes sent,
// -1 on an error. A full send buffer is waited out up to 5 times 250 ms (non-blocking: not).
int SockSendTo(Sock* sock, const SockAddr* address, const void* data, int length);
int SockSendTo(Sock* sock, const SockAddr* address, u16 port, const void* data, int length);
// One datagram within timeoutMs: its length (0 for an empty one), the sender's address and port
// out; -1 after the time-out (ERROR_TIMEOUT), after a shutdown, on an error, and for a datagram
// longer than size (ERROR_INSUFFICIENT_BUFFER: the buffer holds its head, never passed off as all).
int SockRecvFrom(Sock* sock, void* buffer, int size, SockAddr* from, u16* port, int timeoutMs = 30000);

// Free-standing wake-up events (kind SOCK_KIND_EVENT) that stay set until reset; SockWaitMany
// waits on them beside sockets. Any thread may set one.
std::unique_ptr<Sock> SockEventCreate(BOOL signalled);
BOOL SockEventClose(std::unique_ptr<Sock>& event);
BOOL SockEventSet(Sock* event);
BOOL SockEventReset(Sock* event);
BOOL SockEventWait(Sock* event, int ms);  // TRUE when set within ms (negative: without limit)
// Waits up to ms (negative: without limit) until one of count (at most 64) objects is ready: data
// or a connection waits, the peer closed, an event is set. The index of the first ready one at
// or behind start, else the first before it; -1 on the time-out or an error. Null entries wait
// for nothing; a released socket is ready at once.
int SockWaitMany(Sock* const* objects, int count, int ms, int start = 0);

BOOL SockGetLocalAddr(Sock* sock, SockAddr* address, u16* port);
// IPv4 (and ::ffff:a.b.c.d) as a.b.c.d; other IPv6 in upper-case hex groups with the longest run
// of zero groups (the first of equal runs, a single group too) written as "::".
std::string SockAddrToText(const SockAddr& address);
