// Splitting, connecting and resolving the remote cells of the workers that reach servers.
#include "jobs/workers/remote_cell.h"

#include "jobs/error_text.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "remote/connect_url.h"

#include <algorithm>
#include <vector>

namespace {

constexpr char kNoHost[] = "Falscher FTP-Server-Name";
constexpr char kNoUser[] = "Falscher User-Namen";
constexpr char kNoCurrentDir[] = "Kann aktuelles Verzeichnis nicht abfragen";
constexpr char kNoConnection[] = "Keine Verbindung zum FTP-Server";
constexpr char kPathTooLong[] = "Der Pfad ist zu lang:\n%s";
constexpr char kBadPort[] = "Die Portnummer ist ungültig (erlaubt sind 1 bis 65535):\n%s";
constexpr u32 kConnectFlags = URL_CONNECT_RECONNECT | URL_CONNECT_RETRY;  // 0x500

}  // namespace

bool RemoteCellSplit(const char* text, RemoteCell& out, std::string& message) {
  // A port that cannot be used must never become the default one: the login would go elsewhere.
  if (!EncUrlPortValid(text ? text : "")) {
    message = FmtString(kBadPort, EncUrlHidePassword(text).c_str());
    return false;
  }
  std::vector<char> host(257), user(64), password(64), path(kRemotePathMax + 2), scheme(16);
  int port = 0;
  EncSplitUrlA(text, host.data(), static_cast<int>(host.size()), user.data(), password.data(), &port,
               scheme.data(), path.data(), static_cast<int>(path.size()), nullptr, 0);
  out.kind = GetUrlKind(text, TRUE);
  out.host = host.data();
  out.user = user.data();
  out.password = password.data();
  out.port = port;
  out.path = path.data();
  if (out.path.size() >= kRemotePathMax) {
    message = FmtString(kPathTooLong, EncUrlHidePassword(text).c_str());
    return false;
  }
  // Servers need a host and a user, shares ("smb://server/share", "file://server/share") too;
  // local paths and disk images neither. An "smb://" cell is always a share: without a host it is
  // refused, never taken as a local path.
  const UrlSchemeKind* entry = UrlSchemeFind(scheme.data());
  const bool server =
      (entry && entry->named && entry->server) || (out.kind == URL_KIND_LOCAL && !out.host.empty());
  if (server && out.host.empty()) {
    message = kNoHost;
    return false;
  }
  if (server && out.user.empty()) {
    message = kNoUser;
    return false;
  }
  return true;
}

std::unique_ptr<CUrlConnection> RemoteCellConnect(const RemoteCell& cell, UrlBreakHandle* breakRecord,
                                                  std::string& message, bool readOnly, std::string* notice) {
  try {
    auto c = ConnectUrl(cell.host.c_str(), cell.user.c_str(), cell.password.c_str(), static_cast<u16>(cell.port),
                        static_cast<u32>(cell.kind) | kConnectFlags | (readOnly ? u32{URL_CONNECT_READ_ONLY} : 0u),
                        // A share opens (and checks the login) on the share the path names.
                        cell.kind == URL_KIND_LOCAL && !cell.host.empty() ? cell.path.c_str() : nullptr,
                        breakRecord);
    if (notice) *notice = c->Notice();
    return c;
  } catch (const CInternetException& e) {
    message = !e.Text().empty() ? e.Text() : Win32ErrorText(e.m_dwError, kNoConnection);
  } catch (const std::exception&) {
    message = kNoConnection;
  }
  return nullptr;
}

bool RemoteCellResolve(CUrlConnection& c, const RemoteCell& cell, std::string& out, std::string& message) {
  std::string p = cell.path;
  std::replace(p.begin(), p.end(), '\\', '/');
  // The URL's path separator; what follows is the path the cell means. On FTP it always goes (a
  // server's paths are taken from its root either way); elsewhere only before "." and "./".
  const std::string inner = p.starts_with('/') ? p.substr(1) : p;
  const bool relative = inner == "." || inner.starts_with("./");
  const std::string rest = relative || cell.kind == URL_KIND_FTP ? inner : p;
  if (relative) {
    std::string here;
    if (!c.GetCurrentDirString(here)) {
      message = kNoCurrentDir;
      return false;
    }
    if (here.ends_with('/')) here.pop_back();
    out = here + "/" + rest.substr(rest.size() > 1 ? 2 : 1);
  } else {
    out = rest.starts_with('/') ? rest : "/" + rest;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return true;
}

bool RemoteKeptLink(u32 attributes) {
  if (!(attributes & URL_ATTR_LINK)) return false;
  constexpr u32 kTypeLink = 0xA000;  // the Unix type of a link that was not resolved
  return (attributes & URL_ATTR_DIRECTORY) || ((attributes >> 16) & 0xF000) == kTypeLink;
}

bool RemoteSafeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}
