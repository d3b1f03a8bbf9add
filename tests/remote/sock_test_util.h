// What the socket library's tests share: address texts and a connected pair on loopback.
#pragma once

#include "remote/sock/sock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>

namespace socktest {

inline SockAddr V6(const char* text) {
  SockAddr a;
  EXPECT_EQ(::inet_pton(AF_INET6, text, a.w), 1) << text;
  return a;
}

inline const SockAddr kLoopback = SockIpv4(0x7F000001);

// A connected pair through the library: the listener's accepted side and the client side.
struct Pair {
  std::unique_ptr<Sock> server, client;
  Pair() {
    auto listening = SockConnect(&kLoopback, 0, 1000, nullptr, true, 0);
    u16 port = 0;
    SockGetLocalAddr(listening.get(), nullptr, &port);
    client = SockConnect(&kLoopback, port, 1000, nullptr, false, 0);
    server = SockAccept(listening.get(), nullptr, nullptr, 1000);
  }
};

}  // namespace socktest
