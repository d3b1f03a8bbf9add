// Whole reads and writes on file descriptors, retried after signals.
#include "lib/system/sys_fdio.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

bool SysWriteAll(int fd, const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SysPwriteAll(int fd, const void* data, std::size_t length, u64 offset) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<u64>(n);
  }
  return true;
}

bool SysPreadAll(int fd, void* data, std::size_t length, u64 offset) {
  auto* p = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = 0;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<u64>(n);
  }
  return true;
}

bool SysReadToEnd(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
  }
}
