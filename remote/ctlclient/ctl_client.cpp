// libCtlClient32: links to controllers over TCP, their requests and transfers (protocol in ctl_client.h).
#include "remote/ctlclient/ctl_client.h"
#include "remote/ctlclient/ctl_words.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ctlwords::Escape;
using ctlwords::TakeLine;
using ctlwords::Unescape;

constexpr int kBlock = 64 * 1024;
constexpr int kDefaultConnectMs = 10000;
constexpr int kDefaultAnswerMs = 30000;

// ---- one link --------------------------------------------------------------------------------------

struct Link {
  ~Link() {
    if (fd >= 0) ::close(fd);
  }
  CiHandle handle = 0;
  // Replaced only by the thread that works on the link, under fdMutex; CiDisconnect reads it
  // under fdMutex too, and only shuts the socket down, so a number is never closed under it.
  int fd = -1;
  std::mutex fdMutex;
  std::atomic<bool> ended{false};  // CiDisconnect
  std::atomic<bool> lost{false};
  int answerMs = kDefaultAnswerMs;
  CiStateFn onState = nullptr;
  void* context = nullptr;
  std::string in;  // received and not yet taken
};

std::mutex g_mutex;
bool g_ready = false;
CiHandle g_next = 1;
std::map<CiHandle, std::shared_ptr<Link>> g_links;

// The link of a handle; *code says why there is none.
std::shared_ptr<Link> Find(CiHandle handle, int* code) {
  std::lock_guard lock(g_mutex);
  if (!g_ready) {
    *code = CI_E_NOT_READY;
    return nullptr;
  }
  const auto it = g_links.find(handle);
  if (it == g_links.end()) {
    *code = CI_E_HANDLE;
    return nullptr;
  }
  return it->second;
}

void Tell(Link& link, int online) {
  if (link.onState) link.onState(link.context, link.handle, online);
}

void ShutDown(Link& link) {
  std::lock_guard lock(link.fdMutex);
  if (link.fd >= 0) ::shutdown(link.fd, SHUT_RDWR);
}

// A failure of the link itself: it is given up (a late answer would confuse the next request).
int Broken(Link& link, int code) {
  if (link.ended.load()) return CI_E_HANDLE;
  if (!link.lost.exchange(true)) {
    ShutDown(link);
    Tell(link, 0);
  }
  return code;
}

int Usable(Link& link) {
  if (link.ended.load()) return CI_E_HANDLE;
  if (link.lost.load()) return CI_E_LINK_LOST;
  return CI_OK;
}

// ---- words of the protocol -----------------------------------------------------------------------

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at <= line.size()) {
    const std::size_t blank = std::min(line.find(' ', at), line.size());
    words.push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  return words;
}

bool Number(std::string_view word, int64_t* value) {
  if (word.empty() || word.size() > 19) return false;
  bool negative = false;
  if (word.front() == '-') {
    negative = true;
    word.remove_prefix(1);
    if (word.empty()) return false;
  }
  int64_t v = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = negative ? -v : v;
  return true;
}

bool CheckPath(const char* path) {
  if (!path || path[0] != '/') return false;
  return std::strlen(path) <= CI_PATH_MAX;
}

// ---- sending and receiving -------------------------------------------------------------------------

int SendParts(Link& link, const void* a, std::size_t na, const void* b = nullptr, std::size_t nb = 0) {
  if (const int code = Usable(link)) return code;
  iovec parts[2] = {{const_cast<void*>(a), na}, {const_cast<void*>(b), nb}};
  int count = nb ? 2 : 1;
  iovec* at = parts;
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = at;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    const ssize_t sent = ::sendmsg(link.fd, &msg, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return Broken(link, errno == EAGAIN || errno == EWOULDBLOCK ? CI_E_TIMEOUT : CI_E_LINK_LOST);
    }
    auto left = static_cast<std::size_t>(sent);
    while (count > 0 && left >= at->iov_len) {
      left -= at->iov_len;
      ++at;
      --count;
    }
    if (count > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + left;
      at->iov_len -= left;
    }
  }
  return CI_OK;
}

int SendLine(Link& link, const std::string& line) {
  const std::string text = line + "\n";
  return SendParts(link, text.data(), text.size());
}

// More bytes into link.in, waiting at most the answer time-out.
int ReceiveMore(Link& link) {
  if (const int code = Usable(link)) return code;
  for (;;) {
    pollfd p{link.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, link.answerMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Broken(link, CI_E_TIMEOUT);
    if (ready < 0) return Broken(link, CI_E_LINK_LOST);
    char buffer[kBlock];
    const ssize_t n = ::recv(link.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Broken(link, CI_E_LINK_LOST);
    link.in.append(buffer, static_cast<std::size_t>(n));
    return CI_OK;
  }
}

int ReadLine(Link& link, std::string& line) {
  for (;;) {
    if (TakeLine(link.in, line)) return CI_OK;
    if (link.in.size() > 4 * CI_PATH_MAX + 1024) return Broken(link, CI_E_NOT_A_CONTROLLER);
    if (const int code = ReceiveMore(link)) return code;
  }
}

int ReadBytes(Link& link, std::string& out, std::size_t count) {
  while (link.in.size() < count)
    if (const int code = ReceiveMore(link)) return code;
  out.assign(link.in, 0, count);
  link.in.erase(0, count);
  return CI_OK;
}

// An answer line: its code, and the words after it.
int ReadAnswer(Link& link, std::vector<std::string>* words = nullptr) {
  std::string line;
  if (const int code = ReadLine(link, line)) return code;
  const auto parts = Words(line);
  int64_t code = 0;
  if (!Number(parts[0], &code) || code < 0 || code > 0xFFFF) return Broken(link, CI_E_NOT_A_CONTROLLER);
  if (words) {
    words->clear();
    for (std::size_t i = 1; i < parts.size(); ++i) words->emplace_back(parts[i]);
  }
  return static_cast<int>(code);
}

int Request(Link& link, const std::string& line, std::vector<std::string>* words = nullptr) {
  if (const int code = SendLine(link, line)) return code;
  return ReadAnswer(link, words);
}

void Advance(CiProgress* progress, uint64_t bytes) {
  if (progress) std::atomic_ref<uint64_t>(progress->done).fetch_add(bytes, std::memory_order_relaxed);
}

void Start(CiProgress* progress, uint64_t total) {
  if (!progress) return;
  std::atomic_ref<uint64_t>(progress->done).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint64_t>(progress->total).store(total, std::memory_order_relaxed);
}

// ---- making a link ---------------------------------------------------------------------------------

int Milliseconds(const CiConnectParams* params, uint16_t value, int fallback) {
  if (value == 0) return fallback;
  return params && (params->flags & CI_CONNECT_SECONDS) ? value * 1000 : value;
}

// "host:port", "host", "[v6]:port", "[v6]", or an IPv6 address without brackets and port.
bool SplitAddress(const char* address, std::string& host, std::string& port) {
  const std::string_view a = address ? address : "";
  port = std::to_string(CI_DEFAULT_PORT);
  std::string_view rest;
  if (a.starts_with('[')) {
    const std::size_t close = a.find(']');
    if (close == std::string_view::npos) return false;
    host = a.substr(1, close - 1);
    rest = a.substr(close + 1);
  } else if (std::count(a.begin(), a.end(), ':') > 1) {
    host = a;
  } else {
    const std::size_t colon = a.find(':');
    host = a.substr(0, colon);
    if (colon != std::string_view::npos) rest = a.substr(colon);
  }
  if (!rest.empty()) {
    int64_t n = 0;
    if (rest.front() != ':' || !Number(rest.substr(1), &n) || n < 1 || n > 65535) return false;
    port = std::to_string(n);
  }
  return !host.empty();
}

// A connected socket that has greeted us, or a result code.
int Open(const char* address, int connectMs, int answerMs, int* fdOut) {
  std::string host, port;
  if (!SplitAddress(address, host, port)) return CI_E_BAD_ADDRESS;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) return CI_E_BAD_ADDRESS;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(found, ::freeaddrinfo);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectMs);
  int result = CI_E_NO_CONTROLLER;
  for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) continue;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
      } while (ready < 0 && errno == EINTR);
      int err = 0;
      socklen_t len = sizeof err;
      if (ready == 0) {
        result = CI_E_TIMEOUT;
        rc = -1;
      } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        rc = -1;
      } else {
        rc = 0;
      }
    }
    if (rc != 0) {
      ::close(fd);
      continue;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval send{answerMs / 1000, (answerMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    // The greeting tells a controller from any other peer.
    Link probe;
    probe.fd = fd;
    probe.answerMs = answerMs;
    std::string line;
    const int code = ReadLine(probe, line);
    probe.fd = -1;
    if (code == CI_OK && line.starts_with("CTL 1")) {
      *fdOut = fd;
      return CI_OK;
    }
    ::close(fd);
    return code == CI_E_TIMEOUT ? CI_E_TIMEOUT : CI_E_NOT_A_CONTROLLER;
  }
  return result;
}

// ---- listings and transfers ------------------------------------------------------------------------

int ListFiles(Link& link, const char* pathMask, CiEntryFn entry, void* context) {
  const std::string_view text(pathMask);
  const std::size_t slash = text.rfind('/');
  const std::string folder(slash == 0 ? std::string_view("/") : text.substr(0, slash));
  std::string_view mask = text.substr(slash + 1);
  if (mask.empty()) mask = "*";
  if (const int code = SendLine(link, "LIST " + Escape(folder) + " " + Escape(mask))) return code;
  bool going = true;
  for (;;) {
    std::string line;
    if (const int code = ReadLine(link, line)) return code;
    if (!line.starts_with("E ")) {
      int64_t code = 0;
      if (!Number(line, &code)) return Broken(link, CI_E_NOT_A_CONTROLLER);
      return static_cast<int>(code);
    }
    const auto words = Words(line);
    CiFileRecord record{};
    int64_t v[5] = {};
    std::string name;
    bool ok = words.size() == 7 && Unescape(words[6], name) && name.size() < sizeof record.name;
    for (int i = 0; ok && i < 5; ++i) ok = Number(words[1 + i], &v[i]);
    if (!ok) return Broken(link, CI_E_NOT_A_CONTROLLER);
    if (!going) continue;  // the rest of the listing is read, not handed out
    record.attr = static_cast<uint32_t>(v[0]);
    record.size = static_cast<uint64_t>(v[1]);
    record.timeCreate = v[2];
    record.timeAccess = v[3];
    record.timeWrite = v[4];
    std::memcpy(record.name, name.data(), name.size());
    going = entry(context, &record) != 0;
    if (link.ended.load()) return CI_E_HANDLE;
  }
}

// A source of upload data: a local file or the caller's callback.
struct Source {
  int fd = -1;
  CiReadFn read = nullptr;
  void* context = nullptr;
  // Bytes into buffer; 0 at the end; -1 when the source failed (*code says how).
  int Take(unsigned char* buffer, int size, int* code) const {
    if (read) {
      const int n = read(context, buffer, size);
      if (n < 0 || n > size) {
        *code = CI_E_CALLBACK;
        return -1;
      }
      return n;
    }
    for (;;) {
      const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *code = CI_E_LOCAL_FILE;
        return -1;
      }
      return static_cast<int>(n);
    }
  }
};

int Upload(Link& link, const char* remote, const Source& source, int64_t size, CiProgress* progress) {
  Start(progress, size > 0 ? static_cast<uint64_t>(size) : 0);
  const int ready = Request(link, "PUT " + Escape(remote) + " " + std::to_string(size < 0 ? -1 : size));
  if (ready != CI_OK) return ready;
  std::vector<unsigned char> block(kBlock);
  for (;;) {
    int failure = CI_OK;
    const int n = source.Take(block.data(), kBlock, &failure);
    if (link.ended.load()) return CI_E_HANDLE;
    if (n < 0) {
      const int code = Request(link, "ABORT");
      return code == CI_OK || code > CI_E_NOT_A_CONTROLLER ? failure : code;
    }
    if (n == 0) return Request(link, "END");
    const std::string head = "D " + std::to_string(n) + "\n";
    if (const int code = SendParts(link, head.data(), head.size(), block.data(), static_cast<std::size_t>(n)))
      return code;
    Advance(progress, static_cast<uint64_t>(n));
  }
}

// A sink of download data: a local file or the caller's callback.
struct Sink {
  int fd = -1;
  CiWriteFn write = nullptr;
  void* context = nullptr;
  int Put(const std::string& data) const {
    if (write) {
      const int n = static_cast<int>(data.size());
      return write(context, reinterpret_cast<const unsigned char*>(data.data()), n) == n ? CI_OK
                                                                                         : CI_E_CALLBACK;
    }
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return CI_E_LOCAL_FILE;
      done += static_cast<std::size_t>(n);
    }
    return CI_OK;
  }
};

int Download(Link& link, const char* remote, const Sink& sink, CiProgress* progress) {
  Start(progress, 0);
  std::vector<std::string> words;
  const int ready = Request(link, "GET " + Escape(remote), &words);
  if (ready != CI_OK) return ready;
  int64_t size = 0;
  if (words.size() != 1 || !Number(words[0], &size) || size < 0) return Broken(link, CI_E_NOT_A_CONTROLLER);
  Start(progress, static_cast<uint64_t>(size));
  int failure = CI_OK;  // the sink's; the rest of the file is read, not handed out
  uint64_t received = 0;
  std::string data;
  for (;;) {
    std::string line;
    if (const int code = ReadLine(link, line)) return code;
    const auto parts = Words(line);
    int64_t n = 0;
    if (parts[0] == "D" && parts.size() == 2 && Number(parts[1], &n) && n >= 0 && n <= 16 * kBlock) {
      if (const int code = ReadBytes(link, data, static_cast<std::size_t>(n))) return code;
      received += static_cast<uint64_t>(n);
      if (failure == CI_OK) {
        failure = sink.Put(data);
        if (link.ended.load()) return CI_E_HANDLE;
        if (failure == CI_OK) Advance(progress, static_cast<uint64_t>(n));
      }
      continue;
    }
    if (parts[0] == "END" && parts.size() == 1) {
      if (failure != CI_OK) return failure;
      // A file that changed while it was read is no whole copy of anything.
      return received == static_cast<uint64_t>(size) ? CI_OK : CI_E_IO;
    }
    if (parts[0] == "ERR" && parts.size() == 2 && Number(parts[1], &n) && n > 0 && n <= 0xFFFF)
      return failure != CI_OK ? failure : static_cast<int>(n);
    return Broken(link, CI_E_NOT_A_CONTROLLER);
  }
}

// A local file written beside its name and renamed over it when whole.
class LocalTarget {
 public:
  explicit LocalTarget(const char* path) : m_path(path) {
    const std::size_t slash = m_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : m_path.substr(0, slash + 1);
    static std::atomic<unsigned> s_count{0};
    for (int tries = 0; tries < 100 && m_fd < 0; ++tries) {
      m_temp =
          folder + ".~ctl" + std::to_string(::getpid()) + "-" + std::to_string(s_count.fetch_add(1)) + ".tmp";
      m_fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m_fd < 0 && errno != EEXIST) break;
    }
  }
  ~LocalTarget() {
    if (m_fd >= 0) {
      ::close(m_fd);
      ::unlink(m_temp.c_str());
    }
  }
  int Fd() const { return m_fd; }
  int Commit() {
    struct stat old {};
    if (::lstat(m_path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(m_fd, old.st_mode & 07777);
    const int rc = ::close(m_fd);
    m_fd = -1;
    if (rc != 0 || ::rename(m_temp.c_str(), m_path.c_str()) != 0) {
      ::unlink(m_temp.c_str());
      return CI_E_LOCAL_FILE;
    }
    return CI_OK;
  }

 private:
  std::string m_path;
  std::string m_temp;
  int m_fd = -1;
};

const char* Text(int code) {
  switch (code) {
    case CI_OK:
      return "Kein Fehler.";
    case CI_E_ARGUMENT:
      return "Ungültiges Argument.";
    case CI_E_NOT_READY:
      return "Die Steuerungsbibliothek ist nicht gestartet.";
    case CI_E_NO_MEMORY:
      return "Nicht genügend Speicher.";
    case CI_E_LINK_LOST:
      return "Die Verbindung zur Steuerung ist abgebrochen.";
    case CI_E_NAME_TOO_LONG:
      return "Der Pfad ist zu lang.";
    case CI_E_DEVICE_FULL:
      return "Auf der Steuerung ist kein Platz mehr frei.";
    case CI_E_BAD_ADDRESS:
      return "Die Adresse nennt keinen erreichbaren Rechner.";
    case CI_E_NO_CONTROLLER:
      return "Unter der Adresse antwortet keine Steuerung.";
    case CI_E_TIMEOUT:
      return "Die Steuerung hat nicht rechtzeitig geantwortet.";
    case CI_E_HANDLE:
      return "Die Verbindung besteht nicht mehr.";
    case CI_E_NOT_FOUND:
      return "Die Datei oder der Ordner wurde nicht gefunden.";
    case CI_E_NOT_SUPPORTED:
      return "Die Steuerung unterstützt das nicht.";
    case CI_E_NOT_A_CONTROLLER:
      return "Die Gegenstelle ist keine Steuerung.";
    case CI_E_EXISTS:
      return "Der Name ist bereits vergeben.";
    case CI_E_DENIED:
      return "Die Steuerung verweigert den Zugriff.";
    case CI_E_NOT_EMPTY:
      return "Der Ordner ist nicht leer.";
    case CI_E_IS_FOLDER:
      return "Der Name gehört einem Ordner.";
    case CI_E_NOT_FOLDER:
      return "Der Name gehört keinem Ordner.";
    case CI_E_CALLBACK:
      return "Die Übertragung wurde vom Aufrufer beendet.";
    case CI_E_LOCAL_FILE:
      return "Die lokale Datei kann nicht gelesen oder geschrieben werden.";
    case CI_E_IO:
      return "Die Steuerung konnte ihren Speicher nicht lesen oder schreiben.";
    default:
      return "Unbekannter Fehler.";
  }
}

int CopyText(const char* text, char* buffer, int size) {
  if (!buffer || size < 1) return CI_E_ARGUMENT;
  const auto n = std::min(std::strlen(text), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return n == std::strlen(text) ? CI_OK : CI_E_NAME_TOO_LONG;
}

// Runs fn(link) on the link of handle after checking the paths given.
template <typename Fn>
int OnLink(CiHandle handle, std::initializer_list<const char*> paths, Fn fn) {
  int code = CI_OK;
  const std::shared_ptr<Link> link = Find(handle, &code);
  if (!link) return code;
  for (const char* path : paths) {
    if (!path || path[0] != '/') return CI_E_ARGUMENT;
    if (!CheckPath(path)) return CI_E_NAME_TOO_LONG;
  }
  if ((code = Usable(*link)) != CI_OK) return code;
  return fn(*link);
}

}  // namespace

// ---- the library's functions -----------------------------------------------------------------------

extern "C" {

CI_API int CiInit(void) {
  std::lock_guard lock(g_mutex);
  g_ready = true;
  return CI_OK;
}

CI_API int CiExit(void) {
  std::map<CiHandle, std::shared_ptr<Link>> links;
  {
    std::lock_guard lock(g_mutex);
    g_ready = false;
    links.swap(g_links);
  }
  for (auto& [handle, link] : links) {
    link->ended = true;
    ShutDown(*link);
  }
  return CI_OK;
}

CI_API int CiGetVersion(char* text, int size) {
  return CopyText("CtlClient32 1.0 (Kopiwart)", text, size);
}

CI_API int CiIsOnline(CiHandle handle) {
  int code = CI_OK;
  const std::shared_ptr<Link> link = Find(handle, &code);
  if (!link || Usable(*link) != CI_OK) return 0;
  char c;
  const ssize_t n = ::recv(link->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return 1;
  Broken(*link, CI_E_LINK_LOST);
  return 0;
}

CI_API int CiErrorToText(int code, char* text, int size) {
  return CopyText(Text(code), text, size);
}

CI_API int CiDisconnect(CiHandle handle) {
  std::shared_ptr<Link> link;
  {
    std::lock_guard lock(g_mutex);
    if (!g_ready) return CI_E_NOT_READY;
    const auto it = g_links.find(handle);
    if (it == g_links.end()) return CI_E_HANDLE;
    link = std::move(it->second);
    g_links.erase(it);
  }
  const bool wasUp = !link->lost.load();
  link->ended = true;
  ShutDown(*link);
  if (wasUp) Tell(*link, 0);
  return CI_OK;
}

CI_API int CiConnectWait(CiHandle* handle, const char* address, const CiConnectParams* params, const char*,
                         unsigned) {
  if (!handle || !address) return CI_E_ARGUMENT;
  int code = CI_OK;
  std::shared_ptr<Link> link = *handle ? Find(*handle, &code) : nullptr;
  if (code == CI_E_NOT_READY) return code;
  {
    std::lock_guard lock(g_mutex);
    if (!g_ready) return CI_E_NOT_READY;
  }
  const int connectMs = Milliseconds(params, params ? params->connectTimeout : 0, kDefaultConnectMs);
  const int answerMs = Milliseconds(params, params ? params->answerTimeout : 0, kDefaultAnswerMs);
  int fd = -1;
  if ((code = Open(address, connectMs, answerMs, &fd)) != CI_OK) return code;
  if (link) {
    // The same link made again: its handle stays.
    {
      std::lock_guard lock(link->fdMutex);
      if (link->fd >= 0) ::close(link->fd);
      link->fd = fd;
    }
    link->in.clear();
    link->answerMs = answerMs;
    link->lost = false;
    if (params) {
      link->onState = params->onState;
      link->context = params->context;
    }
    if (link->ended.load()) return CI_E_HANDLE;
    Tell(*link, 1);
    return CI_OK;
  }
  link = std::make_shared<Link>();
  link->fd = fd;
  link->answerMs = answerMs;
  if (params) {
    link->onState = params->onState;
    link->context = params->context;
  }
  {
    std::lock_guard lock(g_mutex);
    link->handle = g_next++;
    g_links[link->handle] = link;
  }
  *handle = link->handle;
  Tell(*link, 1);
  return CI_OK;
}

CI_API int CiConnect(CiHandle* handle, const char* address) {
  if (!handle) return CI_E_ARGUMENT;
  *handle = 0;
  return CiConnectWait(handle, address, nullptr, nullptr, 0);
}

CI_API int CiListFiles(CiHandle handle, const char* pathMask, CiEntryFn entry, void* context) {
  if (!entry) return CI_E_ARGUMENT;
  return OnLink(handle, {pathMask},
                [&](Link& link) -> int { return ListFiles(link, pathMask, entry, context); });
}

CI_API int CiCreateFolder(CiHandle handle, const char* path, unsigned) {
  return OnLink(handle, {path}, [&](Link& link) -> int { return Request(link, "MKDIR " + Escape(path)); });
}

CI_API int CiDeleteFolder(CiHandle handle, const char* path) {
  return OnLink(handle, {path}, [&](Link& link) -> int { return Request(link, "RMDIR " + Escape(path)); });
}

CI_API int CiDeleteFile(CiHandle handle, const char* path) {
  return OnLink(handle, {path}, [&](Link& link) -> int { return Request(link, "DEL " + Escape(path)); });
}

CI_API int CiRenameFile(CiHandle handle, const char* oldPath, const char* newPath) {
  return OnLink(handle, {oldPath, newPath}, [&](Link& link) -> int {
    return Request(link, "REN " + Escape(oldPath) + " " + Escape(newPath));
  });
}

CI_API int CiUploadFile(CiHandle handle, const char* remote, const char* local, unsigned,
                        CiProgress* progress) {
  if (!local) return CI_E_ARGUMENT;
  return OnLink(handle, {remote}, [&](Link& link) -> int {
    Source source;
    source.fd = ::open(local, O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) return errno == ENOENT || errno == ENOTDIR ? CI_E_NOT_FOUND : CI_E_LOCAL_FILE;
    struct stat st {};
    int code = ::fstat(source.fd, &st) != 0 ? CI_E_LOCAL_FILE : S_ISDIR(st.st_mode) ? CI_E_IS_FOLDER : CI_OK;
    if (code == CI_OK) code = Upload(link, remote, source, S_ISREG(st.st_mode) ? st.st_size : -1, progress);
    ::close(source.fd);
    return code;
  });
}

CI_API int CiUploadProc(CiHandle handle, const char* remote, CiReadFn read, unsigned, void* context,
                        CiProgress* progress, int64_t size) {
  if (!read) return CI_E_ARGUMENT;
  return OnLink(handle, {remote}, [&](Link& link) -> int {
    Source source;
    source.read = read;
    source.context = context;
    return Upload(link, remote, source, size, progress);
  });
}

CI_API int CiDownloadFile(CiHandle handle, const char* remote, const char* local, CiProgress* progress) {
  if (!local || !*local) return CI_E_ARGUMENT;
  return OnLink(handle, {remote}, [&](Link& link) -> int {
    LocalTarget target(local);
    if (target.Fd() < 0) return errno == ENOENT || errno == ENOTDIR ? CI_E_NOT_FOUND : CI_E_LOCAL_FILE;
    Sink sink;
    sink.fd = target.Fd();
    const int code = Download(link, remote, sink, progress);
    return code == CI_OK ? target.Commit() : code;
  });
}

CI_API int CiDownloadProc(CiHandle handle, const char* remote, CiWriteFn write, void* context,
                          CiProgress* progress) {
  if (!write) return CI_E_ARGUMENT;
  return OnLink(handle, {remote}, [&](Link& link) -> int {
    Sink sink;
    sink.write = write;
    sink.context = context;
    return Download(link, remote, sink, progress);
  });
}

CI_API int CiGetFileAttr(CiHandle handle, const char* path, uint32_t* attr) {
  if (!attr) return CI_E_ARGUMENT;
  return OnLink(handle, {path}, [&](Link& link) -> int {
    std::vector<std::string> words;
    const int code = Request(link, "STAT " + Escape(path), &words);
    int64_t value = 0;
    if (code != CI_OK) return code;
    if (words.size() != 5 || !Number(words[0], &value)) return Broken(link, CI_E_NOT_A_CONTROLLER);
    *attr = static_cast<uint32_t>(value);
    return CI_OK;
  });
}

CI_API int CiSetFileAttr(CiHandle handle, const char* path, uint32_t attr) {
  return OnLink(handle, {path}, [&](Link& link) -> int {
    return Request(link, "ATTR " + Escape(path) + " " + std::to_string(attr));
  });
}

#ifndef CTL_CLIENT_WITHOUT_GET_INFOS
CI_API int CiGetInfos(CiHandle handle, int what, char* text, int* size, unsigned) {
  if (what != 0 || !text || !size || *size < 1) return CI_E_ARGUMENT;
  return OnLink(handle, {}, [&](Link& link) -> int {
    std::vector<std::string> words;
    const int code = Request(link, "INFO", &words);
    if (code != CI_OK) return code;
    std::string folder;
    if (words.size() != 1 || !Unescape(words[0], folder)) return Broken(link, CI_E_NOT_A_CONTROLLER);
    if (static_cast<int>(folder.size()) >= *size) {
      *size = static_cast<int>(folder.size()) + 1;
      return CI_E_NAME_TOO_LONG;
    }
    std::memcpy(text, folder.c_str(), folder.size() + 1);
    *size = static_cast<int>(folder.size());
    return CI_OK;
  });
}
#endif

}  // extern "C"
