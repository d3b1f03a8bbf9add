// The copy engine: data through copy_file_range (or read/write), a temporary file beside the
// target, and a final link or rename, so that the old target stays intact until the new one is whole.
#include "lib/system/sys_copy.h"
#include "lib/system/sys_fdio.h"

#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_seam_hooks.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <string>

namespace {

constexpr std::size_t kChunk = 8u << 20;        // cancel test and counter step
constexpr std::size_t kBufferSize = 1u << 20;   // read/write fallback

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  int Close() {
    int rc = 0;
    if (fd >= 0) rc = ::close(fd);
    fd = -1;
    return rc;
  }
};

bool ProcFdUsable() {
  static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
  return usable;
}

std::string ParentDir(const char* path) {
  const std::string p(path);
  const int d = SysPathDirLen(static_cast<int>(p.size()), p.c_str());
  if (d == 0) return ".";
  std::string dir = p.substr(0, static_cast<std::size_t>(d));
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string TempNameIn(const std::string& dir) {
  static thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<u64>(::getpid())};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = dir + "/.kpw-";
  for (int i = 0; i < 10; ++i) name += kChars[rng() % 36];
  return name + ".tmp";
}

int Fail(int result, int err, const char* path) {
  SetLastErrorFromErrno(err, path);
  return result;
}

int FailCode(int result, DWORD code) {
  SetLastError(code);
  return result;
}

// Checks an existing target against the flags; 0 when the copy may go on.
int CheckTarget(int flags, const char* target) {
  struct stat st {};
  if (::lstat(target, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode))
    return FailCode((flags & SYS_COPY_NO_REPLACE) ? SYS_COPY_EXISTS : SYS_COPY_TARGET_ERROR, ERROR_DIRECTORY);
  if (flags & SYS_COPY_NO_REPLACE) return FailCode(SYS_COPY_EXISTS, ERROR_FILE_EXISTS);
  if (!(flags & SYS_COPY_FORCE) && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
    return FailCode(SYS_COPY_TARGET_ERROR, ERROR_ACCESS_DENIED);
  return 0;
}

// The result for a final step that found the target name taken.
int TargetTaken(const char* target) {
  struct stat st {};
  const bool dir = ::lstat(target, &st) == 0 && S_ISDIR(st.st_mode);
  return FailCode(SYS_COPY_EXISTS, dir ? ERROR_DIRECTORY : ERROR_FILE_EXISTS);
}

// Where the copy is written until it is whole.
struct TempFile {
  Fd fd;
  bool anonymous = false;  // O_TMPFILE: no name until linked, nothing left behind if the process dies
  std::string name;
  ~TempFile() {
    fd.Close();
    if (!name.empty()) ::unlink(name.c_str());
  }
};

int OpenTemp(const std::string& dir, TempFile& temp) {
  if (ProcFdUsable() && !SysSeamForceFallbacks()) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      temp.fd.fd = fd;
      temp.anonymous = true;
      return 0;
    }
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == EROFS || errno == ENOSPC ||
        errno == EDQUOT || errno == EMFILE || errno == ENFILE)
      return errno;
    // Other errors: the file system lacks O_TMPFILE; use a named temporary file.
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = TempNameIn(dir);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      temp.fd.fd = fd;
      temp.name = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

bool Cancelled(const SysCancelFlag* cancel) { return cancel && cancel->load(std::memory_order_relaxed) != 0; }

// Copies size bytes from in to out. Returns 1, 0 (cancelled) or a negative engine result.
int CopyData(int in, int out, u64 size, SysByteCounter* counter, const SysCancelFlag* cancel, const char* source,
             const char* target) {
  u64 done = 0;
  bool useRange = true;
  std::unique_ptr<char[]> buffer;
  while (done < size) {
    if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
    const std::size_t want = static_cast<std::size_t>(std::min<u64>(kChunk, size - done));
    std::size_t got = 0;
    if (useRange) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, want, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EFBIG || errno == ENOSPC || errno == EDQUOT) return Fail(SYS_COPY_WRITE_ERROR, errno, target);
        // Unsupported here, or an I/O error whose side the plain path will tell.
        useRange = false;
        continue;
      }
      if (n == 0) {
        // Some file systems report nothing to copy; the plain path finds the real end.
        useRange = false;
        continue;
      }
      got = static_cast<std::size_t>(n);
    } else {
      if (!buffer) buffer = std::make_unique<char[]>(kBufferSize);
      const std::size_t part = std::min(want, kBufferSize);
      const ssize_t n = ::read(in, buffer.get(), part);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(SYS_COPY_READ_ERROR, errno, source);
      }
      if (n == 0) break;  // the source became shorter
      std::size_t written = 0;
      while (written < static_cast<std::size_t>(n)) {
        const ssize_t w = ::write(out, buffer.get() + written, static_cast<std::size_t>(n) - written);
        if (w < 0) {
          if (errno == EINTR) continue;
          return Fail(SYS_COPY_WRITE_ERROR, errno, target);
        }
        written += static_cast<std::size_t>(w);
      }
      got = static_cast<std::size_t>(n);
    }
    done += got;
    if (counter) counter->store(done, std::memory_order_relaxed);
  }
  return 1;
}

// Gives the finished temporary file the target's name. Returns 1 or a negative engine result.
int Publish(int flags, TempFile& temp, const char* target) {
  const bool noReplace = flags & SYS_COPY_NO_REPLACE;
  if (temp.anonymous) {
    char procPath[64];
    FmtSnprintfA(procPath, sizeof procPath, "/proc/self/fd/%d", temp.fd.fd);
    // link() never replaces a name: a new target, or a refusing copy, is done in one step.
    if (::linkat(AT_FDCWD, procPath, AT_FDCWD, target, AT_SYMLINK_FOLLOW) == 0) return 1;
    if (errno != EEXIST) return Fail(SYS_COPY_RENAME_ERROR, errno, target);
    if (noReplace) return TargetTaken(target);
    const std::string dir = ParentDir(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = TempNameIn(dir);
      if (::linkat(AT_FDCWD, procPath, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temp.name = std::move(name);
        break;
      }
      if (errno != EEXIST) return Fail(SYS_COPY_RENAME_ERROR, errno, target);
    }
    if (temp.name.empty()) return FailCode(SYS_COPY_RENAME_ERROR, ERROR_FILE_EXISTS);
  }
  if (noReplace) {
    const int rc = SysRename(temp.name.c_str(), target, SYS_RENAME_NOREPLACE);
    if (rc == SYS_ERR_EXISTS) return TargetTaken(target);
    if (rc != 0) return SYS_COPY_RENAME_ERROR;
  } else if (::rename(temp.name.c_str(), target) != 0) {
    if (errno == EISDIR) return FailCode(SYS_COPY_TARGET_ERROR, ERROR_DIRECTORY);
    return Fail(SYS_COPY_RENAME_ERROR, errno, target);
  }
  temp.name.clear();
  return 1;
}

int CopyFile(int flags, const char* source, const char* target, SysByteCounter* counter, u64* total,
             const SysCancelFlag* cancel) {
  Fd in(SysOpenRegular(source));
  if (in.fd < 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, source);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, source);
  if (!S_ISREG(st.st_mode)) return FailCode(SYS_COPY_SOURCE_ERROR, ERROR_ACCESS_DENIED);
  const u64 size = static_cast<u64>(st.st_size);
  if (total) *total = size;
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  if (const int rc = CheckTarget(flags, target)) return rc;

  const std::string dir = ParentDir(target);
  TempFile temp;
  int err = OpenTemp(dir, temp);
  if (err == ENOENT && (flags & SYS_COPY_MAKE_DIRS)) {
    if (SysMkdirAll(dir.c_str()) == 0) return SYS_COPY_TARGET_ERROR;
    err = OpenTemp(dir, temp);
  }
  if (err) return Fail(SYS_COPY_TARGET_ERROR, err, target);

  const int rc = CopyData(in.fd, temp.fd.fd, size, counter, cancel, source, target);
  if (rc != 1) return rc;
  if (::fchmod(temp.fd.fd, st.st_mode & 07777) != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, target);
  if (flags & SYS_COPY_TIMES) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(temp.fd.fd, times) != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, target);
  }
  if (!temp.anonymous && temp.fd.Close() != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, target);
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  return Publish(flags, temp, target);
}

int MoveFile(int flags, const char* source, const char* target, SysByteCounter* counter, u64* total,
             const SysCancelFlag* cancel) {
  struct stat st {};
  if (::lstat(source, &st) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, source);
  if (S_ISDIR(st.st_mode)) return FailCode(SYS_COPY_SOURCE_ERROR, ERROR_ACCESS_DENIED);
  if (total) *total = static_cast<u64>(st.st_size);
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  if (const int rc = CheckTarget(flags, target)) return rc;
  const int renameFlags = (flags & SYS_COPY_NO_REPLACE) ? SYS_RENAME_NOREPLACE : 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int rc = SysRename(source, target, renameFlags);
    if (rc == 0) {
      if (counter) counter->store(static_cast<u64>(st.st_size), std::memory_order_relaxed);
      return 1;
    }
    if (rc == SYS_ERR_EXISTS) return TargetTaken(target);
    const DWORD code = GetLastError();
    if (code == ERROR_NOT_SUPPORTED) break;  // another file system: copy and delete
    if (code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND) {
      struct stat again {};
      if (::lstat(source, &again) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, source);
      if (attempt == 0 && (flags & SYS_COPY_MAKE_DIRS)) {
        const std::string dir = ParentDir(target);
        if (SysMkdirAll(dir.c_str()) == 0) return SYS_COPY_TARGET_ERROR;
        continue;
      }
      return SYS_COPY_TARGET_ERROR;
    }
    if (code == ERROR_DIRECTORY) return SYS_COPY_TARGET_ERROR;
    return SYS_COPY_RENAME_ERROR;
  }
  const int rc = CopyFile(flags | SYS_COPY_TIMES, source, target, counter, total, cancel);
  if (rc != 1) return rc;
  // Removing a name never depends on the file's own mode here, so a read-only source goes too.
  if (::unlink(source) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, source);
  return 1;
}

}  // namespace

int SysFileCopyEx(int flags, const char* source, const char* target, SysByteCounter* counter, u64* total,
                  const SysCancelFlag* cancel) {
  if (counter) counter->store(0, std::memory_order_relaxed);
  const SysOsPath src(source);
  if (!src.ok()) return SYS_COPY_SOURCE_ERROR;
  const SysOsPath dst(target);
  if (!dst.ok()) return SYS_COPY_TARGET_ERROR;
  if (flags & SYS_COPY_MOVE) return MoveFile(flags, src.c_str(), dst.c_str(), counter, total, cancel);
  return CopyFile(flags, src.c_str(), dst.c_str(), counter, total, cancel);
}
