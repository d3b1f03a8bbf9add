// ctlsim: a controller on loopback that serves one folder as its file system (protocol in ctl_client.h).
//
//   ctlsim --root DIR [--port N] [--names utf8|latin1]
//
// Listens on 127.0.0.1 (port 9200 by default; 0 picks a free one) and prints
// "ctlsim: bereit auf 127.0.0.1:PORT" once it accepts links. Names travel in the encoding given
// (UTF-8 by default); names of the folder are taken as UTF-8, and in Latin-1 an entry whose name
// Latin-1 cannot hold is not listed. Below DIR no link is ever followed: links are listed as
// links, removed and replaced as links, and a path through one is not found. Files are written
// beside their names and renamed over them when whole. Ends with SIGTERM or SIGINT.
#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_tempfile.h"
#include "lib/system/sys_tree.h"
#include "remote/ctlclient/ctl_client.h"
#include "remote/ctlclient/ctl_words.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using ctlwords::Escape;
using ctlwords::TakeLine;
using ctlwords::Unescape;

constexpr std::size_t kBlock = 64 * 1024;

struct Simulator {
  SysFd root;
  bool latin1 = false;
  std::mutex mutex;
  std::set<int> links;  // the sockets of the links, for SIM DROP
  std::atomic<long long> cut{-1};
  std::atomic<int> delayMs{0};
};

Simulator g_sim;

void Pause() {
  if (const int ms = g_sim.delayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- names ---------------------------------------------------------------------------------------

std::string ToDisk(std::string_view wire) {
  if (!g_sim.latin1) return std::string(wire);
  std::string out;
  for (const char c : wire) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

// False when the encoding cannot hold the name.
bool ToWire(std::string_view disk, std::string& out) {
  if (!g_sim.latin1) {
    out = disk;
    return true;
  }
  out.clear();
  for (std::size_t i = 0; i < disk.size(); ++i) {
    const auto b = static_cast<unsigned char>(disk[i]);
    if (b < 0x80) {
      out += disk[i];
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < disk.size() &&
               (static_cast<unsigned char>(disk[i + 1]) & 0xC0) == 0x80) {
      out += static_cast<char>(((b & 0x1F) << 6) | (static_cast<unsigned char>(disk[i + 1]) & 0x3F));
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "*" any bytes, "?" one byte, ASCII letters of either case alike; "*.*" is every name.
bool Matches(std::string_view mask, std::string_view name) {
  if (mask == "*.*") mask = "*";
  std::size_t m = 0, n = 0, starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Lower(mask[m]) == Lower(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool Number(std::string_view word, long long* value) {
  if (word.empty() || word.size() > 19) return false;
  const bool negative = word.front() == '-';
  if (negative) word.remove_prefix(1);
  if (word.empty()) return false;
  long long v = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = negative ? -v : v;
  return true;
}

// ---- places ----------------------------------------------------------------------------------------

// The folder that holds a path's last name, open, and that name ("" for the root itself).
struct Place {
  SysFd dir;
  std::string name;
};

int FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case EXDEV:
      return CI_E_NOT_FOUND;
    case EEXIST:
      return CI_E_EXISTS;
    case ENOTEMPTY:
      return CI_E_NOT_EMPTY;
    case EISDIR:
      return CI_E_IS_FOLDER;
    case EACCES:
    case EPERM:
    case EROFS:
      return CI_E_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return CI_E_DEVICE_FULL;
    case ENAMETOOLONG:
      return CI_E_NAME_TOO_LONG;
    default:
      return CI_E_IO;
  }
}

// The components of a controller path; CI_E_ARGUMENT for one that is not absolute or holds "."
// or "..".
int Components(const std::string& wire, std::vector<std::string>& parts) {
  if (wire.empty() || wire.front() != '/') return CI_E_ARGUMENT;
  if (wire.size() > CI_PATH_MAX) return CI_E_NAME_TOO_LONG;
  const std::string disk = ToDisk(wire);
  std::size_t at = 0;
  while (at < disk.size()) {
    const std::size_t slash = std::min(disk.find('/', at), disk.size());
    const std::string part = disk.substr(at, slash - at);
    at = slash + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return CI_E_ARGUMENT;
    parts.push_back(part);
  }
  return CI_OK;
}

std::string Join(const std::vector<std::string>& parts, std::size_t count) {
  std::string rel;
  for (std::size_t i = 0; i < count; ++i) rel += (i ? "/" : "") + parts[i];
  return rel;
}

int Locate(const std::string& wire, Place& place) {
  std::vector<std::string> parts;
  if (const int code = Components(wire, parts)) return code;
  const std::size_t folder = parts.empty() ? 0 : parts.size() - 1;
  place.dir.Reset(SysOpenBeneath(g_sim.root.Get(), Join(parts, folder)));
  if (!place.dir) return FromErrno(errno);
  place.name = parts.empty() ? "" : parts.back();
  return CI_OK;
}

// The folder a path names, open for reading.
int OpenFolder(const std::string& wire, SysFd& fd) {
  std::vector<std::string> parts;
  if (const int code = Components(wire, parts)) return code;
  fd.Reset(SysOpenBeneath(g_sim.root.Get(), Join(parts, parts.size())));
  if (fd) return CI_OK;
  if (errno == ENOTDIR && !parts.empty()) {
    // The path itself is a file (not a folder on the way).
    Place place;
    struct stat st {};
    if (Locate(wire, place) == CI_OK &&
        ::fstatat(place.dir.Get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode))
      return CI_E_NOT_FOLDER;
  }
  return FromErrno(errno);
}

struct Entry {
  unsigned attr = 0;
  unsigned long long size = 0;
  long long created = 0, accessed = 0, written = 0;
};

// What a name is, without following it; false with errno.
bool Describe(int dirFd, const char* name, bool hidden, Entry& e) {
  struct statx st {};
  const unsigned mask =
      STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
  if (::statx(dirFd, name, flags, mask, &st) != 0) return false;
  e = Entry{};
  if (st.stx_mode & S_IRUSR) e.attr |= CI_ATTR_READABLE;
  if (st.stx_mode & S_IWUSR) e.attr |= CI_ATTR_WRITABLE;
  if (S_ISDIR(st.stx_mode)) e.attr |= CI_ATTR_FOLDER;
  if (S_ISLNK(st.stx_mode)) {
    e.attr |= CI_ATTR_TYPE_LINK;
    struct stat target {};
    if (::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) e.attr |= CI_ATTR_FOLDER;
  }
  if (hidden) e.attr |= CI_ATTR_HIDDEN;
  if (S_ISREG(st.stx_mode)) e.size = st.stx_size;
  e.attr |= static_cast<unsigned>((e.size >> 32) & 0x3F) << 10;
  e.created = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
  e.accessed = st.stx_atime.tv_sec;
  e.written = st.stx_mtime.tv_sec;
  return true;
}

std::string Words(const Entry& e) {
  return std::to_string(e.attr) + " " + std::to_string(e.size) + " " + std::to_string(e.created) + " " +
         std::to_string(e.accessed) + " " + std::to_string(e.written);
}

// ---- one link --------------------------------------------------------------------------------------

class Link {
 public:
  explicit Link(int fd) : m_fd(fd) {}
  ~Link() {
    std::lock_guard lock(g_sim.mutex);
    g_sim.links.erase(m_fd);
    ::close(m_fd);
  }
  void Serve();

 private:
  bool Send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::send(m_fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Answer(int code, const std::string& words = {}) {
    Pause();
    return Send(std::to_string(code) + (words.empty() ? "" : " " + words) + "\n");
  }
  bool More() {
    char buffer[kBlock];
    for (;;) {
      const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      m_in.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
  }
  bool ReadLine(std::string& line) {
    for (;;) {
      if (TakeLine(m_in, line)) return true;
      if (m_in.size() > 4 * CI_PATH_MAX + 1024 || !More()) return false;
    }
  }
  bool ReadBytes(std::string& out, std::size_t count) {
    while (m_in.size() < count)
      if (!More()) return false;
    out.assign(m_in, 0, count);
    m_in.erase(0, count);
    return true;
  }
  // After a transfer's n-th byte: the cut of SIM CUT, when it is due.
  bool Cut(long long cut, unsigned long long moved) {
    if (cut < 0 || moved < static_cast<unsigned long long>(cut)) return false;
    ::shutdown(m_fd, SHUT_RDWR);
    return true;
  }

  bool Stat(const std::string& path);
  bool SetAttr(const std::string& path, long long attr);
  bool List(const std::string& folder, const std::string& mask);
  bool Make(const std::string& path);
  bool RemoveFolder(const std::string& path);
  bool RemoveFile(const std::string& path);
  bool Rename(const std::string& from, const std::string& to);
  bool Put(const std::string& path);
  bool Get(const std::string& path);
  bool Sim(const std::vector<std::string>& words);

  int m_fd;
  std::string m_in;
};

bool Link::Stat(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  Entry e;
  if (!Describe(place.dir.Get(), place.name.c_str(), place.name.starts_with('.'), e))
    return Answer(FromErrno(errno));
  return Answer(CI_OK, Words(e));
}

bool Link::SetAttr(const std::string& path, long long attr) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_DENIED);
  struct stat st {};
  if (::fstatat(place.dir.Get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Answer(FromErrno(errno));
  if (S_ISLNK(st.st_mode)) return Answer(CI_E_NOT_SUPPORTED);
  mode_t mode = st.st_mode & 07777 & ~static_cast<mode_t>(S_IRUSR | S_IWUSR);
  if (attr & CI_ATTR_READABLE) mode |= S_IRUSR;
  if (attr & CI_ATTR_WRITABLE) mode |= S_IWUSR;
  if (::fchmodat(place.dir.Get(), place.name.c_str(), mode, 0) != 0) return Answer(FromErrno(errno));
  return Answer(CI_OK);
}

bool Link::List(const std::string& folder, const std::string& mask) {
  SysFd fd;
  if (const int code = OpenFolder(folder, fd)) return Answer(code);
  DIR* dir = ::fdopendir(fd.Get());
  if (!dir) return Answer(FromErrno(errno));
  fd.Release();
  Pause();
  std::string out;
  bool ok = true;
  while (ok) {
    errno = 0;
    const dirent* d = ::readdir(dir);
    if (!d) break;
    const std::string_view name(d->d_name);
    std::string wire;
    if (name == "." || name == ".." || !ToWire(name, wire) || !Matches(mask, wire)) continue;
    Entry e;
    if (!Describe(::dirfd(dir), d->d_name, name.starts_with('.'), e)) continue;  // gone meanwhile
    out += "E " + Words(e) + " " + Escape(wire) + "\n";
    if (out.size() >= kBlock) {
      ok = Send(out);
      out.clear();
    }
  }
  const int code = errno ? FromErrno(errno) : CI_OK;
  ::closedir(dir);
  return ok && Send(out + std::to_string(code) + "\n");
}

bool Link::Make(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_EXISTS);
  return Answer(::mkdirat(place.dir.Get(), place.name.c_str(), 0777) == 0 ? CI_OK : FromErrno(errno));
}

bool Link::RemoveFolder(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_DENIED);
  if (::unlinkat(place.dir.Get(), place.name.c_str(), AT_REMOVEDIR) == 0) return Answer(CI_OK);
  const int err = errno;
  return Answer(err == ENOTDIR ? CI_E_NOT_FOLDER : err == EEXIST ? CI_E_NOT_EMPTY : FromErrno(err));
}

bool Link::RemoveFile(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_IS_FOLDER);
  struct stat st {};
  if (::fstatat(place.dir.Get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Answer(FromErrno(errno));
  if (S_ISDIR(st.st_mode)) return Answer(CI_E_IS_FOLDER);
  return Answer(::unlinkat(place.dir.Get(), place.name.c_str(), 0) == 0 ? CI_OK : FromErrno(errno));
}

bool Link::Rename(const std::string& from, const std::string& to) {
  Place a, b;
  if (const int code = Locate(from, a)) return Answer(code);
  if (const int code = Locate(to, b)) return Answer(code);
  if (a.name.empty() || b.name.empty()) return Answer(CI_E_DENIED);
  const int rc = SysRenameAt(a.dir.Get(), a.name.c_str(), b.dir.Get(), b.name.c_str(), SYS_RENAME_NOREPLACE);
  switch (rc) {
    case 0:
      return Answer(CI_OK);
    case SYS_ERR_EXISTS:
      return Answer(CI_E_EXISTS);
    case SYS_ERR_NOT_FOUND:
    case SYS_ERR_PATH:
      return Answer(CI_E_NOT_FOUND);
    case SYS_ERR_ACCESS:
      return Answer(CI_E_DENIED);
    default:
      return Answer(CI_E_IO);
  }
}

bool Link::Put(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_IS_FOLDER);
  // A folder or a read-only file is refused before any data comes; a link in the name's place
  // is replaced, never followed.
  struct stat old {};
  const bool replacing = ::fstatat(place.dir.Get(), place.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing && S_ISDIR(old.st_mode)) return Answer(CI_E_IS_FOLDER);
  if (replacing && S_ISREG(old.st_mode) && !(old.st_mode & S_IWUSR)) return Answer(CI_E_DENIED);
  SysTempFile temp;
  if (const int err = temp.Create(place.dir.Get(), place.name)) return Answer(FromErrno(err));
  if (!Answer(CI_OK)) return false;
  const long long cut = g_sim.cut.exchange(-1);
  unsigned long long moved = 0;
  int failure = CI_OK;
  std::string data;
  for (;;) {
    std::string line;
    if (!ReadLine(line)) return false;  // the link is gone: the file too
    long long n = 0;
    if (line.starts_with("D ") && Number(std::string_view(line).substr(2), &n) && n >= 0 &&
        n <= static_cast<long long>(16 * kBlock)) {
      Pause();
      if (!ReadBytes(data, static_cast<std::size_t>(n))) return false;
      moved += static_cast<unsigned long long>(n);
      if (Cut(cut, moved)) return false;
      if (failure == CI_OK)
        if (const int err = temp.Write(data.data(), data.size())) failure = FromErrno(err);
      continue;
    }
    if (line == "ABORT") return Answer(CI_OK);
    if (line != "END") return false;
    if (failure == CI_OK && replacing && S_ISREG(old.st_mode) &&
        ::fchmod(temp.Fd(), old.st_mode & 07777) != 0)
      failure = FromErrno(errno);
    if (failure == CI_OK)
      if (const int err = temp.Commit(true)) failure = FromErrno(err);
    return Answer(failure);
  }
}

bool Link::Get(const std::string& path) {
  Place place;
  if (const int code = Locate(path, place)) return Answer(code);
  if (place.name.empty()) return Answer(CI_E_IS_FOLDER);
  SysFd in(SysOpenRegularAt(place.dir.Get(), place.name.c_str(), false));
  struct stat st {};
  if (!in || ::fstat(in.Get(), &st) != 0) {
    const int err = errno;
    return Answer(err == ELOOP ? CI_E_NOT_SUPPORTED : err == EACCES ? CI_E_DENIED : FromErrno(err));
  }
  if (!Answer(CI_OK, std::to_string(st.st_size))) return false;
  const long long cut = g_sim.cut.exchange(-1);
  unsigned long long moved = 0;
  std::vector<char> block(kBlock);
  for (;;) {
    const i64 n = SysReadUpTo(in.Get(), block.data(), block.size());
    if (n < 0) return Send("ERR " + std::to_string(CI_E_IO) + "\n");
    if (n == 0) return Send("END\n");
    Pause();
    if (!Send("D " + std::to_string(n) + "\n" + std::string(block.data(), static_cast<std::size_t>(n))))
      return false;
    moved += static_cast<unsigned long long>(n);
    if (Cut(cut, moved)) return false;
  }
}

bool Link::Sim(const std::vector<std::string>& words) {
  long long n = 0;
  if (words.size() == 2 && words[1] == "DROP") {
    std::lock_guard lock(g_sim.mutex);
    for (const int fd : g_sim.links)
      if (fd != m_fd) ::shutdown(fd, SHUT_RDWR);
    return Send("0\n");
  }
  if (words.size() == 3 && words[1] == "CUT" && Number(words[2], &n)) {
    g_sim.cut = n;
    return Send("0\n");
  }
  if (words.size() == 3 && words[1] == "DELAY" && Number(words[2], &n) && n >= 0 && n <= 60000) {
    g_sim.delayMs = static_cast<int>(n);
    return Send("0\n");
  }
  return Send(std::to_string(CI_E_ARGUMENT) + "\n");
}

void Link::Serve() {
  if (!Send(std::string("CTL 1 ") + (g_sim.latin1 ? "LATIN-1" : "UTF-8") + "\n")) return;
  std::string line;
  while (ReadLine(line)) {
    std::vector<std::string> words;
    bool ok = true;
    std::size_t at = 0;
    while (ok && at <= line.size()) {
      const std::size_t blank = std::min(line.find(' ', at), line.size());
      std::string word;
      ok = Unescape(std::string_view(line).substr(at, blank - at), word);
      words.push_back(std::move(word));
      at = blank + 1;
    }
    const std::string& verb = words[0];
    const std::size_t args = words.size() - 1;
    long long n = 0;
    if (!ok) {
      ok = Answer(CI_E_ARGUMENT);
    } else if (verb == "INFO" && args == 0) {
      ok = Answer(CI_OK, "/");
    } else if (verb == "PING" && args == 0) {
      ok = Answer(CI_OK);
    } else if (verb == "STAT" && args == 1) {
      ok = Stat(words[1]);
    } else if (verb == "ATTR" && args == 2 && Number(words[2], &n)) {
      ok = SetAttr(words[1], n);
    } else if (verb == "LIST" && args == 2) {
      ok = List(words[1], words[2]);
    } else if (verb == "MKDIR" && args == 1) {
      ok = Make(words[1]);
    } else if (verb == "RMDIR" && args == 1) {
      ok = RemoveFolder(words[1]);
    } else if (verb == "DEL" && args == 1) {
      ok = RemoveFile(words[1]);
    } else if (verb == "REN" && args == 2) {
      ok = Rename(words[1], words[2]);
    } else if (verb == "PUT" && args == 2 && Number(words[2], &n)) {
      ok = Put(words[1]);
    } else if (verb == "GET" && args == 1) {
      ok = Get(words[1]);
    } else if (verb == "SIM") {
      ok = Sim(words);
    } else {
      ok = Answer(CI_E_ARGUMENT);
    }
    if (!ok) return;
  }
}

int Usage(const char* text) {
  std::fprintf(stderr, "ctlsim: %s\nAufruf: ctlsim --root ORDNER [--port N] [--names utf8|latin1]\n", text);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  long long port = CI_DEFAULT_PORT;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--root" && value) {
      root = value;
    } else if (arg == "--port" && value && Number(value, &port) && port >= 0 && port <= 65535) {
    } else if (arg == "--names" && value &&
               (std::string_view(value) == "utf8" || std::string_view(value) == "latin1")) {
      g_sim.latin1 = std::string_view(value) == "latin1";
    } else {
      return Usage("unbekanntes oder unvollständiges Argument");
    }
    ++i;
  }
  if (root.empty()) return Usage("kein Ordner angegeben");
  g_sim.root.Reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!g_sim.root) return Usage("der Ordner kann nicht geöffnet werden");
  ::signal(SIGPIPE, SIG_IGN);

  SysFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!listener || ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.Get(), 64) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "ctlsim: Port %lld kann nicht belegt werden: %s\n", port, std::strerror(errno));
    return 1;
  }
  std::printf("ctlsim: bereit auf 127.0.0.1:%u\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int fd = ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) continue;
      return 1;
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard lock(g_sim.mutex);
      g_sim.links.insert(fd);
    }
    std::thread([fd] { Link(fd).Serve(); }).detach();
  }
}
