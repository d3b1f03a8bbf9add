// SysTempFile: unnamed temporary files where the file system has them, else named ones held by a lock.
#include "lib/system/sys_tempfile.h"

#include "lib/system/sys_fdio.h"
#include "lib/system/sys_replace_seam.h"
#include "lib/system/sys_seam_hooks.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int kSlots = 64;           // temporary names per final name
constexpr std::size_t kBaseMax = 200;  // bytes of the final name kept in a temporary name

// The part of the final name that temporary names carry: cut to fit, never inside a UTF-8
// sequence.
std::string TempBase(std::string_view name) {
  if (name.size() <= kBaseMax) return std::string(name);
  std::size_t cut = kBaseMax;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(name.substr(0, cut));
}

std::string TempName(const std::string& base, int slot) { return "." + base + "~kpw" + std::to_string(slot) + ".tmp"; }

std::string ProcPath(int fd) {
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return path;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes the temporary name when no running process holds its file. 0 when the name is free
// now, EBUSY when it is held (or cannot be judged, which counts as held).
int RemoveIfStale(int dirFd, const std::string& temp) {
  const int fd = ::openat(dirFd, temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : EBUSY;
  int result = EBUSY;
  struct stat held {}, named {};
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0) {
    // The name may have gone to another file meanwhile: only the file that is locked goes.
    if (::fstatat(dirFd, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
      result = errno == ENOENT ? 0 : EBUSY;
    else if (SameFile(held, named) && S_ISREG(held.st_mode) && ::unlinkat(dirFd, temp.c_str(), 0) == 0)
      result = 0;
  }
  ::close(fd);
  return result;
}

// Removes the leftovers of writers of this name that were killed; stops at two free slots in a
// row, since live writers take the lowest free slots.
void RemoveStale(int dirFd, const std::string& base) {
  int free = 0;
  for (int slot = 0; slot < kSlots && free < 2; ++slot) {
    const std::string temp = TempName(base, slot);
    struct stat st {};
    if (::fstatat(dirFd, temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ++free;
      continue;
    }
    free = RemoveIfStale(dirFd, temp) == 0 ? free + 1 : 0;
  }
}

// Errors of an O_TMPFILE open that mean the file system (or kernel) cannot make unnamed files.
bool NoUnnamedFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOENT; }

}  // namespace

int SysTempFile::Create(int dirFd, std::string_view name, mode_t mode) {
  Discard();
  if (name.empty() || name.find('/') != std::string_view::npos) return EINVAL;
  m_dirFd = dirFd;
  m_name.assign(name);
  const std::string base = TempBase(name);
  RemoveStale(dirFd, base);

  int fd = -1;
  int err = SysSeamForceFallbacks() ? EOPNOTSUPP : SysReplaceFault(SysReplaceStep::Unnamed);
  if (!err) {
    fd = ::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    err = fd < 0 ? errno : 0;
  }
  // The name comes through /proc at the commit: without it the file could never get one.
  if (fd >= 0 && ::faccessat(AT_FDCWD, ProcPath(fd).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
    ::close(fd);
    fd = -1;
    err = EOPNOTSUPP;
  }
  if (fd >= 0) {
    // Held from the start, so that the name it gets for a replace is never taken for a leftover.
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    m_fd = fd;
    m_unnamed = true;
    return 0;
  }
  if (!NoUnnamedFiles(err)) return err;

  for (int slot = 0, tries = 0; slot < kSlots && tries < 4 * kSlots; ++tries) {
    const std::string temp = TempName(base, slot);
    fd = ::openat(dirFd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno != EEXIST) return errno;
      if (RemoveIfStale(dirFd, temp) != 0) ++slot;
      continue;
    }
    // Another writer cleaning up may have taken the new file for a leftover before it was
    // locked: it is ours only while the name still leads to it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      continue;
    }
    struct stat mine {}, named {};
    if (::fstat(fd, &mine) != 0 || ::fstatat(dirFd, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(mine, named)) {
      ::close(fd);
      continue;
    }
    m_fd = fd;
    m_temp = temp;
    return 0;
  }
  return EEXIST;
}

int SysTempFile::Write(const void* data, std::size_t length) {
  if (m_fd < 0) return EBADF;
  if (const int err = SysReplaceFault(SysReplaceStep::Write)) return err;
  return SysWriteAll(m_fd, data, length) ? 0 : errno;
}

// Gives an unnamed file a temporary name (it stays locked by this writer).
int SysTempFile::LinkTemporary() {
  const std::string base = TempBase(m_name);
  const std::string proc = ProcPath(m_fd);
  for (int slot = 0, tries = 0; slot < kSlots && tries < 4 * kSlots; ++tries) {
    const std::string temp = TempName(base, slot);
    if (::linkat(AT_FDCWD, proc.c_str(), m_dirFd, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      m_temp = temp;
      return 0;
    }
    if (errno != EEXIST) return errno;
    if (RemoveIfStale(m_dirFd, temp) != 0) ++slot;
  }
  return EEXIST;
}

int SysTempFile::Commit(bool replace) {
  if (m_fd < 0) return EBADF;
  int err = 0;
  if (m_unnamed && !replace) {
    // linkat never replaces: the name is taken whole or not at all.
    if (::linkat(AT_FDCWD, ProcPath(m_fd).c_str(), m_dirFd, m_name.c_str(), AT_SYMLINK_FOLLOW) != 0) err = errno;
  } else {
    if (m_unnamed) err = LinkTemporary();
    if (!err && replace) {
      if (::renameat(m_dirFd, m_temp.c_str(), m_dirFd, m_name.c_str()) != 0) err = errno;
    } else if (!err) {
      if (::renameat2(m_dirFd, m_temp.c_str(), m_dirFd, m_name.c_str(), RENAME_NOREPLACE) != 0) {
        err = errno;
        if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
          // No atomic no-replace rename here: link (which never replaces), then drop the temporary name.
          err = ::linkat(m_dirFd, m_temp.c_str(), m_dirFd, m_name.c_str(), 0) == 0 ? 0 : errno;
          if (!err) ::unlinkat(m_dirFd, m_temp.c_str(), 0);
        }
      }
    }
  }
  if (err) {
    Discard();
    return err;
  }
  m_temp.clear();
  Discard();
  return 0;
}

void SysTempFile::Discard() {
  if (m_fd < 0) return;
  // Removed while still locked, so that no other writer can have taken the name meanwhile.
  if (!m_temp.empty()) ::unlinkat(m_dirFd, m_temp.c_str(), 0);
  ::close(m_fd);
  m_fd = -1;
  m_dirFd = -1;
  m_unnamed = false;
  m_name.clear();
  m_temp.clear();
}
