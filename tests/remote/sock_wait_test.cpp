// Waits of the socket library: wake-up events, the wait over several objects, accept waits and
// bytes that arrive while a caller waits for them.
#include "platform/last_error.h"
#include "remote/sock/sock.h"
#include "tests/remote/sock_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using socktest::kLoopback;
using socktest::Pair;

TEST(SockWait, EventsStaySetUntilReset) {
  auto event = SockEventCreate(FALSE);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->kind, u32{SOCK_KIND_EVENT});
  EXPECT_FALSE(SockEventWait(event.get(), 0));
  EXPECT_TRUE(SockEventSet(event.get()));
  EXPECT_TRUE(SockEventSet(event.get()));
  EXPECT_TRUE(SockEventWait(event.get(), 0));
  EXPECT_TRUE(SockEventWait(event.get(), 0));  // a wait does not take it
  EXPECT_TRUE(SockEventReset(event.get()));
  EXPECT_FALSE(SockEventWait(event.get(), 50));  // one reset takes both sets
  EXPECT_TRUE(SockEventReset(event.get()));
  auto signalled = SockEventCreate(TRUE);
  EXPECT_TRUE(SockEventWait(signalled.get(), 0));
  // Sockets are no events.
  Pair p;
  EXPECT_FALSE(SockEventSet(p.client.get()));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_FALSE(SockEventClose(p.client));
  EXPECT_TRUE(SockEventClose(event));
  EXPECT_EQ(event, nullptr);
}

TEST(SockWait, ManySocketsWaitUntilAnEventIsSetFromAnotherThread) {
  Pair a, b;
  auto udp = SockUdpOpen(&kLoopback, 0, 0);
  auto listening = SockConnect(&kLoopback, 0, 0, nullptr, true, 0);
  auto event = SockEventCreate(FALSE);
  Sock* objects[] = {a.client.get(), nullptr, b.client.get(), udp.get(), listening.get(), event.get()};
  EXPECT_EQ(SockWaitMany(objects, 6, 100, 0), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});

  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(150ms);
    SockEventSet(event.get());
  });
  EXPECT_EQ(SockWaitMany(objects, 6, 5000, 0), 5);
  setter.join();
  EXPECT_GE(Clock::now() - start, 140ms);
  EXPECT_LT(Clock::now() - start, 2500ms);
  SockEventReset(event.get());

  // Objects with something waiting answer at once; the first at or behind the start wins.
  SockSend(a.server.get(), "x", 1);
  SockSendTo(udp.get(), &kLoopback, udp->port, "y", 1);
  ASSERT_GE(SockPending(a.client.get(), 2000), 1);
  ASSERT_EQ(SockWaitMany(objects + 3, 1, 2000, 0), 0);
  EXPECT_EQ(SockWaitMany(objects, 6, 0, 0), 0);
  EXPECT_EQ(SockWaitMany(objects, 6, 0, 1), 3);
  EXPECT_EQ(SockWaitMany(objects, 6, 0, 4), 0);  // wraps round
  EXPECT_EQ(SockWaitMany(objects, 6, 0, 99), 0);
  // A waiting connection and a closed peer count as well.
  u16 listenPort = 0;
  SockGetLocalAddr(listening.get(), nullptr, &listenPort);
  auto incoming = SockConnect(&kLoopback, listenPort, 1000, nullptr, false, 0);
  EXPECT_EQ(SockWaitMany(objects, 6, 2000, 4), 4);
  b.server.reset();
  EXPECT_EQ(SockWaitMany(objects, 6, 2000, 1), 2);

  std::vector<Sock*> tooMany(65, event.get());
  EXPECT_EQ(SockWaitMany(tooMany.data(), 65, 0, 0), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST(SockWait, AcceptWaitTakesALateConnectionAndEndsWithAShutDownListener) {
  auto listening = SockConnect(&kLoopback, 0, 0, nullptr, true, 0);
  u16 port = 0;
  SockGetLocalAddr(listening.get(), nullptr, &port);
  auto accepted = std::async(std::launch::async, [&] {
    SockAddr peer;
    u16 peerPort = 0;
    auto sock = SockAcceptWait(listening.get(), &peer, &peerPort);
    return sock && peer == kLoopback && peerPort != 0;
  });
  std::this_thread::sleep_for(300ms);
  auto client = SockConnect(&kLoopback, port, 1000, nullptr, false, 0);
  ASSERT_EQ(accepted.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(accepted.get());

  // The waiting thread owns what it uses: should the wait never end, the test still does.
  std::shared_ptr<Sock> shared(std::move(listening));
  std::promise<bool> endedPromise;
  auto ended = endedPromise.get_future();
  std::thread([shared, done = std::move(endedPromise)]() mutable {
    done.set_value(SockAcceptWait(shared.get(), nullptr, nullptr) == nullptr);
  }).detach();
  std::this_thread::sleep_for(100ms);
  SockCloseNoLinger(shared.get());
  ASSERT_EQ(ended.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(ended.get());

  // A non-blocking listener tries once.
  auto nonBlocking = SockConnect(&kLoopback, 0, 0, nullptr, true, SOCK_NONBLOCKING);
  const auto start = Clock::now();
  EXPECT_EQ(SockAcceptWait(nonBlocking.get(), nullptr, nullptr), nullptr);
  EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST(SockWait, PendingBytesAndSleeps) {
  Pair p;
  ASSERT_TRUE(p.client && p.server);
  EXPECT_EQ(SockPending(p.client.get(), 0), 0);
  std::thread sender([&] {
    std::this_thread::sleep_for(100ms);
    SockSend(p.server.get(), "12345", 5);
  });
  const auto start = Clock::now();
  EXPECT_EQ(SockPending(p.client.get(), 5000), 5);
  EXPECT_LT(Clock::now() - start, 2500ms);
  sender.join();
  EXPECT_EQ(SockRecvPending(p.client.get()), 5);
  EXPECT_TRUE(SockSleep(p.client.get(), 12345678));
  char buffer[8];
  EXPECT_EQ(SockRecvSome(p.client.get(), buffer, sizeof buffer), 5);
  // An empty socket waits out its receive time-out.
  SockSetRecvTimeout(p.client.get(), 100);
  const auto idle = Clock::now();
  EXPECT_EQ(SockRecvSome(p.client.get(), buffer, sizeof buffer), 0);
  EXPECT_GE(Clock::now() - idle, 480ms);
  EXPECT_FALSE(SockSleep(p.client.get(), 50));
  const auto plain = Clock::now();
  EXPECT_FALSE(SockSleep(nullptr, 50));
  EXPECT_GE(Clock::now() - plain, 45ms);
  // A socket whose peer reads nothing takes bytes until its buffers are full.
  EXPECT_TRUE(SockCanSend(p.client.get(), 0));
  SockSetIoctlFlags(p.client.get(), SOCK_NONBLOCKING);
  const std::string block(1 << 16, 'z');
  for (int i = 0; i < 1000 && SockSend(p.client.get(), block.data(), static_cast<int>(block.size())) > 0;
       ++i) {
  }
  EXPECT_FALSE(SockCanSend(p.client.get(), 100));
  EXPECT_EQ(SockPending(nullptr, 0), 0);
}

}  // namespace
