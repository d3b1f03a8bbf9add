// The Sftp functions of the communication library: file operations, listings and transfers.
#include "remote/commlib/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

using namespace commlib;

namespace {

// Big requests keep many packets under way: libssh2 pipelines what one call hands it.
constexpr std::size_t kChunk = 1 << 20;
// Reads: libssh2 asks ahead for four times the buffer, so a quarter of it keeps as much under
// way, with less copying.
constexpr std::size_t kReadChunk = 1 << 18;

std::atomic<uint32_t> g_tempCounter{0};

unsigned Len(const std::string& s) {
  return static_cast<unsigned>(s.size());
}

void FromLibssh2(const LIBSSH2_SFTP_ATTRIBUTES& in, SftpAttributes* out) {
  *out = SftpAttributes{};
  if (in.flags & LIBSSH2_SFTP_ATTR_SIZE) {
    out->flags |= SFTP_ATTR_SIZE;
    out->size = in.filesize;
  }
  if (in.flags & LIBSSH2_SFTP_ATTR_UIDGID) {
    out->flags |= SFTP_ATTR_OWNER;
    out->uid = static_cast<uint32_t>(in.uid);
    out->gid = static_cast<uint32_t>(in.gid);
  }
  if (in.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
    out->flags |= SFTP_ATTR_PERMISSIONS;
    out->permissions = static_cast<uint32_t>(in.permissions);
  }
  if (in.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) {
    out->flags |= SFTP_ATTR_TIMES;
    out->atime = static_cast<uint32_t>(in.atime);
    out->mtime = static_cast<uint32_t>(in.mtime);
  }
}

// A free name beside path for what is written before it takes path's place.
std::string TempBeside(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.size() > 200) base.resize(200);
  char tail[32];
  std::snprintf(tail, sizeof tail, ".~kpw%x-%x", static_cast<unsigned>(::getpid()),
                static_cast<unsigned>(g_tempCounter.fetch_add(1) + 1));
  return folder + "." + base + tail;
}

std::shared_ptr<Session> Sftp(uint32_t handle) {
  return Find(handle, Kind::Sftp);
}

int SimpleStat(Session& s, const std::string& path, int how, LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  const int rc = libssh2_sftp_stat_ex(s.sftp, path.c_str(), Len(path), how, attrs);
  return rc == 0 ? COMM_OK : s.Failure(rc);
}

int Unlink(Session& s, const std::string& path) {
  const int rc = libssh2_sftp_unlink_ex(s.sftp, path.c_str(), Len(path));
  return rc == 0 ? COMM_OK : s.Failure(rc);
}

int RenamePlain(Session& s, const std::string& from, const std::string& to) {
  const int rc = libssh2_sftp_rename_ex(s.sftp, from.c_str(), Len(from), to.c_str(), Len(to), 0);
  return rc == 0 ? COMM_OK : s.Failure(rc);
}

// What is left on the server after a failure: removed while the session works, else the next
// connect removes it (restoring restoreTo when given).
void Abandon(Session& s, const std::string& path, const std::string& restoreTo = {}) {
  if (s.Usable() == COMM_OK) {
    if (!restoreTo.empty() && RenamePlain(s, path, restoreTo) == COMM_OK) return;
    if (Unlink(s, path) == COMM_OK || s.Usable() == COMM_OK) return;
  }
  RememberOrphan(s, path, restoreTo);
}

// Puts the finished temporary file in path's place. SFTP version 3 renames only onto a free name:
// an existing target is first moved aside and removed once the new file is in place.
int Place(Session& s, const std::string& temp, const std::string& path, bool keepMode) {
  int result = RenamePlain(s, temp, path);
  if (result == COMM_OK) return COMM_OK;
  if (result != COMM_FAILURE) {
    Abandon(s, temp);
    return result;
  }
  LIBSSH2_SFTP_ATTRIBUTES old{};
  if (SimpleStat(s, path, LIBSSH2_SFTP_LSTAT, &old) != COMM_OK) {
    Abandon(s, temp);
    return s.Usable() == COMM_OK ? result : s.Usable();
  }
  if (LIBSSH2_SFTP_S_ISDIR(old.permissions)) {
    Abandon(s, temp);
    return COMM_FAILURE;
  }
  if (keepMode && (old.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISREG(old.permissions)) {
    LIBSSH2_SFTP_ATTRIBUTES mode{};
    mode.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
    mode.permissions = old.permissions & 07777;
    libssh2_sftp_stat_ex(s.sftp, temp.c_str(), Len(temp), LIBSSH2_SFTP_SETSTAT, &mode);
  }
  const std::string aside = TempBeside(path);
  if ((result = RenamePlain(s, path, aside)) != COMM_OK) {
    Abandon(s, temp);
    return result;
  }
  if ((result = RenamePlain(s, temp, path)) != COMM_OK) {
    Abandon(s, aside, path);
    Abandon(s, temp);
    return result;
  }
  Abandon(s, aside);
  return COMM_OK;
}

// Reads up to size bytes of the upload's data: the count, 0 at the end, or -(COMM_ code).
using Source = int (*)(void* context, char* buffer, int size);

int Upload(Session& s, const char* path, Source source, void* context, uint32_t mode, uint64_t total) {
  s.done.store(0);
  s.total.store(total);
  const std::string target(path);
  const std::string temp = TempBeside(target);
  const long createMode = mode ? static_cast<long>(mode & 07777) : 0666;
  LIBSSH2_SFTP_HANDLE* file =
      libssh2_sftp_open_ex(s.sftp, temp.c_str(), Len(temp), LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_EXCL,
                           createMode, LIBSSH2_SFTP_OPENFILE);
  if (!file) return s.Failure(libssh2_session_last_errno(s.ssh));
  std::vector<char> buffer(kChunk);
  int result = COMM_OK;
  for (bool end = false; !end && result == COMM_OK;) {
    std::size_t filled = 0;
    while (filled < buffer.size() && !s.Broken()) {
      const int n = source(context, buffer.data() + filled, static_cast<int>(buffer.size() - filled));
      if (n < 0) {
        result = -n;
        break;
      }
      if (n == 0) {
        end = true;
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
    if (result == COMM_OK && s.Broken()) result = s.Failure(0);
    for (std::size_t at = 0; result == COMM_OK && at < filled;) {
      const ssize_t n = libssh2_sftp_write(file, buffer.data() + at, filled - at);
      if (n < 0) {
        result = s.Failure(static_cast<int>(n));
        break;
      }
      at += static_cast<std::size_t>(n);
      s.done.fetch_add(static_cast<uint64_t>(n));
      if (s.Broken()) result = s.Failure(0);
    }
  }
  if (result == COMM_OK) {
    if (const int rc = libssh2_sftp_close_handle(file); rc != 0) result = s.Failure(rc);
    if (result == COMM_OK) return Place(s, temp, target, mode == 0);
  } else if (s.Usable() == COMM_OK) {
    libssh2_sftp_close_handle(file);
  }
  Abandon(s, temp);
  return result;
}

struct CallbackSource {
  CommReadFn read;
  void* context;
  static int Read(void* c, char* buffer, int size) {
    auto* self = static_cast<CallbackSource*>(c);
    const int n = self->read(self->context, reinterpret_cast<unsigned char*>(buffer), size);
    if (n < 0 || n > size) return -COMM_SOURCE_FAILED;
    return n;
  }
};

int ReadLocal(void* c, char* buffer, int size) {
  const int fd = *static_cast<int*>(c);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -COMM_LOCAL_IO;
  }
}

// Sends what a download reads to sink: the bytes it took, which must be all of them.
using Sink = bool (*)(void* context, const char* data, std::size_t n);

int Download(Session& s, const char* path, Sink sink, void* context) {
  s.done.store(0);
  s.total.store(0);
  const std::string source(path);
  LIBSSH2_SFTP_HANDLE* file = libssh2_sftp_open_ex(s.sftp, source.c_str(), Len(source), LIBSSH2_FXF_READ, 0,
                                                   LIBSSH2_SFTP_OPENFILE);
  if (!file) return s.Failure(libssh2_session_last_errno(s.ssh));
  int result = COMM_OK;
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  if (const int rc = libssh2_sftp_fstat_ex(file, &attrs, 0); rc != 0) {
    result = s.Failure(rc);
  } else if ((attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
    result = COMM_FAILURE;
  } else if (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) {
    s.total.store(attrs.filesize);
  }
  // libssh2 asks ahead for several times the buffer: a small file gets a buffer of its size, so
  // that its download is not a hundred requests answered with "end of file".
  const std::size_t size =
      (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE)
          ? static_cast<std::size_t>(std::min<uint64_t>(attrs.filesize + 1, kReadChunk))
          : kReadChunk;
  std::vector<char> buffer(result == COMM_OK ? std::max<std::size_t>(size, 4096) : 0);
  uint64_t read = 0;
  while (result == COMM_OK) {
    const ssize_t n = libssh2_sftp_read(file, buffer.data(), buffer.size());
    if (n < 0) {
      result = s.Failure(static_cast<int>(n));
      break;
    }
    if (n == 0) break;
    if (!sink(context, buffer.data(), static_cast<std::size_t>(n))) result = COMM_LOCAL_IO;
    read += static_cast<uint64_t>(n);
    s.done.fetch_add(static_cast<uint64_t>(n));
    if (result == COMM_OK && s.Broken()) result = s.Failure(0);
  }
  // Whole only as the file was at open: as many bytes as it had, and its size and time unchanged
  // (a file cut or rewritten meanwhile would otherwise pass for a good copy).
  if (result == COMM_OK) {
    LIBSSH2_SFTP_ATTRIBUTES after{};
    if (const int rc = libssh2_sftp_fstat_ex(file, &after, 0); rc != 0) {
      result = s.Failure(rc);
    } else if (((attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) && read != attrs.filesize) ||
               (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) != (after.flags & LIBSSH2_SFTP_ATTR_SIZE) ||
               ((after.flags & LIBSSH2_SFTP_ATTR_SIZE) && after.filesize != attrs.filesize) ||
               (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) != (after.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) ||
               ((after.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) && after.mtime != attrs.mtime)) {
      result = COMM_SOURCE_CHANGED;
    }
  }
  if (s.Usable() == COMM_OK) {
    if (const int rc = libssh2_sftp_close_handle(file); rc != 0 && result == COMM_OK) result = s.Failure(rc);
  }
  return result;
}

bool WriteLocal(void* c, const char* data, std::size_t n) {
  const int fd = *static_cast<int*>(c);
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

struct CallbackSink {
  CommWriteFn write;
  void* context;
  Session* session;
  // The sink gets pieces of at most 64 KiB; a break between two of them stops the rest.
  static bool Write(void* c, const char* data, std::size_t n) {
    auto* self = static_cast<CallbackSink*>(c);
    while (n > 0 && !self->session->Broken()) {
      const int piece = static_cast<int>(std::min<std::size_t>(n, 64 * 1024));
      if (self->write(self->context, reinterpret_cast<const unsigned char*>(data), piece) != piece) return false;
      data += piece;
      n -= static_cast<std::size_t>(piece);
    }
    return true;
  }
};

// A new file beside local that takes its place when whole; it gets the mode that a new file
// gets, or the mode of the file it replaces.
class LocalTemp {
 public:
  explicit LocalTemp(const std::string& local) : m_local(local) {
    const std::size_t slash = local.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : local.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? local : local.substr(slash + 1);
    if (base.size() > 200) base.resize(200);
    for (int tries = 0; tries < 100 && m_fd < 0; ++tries) {
      char tail[48];
      std::snprintf(tail, sizeof tail, ".~kpw%x-%x", static_cast<unsigned>(::getpid()),
                    static_cast<unsigned>(g_tempCounter.fetch_add(1) + 1));
      m_path = folder + "." + base + tail;
      m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m_fd < 0 && errno != EEXIST) break;
    }
    if (m_fd < 0) m_path.clear();
  }
  ~LocalTemp() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  LocalTemp(const LocalTemp&) = delete;
  LocalTemp& operator=(const LocalTemp&) = delete;

  int* Fd() { return &m_fd; }
  bool Ok() const { return m_fd >= 0; }
  int Commit() {
    struct stat old {};
    if (::stat(m_local.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(m_fd, old.st_mode & 07777);
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0) return COMM_LOCAL_IO;
    if (::rename(m_path.c_str(), m_local.c_str()) != 0) return COMM_LOCAL_FILE;
    m_path.clear();
    return COMM_OK;
  }

 private:
  std::string m_local;
  std::string m_path;
  int m_fd = -1;
};

}  // namespace

// ---- handles -------------------------------------------------------------------------------------

COMM_EXPORT uint32_t SftpCreate(void) {
  return CreateHandle(Kind::Sftp);
}

COMM_EXPORT int SftpBreak(uint32_t handle) {
  if (auto s = Sftp(handle)) s->Break();
  return 0;
}

COMM_EXPORT int SftpIsConnected(uint32_t handle) {
  auto s = Sftp(handle);
  return s && s->Alive() ? 1 : 0;
}

COMM_EXPORT int SftpClose(uint32_t handle) {
  return Release(handle, Kind::Sftp) ? COMM_OK : COMM_BAD_HANDLE;
}

COMM_EXPORT int SftpErrorText(uint32_t handle, int code, char* buffer, int size) {
  auto s = Sftp(handle);
  return CopyText(s ? s->Text(code) : Session(Kind::Sftp).Text(code), buffer, size);
}

COMM_EXPORT int SftpConnect(uint32_t handle, const char* host, int port, const char* user, const char* password,
                            int timeoutMs) {
  auto s = Sftp(handle);
  if (!s) return COMM_BAD_HANDLE;
  return s->Connect(host, port, user, password, timeoutMs);
}

// ---- single requests -----------------------------------------------------------------------------

#define COMM_SFTP_GUARD(handle, ...)                      \
  auto s = Sftp(handle);                                  \
  if (!s) return COMM_BAD_HANDLE;                         \
  if (!(__VA_ARGS__)) return COMM_BAD_PARAMETER;          \
  if (const int usable = s->Usable(); usable != COMM_OK) return usable

COMM_EXPORT int SftpStat(uint32_t handle, const char* path, SftpAttributes* attrs) {
  COMM_SFTP_GUARD(handle, path && attrs);
  LIBSSH2_SFTP_ATTRIBUTES in{};
  const int result = SimpleStat(*s, path, LIBSSH2_SFTP_STAT, &in);
  if (result == COMM_OK) FromLibssh2(in, attrs);
  return result;
}

COMM_EXPORT int SftpSetStat(uint32_t handle, const char* path, const SftpAttributes* attrs) {
  COMM_SFTP_GUARD(handle, path && attrs);
  LIBSSH2_SFTP_ATTRIBUTES out{};
  if (attrs->flags & SFTP_ATTR_PERMISSIONS) {
    out.flags |= LIBSSH2_SFTP_ATTR_PERMISSIONS;
    out.permissions = attrs->permissions & 07777;
  }
  if (attrs->flags & SFTP_ATTR_TIMES) {
    out.flags |= LIBSSH2_SFTP_ATTR_ACMODTIME;
    out.atime = attrs->atime;
    out.mtime = attrs->mtime;
  }
  return SimpleStat(*s, path, LIBSSH2_SFTP_SETSTAT, &out);
}

COMM_EXPORT int SftpRemove(uint32_t handle, const char* path) {
  COMM_SFTP_GUARD(handle, path);
  return Unlink(*s, path);
}

COMM_EXPORT int SftpRmdir(uint32_t handle, const char* path) {
  COMM_SFTP_GUARD(handle, path);
  const int rc = libssh2_sftp_rmdir_ex(s->sftp, path, static_cast<unsigned>(std::strlen(path)));
  return rc == 0 ? COMM_OK : s->Failure(rc);
}

COMM_EXPORT int SftpMkdir(uint32_t handle, const char* path, int mode) {
  COMM_SFTP_GUARD(handle, path);
  // Mode 0 sends no mode: the server makes the folder as it makes any (mode 0 itself would leave
  // a folder that nobody may enter).
  const long sent = mode == 0 ? LIBSSH2_SFTP_DEFAULT_MODE : (mode & 07777);
  const int rc = libssh2_sftp_mkdir_ex(s->sftp, path, static_cast<unsigned>(std::strlen(path)), sent);
  return rc == 0 ? COMM_OK : s->Failure(rc);
}

COMM_EXPORT int SftpReadDir(uint32_t handle, const char* path, SftpEntryFn entry, void* context) {
  COMM_SFTP_GUARD(handle, path && entry);
  LIBSSH2_SFTP_HANDLE* dir = libssh2_sftp_open_ex(s->sftp, path, static_cast<unsigned>(std::strlen(path)), 0, 0,
                                                  LIBSSH2_SFTP_OPENDIR);
  if (!dir) return s->Failure(libssh2_session_last_errno(s->ssh));
  std::vector<char> name(1024), longName(2048);
  int result = COMM_OK;
  for (;;) {
    LIBSSH2_SFTP_ATTRIBUTES in{};
    const int n = libssh2_sftp_readdir_ex(dir, name.data(), name.size(), longName.data(), longName.size(), &in);
    if (n == 0) break;
    if (n == LIBSSH2_ERROR_BUFFER_TOO_SMALL) continue;  // no name of a file system is that long
    if (n < 0) {
      result = s->Failure(n);
      break;
    }
    SftpAttributes attrs;
    FromLibssh2(in, &attrs);
    if (entry(context, name.data(), longName.data(), &attrs) != 0) break;
    if (s->Broken()) {
      result = s->Failure(0);
      break;
    }
  }
  if (s->Usable() == COMM_OK) libssh2_sftp_close_handle(dir);
  return result;
}

static int SymlinkCall(uint32_t handle, const char* path, char* buffer, int size, int type) {
  COMM_SFTP_GUARD(handle, path && buffer && size > 0);
  const int n = libssh2_sftp_symlink_ex(s->sftp, path, static_cast<unsigned>(std::strlen(path)), buffer,
                                        static_cast<unsigned>(size), type);
  if (n == LIBSSH2_ERROR_BUFFER_TOO_SMALL) return COMM_BUFFER_SMALL;
  if (n < 0) return s->Failure(n);
  if (n >= size) return COMM_BUFFER_SMALL;
  buffer[n] = '\0';
  return COMM_OK;
}

COMM_EXPORT int SftpRealPath(uint32_t handle, const char* path, char* buffer, int size) {
  return SymlinkCall(handle, path, buffer, size, LIBSSH2_SFTP_REALPATH);
}

COMM_EXPORT int SftpReadLink(uint32_t handle, const char* path, char* buffer, int size) {
  return SymlinkCall(handle, path, buffer, size, LIBSSH2_SFTP_READLINK);
}

COMM_EXPORT int SftpRename(uint32_t handle, const char* oldPath, const char* newPath) {
  COMM_SFTP_GUARD(handle, oldPath && newPath);
  return RenamePlain(*s, oldPath, newPath);
}

COMM_EXPORT int SftpSymLink(uint32_t handle, const char* target, const char* link) {
  COMM_SFTP_GUARD(handle, target && link);
  const int rc = libssh2_sftp_symlink_ex(s->sftp, target, static_cast<unsigned>(std::strlen(target)),
                                         const_cast<char*>(link), static_cast<unsigned>(std::strlen(link)),
                                         LIBSSH2_SFTP_SYMLINK);
  return rc == 0 ? COMM_OK : s->Failure(rc);
}

// ---- transfers -----------------------------------------------------------------------------------

COMM_EXPORT int SftpUploadProc(uint32_t handle, const char* path, CommReadFn read, void* context, uint32_t mode,
                               uint32_t totalLow, uint32_t totalHigh, uint32_t, uint32_t) {
  COMM_SFTP_GUARD(handle, path && read);
  const uint64_t total = totalLow == 0xFFFFFFFFu && totalHigh == 0xFFFFFFFFu
                             ? 0
                             : (static_cast<uint64_t>(totalHigh) << 32 | totalLow);
  CallbackSource source{read, context};
  return Upload(*s, path, CallbackSource::Read, &source, mode, total);
}

COMM_EXPORT int SftpUploadFile(uint32_t handle, const char* path, const char* localPath, uint32_t mode, uint32_t,
                               uint32_t) {
  COMM_SFTP_GUARD(handle, path && localPath);
  int fd = ::open(localPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return COMM_LOCAL_FILE;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return COMM_LOCAL_FILE;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const int result = Upload(*s, path, ReadLocal, &fd, mode, static_cast<uint64_t>(st.st_size));
  ::close(fd);
  return result;
}

COMM_EXPORT int SftpDownloadProc(uint32_t handle, const char* path, CommWriteFn write, void* context, uint32_t,
                                 uint32_t, uint32_t) {
  auto s = Sftp(handle);
  int result = !s ? COMM_BAD_HANDLE : !path ? COMM_BAD_PARAMETER : s->Usable();
  if (!write) return COMM_BAD_PARAMETER;
  if (result == COMM_OK) {
    CallbackSink sink{write, context, s.get()};
    result = Download(*s, path, CallbackSink::Write, &sink);
  }
  write(context, nullptr, result == COMM_OK ? 0 : -1);
  return result;
}

COMM_EXPORT int SftpDownloadFile(uint32_t handle, const char* path, const char* localPath, uint32_t, uint32_t,
                                 uint32_t) {
  COMM_SFTP_GUARD(handle, path && localPath && *localPath);
  LocalTemp temp(localPath);
  if (!temp.Ok()) return COMM_LOCAL_FILE;
  const int result = Download(*s, path, WriteLocal, temp.Fd());
  return result == COMM_OK ? temp.Commit() : result;
}

COMM_EXPORT int SftpProgressSet(uint32_t handle, uint32_t doneLow, uint32_t doneHigh, uint32_t totalLow,
                                uint32_t totalHigh) {
  auto s = Sftp(handle);
  if (!s) return COMM_BAD_HANDLE;
  s->done.store(static_cast<uint64_t>(doneHigh) << 32 | doneLow);
  if (totalLow != 0xFFFFFFFFu || totalHigh != 0xFFFFFFFFu)
    s->total.store(static_cast<uint64_t>(totalHigh) << 32 | totalLow);
  return COMM_OK;
}

COMM_EXPORT uint64_t SftpProgress(uint32_t handle, uint64_t* total) {
  auto s = Sftp(handle);
  if (total) *total = s ? s->total.load() : 0;
  return s ? s->done.load() : 0;
}
