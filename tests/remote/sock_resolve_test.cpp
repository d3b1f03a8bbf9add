// The socket library's resolver: IPv6 texts, masks, the front ends, host names, and a system
// without IPv6 (a child process whose IPv6 sockets a seccomp filter refuses).
#include "lib/text/enc.h"
#include "remote/sock/sock.h"
#include "tests/remote/sock_test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>

namespace {

using socktest::kLoopback;

TEST(SockResolve, Ipv6Texts) {
  struct Case {
    const char* text;
    int kind;
  };
  const Case cases[] = {
      // the unspecified and the loopback address, however written
      {"::", 2},
      {"[::]", 2},
      {"0:0:0:0:0:0:0:0", 2},
      {"::0", 2},
      {"::0.0.0.0", 2},
      {"::1", 3},
      {"[::1]", 3},
      {"0:0::1", 3},
      {"::1%lo", 3},
      // dotted IPv4 tails and where they start
      {"::ffff:1.2.3.4", 7},
      {"[::ffff:1.2.3.4]", 8},
      {"::FFFF:10.0.0.1%eth0", 7},
      {"64:ff9b::1.2.3.4", 9},
      {"1:2:3:4:5:6:1.2.3.4", 12},
      {"::1.2.3.4", 1},
      {"1::1.2.3.4", 1},
      // zone ids
      {"fe80::1%eth0", 1},
      {"[fe80::1%25eth0]", 1},
      {"fe80::1%", 0},
      {"fe80::1%et h", 0},
      {"fe80::1%a%b", 0},
      // group counts
      {"1:2:3:4:5:6:7:8", 1},
      {"1:2:3:4:5:6:7::", 1},
      {"::2:3:4:5:6:7:8", 1},
      {"1:2:3:4:5:6:7", 0},
      {"1:2:3:4:5:6:7:8:9", 0},
      {"1:2:3:4:5:6:7:8::", 0},
      {"::1:2:3:4:5:6:7:8", 0},
      {"1:2:3:4:5:6:7:1.2.3.4", 0},
      // hex
      {"12345::", 0},
      {"g::1", 0},
      {"::fffg", 0},
      {"1:-2::", 0},
      {"ABCD:ef01::", 1},
      {"0000:0::1", 3},
      // IPv4 in the wrong place or malformed
      {"1.2.3.4::", 0},
      {"::1.2.3.4:5", 0},
      {"::1.2.3.4.5", 0},
      {"::ffff:1.2.3", 0},
      {"::ffff:1.2.3.256", 0},
      {"::ffff:01.2.3.4", 0},
      {"::ffff:1..3.4", 0},
      {"1.2.3.4", 0},
      {"::ffff:a.2.3.4", 0},
      // colons
      {":::", 0},
      {"1:::2", 0},
      {":1::", 0},
      {"1::2::3", 0},
      {"1:", 0},
      {":", 0},
      {"", 0},
      {"1::2:", 0},
      // brackets
      {"[::1", 0},
      {"::1]", 0},
      {"[]", 0},
      {"[::1]:21", 0},
      {"[[::1]]", 0},
      {"localhost", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(SockParseIPv6(c.text), c.kind) << c.text;
  EXPECT_EQ(SockParseIPv6("::1xyz", 3), 3);
  EXPECT_EQ(SockParseIPv6(nullptr), 0);
}

// Texts near valid addresses: whether they are IPv6 agrees with the C library.
TEST(SockResolve, Ipv6TextsAgreeWithTheCLibrary) {
  const char* seeds[] = {"::",
                         "::1",
                         "1:2:3:4:5:6:7:8",
                         "fe80::a:b",
                         "::ffff:1.2.3.4",
                         "1:2:3:4:5:6:1.2.3.4",
                         "2001:db8::ff00:42:8329",
                         "a::b:c:255.255.255.255"};
  const std::string alphabet = "0123456789abcdefABCDEFg:.:.";
  std::mt19937 random(4711);
  for (int i = 0; i < 20000; ++i) {
    std::string text = seeds[random() % std::size(seeds)];
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      const std::size_t at = random() % (text.size() + 1);
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0:
          text.insert(at, 1, c);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          if (at < text.size()) text[at] = c;
          break;
      }
    }
    unsigned char bytes[16];
    EXPECT_EQ(SockParseIPv6(text.c_str()) != 0, ::inet_pton(AF_INET6, text.c_str(), bytes) == 1) << text;
  }
}

TEST(SockResolve, MasksAndFrontEnds) {
  SockAddr a;
  EXPECT_EQ(SockResolveMasked(&a, "127.0.0.1", "255.255.0.0"), 1);
  EXPECT_EQ(SockAddrToText(a), "127.0.255.255");
  EXPECT_EQ(SockResolveMasked(&a, "127.0.0.1", nullptr), 1);
  EXPECT_EQ(a, kLoopback);
  EXPECT_EQ(SockResolveMasked(&a, "", "255.0.0.0"), 0);
  EXPECT_EQ(SockAddrToText(a), "255.255.255.255");
  EXPECT_EQ(SockResolveMasked(&a, "127.0.0.1", "no mask"), 0);
  EXPECT_EQ(SockAddrToText(a), "255.255.255.255");
  // A host that does not resolve is no broadcast address.
  EXPECT_EQ(SockResolveMasked(&a, "no.such.host.invalid", "255.255.255.0"), 0);
  SockAddr v6 = socktest::V6("2001:db8::1");
  EXPECT_EQ(SockAddrMask(&v6, "255.0.0.0"), 2);
  EXPECT_EQ(SockAddrToText(v6), "FF01::1");

  u16 port = 7;
  EXPECT_EQ(SockResolveArgs(&a, &port, "127.0.0.1:2121"), 1);
  EXPECT_EQ(port, 2121);
  EXPECT_EQ(a, kLoopback);
  EXPECT_EQ(SockResolveArgs(&a, &port, "localhost"), 1);
  EXPECT_EQ(port, 2121);  // no port named: unchanged
  EXPECT_EQ(SockResolveArgs(&a, &port, "127.0.0.1:21xyz", 12), 1);
  EXPECT_EQ(port, 21);
  for (const char* bad :
       {"localhost:0", "localhost:65536", "localhost:x", "localhost:", "[::1]x", "[::1]:"}) {
    port = 7;
    EXPECT_EQ(SockResolveArgs(&a, &port, bad), 0) << bad;
    EXPECT_EQ(port, 7) << bad;
  }
  if (SockIpv6Available()) {
    EXPECT_EQ(SockResolveArgs(&a, &port, "[::1]:990"), 2);
    EXPECT_EQ(port, 990);
    EXPECT_EQ(SockResolveArgs(&a, &port, "::1"), 2);
    EXPECT_EQ(port, 990);
  }

  EXPECT_EQ(SockResolveW(&a, u"127.0.0.1"), 1);
  EXPECT_EQ(a, kLoopback);
  EXPECT_EQ(SockResolveW(&a, u"127.0.0.1:21", 9), 1);
  EXPECT_EQ(SockNarrowHost(u"b\u00fccher.example"),
            "b\xc3\xbc"
            "cher.example");
  // A long name stays whole: cut, it would name another host.
  const std::u16string longName(40, u'a');
  EXPECT_EQ(SockNarrowHost((longName + u"." + longName + u".example").c_str()).size(), 89u);
}

TEST(SockResolve, HostNames) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(SockGetHostName(), host);
  SockSetHostName("rechner-7");
  EXPECT_EQ(SockGetHostName(), "rechner-7");
  SockSetHostName("rechner-7xyz", 8);
  EXPECT_EQ(SockGetHostName(), "rechner-");
  std::string accented;
  for (int i = 0; i < 70; ++i) accented += "\xc3\xa9";
  SockSetHostName(accented.c_str());
  EXPECT_EQ(SockGetHostName(), accented.substr(0, 126));  // 63 characters, none cut
  SockSetHostName(nullptr);
  EXPECT_EQ(SockGetHostName(), host);
}

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned kAuditArch = 0;
#endif

// From here on the process gets EAFNOSUPPORT for every IPv6 socket, as a system without IPv6.
bool RefuseIpv6Sockets() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The checks of the child: the number of those that failed, each told on standard error.
int ResolveWithoutIpv6() {
  if (!RefuseIpv6Sockets()) return 100;
  int failed = 0;
  const auto check = [&](const char* host, int result, const char* text) {
    SockAddr a;
    const int got = SockResolve(&a, host);
    if (got != result || SockAddrToText(a) != text) {
      std::fprintf(stderr, "%s: %d %s\n", host, got, SockAddrToText(a).c_str());
      ++failed;
    }
  };
  if (SockIpv6Available()) ++failed;
  check("::", 1, "0.0.0.0");
  check("[::]", 1, "0.0.0.0");
  check("::1", 1, "127.0.0.1");
  check("[::1]", 1, "127.0.0.1");
  check("::ffff:10.1.2.3", 1, "10.1.2.3");
  check("[::ffff:10.1.2.3]", 1, "10.1.2.3");
  check("::ffff:10.1.2.3%lo", 1, "10.1.2.3");
  check("2001:db8::1", 0, "255.255.255.255");
  check("localhost", 1, "127.0.0.1");
  // The listener falls back to IPv4 alone.
  const SockAddr any = SockIpv4(0);
  auto listening = SockConnect(&any, 0, 0, nullptr, true, 0);
  u16 port = 0;
  SockGetLocalAddr(listening.get(), nullptr, &port);
  if (!listening || !SockConnect(&kLoopback, port, 1000, nullptr, false, 0)) ++failed;
  return failed;
}

TEST(SockResolve, WithoutIpv6IPv6TextsForIpv4ResolveToIpv4) {
  if (kAuditArch == 0) GTEST_SKIP() << "no seccomp filter for this architecture";
  // A fresh process: the library probes for IPv6 once per process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(::_exit(ResolveWithoutIpv6()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
