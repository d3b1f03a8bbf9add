// Sessions of the communication library: handles, the breakable connect, host keys, login, texts.
#include "remote/commlib/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace commlib {

namespace {

using Clock = std::chrono::steady_clock;

// Waits on a connecting socket are cut into slices so that a break is seen soon: shutting a
// socket down does not wake a connect that is still under way.
constexpr int kSliceMs = 20;

std::mutex g_tableMutex;
std::unordered_map<uint32_t, std::shared_ptr<Session>> g_sessions;
uint32_t g_lastId = 0;

// libssh2's global state, from the first handle to the library's unloading.
std::once_flag g_initOnce;

std::mutex g_orphanMutex;
std::map<std::tuple<std::string, int, std::string>, std::set<std::pair<std::string, std::string>>> g_orphans;

std::mutex g_knownHostsMutex;

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string KnownHostsFile() {
  if (const char* file = std::getenv("TAVRIN_KNOWN_HOSTS"); file && *file) return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/Tavrin/known_hosts";
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.config/Tavrin/known_hosts";
}

std::vector<std::string> IdentityFiles() {
  if (const char* file = std::getenv("TAVRIN_SSH_IDENTITY"); file && *file) return {file};
  std::vector<std::string> out;
  const std::string home = HomeFolder();
  if (home.empty()) return out;
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string path = home + "/.ssh/" + name;
    if (::access(path.c_str(), R_OK) == 0) out.push_back(path);
  }
  return out;
}

bool MakeFolders(const std::string& file) {
  for (std::size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1)) {
    const std::string folder = file.substr(0, at);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Sends and receives never raise SIGPIPE in the program that loaded us.
LIBSSH2_SEND_FUNC(SendNoSignal) {
  (void)abstract;
  const ssize_t n = ::send(socket, buffer, length, flags | MSG_NOSIGNAL);
  return n < 0 ? -errno : n;
}

// Every prompt of keyboard-interactive gets the password.
LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(AnswerWithPassword) {
  (void)name;
  (void)name_len;
  (void)instruction;
  (void)instruction_len;
  (void)prompts;
  const Session* s = static_cast<const Session*>(*abstract);
  for (int i = 0; i < num_prompts; ++i) {
    // libssh2 frees the answers with the session's own allocator.
    responses[i].text = static_cast<char*>(const_cast<Session*>(s)->Allocate(s->password.size() + 1));
    if (!responses[i].text) {
      responses[i].length = 0;
      continue;
    }
    std::memcpy(responses[i].text, s->password.c_str(), s->password.size() + 1);
    responses[i].length = static_cast<unsigned>(s->password.size());
  }
}

bool OfferedMethod(const char* list, const char* method) {
  if (!list) return false;
  const std::string_view all(list), want(method);
  std::size_t at = 0;
  while (at <= all.size()) {
    const std::size_t comma = std::min(all.find(',', at), all.size());
    if (all.substr(at, comma - at) == want) return true;
    at = comma + 1;
  }
  return false;
}

int KnownHostKeyType(int hostKeyType) {
  switch (hostKeyType) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default: return 0;
  }
}

LIBSSH2_ALLOC_FUNC(AllocateFor) {
  return static_cast<Session*>(*abstract)->Allocate(count);
}
LIBSSH2_FREE_FUNC(FreeFor) {
  static_cast<Session*>(*abstract)->Free(ptr);
}
LIBSSH2_REALLOC_FUNC(ReallocateFor) {
  return static_cast<Session*>(*abstract)->Reallocate(ptr, count);
}

void InitLibrary() {
  std::call_once(g_initOnce, [] { libssh2_init(0); });
}

// When the library is let go: every session still open is closed first, then libssh2's state.
struct LibraryEnd {
  ~LibraryEnd() {
    std::unordered_map<uint32_t, std::shared_ptr<Session>> left;
    {
      std::lock_guard lock(g_tableMutex);
      left.swap(g_sessions);
    }
    left.clear();
    libssh2_exit();
  }
} g_libraryEnd;

}  // namespace

// ---- handles -------------------------------------------------------------------------------------

uint32_t CreateHandle(Kind kind) {
  InitLibrary();
  auto session = std::make_shared<Session>(kind);
  std::lock_guard lock(g_tableMutex);
  if (g_lastId == UINT32_MAX) return 0;
  const uint32_t id = ++g_lastId;
  g_sessions.emplace(id, std::move(session));
  return id;
}

std::shared_ptr<Session> Find(uint32_t handle, Kind kind) {
  std::lock_guard lock(g_tableMutex);
  const auto it = g_sessions.find(handle);
  if (it == g_sessions.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

bool Release(uint32_t handle, Kind kind) {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(g_tableMutex);
    const auto it = g_sessions.find(handle);
    if (it == g_sessions.end() || it->second->kind != kind) return false;
    session = std::move(it->second);
    g_sessions.erase(it);
  }
  return true;  // the session goes here, outside the table's lock
}

int CopyText(const std::string& text, char* buffer, int size) {
  if (buffer && size > 0) {
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

// ---- orphans -------------------------------------------------------------------------------------

void RememberOrphan(const Session& s, const std::string& path, const std::string& restoreTo) {
  std::lock_guard lock(g_orphanMutex);
  g_orphans[{s.host, s.port, s.user}].insert({path, restoreTo});
}

void RemoveOrphans(Session& s) {
  std::set<std::pair<std::string, std::string>> paths;
  {
    std::lock_guard lock(g_orphanMutex);
    const auto it = g_orphans.find({s.host, s.port, s.user});
    if (it == g_orphans.end()) return;
    paths.swap(it->second);
    g_orphans.erase(it);
  }
  for (const auto& [path, restoreTo] : paths) {
    if (!restoreTo.empty() && libssh2_sftp_rename_ex(s.sftp, path.c_str(), static_cast<unsigned>(path.size()),
                                                      restoreTo.c_str(), static_cast<unsigned>(restoreTo.size()),
                                                      0) == 0)
      continue;
    libssh2_sftp_unlink_ex(s.sftp, path.c_str(), static_cast<unsigned>(path.size()));
  }
}

// ---- the session ---------------------------------------------------------------------------------

Session::~Session() {
  if (ssh) {
    // A session that is gone gets no goodbye: its socket is shut first, so nothing waits.
    if (lost.load() || breakFlag.load()) {
      std::lock_guard lock(fdMutex);
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    } else {
      libssh2_session_set_timeout(ssh, 2000);
    }
    libssh2_session_set_blocking(ssh, 1);
    if (channel) libssh2_channel_free(channel);
    if (sftp) libssh2_sftp_shutdown(sftp);
    if (!lost.load() && !breakFlag.load()) libssh2_session_disconnect(ssh, "");
    libssh2_session_free(ssh);
  }
  FreeAllBlocks();
  CloseSocket();
}

void Session::Link(Block* b) {
  b->prev = &blocks;
  b->next = blocks.next;
  blocks.next->prev = b;
  blocks.next = b;
}

void Session::Unlink(Block* b) {
  b->prev->next = b->next;
  b->next->prev = b->prev;
}

void* Session::Allocate(std::size_t size) {
  auto* b = static_cast<Block*>(std::malloc(sizeof(Block) + size));
  if (!b) return nullptr;
  Link(b);
  return b + 1;
}

void Session::Free(void* block) {
  if (!block) return;
  Block* b = static_cast<Block*>(block) - 1;
  Unlink(b);
  std::free(b);
}

void* Session::Reallocate(void* block, std::size_t size) {
  if (!block) return Allocate(size);
  Block* b = static_cast<Block*>(block) - 1;
  Unlink(b);
  auto* moved = static_cast<Block*>(std::realloc(b, sizeof(Block) + size));
  if (!moved) {
    Link(b);
    return nullptr;
  }
  Link(moved);
  return moved + 1;
}

void Session::FreeAllBlocks() {
  while (blocks.next != &blocks) {
    Block* b = blocks.next;
    Unlink(b);
    std::free(b);
  }
}

void Session::CloseSocket() {
  std::lock_guard lock(fdMutex);
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void Session::Break() {
  breakFlag.store(true);
  std::lock_guard lock(fdMutex);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

int Session::Usable() const {
  if (breakFlag.load()) return COMM_BREAK;
  if (!connected) return COMM_NO_CONNECTION;
  if (lost.load()) return COMM_CONNECTION_LOST;
  return COMM_OK;
}

bool Session::Alive() const {
  if (Usable() != COMM_OK) return false;
  pollfd p{fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
  return true;
}

int Session::Failure(int rc) {
  if (breakFlag.load()) {
    lost.store(true);
    return COMM_BREAK;
  }
  switch (rc) {
    case LIBSSH2_ERROR_SFTP_PROTOCOL: {
      const unsigned long status = sftp ? libssh2_sftp_last_error(sftp) : 0;
      return status >= 1 && status <= 8 ? static_cast<int>(status) : COMM_FAILURE;
    }
    case LIBSSH2_ERROR_ALLOC:
      return COMM_INTERNAL;
    case LIBSSH2_ERROR_TIMEOUT:
      // An answer that did not come leaves the protocol out of step: the session is done.
      lost.store(true);
      return COMM_TIMEOUT;
    default:
      lost.store(true);
      return COMM_CONNECTION_LOST;
  }
}

int Session::OpenSocket(const char* hostName, int portNumber, int timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(portNumber);
  if (::getaddrinfo(hostName, service.c_str(), &hints, &found) != 0 || !found) return COMM_UNREACHABLE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  int result = COMM_UNREACHABLE;
  for (addrinfo* a = found; a && result != COMM_OK; a = a->ai_next) {
    const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) continue;
    {
      std::lock_guard lock(fdMutex);
      fd = s;
    }
    if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
      result = COMM_OK;
      break;
    }
    if (errno != EINPROGRESS) {
      CloseSocket();
      continue;
    }
    for (;;) {
      if (breakFlag.load()) {
        result = COMM_BREAK;
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        result = COMM_TIMEOUT;
        break;
      }
      pollfd p{s, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs))) <= 0) continue;
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
      result = error == 0 ? COMM_OK : COMM_UNREACHABLE;
      break;
    }
    if (result != COMM_OK) {
      CloseSocket();
      if (result == COMM_BREAK || result == COMM_TIMEOUT) break;
    }
  }
  ::freeaddrinfo(found);
  if (result != COMM_OK) return result;
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return COMM_OK;
}

int Session::CheckHostKey() {
  std::size_t length = 0;
  int type = 0;
  const char* key = libssh2_session_hostkey(ssh, &length, &type);
  const int keyType = KnownHostKeyType(type);
  if (!key || !keyType) return COMM_INTERNAL;
  knownHosts = KnownHostsFile();
  if (knownHosts.empty()) return COMM_HOST_KEY_UNSAVED;

  std::lock_guard processLock(g_knownHostsMutex);
  // Other programs of ours may add hosts at the same time: one writer at a time.
  const std::string lockName = knownHosts + ".lock";
  if (!MakeFolders(knownHosts)) return COMM_HOST_KEY_UNSAVED;
  const int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
  struct Unlock {
    int fd;
    ~Unlock() {
      if (fd >= 0) ::close(fd);
    }
  } unlock{lockFd};

  LIBSSH2_KNOWNHOSTS* hosts = libssh2_knownhost_init(ssh);
  if (!hosts) return COMM_INTERNAL;
  struct Free {
    LIBSSH2_KNOWNHOSTS* h;
    ~Free() { libssh2_knownhost_free(h); }
  } free{hosts};
  if (::access(knownHosts.c_str(), F_OK) == 0 &&
      libssh2_knownhost_readfile(hosts, knownHosts.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) < 0)
    return COMM_HOST_KEY_UNSAVED;
  const int typeMask = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW;
  libssh2_knownhost* entry = nullptr;
  const int check = libssh2_knownhost_checkp(hosts, host.c_str(), port, key, length, typeMask | keyType, &entry);
  if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH) return COMM_OK;
  if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH) return COMM_HOST_KEY_CHANGED;
  if (check != LIBSSH2_KNOWNHOST_CHECK_NOTFOUND) return COMM_INTERNAL;
  // A new host: remembered, written beside the file and renamed over it.
  const std::string name = port == 22 ? host : "[" + host + "]:" + std::to_string(port);
  if (libssh2_knownhost_addc(hosts, name.c_str(), nullptr, key, length, nullptr, 0, typeMask | keyType, nullptr) != 0)
    return COMM_HOST_KEY_UNSAVED;
  const std::string temp = knownHosts + ".new";
  if (libssh2_knownhost_writefile(hosts, temp.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0 ||
      ::rename(temp.c_str(), knownHosts.c_str()) != 0) {
    ::unlink(temp.c_str());
    return COMM_HOST_KEY_UNSAVED;
  }
  return COMM_OK;
}

int Session::Login(const char* userName, const char* pass) {
  const unsigned userLength = static_cast<unsigned>(std::strlen(userName));
  const char* methods = libssh2_userauth_list(ssh, userName, userLength);
  if (!methods) {
    if (libssh2_userauth_authenticated(ssh)) return COMM_OK;
    const int rc = libssh2_session_last_errno(ssh);
    return rc == LIBSSH2_ERROR_EAGAIN ? COMM_INTERNAL : Failure(rc);
  }
  const auto failed = [&](int rc) {
    // A refused method is no failure of the session; anything else is.
    return rc != LIBSSH2_ERROR_AUTHENTICATION_FAILED && rc != LIBSSH2_ERROR_PUBLICKEY_UNVERIFIED &&
           rc != LIBSSH2_ERROR_METHOD_NOT_SUPPORTED && rc != LIBSSH2_ERROR_FILE &&
           rc != LIBSSH2_ERROR_KEYFILE_AUTH_FAILED && rc != LIBSSH2_ERROR_PASSWORD_EXPIRED &&
           rc != LIBSSH2_ERROR_PUBLICKEY_PROTOCOL;
  };
  if (*pass) {
    if (OfferedMethod(methods, "password")) {
      const int rc = libssh2_userauth_password_ex(ssh, userName, userLength, pass,
                                                  static_cast<unsigned>(std::strlen(pass)), nullptr);
      if (rc == 0) return COMM_OK;
      if (failed(rc)) return Failure(rc);
    }
    if (OfferedMethod(methods, "keyboard-interactive")) {
      const int rc = libssh2_userauth_keyboard_interactive_ex(ssh, userName, userLength, AnswerWithPassword);
      if (rc == 0) return COMM_OK;
      if (failed(rc)) return Failure(rc);
    }
  }
  if (OfferedMethod(methods, "publickey")) {
    for (const std::string& identity : IdentityFiles()) {
      const int rc =
          libssh2_userauth_publickey_fromfile_ex(ssh, userName, userLength, nullptr, identity.c_str(), "");
      if (rc == 0) return COMM_OK;
      if (failed(rc)) return Failure(rc);
    }
  }
  return breakFlag.load() ? COMM_BREAK : COMM_LOGIN_REFUSED;
}

int Session::OpenShell() {
  channel = libssh2_channel_open_session(ssh);
  if (!channel) return Failure(libssh2_session_last_errno(ssh));
  // "dumb" keeps the shell from framing its lines with escape sequences; wide, so nothing wraps.
  int rc = libssh2_channel_request_pty_ex(channel, "dumb", 4, nullptr, 0, 4096, 24, 0, 0);
  if (rc == 0) rc = libssh2_channel_shell(channel);
  if (rc != 0) return Failure(rc);
  libssh2_session_set_blocking(ssh, 0);
  return COMM_OK;
}

int Session::Connect(const char* hostName, int portNumber, const char* userName, const char* pass, int timeout) {
  if (used) return COMM_HANDLE_USED;
  used = true;
  if (!hostName || !*hostName || !userName || portNumber < 0 || portNumber > 65535) return COMM_BAD_PARAMETER;
  host = hostName;
  user = userName;
  password = pass ? pass : "";
  port = portNumber == 0 ? 22 : portNumber;
  timeoutMs = timeout > 0 ? timeout : 30000;

  int result = OpenSocket(host.c_str(), port, timeoutMs);
  if (result != COMM_OK) return result;
  ssh = libssh2_session_init_ex(AllocateFor, FreeFor, ReallocateFor, this);
  if (!ssh) return COMM_INTERNAL;
  libssh2_session_callback_set(ssh, LIBSSH2_CALLBACK_SEND, reinterpret_cast<void*>(&SendNoSignal));
  libssh2_session_set_blocking(ssh, 1);
  libssh2_session_set_timeout(ssh, timeoutMs);
  if (const int rc = libssh2_session_handshake(ssh, fd); rc != 0) {
    // Whatever answered there speaks no SSH we know.
    if (breakFlag.load()) return COMM_BREAK;
    if (rc == LIBSSH2_ERROR_TIMEOUT) return COMM_TIMEOUT;
    return COMM_UNREACHABLE;
  }
  if ((result = CheckHostKey()) != COMM_OK) return breakFlag.load() ? COMM_BREAK : result;
  if ((result = Login(user.c_str(), password.c_str())) != COMM_OK) return result;
  if (kind == Kind::Sftp) {
    sftp = libssh2_sftp_init(ssh);
    if (!sftp) {
      const int rc = libssh2_session_last_errno(ssh);
      return rc == LIBSSH2_ERROR_CHANNEL_FAILURE || rc == LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED
                 ? COMM_OP_UNSUPPORTED
                 : Failure(rc);
    }
    connected = true;
    RemoveOrphans(*this);
  } else {
    if ((result = OpenShell()) != COMM_OK) return result;
    connected = true;
  }
  return breakFlag.load() ? COMM_BREAK : COMM_OK;
}

std::string Session::Text(int code) const {
  switch (code) {
    case COMM_OK: return "Kein Fehler";
    case COMM_EOF: return "Ende der Datei";
    case COMM_NO_SUCH_FILE: return "Die Datei oder das Verzeichnis gibt es nicht";
    case COMM_PERMISSION_DENIED: return "Zugriff verweigert";
    case COMM_FAILURE: return "Der Server meldet einen Fehler";
    case COMM_BAD_MESSAGE: return "Ungültige Nachricht";
    case COMM_NO_CONNECTION: return "Keine Verbindung";
    case COMM_CONNECTION_LOST: return "Die Verbindung ist abgebrochen";
    case COMM_OP_UNSUPPORTED: return "Der Server unterstützt diesen Vorgang nicht";
    case COMM_TIMEOUT: return "Zeitüberschreitung";
    case COMM_BREAK: return "Abgebrochen";
    case COMM_BUFFER_SMALL: return "Der Puffer ist zu klein";
    case COMM_SOURCE_FAILED: return "Die Datenquelle meldet einen Fehler";
    case COMM_LOCAL_FILE: return "Die lokale Datei kann nicht geöffnet oder angelegt werden";
    case COMM_LOCAL_IO: return "Die lokalen Daten können nicht gelesen oder geschrieben werden";
    case COMM_BAD_PARAMETER: return "Ungültiger Parameter";
    case COMM_HANDLE_USED: return "Die Sitzung war schon verbunden";
    case COMM_INTERNAL: return "Interner Fehler";
    case COMM_UNREACHABLE: return "Der Rechner ist nicht erreichbar";
    case COMM_LOGIN_REFUSED: return "Die Anmeldung wurde abgelehnt";
    case COMM_HOST_KEY_CHANGED: {
      const std::string where = port == 22 ? host : "[" + host + "]:" + std::to_string(port);
      return "Der Rechner \"" + where +
             "\" weist sich mit einem anderen Schlüssel aus als bisher; die Verbindung wird nicht "
             "aufgebaut. Ist der neue Schlüssel richtig, den alten Eintrag aus \"" +
             knownHosts + "\" entfernen.";
    }
    case COMM_HOST_KEY_UNSAVED:
      return "Der Schlüssel des Rechners kann nicht in \"" + knownHosts + "\" gespeichert werden";
    case COMM_BAD_HANDLE: return "Ungültiges Handle";
    case COMM_SOURCE_CHANGED: return "Die Datei wurde während des Kopierens geändert";
    default: return "Fehler " + std::to_string(code);
  }
}

}  // namespace commlib
