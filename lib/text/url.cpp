// What a cell names (a URL, a drive, a UNC or a local path), and URLs split into their parts.
#include <algorithm>
#include <cstring>

#include "lib/text/enc.h"
#include "lib/text/str.h"

#include <string>

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSchemeChar(char c) { return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.'; }

constexpr const char* kArchiveMasks =
    "*.zip;*.tar;*.gz;*.tgz;*.bz2;*.rpm;*.rar;*.cab;*.chm;*.7z;*.iso;*.nrg;*.jar;*.uue;*.cpio;*.msi";

// scheme, kind, named by a URL, names a server.
constexpr UrlSchemeKind kSchemes[] = {
    {"ftp", URL_KIND_FTP, true, true},
    {"sftp", URL_KIND_SFTP, true, true},
    {"file", URL_KIND_LOCAL, true, false},
    {"smb", URL_KIND_LOCAL, true, true},
    {"disk", URL_KIND_DISK, true, false},
    {"ctlcomm", URL_KIND_CTLCOMM, true, true},
    {"ssh", URL_KIND_SSH, false, true},
};

// The kind a scheme names as a URL, -1 for a scheme that names none.
int SchemeKind(std::string_view scheme) {
  const UrlSchemeKind* entry = UrlSchemeFind(scheme);
  return entry && entry->named ? entry->kind : -1;
}

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

const UrlSchemeKind* UrlSchemeFind(std::string_view scheme) {
  for (const UrlSchemeKind& entry : kSchemes)
    if (StrEqualsNoCase(scheme, entry.scheme)) return &entry;
  return nullptr;
}

const UrlSchemeKind* UrlKindFind(int kind) {
  for (const UrlSchemeKind& entry : kSchemes)
    if (entry.kind == kind) return &entry;
  return nullptr;
}

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

bool EncUrlPortValid(std::string_view url) {
  const std::size_t schemeLen = SchemeLength(url);
  if (schemeLen == 0) return true;
  std::string_view rest = url.substr(schemeLen + 3);
  if (StartsWithDrive(rest)) return true;
  rest = rest.substr(0, rest.find('?'));
  std::string_view authority = rest.substr(0, rest.find('/'));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view port;
  if (!authority.empty() && authority[0] == '[' && authority.find(']') != std::string_view::npos) {
    const std::size_t close = authority.find(']');
    if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    port = authority.substr(colon + 1);
    // A ":" followed by anything but digits stays in the host, as in EncSplitUrlA.
    if (!std::all_of(port.begin(), port.end(), IsDigit)) return true;
  }
  if (port.empty()) return true;
  if (!std::all_of(port.begin(), port.end(), IsDigit)) return false;
  long value = 0;
  for (const char c : port) {
    value = value * 10 + (c - '0');
    if (value > 65535) return false;
  }
  return value >= 1;
}

int GetUrlKind(const char* path, BOOL bUrlOnly) {
  const std::string_view text = path ? std::string_view(path) : std::string_view();
  const std::string_view scheme = EncUrlScheme(text);
  if (!scheme.empty()) return std::max(SchemeKind(scheme), static_cast<int>(URL_KIND_NONE));
  if (bUrlOnly) return URL_KIND_NONE;
  std::string decoded(text.size() + 1, '\0');
  EncSplitUrlA(path, nullptr, 0, nullptr, nullptr, nullptr, nullptr, decoded.data(),
               static_cast<int>(decoded.size()), nullptr, 0);
  const int mask = StrMatchPatternListA(decoded.c_str(), -1, kArchiveMasks, STR_MATCH_NOCASE, ';');
  return mask <= 1 ? URL_KIND_LOCAL : URL_KIND_NONE;
}

std::string GetUrlUnknownScheme(std::string_view text) {
  std::size_t n = 0;
  if (text.empty() || !IsAlpha(text[0])) return {};
  while (n < text.size() && IsSchemeChar(text[n])) ++n;
  if (n < 2 || n >= text.size() || text[n] != ':') return {};
  const std::string_view scheme = text.substr(0, n);
  if (text.substr(n, 3) == "://" && SchemeKind(scheme) > 0) return {};
  return std::string(scheme);
}

std::string EncUrlHidePassword(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  for (std::size_t at = text.find("://"); at != std::string_view::npos; at = text.find("://", at + 3)) {
    // Only a real scheme before "://" makes a URL here.
    std::size_t start = at;
    while (start > 0 && IsSchemeChar(text[start - 1])) --start;
    while (start < at && !IsAlpha(text[start])) ++start;
    if (at - start < 2 || start < copied) continue;
    const std::size_t from = at + 3;
    std::size_t end = from;
    while (end < text.size() && text[end] != '/' && text[end] != '?' && text[end] != '\n' && text[end] != '\r')
      ++end;
    const std::string_view authority = text.substr(from, end - from);
    const std::size_t last = authority.rfind('@');
    if (last == std::string_view::npos) continue;
    const std::size_t colon = authority.find(':');
    if (colon == std::string_view::npos || colon >= last || colon + 1 == last) continue;
    out.append(text.substr(copied, from + colon + 1 - copied));
    out += "***";
    copied = from + last;
  }
  out.append(text.substr(copied));
  return out;
}
