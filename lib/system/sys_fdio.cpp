// Whole reads and writes on file descriptors, retried after signals.
#include "lib/system/sys_fdio.h"

#include "lib/system/sys_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Calls op(p, length, offset) until all bytes are moved; a call that moves nothing sets
// errnoAtNothing and fails.
template <class Byte, class Op>
bool Whole(Op op, Byte* p, std::size_t length, u64 offset, int errnoAtNothing) {
  while (length > 0) {
    const ssize_t n = op(p, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = errnoAtNothing;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<u64>(n);
  }
  return true;
}

}  // namespace

bool SysWriteAll(int fd, const void* data, std::size_t length) {
  const auto op = [fd](const char* p, std::size_t n, u64) { return ::write(fd, p, n); };
  return Whole(op, static_cast<const char*>(data), length, 0, EIO);
}

bool SysPwriteAll(int fd, const void* data, std::size_t length, u64 offset) {
  const auto op = [fd](const char* p, std::size_t n, u64 at) { return ::pwrite(fd, p, n, static_cast<off_t>(at)); };
  return Whole(op, static_cast<const char*>(data), length, offset, EIO);
}

bool SysPreadAll(int fd, void* data, std::size_t length, u64 offset) {
  const auto op = [fd](char* p, std::size_t n, u64 at) { return ::pread(fd, p, n, static_cast<off_t>(at)); };
  return Whole(op, static_cast<char*>(data), length, offset, 0);
}

i64 SysReadUpTo(int fd, void* data, std::size_t length) {
  auto* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(fd, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<i64>(done);
}

bool SysReadToEnd(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  for (;;) {
    const i64 n = SysReadUpTo(fd, buf, sizeof buf);
    if (n < 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    if (n < static_cast<i64>(sizeof buf)) return true;
  }
}

int SysReadWholeFile(const char* osPath, std::string& out, struct stat* st) {
  out.clear();
  const SysFd fd(SysOpenRegular(osPath));
  if (!fd) return errno;
  if (st && ::fstat(fd.Get(), st) != 0) return errno;
  if (!SysReadToEnd(fd.Get(), out)) {
    const int err = errno;
    out.clear();
    return err;
  }
  return 0;
}

int SysOpenRegular(const char* osPath) { return SysOpenRegularAt(AT_FDCWD, osPath); }

int SysOpenRegularAt(int dirFd, const char* name, bool followLink) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    ::close(fd);
    errno = err;
    return -1;
  }
  // Reads of a regular file never wait anyway; the flag only mattered for the open.
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}
