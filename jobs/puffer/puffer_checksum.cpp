// The buffer list checksum, read as a stream (a mapping would die on a file cut meanwhile).
#include "jobs/puffer/puffer_internal.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_stat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::size_t kMinChunk = 4096;
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

class Summer {
 public:
  void Add(const unsigned char* p, std::size_t n) {
    while (m_pending && n) {
      m_tail[m_pending++] = *p++;
      --n;
      if (m_pending == 4) {
        Word(m_tail);
        m_pending = 0;
      }
    }
    for (; n >= 4; p += 4, n -= 4) Word(p);
    while (n--) m_tail[m_pending++] = *p++;
  }
  u32 Finish() const {
    u32 s = m_sum;
    if (m_pending >= 1) s += m_tail[0];
    if (m_pending >= 2) s += 256u * m_tail[1];
    if (m_pending >= 3) s += 65536u * m_tail[2];
    return s ? s : 1;
  }

 private:
  void Word(const unsigned char* b) {
    const u32 w = u32{b[0]} | u32{b[1]} << 8 | u32{b[2]} << 16 | u32{b[3]} << 24;
    const u32 t = m_sum + w;
    m_sum = (t << 5) | (t >> 27);
  }
  u32 m_sum = 0;
  unsigned char m_tail[4] = {};
  int m_pending = 0;
};

bool SameState(const struct statx& a, const struct statx& b) {
  return a.stx_size == b.stx_size && a.stx_mtime.tv_sec == b.stx_mtime.tv_sec &&
         a.stx_mtime.tv_nsec == b.stx_mtime.tv_nsec && a.stx_ino == b.stx_ino;
}

// Reads name in dirFd for its checksum; a link as the name is followed only with followLinks.
int ReadChecksum(int dirFd, const char* name, bool followLinks, PufferFileState* out) {
  // The type first: opening a device or a pipe may block or have effects of its own.
  struct stat pre {};
  if (::fstatat(dirFd, name, &pre, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(pre.st_mode)) return PUFFER_ERR_NOT_REGULAR;
  const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) return errno == ELOOP ? PUFFER_ERR_NOT_REGULAR : errno;
  const SysFd closer(fd);
  struct statx before {}, after {};
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxMask, &before) != 0) return errno;
  if (!S_ISREG(before.stx_mode)) return PUFFER_ERR_NOT_REGULAR;

  Summer summer;
  // A small file needs no large buffer; one byte more than its size sees its end in one read.
  const std::size_t size = static_cast<std::size_t>(std::clamp<u64>(before.stx_size + 1, kMinChunk, kChunk));
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(size);
  u64 total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    summer.Add(buffer.get(), static_cast<std::size_t>(n));
    total += static_cast<u64>(n);
  }
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxMask, &after) != 0) return errno;
  if (!SameState(before, after) || total != after.stx_size) return PUFFER_ERR_CHANGED;
  if (out) {
    SysFileInfo info;
    SysInfoFromStatx(after, &info);
    out->size = total;
    out->time = SysFindTime(&info);
    out->checksum = summer.Finish();
  }
  return 0;
}

}  // namespace

int PufferChecksumFile(const char* path, bool followLinks, PufferFileState* out) {
  if (const int fault = PufferFault(path, PUFFER_FAULT_READ)) return fault;
  return ReadChecksum(AT_FDCWD, path, followLinks, out);
}

int PufferChecksumAt(int dirFd, const char* name, const char* path, PufferFileState* out) {
  if (path) {
    if (const int fault = PufferFault(path, PUFFER_FAULT_READ)) return fault;
  }
  return ReadChecksum(dirFd, name, false, out);
}

int PufferChecksumIn(SysTree& tree, std::string_view rel, const char* path, PufferFileState* out) {
  if (const int fault = PufferFault(path, PUFFER_FAULT_READ)) return fault;
  std::string name;
  const int dir = PufferFolderOf(tree, rel, false, &name);
  if (dir < 0) return errno == ELOOP ? PUFFER_ERR_LINK : errno;
  return ReadChecksum(dir, name.c_str(), false, out);
}

u32 PufferList::Checksum(const char* path) {
  if (!path) return 0;
  Call(PUFFER_CHECKSUM, path);
  PufferFileState state;
  return PufferChecksumFile(path, true, &state) == 0 ? state.checksum : 0;
}
