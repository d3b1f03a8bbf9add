// UDP through the socket library on loopback: an echo, broadcasts, datagrams too long for the
// buffer, and receives ended by a shutdown from another thread.
#include "platform/last_error.h"
#include "remote/sock/sock.h"
#include "tests/remote/sock_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using socktest::kLoopback;
using socktest::V6;

// Answers each datagram with its bytes reversed until "stop" comes (or 5 s pass without one).
void Echo(Sock* sock) {
  char buffer[512];
  for (;;) {
    SockAddr from;
    u16 port = 0;
    const int n = SockRecvFrom(sock, buffer, sizeof buffer, &from, &port, 5000);
    if (n < 0 || std::string(buffer, static_cast<std::size_t>(n)) == "stop") return;
    std::string answer(buffer, static_cast<std::size_t>(n));
    answer.assign(answer.rbegin(), answer.rend());
    SockSendTo(sock, &from, port, answer.data(), static_cast<int>(answer.size()));
  }
}

void EchoRoundTrip(const SockAddr& loopback) {
  auto server = SockUdpOpen(&loopback, 0, 0);
  auto client = SockUdpOpen(&loopback, 0, 0);
  ASSERT_TRUE(server && client);
  EXPECT_EQ(server->kind, u32{SOCK_KIND_UDP});
  std::thread echo(Echo, server.get());
  for (const int size : {3, 0, 400}) {  // an empty datagram too
    std::string text(static_cast<std::size_t>(size), 'x');
    if (size > 0) text.front() = 'a';
    ASSERT_EQ(SockSendTo(client.get(), &loopback, server->port, text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
    char buffer[512];
    SockAddr from;
    u16 port = 0;
    const int n = SockRecvFrom(client.get(), buffer, sizeof buffer, &from, &port, 5000);
    ASSERT_EQ(n, static_cast<int>(text.size()));
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), std::string(text.rbegin(), text.rend()));
    EXPECT_EQ(from, loopback);
    EXPECT_EQ(port, server->port);
  }
  SockSendTo(client.get(), &loopback, server->port, "stop", 4);
  echo.join();
  EXPECT_TRUE(SockUdpClose(server));
  EXPECT_EQ(server, nullptr);
}

TEST(SockUdp, EchoesOverIpv4AndIpv6) {
  EchoRoundTrip(kLoopback);
  if (SockIpv6Available()) EchoRoundTrip(V6("::1"));
  // The object's own port serves as the peer's when none is given.
  auto a = SockUdpOpen(&kLoopback, 0, 0);
  auto b = SockUdpOpen(&kLoopback, 0, 0);
  EXPECT_TRUE(SockSetPeer(b.get(), &kLoopback, a->port));
  EXPECT_EQ(SockSendTo(b.get(), &kLoopback, "hi", 2), 2);
  char buffer[8];
  EXPECT_EQ(SockRecvFrom(a.get(), buffer, sizeof buffer, nullptr, nullptr, 5000), 2);
  // No IPv6 peer for an IPv4 socket; SockClose leaves a datagram socket alone.
  const SockAddr v6 = V6("::1");
  EXPECT_EQ(SockSendTo(a.get(), &v6, 9, "x", 1), -1);
  EXPECT_FALSE(SockClose(a));
  EXPECT_NE(a, nullptr);
}

TEST(SockUdp, BroadcastsNeedTheFlag) {
  auto receiver = SockUdpOpen(nullptr, 0, SOCK_REUSEADDR);  // every IPv4 address
  ASSERT_NE(receiver, nullptr);
  SockAddr broadcast;
  ASSERT_EQ(SockResolveMasked(&broadcast, "127.0.0.1", "255.0.0.0"), 1);
  EXPECT_EQ(SockAddrToText(broadcast), "127.255.255.255");
  auto plain = SockUdpOpen(&kLoopback, 0, 0);
  EXPECT_EQ(SockSendTo(plain.get(), &broadcast, receiver->port, "a", 1), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  auto sender = SockUdpOpen(&kLoopback, 0, SOCK_BROADCAST);
  ASSERT_EQ(SockSendTo(sender.get(), &broadcast, receiver->port, "b", 1), 1);
  char c = 0;
  EXPECT_EQ(SockRecvFrom(receiver.get(), &c, 1, nullptr, nullptr, 5000), 1);
  EXPECT_EQ(c, 'b');
  // The all-nodes address of a masked IPv6 host is received on every IPv6 address.
  if (SockIpv6Available()) {
    SockAddr allNodes;
    ASSERT_EQ(SockResolveMasked(&allNodes, "::1", "255.0.0.0"), 2);
    EXPECT_EQ(SockAddrToText(allNodes), "FF01::1");
    auto v6 = SockUdpOpen(&allNodes, 0, SOCK_BROADCAST);
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(SockAddrToText(v6->peer), "::");
  }
}

TEST(SockUdp, ADatagramTooLongIsNeverPassedOffAsWhole) {
  auto a = SockUdpOpen(&kLoopback, 0, 0);
  auto b = SockUdpOpen(&kLoopback, 0, 0);
  SockSendTo(b.get(), &kLoopback, a->port, "0123456789", 10);
  char buffer[4];
  SockAddr from;
  EXPECT_EQ(SockRecvFrom(a.get(), buffer, sizeof buffer, &from, nullptr, 5000), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(std::memcmp(buffer, "0123", 4), 0);
  EXPECT_EQ(from, kLoopback);
  // Nothing else comes: a time-out.
  const auto start = Clock::now();
  EXPECT_EQ(SockRecvFrom(a.get(), buffer, sizeof buffer, nullptr, nullptr, 200), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
  EXPECT_GE(Clock::now() - start, 180ms);
}

TEST(SockUdp, AShutdownFromAnotherThreadEndsAReceiveAndOwnerCloseFreesThePort) {
  auto sock = SockUdpOpen(&kLoopback, 0, SOCK_OWNER_CLOSE);
  ASSERT_NE(sock, nullptr);
  const u16 port = sock->port;
  const int number = sock->Fd();
  auto receive = std::async(std::launch::async, [&] {
    char buffer[16];
    return SockRecvFrom(sock.get(), buffer, sizeof buffer, nullptr, nullptr, 10000);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(SockShutdown(sock.get()));
  ASSERT_EQ(receive.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(receive.get(), -1);  // not an empty datagram
  // The port is free again, while the descriptor's number stays taken until the object goes.
  auto again = SockUdpOpen(&kLoopback, port, 0);
  EXPECT_NE(again, nullptr);
  EXPECT_NE(::fcntl(number, F_GETFD), -1);
  EXPECT_EQ(SockSendTo(sock.get(), &kLoopback, port, "x", 1), -1);
}

}  // namespace
