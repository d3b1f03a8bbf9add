// What a cell names (a URL, a drive, a UNC or a local path), and URLs split into their parts.
#include <algorithm>
#include <cstring>

#include "lib/text/enc.h"

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the scheme before "://", or 0 when the text has none.
std::size_t SchemeLength(std::string_view url) {
  std::size_t n = 0;
  if (url.empty() || !IsAlpha(url[0])) return 0;
  while (n < url.size() && (IsAlpha(url[n]) || IsDigit(url[n]) || url[n] == '+' || url[n] == '-' || url[n] == '.'))
    ++n;
  // One letter before ":" is a drive letter, not a scheme.
  if (n < 2 || url.substr(n, 3) != "://") return 0;
  return n;
}

bool StartsWithDrive(std::string_view s) {
  return s.size() >= 2 && IsAlpha(s[0]) && s[1] == ':' && (s.size() == 2 || s[2] == '/' || s[2] == '\\');
}

// Percent-decodes a part into its buffer (null: skipped); returns the bit when the part is there.
u32 Put(std::string_view part, char* buffer, int size, u32 bit) {
  if (buffer && size > 0) {
    int used = 0;
    EncDecodeEscapesA(part.data(), static_cast<int>(part.size()), buffer, size, ENC_PERCENT, &used);
  }
  return part.empty() ? 0 : bit;
}

}  // namespace

UrlForm EncUrlForm(std::string_view text) {
  if (SchemeLength(text) > 0) return URL_FORM_URL;
  if (text.size() >= 2 && IsAlpha(text[0]) && text[1] == ':') return URL_FORM_DRIVE;
  if (text.starts_with("\\\\") || text.starts_with("//")) return URL_FORM_UNC;
  return URL_FORM_PATH;
}

std::string_view EncUrlScheme(std::string_view text) { return text.substr(0, SchemeLength(text)); }

u32 EncSplitUrlA(const char* url, char* host, int hostSize, char* user, char* password, int* port,
                 char* scheme, char* path, int pathSize, char* query, int querySize) {
  constexpr int kUserSize = 64;
  constexpr int kSchemeSize = 16;
  std::string_view text = url ? std::string_view(url) : std::string_view();
  if (host && hostSize > 0) *host = 0;
  if (user) *user = 0;
  if (password) *password = 0;
  if (scheme) *scheme = 0;
  if (path && pathSize > 0) *path = 0;
  if (query && querySize > 0) *query = 0;
  if (port) *port = 0;

  std::size_t schemeLen = SchemeLength(text);
  if (schemeLen == 0) return Put(text, path, pathSize, URL_PATH);

  u32 found = URL_SCHEME;
  if (scheme) {
    std::size_t n = std::min<std::size_t>(schemeLen, kSchemeSize - 1);
    std::memcpy(scheme, text.data(), n);
    scheme[n] = 0;
  }
  std::string_view rest = text.substr(schemeLen + 3);
  if (StartsWithDrive(rest)) return found | Put(rest, path, pathSize, URL_PATH);

  std::size_t queryAt = rest.find('?');
  std::string_view queryPart = queryAt == std::string_view::npos ? std::string_view() : rest.substr(queryAt + 1);
  rest = rest.substr(0, queryAt);
  std::size_t pathAt = rest.find('/');
  std::string_view authority = rest.substr(0, pathAt);
  std::string_view pathPart = pathAt == std::string_view::npos ? std::string_view() : rest.substr(pathAt);

  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userInfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    std::size_t colon = userInfo.find(':');
    found |= Put(userInfo.substr(0, colon), user, kUserSize, URL_USER);
    if (colon != std::string_view::npos) found |= Put(userInfo.substr(colon + 1), password, kUserSize, URL_PASSWORD);
  }

  std::string_view hostPart = authority;
  std::string_view portPart;
  if (!authority.empty() && authority[0] == '[' && authority.find(']') != std::string_view::npos) {
    std::size_t close = authority.find(']');
    hostPart = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') portPart = authority.substr(close + 2);
  } else {
    std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      std::string_view digits = authority.substr(colon + 1);
      bool numeric = !digits.empty() && digits.size() <= 5;
      for (char c : digits) numeric = numeric && IsDigit(c);
      if (numeric || digits.empty()) {
        hostPart = authority.substr(0, colon);
        portPart = digits;
      }
    }
  }
  if (!portPart.empty()) {
    long value = 0;
    bool numeric = portPart.size() <= 5;
    for (char c : portPart) {
      numeric = numeric && IsDigit(c);
      if (numeric) value = value * 10 + (c - '0');
    }
    if (numeric && value <= 65535) {
      if (port) *port = static_cast<int>(value);
      found |= URL_PORT;
    }
  }
  found |= Put(hostPart, host, hostSize, URL_HOST);
  found |= Put(pathPart, path, pathSize, URL_PATH);
  found |= Put(queryPart, query, querySize, URL_QUERY);
  return found;
}
