// The socket library's resolver: names and address texts to addresses, masks, the local host name.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/sock/sock.h"
#include "remote/sock/sock_internal.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

using namespace sock_detail;

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// a.b.c.d with four decimal parts of 0-255, no leading zeros, nothing else.
bool ParseDotted(std::string_view t, unsigned char out[4]) {
  int part = 0;
  std::size_t i = 0;
  while (part < 4) {
    const std::size_t start = i;
    int value = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9' && i - start < 3) value = value * 10 + (t[i++] - '0');
    if (i == start || value > 255 || (t[start] == '0' && i - start > 1)) return false;
    out[part++] = static_cast<unsigned char>(value);
    if (part < 4) {
      if (i >= t.size() || t[i] != '.') return false;
      ++i;
    }
  }
  return i == t.size();
}

// The bare address (no brackets, no zone) into 16 bytes; *v4At the position of a dotted IPv4
// tail, or -1.
bool ParseIpv6Bare(std::string_view t, unsigned char out[16], int* v4At) {
  *v4At = -1;
  u16 groups[8] = {};
  int count = 0, gap = -1;
  std::size_t i = 0;
  if (t.size() >= 2 && t[0] == ':' && t[1] == ':') {
    gap = 0;
    i = 2;
  } else if (!t.empty() && t[0] == ':') {
    return false;
  }
  while (i < t.size()) {
    std::size_t j = i;
    while (j < t.size() && IsHex(t[j])) ++j;
    if (j < t.size() && t[j] == '.') {
      // The last 32 bits as a dotted IPv4 address: it must end the text.
      unsigned char v4[4];
      if (count > 6 || !ParseDotted(t.substr(i), v4)) return false;
      groups[count++] = static_cast<u16>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<u16>(v4[2] << 8 | v4[3]);
      *v4At = static_cast<int>(i);
      i = t.size();
      break;
    }
    if (j == i || j - i > 4 || count == 8) return false;
    u16 value = 0;
    for (std::size_t k = i; k < j; ++k) value = static_cast<u16>(value << 4 | HexValue(t[k]));
    groups[count++] = value;
    i = j;
    if (i == t.size()) break;
    if (t[i] != ':') return false;
    ++i;
    if (i < t.size() && t[i] == ':') {
      if (gap >= 0) return false;  // a second "::"
      gap = count;
      ++i;
      continue;
    }
    if (i == t.size()) return false;  // a single ':' at the end
  }
  // Without "::" all eight groups are written; "::" stands for one group at least.
  if (gap < 0 ? count != 8 : count > 7) return false;
  std::memset(out, 0, 16);
  const int tail = gap < 0 ? 0 : count - gap;
  for (int g = 0; g < count; ++g) {
    const int at = (gap >= 0 && g >= gap) ? 8 - tail + (g - gap) : g;
    out[2 * at] = static_cast<unsigned char>(groups[g] >> 8);
    out[2 * at + 1] = static_cast<unsigned char>(groups[g]);
  }
  return true;
}

bool IsZoneChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_' ||
         c == '-' || c == '~';
}

std::string_view TextOf(const char* text, int length) {
  if (!text) return {};
  return length < 0 ? std::string_view(text) : std::string_view(text, static_cast<std::size_t>(length));
}

std::string LocalHostName() {
  // gethostname may leave a cut name unterminated: room for the longest name and our own NUL.
  char local[256] = {};
  if (::gethostname(local, sizeof local - 1) != 0) return {};
  return local;
}

// Step 2 of the resolver on a system without IPv6: IPv6 texts that can stand for IPv4.
std::optional<int> ResolveWithoutIpv6(SockAddr* address, const std::string& name) {
  const int kind = SockParseIPv6(name.c_str(), static_cast<int>(name.size()));
  if (kind == 0) return std::nullopt;
  if (kind == 2) {
    *address = SockIpv4(0);
    return 1;
  }
  if (kind == 3) {
    *address = SockIpv4(0x7F000001);
    return 1;
  }
  if (kind >= 7) {
    std::string tail = name.substr(static_cast<std::size_t>(kind));
    tail = tail.substr(0, tail.find_first_of("%]"));
    in_addr v4{};
    if (::inet_pton(AF_INET, tail.c_str(), &v4) == 1) {
      address->w[0] = kSockIpv4Tag;
      address->w[1] = v4.s_addr;
      return 1;
    }
  }
  return 0;  // 255.255.255.255 stays
}

std::mutex g_hostLock;
std::optional<std::string> g_hostName;

}  // namespace

void SockInit() {
  SockIpv6Available();
}

bool SockIpv6Available() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    available = fd >= 0;
    if (fd >= 0) ::close(fd);
  });
  return available;
}

int SockParseIPv6(const char* text, int length) {
  std::string_view t = TextOf(text, length);
  int offset = 0;
  if (!t.empty() && t.front() == '[') {
    if (t.size() < 2 || t.back() != ']') return 0;
    t = t.substr(1, t.size() - 2);
    offset = 1;
  }
  if (const auto percent = t.find('%'); percent != std::string_view::npos) {
    const std::string_view zone = t.substr(percent + 1);
    if (zone.empty()) return 0;
    for (const char c : zone)
      if (!IsZoneChar(c)) return 0;
    t = t.substr(0, percent);
  }
  unsigned char a[16];
  int v4At = -1;
  if (!ParseIpv6Bare(t, a, &v4At)) return 0;
  static const unsigned char kZero[16] = {};
  if (std::memcmp(a, kZero, 15) == 0 && (a[15] == 0 || a[15] == 1)) return a[15] == 0 ? 2 : 3;
  // A tail that starts before 7 would read as one of the kinds below it.
  return v4At >= 0 && v4At + offset >= 7 ? v4At + offset : 1;
}

int SockResolve(SockAddr* address, const char* host) {
  SockInit();
  *address = SockIpv4(0xFFFFFFFF);
  std::string name = host ? host : "";
  if (name.empty()) {
    name = LocalHostName();
    if (name.empty()) return 0;
  }
  if (!SockIpv6Available())
    if (const auto result = ResolveWithoutIpv6(address, name)) return *result;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) return 0;
  int result = 0;
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      *address = FromSockaddr(ai->ai_addr, nullptr);
      result = 1;
      break;  // IPv4 wins
    }
    if (ai->ai_family == AF_INET6 && result == 0 && SockIpv6Available()) {
      *address = FromSockaddr(ai->ai_addr, nullptr);
      result = SockIsIpv4(*address) ? 1 : 2;
    }
  }
  ::freeaddrinfo(list);
  return result;
}

int SockAddrMask(SockAddr* address, const char* mask) {
  if (!SockIsIpv4(*address)) {
    static const unsigned char kAllNodes[16] = {0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
    std::memcpy(address->w, kAllNodes, 16);
    return 2;
  }
  const in_addr_t m = mask ? ::inet_addr(mask) : INADDR_NONE;
  if (m == INADDR_NONE) {
    *address = SockIpv4(0xFFFFFFFF);
    return 0;
  }
  address->w[1] |= ~m;
  return 1;
}

int SockResolveMasked(SockAddr* address, const char* host, const char* mask) {
  if (!host || !*host) {
    *address = SockIpv4(0xFFFFFFFF);
    return 0;
  }
  const int result = SockResolve(address, host);
  // A host that did not resolve stays a failure: its mask must not make it a broadcast.
  if (!mask || result == 0) return result;
  return SockAddrMask(address, mask);
}

int SockResolveArgs(SockAddr* address, u16* port, const char* text, int length) {
  std::string_view t = TextOf(text, length);
  std::string_view host = t, portText;
  if (!t.empty() && t.front() == '[') {
    const auto close = t.find(']');
    if (close != std::string_view::npos && close + 1 < t.size()) {
      if (t[close + 1] != ':') {
        *address = SockIpv4(0xFFFFFFFF);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      host = t.substr(0, close + 1);
      portText = t.substr(close + 2);
    }
  } else if (const auto colon = t.find(':');
             colon != std::string_view::npos && t.find(':', colon + 1) == std::string_view::npos) {
    host = t.substr(0, colon);
    portText = t.substr(colon + 1);
  }
  if (host.size() != t.size()) {
    u32 value = 0;
    bool ok = !portText.empty() && portText.size() <= 5;
    for (const char c : portText) {
      if (c < '0' || c > '9') ok = false;
      value = value * 10 + static_cast<u32>(c - '0');
    }
    if (!ok || value == 0 || value > 65535) {
      *address = SockIpv4(0xFFFFFFFF);
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const int result = SockResolve(address, std::string(host).c_str());
    if (result && port) *port = static_cast<u16>(value);
    return result;
  }
  return SockResolve(address, std::string(host).c_str());
}

std::string SockNarrowHost(const WCHAR* host, int length) {
  std::string out;
  if (!host) return out;
  // A terminated copy, so that a pair cut by the length is never read past it.
  const std::u16string wide =
      length < 0 ? std::u16string(host) : std::u16string(host, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < wide.size() && wide[i] != 0;) {
    u32 cp = 0;
    i += static_cast<std::size_t>(EncUtf16Decode(wide.c_str() + i, &cp));
    char utf8[4];
    out.append(utf8, static_cast<std::size_t>(EncUtf8Encode(utf8, cp)));
  }
  return out;
}

int SockResolveW(SockAddr* address, const WCHAR* host, int length) {
  return SockResolve(address, SockNarrowHost(host, length).c_str());
}

std::string SockGetHostName() {
  std::lock_guard lock(g_hostLock);
  if (!g_hostName) g_hostName = LocalHostName();
  return *g_hostName;
}

void SockSetHostName(const char* name, int length) {
  std::lock_guard lock(g_hostLock);
  if (!name) {
    g_hostName.reset();
    return;
  }
  const std::string_view t = TextOf(name, length);
  g_hostName = std::string(t.substr(0, EncUtf8Prefix(t, 63)));
}
