// The socket library's option setters as the system sees them, closing by kind, owner close and
// break handles that end a blocked receive.
#include "remote/sock/sock.h"
#include "tests/remote/sock_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using socktest::kLoopback;
using socktest::Pair;

int IntOption(const Sock* sock, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  ::getsockopt(sock->Fd(), SOL_SOCKET, option, &value, &len);
  return value;
}

long TimeOptionMs(const Sock* sock, int option) {
  timeval tv{};
  socklen_t len = sizeof tv;
  ::getsockopt(sock->Fd(), SOL_SOCKET, option, &tv, &len);
  return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

bool NonBlocking(const Sock* sock) {
  return (::fcntl(sock->Fd(), F_GETFL) & O_NONBLOCK) != 0;
}

TEST(SockOptions, SettersReachTheSocket) {
  Pair p;
  Sock* s = p.client.get();
  EXPECT_EQ(SockSetSendTimeout(s, 100), 0);
  EXPECT_EQ(TimeOptionMs(s, SO_SNDTIMEO), 500);  // at least 500 ms
  EXPECT_EQ(SockSetRecvTimeout(s, 2500), 0);
  EXPECT_EQ(TimeOptionMs(s, SO_RCVTIMEO), 2500);
  EXPECT_EQ(SockSetBufferSizes(s, 65536, 0), 0);
  EXPECT_GE(IntOption(s, SO_SNDBUF), 65536);
  const int receiveBefore = IntOption(s, SO_RCVBUF);
  EXPECT_EQ(SockSetBufferSizes(s, 0, 200000), 0);
  EXPECT_GE(IntOption(s, SO_RCVBUF), 200000);
  EXPECT_NE(IntOption(s, SO_RCVBUF), receiveBefore);

  EXPECT_TRUE(SockSetIoctlFlags(s, SOCK_NONBLOCKING | SOCK_KEEPALIVE));
  EXPECT_TRUE(NonBlocking(s));
  EXPECT_EQ(IntOption(s, SO_KEEPALIVE), 1);
  EXPECT_EQ(s->options & (SOCK_NONBLOCKING | SOCK_KEEPALIVE), u32{SOCK_NONBLOCKING | SOCK_KEEPALIVE});
  EXPECT_TRUE(SockSetIoctlFlags(s, 0));
  EXPECT_FALSE(NonBlocking(s));
  EXPECT_EQ(IntOption(s, SO_KEEPALIVE), 0);
  EXPECT_EQ(s->options & SOCK_NONBLOCKING, 0u);
  // The waiting mode alone leaves the descriptor blocking.
  EXPECT_TRUE(SockSetNonBlockingWait(s, TRUE));
  EXPECT_EQ(s->options & SOCK_NONBLOCKING, u32{SOCK_NONBLOCKING});
  EXPECT_FALSE(NonBlocking(s));

  auto udp = SockUdpOpen(&kLoopback, 0, SOCK_BROADCAST | SOCK_REUSEADDR | SOCK_NONBLOCKING);
  EXPECT_EQ(IntOption(udp.get(), SO_BROADCAST), 1);
  EXPECT_EQ(IntOption(udp.get(), SO_REUSEADDR), 1);
  EXPECT_TRUE(NonBlocking(udp.get()));
  EXPECT_EQ(IntOption(SockUdpOpen(&kLoopback, 0, 0).get(), SO_BROADCAST), 0);

  EXPECT_EQ(SockSetSendTimeout(nullptr, 1000), -1);
  EXPECT_EQ(SockSetRecvTimeout(nullptr, 1000), -1);
  EXPECT_EQ(SockSetBufferSizes(nullptr, 1, 1), -1);
  EXPECT_FALSE(SockSetIoctlFlags(nullptr, 0));
}

TEST(SockOptions, OwnerCloseReleasesTheSocketButNotItsNumber) {
  auto sock = SockUdpOpen(&kLoopback, 0, 0);
  const u16 port = sock->port;
  // Without owner close a socket that was shut down still holds its port.
  EXPECT_TRUE(SockShutdown(sock.get()));
  EXPECT_EQ(SockUdpOpen(&kLoopback, port, 0), nullptr);
  EXPECT_TRUE(SockSetOwnerClose(sock.get(), TRUE));
  const int number = sock->Fd();
  EXPECT_TRUE(SockShutdown(sock.get()));
  EXPECT_NE(SockUdpOpen(&kLoopback, port, 0), nullptr);
  const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_NE(opened, number);
  ::close(opened);
  sock.reset();
  EXPECT_EQ(::fcntl(number, F_GETFD), -1);
  // The same for a connection, with the flag given at the start.
  auto listening = SockConnect(&kLoopback, 0, 0, nullptr, true, 0);
  u16 listenPort = 0;
  SockGetLocalAddr(listening.get(), nullptr, &listenPort);
  auto client = SockConnect(&kLoopback, listenPort, 1000, nullptr, false, SOCK_OWNER_CLOSE);
  auto server = SockAccept(listening.get(), nullptr, nullptr, 1000);
  EXPECT_TRUE(SockCloseNoLinger(client.get()));
  EXPECT_TRUE(SockIsClosed(client.get(), 2));
  char c;
  EXPECT_EQ(SockRecv(server.get(), &c, 1, 2000), -1);
  EXPECT_EQ(SockSend(client.get(), "x", 1), 0);

  // Closing goes by kind.
  Pair p;
  auto event = SockEventCreate(FALSE);
  EXPECT_FALSE(SockClose(event));
  EXPECT_FALSE(SockUdpClose(p.client));
  EXPECT_TRUE(SockClose(p.client));
  EXPECT_EQ(p.client, nullptr);
  EXPECT_EQ(SockRecv(p.server.get(), &c, 1, 2000), -1);
}

TEST(SockOptions, ABreakHandleEndsABlockedReceive) {
  Pair p;
  SockBreakHandle brk;
  EXPECT_FALSE(SockBreakHandleArmed(&brk));
  EXPECT_TRUE(SockBreakHandleSet(p.client.get(), &brk, TRUE));
  EXPECT_TRUE(SockBreakHandleArmed(&brk));
  const auto start = Clock::now();
  auto receive = std::async(std::launch::async, [&] {
    char buffer[4];
    return SockRecv(p.client.get(), buffer, sizeof buffer, 10000);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(SockCloseLocked(&brk));
  ASSERT_EQ(receive.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(receive.get(), -1);
  EXPECT_LT(Clock::now() - start, 2500ms);
  EXPECT_TRUE(SockBreakHandleSet(nullptr, &brk, FALSE));
  EXPECT_FALSE(SockBreakHandleArmed(&brk));
  // A break that came first shuts the next socket down as soon as it is published.
  Pair q;
  EXPECT_FALSE(SockBreakHandleSet(q.client.get(), &brk, TRUE));
  char c;
  EXPECT_EQ(SockRecv(q.client.get(), &c, 1, 2000), -1);
  SockBreakHandleSet(nullptr, &brk, FALSE);
}

}  // namespace
