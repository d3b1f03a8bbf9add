// Buffered input from the archive being read and output to the archive being written.
#include "archive/zip_internal.h"

#include "lib/system/sys_fdio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr std::size_t kInputBuffer = 256 * 1024;
constexpr std::size_t kOutputBuffer = 1024 * 1024;
}  // namespace

bool ZipInput::Read(u64 offset, void* data, std::size_t length) {
  if (offset > m_size || length > m_size - offset) {
    errno = 0;
    return false;
  }
  auto* out = static_cast<u8*>(data);
  if (m_memory) {
    if (length) std::memcpy(out, m_memory + offset, length);
    return true;
  }
  if (length >= kInputBuffer / 2) return SysPreadAll(m_fd, out, length, offset);
  if (offset >= m_bufStart && offset + length <= m_bufStart + m_bufLength) {
    std::memcpy(out, m_buffer.data() + (offset - m_bufStart), length);
    return true;
  }
  m_buffer.resize(kInputBuffer);
  const std::size_t want = static_cast<std::size_t>(std::min<u64>(kInputBuffer, m_size - offset));
  m_bufLength = 0;
  if (!SysPreadAll(m_fd, m_buffer.data(), want, offset)) return false;
  m_bufStart = offset;
  m_bufLength = want;
  std::memcpy(out, m_buffer.data(), length);
  return true;
}

bool ZipOutput::Write(const void* data, std::size_t length) {
  if (m_error) return false;
  const auto* p = static_cast<const u8*>(data);
  if (m_buffer.size() + length > kOutputBuffer) {
    if (!Flush()) return false;
    if (length >= kOutputBuffer) {
      if (!SysPwriteAll(m_fd, p, length, m_flushed)) {
        m_error = errno ? errno : EIO;
        return false;
      }
      m_flushed += length;
      return true;
    }
  }
  if (m_buffer.capacity() < kOutputBuffer) m_buffer.reserve(kOutputBuffer);
  m_buffer.insert(m_buffer.end(), p, p + length);
  return true;
}

bool ZipOutput::Flush() {
  if (m_error) return false;
  if (m_buffer.empty()) return true;
  if (!SysPwriteAll(m_fd, m_buffer.data(), m_buffer.size(), m_flushed)) {
    m_error = errno ? errno : EIO;
    return false;
  }
  m_flushed += m_buffer.size();
  m_buffer.clear();
  return true;
}

bool ZipOutput::Patch(u64 offset, const void* data, std::size_t length) {
  if (m_error) return false;
  if (offset >= m_flushed && offset + length <= Offset()) {
    std::memcpy(m_buffer.data() + (offset - m_flushed), data, length);
    return true;
  }
  if (offset + length > m_flushed && !Flush()) return false;
  if (!SysPwriteAll(m_fd, static_cast<const u8*>(data), length, offset)) {
    m_error = errno ? errno : EIO;
    return false;
  }
  return true;
}

bool ZipOutput::Truncate(u64 offset) {
  if (m_error) return false;
  if (offset >= m_flushed) {
    if (offset <= Offset()) m_buffer.resize(static_cast<std::size_t>(offset - m_flushed));
    return true;
  }
  m_buffer.clear();
  if (::ftruncate(m_fd, static_cast<off_t>(offset)) != 0) {
    m_error = errno;
    return false;
  }
  m_flushed = offset;
  return true;
}

bool ZipOutput::CopyFrom(int fd, u64 offset, u64 length) {
  if (!Flush()) return false;
  loff_t in = static_cast<loff_t>(offset);
  loff_t out = static_cast<loff_t>(m_flushed);
  u64 left = length;
  while (left) {
    const ssize_t n = ::copy_file_range(fd, &in, m_fd, &out, static_cast<std::size_t>(std::min<u64>(left, 1u << 30)), 0);
    if (n > 0) {
      left -= static_cast<u64>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    m_error = errno;
    return false;
  }
  std::vector<u8> buffer;
  while (left) {
    buffer.resize(static_cast<std::size_t>(std::min<u64>(left, kOutputBuffer)));
    if (!SysPreadAll(fd, buffer.data(), buffer.size(), static_cast<u64>(in)) ||
        !SysPwriteAll(m_fd, buffer.data(), buffer.size(), static_cast<u64>(out))) {
      m_error = errno ? errno : EIO;
      return false;
    }
    in += static_cast<loff_t>(buffer.size());
    out += static_cast<loff_t>(buffer.size());
    left -= buffer.size();
  }
  m_flushed = static_cast<u64>(out);
  return true;
}
