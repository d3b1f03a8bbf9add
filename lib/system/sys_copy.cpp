// The copy engine: data through copy_file_range (or read/write) into a temporary file beside the
// target, holes kept, and a final link or rename, so that the old target stays intact until the
// new one is whole.
#include "lib/system/sys_copy.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_seam_hooks.h"
#include "lib/system/sys_tempfile.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kChunk = 8u << 20;       // cancel test and counter step
constexpr std::size_t kBufferSize = 1u << 20;  // read/write fallback

int Fail(int result, int err, const char* path) {
  SetLastErrorFromErrno(err, path);
  return result;
}

int FailCode(int result, DWORD code) {
  SetLastError(code);
  return result;
}

bool Cancelled(const SysCancelFlag* cancel) { return cancel && cancel->load(std::memory_order_relaxed) != 0; }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Checks an existing target against the flags; 0 when the copy may go on.
int CheckTarget(int flags, int dstDir, const char* name) {
  struct stat st {};
  if (::fstatat(dstDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (S_ISDIR(st.st_mode))
    return FailCode((flags & SYS_COPY_NO_REPLACE) ? SYS_COPY_EXISTS : SYS_COPY_TARGET_ERROR, ERROR_DIRECTORY);
  if (flags & SYS_COPY_NO_REPLACE) return FailCode(SYS_COPY_EXISTS, ERROR_FILE_EXISTS);
  if (!(flags & SYS_COPY_FORCE) && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
    return FailCode(SYS_COPY_TARGET_ERROR, ERROR_ACCESS_DENIED);
  return 0;
}

// The result for a final step that found the target name taken.
int TargetTaken(int dstDir, const char* name) {
  struct stat st {};
  const bool dir = ::fstatat(dstDir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  return FailCode(SYS_COPY_EXISTS, dir ? ERROR_DIRECTORY : ERROR_FILE_EXISTS);
}

// Moves the bytes [from, to) of in to the same offsets of out. Returns 1, 0 (cancelled) or a
// negative engine result; *end gets where the source ended when it became shorter meanwhile.
class DataCopy {
 public:
  DataCopy(int in, int out, SysByteCounter* counter, const SysCancelFlag* cancel)
      : m_in(in), m_out(out), m_counter(counter), m_cancel(cancel) {}

  int Range(u64 from, u64 to, u64* end) {
    u64 at = from;
    while (at < to) {
      if (Cancelled(m_cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
      const std::size_t want = static_cast<std::size_t>(std::min<u64>(kChunk, to - at));
      const ssize_t n = m_useRange ? RangeStep(at, want) : PlainStep(at, want);
      if (n == kSwitched) continue;  // the plain path takes over and finds the real end
      if (n < 0) return static_cast<int>(n);
      if (n == 0) {
        *end = at;  // the source became shorter
        return 1;
      }
      at += static_cast<u64>(n);
      m_done += static_cast<u64>(n);
      if (m_counter) m_counter->store(m_done, std::memory_order_relaxed);
      SysSeamCopyProgress(m_done);
    }
    *end = to;
    return 1;
  }

  // Holes count as done for the progress.
  void Skip(u64 bytes) {
    m_done += bytes;
    if (m_counter) m_counter->store(m_done, std::memory_order_relaxed);
  }

 private:
  static constexpr ssize_t kSwitched = -1000;

  ssize_t RangeStep(u64 at, std::size_t want) {
    for (;;) {
      loff_t inOff = static_cast<loff_t>(at), outOff = static_cast<loff_t>(at);
      const ssize_t n = ::copy_file_range(m_in, &inOff, m_out, &outOff, want, 0);
      if (n > 0) return n;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EFBIG || errno == ENOSPC || errno == EDQUOT))
        return Fail(SYS_COPY_WRITE_ERROR, errno, nullptr);
      // Unsupported here (another file system), an I/O error whose side the plain path will
      // tell, or a file system that reports nothing to copy.
      m_useRange = false;
      return kSwitched;
    }
  }

  ssize_t PlainStep(u64 at, std::size_t want) {
    if (!m_buffer) m_buffer = std::make_unique<char[]>(kBufferSize);
    const std::size_t part = std::min(want, kBufferSize);
    ssize_t n;
    do n = ::pread(m_in, m_buffer.get(), part, static_cast<off_t>(at));
    while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(SYS_COPY_READ_ERROR, errno, nullptr);
    if (n > 0 && !SysPwriteAll(m_out, m_buffer.get(), static_cast<std::size_t>(n), at))
      return Fail(SYS_COPY_WRITE_ERROR, errno, nullptr);
    return n;
  }

  int m_in, m_out;
  SysByteCounter* m_counter;
  const SysCancelFlag* m_cancel;
  bool m_useRange = true;
  u64 m_done = 0;
  std::unique_ptr<char[]> m_buffer;
};

// Copies the source's bytes into out, leaving the source's holes as holes, so that a sparse
// image never fills the target disk. Returns 1, 0 (cancelled) or a negative engine result; the
// target ends where the source did (earlier when it became shorter meanwhile, never later).
int CopyData(int in, int out, const struct stat& st, SysByteCounter* counter, const SysCancelFlag* cancel) {
  const u64 size = static_cast<u64>(st.st_size);
  DataCopy copy(in, out, counter, cancel);
  u64 end = size;
  // Only a file with fewer blocks than bytes can have holes; others need no search.
  const bool sparse = static_cast<u64>(st.st_blocks) * 512 < size && !SysSeamForceFallbacks();
  u64 at = 0;
  while (at < size) {
    u64 dataAt = at, holeAt = size;
    if (sparse) {
      const off_t data = ::lseek(in, static_cast<off_t>(at), SEEK_DATA);
      if (data < 0 && errno == ENXIO) {
        // Only a hole is left: up to the source's end, which may have come closer meanwhile.
        struct stat now {};
        if (::fstat(in, &now) == 0 && static_cast<u64>(now.st_size) < size) end = std::max<u64>(at, now.st_size);
        copy.Skip(size - at);
        break;
      }
      if (data >= 0) {
        dataAt = std::min<u64>(static_cast<u64>(data), size);
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole >= 0) holeAt = std::min<u64>(static_cast<u64>(hole), size);
      }
      copy.Skip(dataAt - at);
      if (dataAt >= size) break;
    }
    u64 reached = holeAt;
    if (const int rc = copy.Range(dataAt, holeAt, &reached); rc != 1) return rc;
    if (reached < holeAt) {
      end = reached;
      break;
    }
    at = holeAt;
  }
  if (::ftruncate(out, static_cast<off_t>(end)) != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, nullptr);
  return 1;
}

// Copies the open source (its status in st) into dstName. Returns 1 or an engine result.
int CopyOpen(int flags, int in, const struct stat& st, int dstDir, const char* dstName, SysByteCounter* counter,
             const SysCancelFlag* cancel) {
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  if (const int rc = CheckTarget(flags, dstDir, dstName)) return rc;

  SysTempFile temp;
  if (const int err = temp.Create(dstDir, dstName, 0600)) return Fail(SYS_COPY_TARGET_ERROR, err, nullptr);
  if (const int rc = CopyData(in, temp.Fd(), st, counter, cancel); rc != 1) return rc;
  if (::fchmod(temp.Fd(), st.st_mode & 07777) != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, nullptr);
  if (flags & SYS_COPY_TIMES) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(temp.Fd(), times) != 0) return Fail(SYS_COPY_WRITE_ERROR, errno, nullptr);
  }
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  const bool replace = !(flags & SYS_COPY_NO_REPLACE);
  if (const int err = temp.Commit(replace)) {
    if (err == EEXIST && !replace) return TargetTaken(dstDir, dstName);
    if (err == EISDIR) return FailCode(SYS_COPY_TARGET_ERROR, ERROR_DIRECTORY);
    return Fail(SYS_COPY_RENAME_ERROR, err, nullptr);
  }
  return 1;
}

// Opens a source for reading (a link is read through unless noLink); its status in *st.
int OpenSource(int srcDir, const char* name, struct stat* st, bool noLink = false) {
  const int fd = SysOpenRegularAt(srcDir, name, !noLink);
  if (fd >= 0 && ::fstat(fd, st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int CopyFile(int flags, int srcDir, const char* srcName, int dstDir, const char* dstName, SysByteCounter* counter,
             u64* total, const SysCancelFlag* cancel) {
  struct stat st {};
  SysFd in(OpenSource(srcDir, srcName, &st, flags & SYS_COPY_NO_LINK));
  if (!in) return Fail(SYS_COPY_SOURCE_ERROR, errno, nullptr);
  if (total) *total = static_cast<u64>(st.st_size);
  return CopyOpen(flags, in.Get(), st, dstDir, dstName, counter, cancel);
}

bool Unchanged(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

int MoveFile(int flags, int srcDir, const char* srcName, int dstDir, const char* dstName, SysByteCounter* counter,
             u64* total, const SysCancelFlag* cancel) {
  struct stat st {};
  if (::fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, nullptr);
  if (S_ISDIR(st.st_mode)) return FailCode(SYS_COPY_SOURCE_ERROR, ERROR_ACCESS_DENIED);
  if (total) *total = static_cast<u64>(st.st_size);
  if (Cancelled(cancel)) return FailCode(SYS_COPY_STOPPED, ERROR_CANCELLED);
  if (const int rc = CheckTarget(flags, dstDir, dstName)) return rc;
  // Two names of one file: a rename would do nothing and report success.
  struct stat existing {};
  if (::fstatat(dstDir, dstName, &existing, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, existing))
    return FailCode(SYS_COPY_TARGET_ERROR, ERROR_ALREADY_EXISTS);

  const int renameFlags = (flags & SYS_COPY_NO_REPLACE) ? SYS_RENAME_NOREPLACE : 0;
  const int rc = SysRenameAt(srcDir, srcName, dstDir, dstName, renameFlags);
  if (rc == 0) {
    if (counter) counter->store(static_cast<u64>(st.st_size), std::memory_order_relaxed);
    return 1;
  }
  if (rc == SYS_ERR_EXISTS) return TargetTaken(dstDir, dstName);
  const DWORD code = GetLastError();
  if (code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND) {
    struct stat again {};
    if (::fstatat(srcDir, srcName, &again, AT_SYMLINK_NOFOLLOW) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, nullptr);
    return SYS_COPY_TARGET_ERROR;
  }
  if (code == ERROR_DIRECTORY) return SYS_COPY_TARGET_ERROR;
  if (code != ERROR_NOT_SUPPORTED) return SYS_COPY_RENAME_ERROR;

  // Another file system: copy, then delete the source, but only the file that was copied, as it
  // was copied; one that changed meanwhile (a log that grew) stays, and so does the copy.
  struct stat data {};
  SysFd in(OpenSource(srcDir, srcName, &data));
  if (!in) return Fail(SYS_COPY_SOURCE_ERROR, errno, nullptr);
  if (total) *total = static_cast<u64>(data.st_size);
  const int copied = CopyOpen(flags | SYS_COPY_TIMES, in.Get(), data, dstDir, dstName, counter, cancel);
  if (copied != 1) return copied;
  struct stat afterData {}, afterName {};
  if (::fstat(in.Get(), &afterData) != 0 || !Unchanged(data, afterData) ||
      ::fstatat(srcDir, srcName, &afterName, AT_SYMLINK_NOFOLLOW) != 0 || !Unchanged(st, afterName))
    return FailCode(SYS_COPY_SOURCE_ERROR, ERROR_SHARING_VIOLATION);
  // Removing a name never depends on the file's own mode here, so a read-only source goes too.
  if (::unlinkat(srcDir, srcName, 0) != 0) return Fail(SYS_COPY_SOURCE_ERROR, errno, nullptr);
  return 1;
}

// The folder of a path, opened as a path (links followed): the cell's own way to its file.
struct PathParts {
  SysFd dir;
  std::string name;
  int err = 0;
};

PathParts OpenParent(const char* path, bool make) {
  PathParts parts;
  const std::string p(path);
  const int d = SysPathDirLen(static_cast<int>(p.size()), p.c_str());
  parts.name = p.substr(static_cast<std::size_t>(d));
  std::string dir = d == 0 ? std::string(".") : p.substr(0, static_cast<std::size_t>(d));
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (parts.name.empty()) {
    parts.err = EISDIR;
    return parts;
  }
  parts.dir.Reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parts.dir && errno == ENOENT && make) {
    if (SysMkdirAll(dir.c_str()) == 0) {
      parts.err = -1;  // the last error tells why
      return parts;
    }
    parts.dir.Reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  if (!parts.dir) parts.err = errno;
  return parts;
}

}  // namespace

int SysFileCopyAt(int flags, int srcDir, const char* srcName, int dstDir, const char* dstName,
                  SysByteCounter* counter, u64* total, const SysCancelFlag* cancel) {
  if (counter) counter->store(0, std::memory_order_relaxed);
  if (flags & SYS_COPY_MOVE) return MoveFile(flags, srcDir, srcName, dstDir, dstName, counter, total, cancel);
  return CopyFile(flags, srcDir, srcName, dstDir, dstName, counter, total, cancel);
}

int SysFileCopyEx(int flags, const char* source, const char* target, SysByteCounter* counter, u64* total,
                  const SysCancelFlag* cancel) {
  if (counter) counter->store(0, std::memory_order_relaxed);
  const SysOsPath src(source);
  if (!src.ok()) return SYS_COPY_SOURCE_ERROR;
  const SysOsPath dst(target);
  if (!dst.ok()) return SYS_COPY_TARGET_ERROR;
  const PathParts from = OpenParent(src.c_str(), false);
  if (from.err) return Fail(SYS_COPY_SOURCE_ERROR, from.err, src.c_str());
  // A missing target folder is made only for a source that is there.
  struct stat st {};
  if (::fstatat(from.dir.Get(), from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(SYS_COPY_SOURCE_ERROR, errno, src.c_str());
  if (S_ISDIR(st.st_mode)) return FailCode(SYS_COPY_SOURCE_ERROR, ERROR_ACCESS_DENIED);
  const PathParts to = OpenParent(dst.c_str(), flags & SYS_COPY_MAKE_DIRS);
  if (to.err == -1) return SYS_COPY_TARGET_ERROR;
  if (to.err == EISDIR) return FailCode(SYS_COPY_TARGET_ERROR, ERROR_DIRECTORY);
  if (to.err) return Fail(SYS_COPY_TARGET_ERROR, to.err, dst.c_str());
  return SysFileCopyAt(flags, from.dir.Get(), from.name.c_str(), to.dir.Get(), to.name.c_str(), counter, total,
                       cancel);
}
