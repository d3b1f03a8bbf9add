// SysFd: an owned file descriptor, closed when its owner goes.
#pragma once

#include <unistd.h>

#include <cerrno>

#include <utility>

class SysFd {
 public:
  SysFd() = default;
  explicit SysFd(int fd) : m_fd(fd) {}
  ~SysFd() { Reset(); }
  SysFd(SysFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  SysFd& operator=(SysFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  SysFd(const SysFd&) = delete;
  SysFd& operator=(const SysFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  explicit operator bool() const { return Valid(); }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the held descriptor (keeping errno) and holds fd instead.
  void Reset(int fd = -1) {
    if (m_fd >= 0) {
      const int saved = errno;
      ::close(m_fd);
      errno = saved;
    }
    m_fd = fd;
  }
  // Closes and tells whether the close succeeded (a write's last error can surface here).
  int Close() { return m_fd >= 0 ? ::close(std::exchange(m_fd, -1)) : 0; }

 private:
  int m_fd = -1;
};
