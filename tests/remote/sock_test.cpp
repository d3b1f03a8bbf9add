// The socket library on loopback: address texts, connects that hang and are cut, sends and receives
// at the end of a stream.
#include "remote/sock/sock.h"
#include "tests/remote/sock_test_util.h"

#include "tests/support/deadline.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using socktest::Pair;
using socktest::V6;

// A port whose connects hang: a listener with backlog 0 and one connection it never accepts.
struct HangingPort {
  int listener = -1, first = -1;
  u16 port = 0;
  HangingPort() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    first = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(first, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~HangingPort() {
    ::close(first);
    ::close(listener);
  }
};

TEST(Sock, AddressesAsText) {
  EXPECT_EQ(SockAddrToText(V6("2001:db8::1")), "2001:DB8::1");
  EXPECT_EQ(SockAddrToText(V6("::ffff:10.1.2.3")), "10.1.2.3");
  EXPECT_EQ(SockAddrToText(V6("1:0:0:2:3:0:0:4")), "1::2:3:0:0:4");  // the first of equal runs
  EXPECT_EQ(SockAddrToText(V6("1:0:2:3:4:5:6:7")), "1::2:3:4:5:6:7");  // a single zero group too
  EXPECT_EQ(SockAddrToText(V6("fe80::a:ff")), "FE80::A:FF");
  EXPECT_EQ(SockAddrToText(V6("::1")), "::1");
  EXPECT_EQ(SockAddrToText(SockIpv4(0x7F000001)), "127.0.0.1");
}

TEST(Sock, NamesResolveToIpv4First) {
  SockAddr a;
  EXPECT_EQ(SockResolve(&a, "localhost"), 1);
  EXPECT_EQ(SockAddrToText(a), "127.0.0.1");
  if (SockIpv6Available()) {
    EXPECT_EQ(SockResolve(&a, "::1"), 2);
    EXPECT_EQ(SockResolve(&a, "[::1]"), 2);
  }
  EXPECT_EQ(SockResolve(&a, "no.such.host.invalid"), 0);
}

TEST(Sock, AHangingConnectIsCutFromAnotherThreadAndClosesNothingTwice) {
  HangingPort hanging;
  const SockAddr loop = SockIpv4(0x7F000001);
  SockBreakHandle brk;
  std::unique_ptr<Sock> result;
  const auto start = Clock::now();
  std::thread connector([&] { result = SockConnect(&loop, hanging.port, 0, &brk, false, 0); });
  std::this_thread::sleep_for(100ms);
  // A descriptor opened meanwhile must survive the cut.
  const int canary = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(SockCloseLocked(&brk));
  kpwtest::JoinWithin(connector, "a connect that was cut");
  EXPECT_EQ(result, nullptr);
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(::fcntl(canary, F_GETFD), FD_CLOEXEC);
  ::close(canary);
  // A break that comes before the connect starts is not lost; arming clears it.
  EXPECT_FALSE(SockCloseLocked(&brk));
  EXPECT_EQ(SockConnect(&loop, hanging.port, 0, &brk, false, 0), nullptr);
  SockBreakArm(&brk);
  EXPECT_FALSE(brk.cancelled);
}

TEST(Sock, ConnectsWaitTheirTimeOut) {
  HangingPort hanging;
  const SockAddr loop = SockIpv4(0x7F000001);
  const auto start = Clock::now();
  EXPECT_EQ(SockConnect(&loop, hanging.port, 300, nullptr, false, 0), nullptr);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 280ms);
  EXPECT_LT(took, 2000ms);
  EXPECT_EQ(SockConnectTimeout(0), 120000);
  EXPECT_EQ(SockConnectTimeout(-5), 120000);
  EXPECT_EQ(SockConnectTimeout(300000), 120000);
  EXPECT_EQ(SockConnectTimeout(1500), 1500);
}

TEST(Sock, ADualStackListenerTakesBothFamiliesAndTagsIpv4) {
  if (!SockIpv6Available()) GTEST_SKIP() << "no IPv6 here";
  const SockAddr any = SockIpv4(0);
  auto listening = SockConnect(&any, 0, 0, nullptr, true, 0);
  ASSERT_NE(listening, nullptr);
  u16 port = 0;
  SockGetLocalAddr(listening.get(), nullptr, &port);
  const SockAddr v4 = SockIpv4(0x7F000001), v6 = V6("::1");
  auto a = SockConnect(&v4, port, 1000, nullptr, false, 0);
  SockAddr peer;
  auto accepted = SockAccept(listening.get(), &peer, nullptr, 1000);
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(SockIsIpv4(peer));
  EXPECT_EQ(SockAddrToText(peer), "127.0.0.1");
  auto b = SockConnect(&v6, port, 1000, nullptr, false, 0);
  if (b) {
    accepted = SockAccept(listening.get(), &peer, nullptr, 1000);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(SockAddrToText(peer), "::1");
  }
}

TEST(Sock, ReceivingAtTheEndOfTheStream) {
  Pair p;
  ASSERT_TRUE(p.client && p.server);
  EXPECT_EQ(SockSend(p.server.get(), "abc", 3), 3);
  p.server.reset();  // closed after the data
  char buffer[16];
  EXPECT_EQ(SockRecv(p.client.get(), buffer, sizeof buffer, 1000), 3);
  const auto start = Clock::now();
  EXPECT_EQ(SockRecv(p.client.get(), buffer, sizeof buffer, 5000), -1);
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_TRUE(SockIsClosed(p.client.get(), 1));

  Pair q;
  EXPECT_EQ(SockSend(q.server.get(), "12345", 5), 5);
  q.server.reset();
  const auto partial = Clock::now();
  EXPECT_EQ(SockRecvTimeout(q.client.get(), buffer, sizeof buffer, 5000), 5);  // at the end, no wait
  EXPECT_LT(Clock::now() - partial, 1000ms);
  EXPECT_EQ(SockRecvTimeout(q.client.get(), buffer, sizeof buffer, 5000), -1);
  Pair r;
  EXPECT_EQ(SockRecvTimeout(r.client.get(), buffer, 4, 200), 0);  // nothing came in time
}

TEST(Sock, SendsSurviveAClosedPeerAndASlowReader) {
  Pair p;
  ASSERT_TRUE(p.client && p.server);
  p.server.reset();
  std::this_thread::sleep_for(50ms);
  const std::string block(1 << 20, 'x');
  int sent = 0;
  for (int i = 0; i < 8; ++i) sent += SockSend(p.client.get(), block.data(), static_cast<int>(block.size()));
  EXPECT_LT(sent, 8 << 20);  // no SIGPIPE ends the test program

  Pair q;
  const std::string big(10 << 20, 'y');
  std::thread reader([&] {
    std::this_thread::sleep_for(1000ms);
    std::vector<char> buffer(1 << 16);
    std::size_t got = 0;
    while (got < big.size()) {
      const int n = SockRecv(q.server.get(), buffer.data(), static_cast<int>(buffer.size()), 5000);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, big.size());
  });
  EXPECT_EQ(SockSend(q.client.get(), big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  reader.join();
}

}  // namespace
