// The Sys file API: existence, sizes, deletion, folder trees, renames, whole-file reads and writes.
#include "lib/system/sys_file.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_replace.h"
#include "lib/system/sys_seam_hooks.h"
#include "platform/last_error.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Removes everything inside the folder open as dirFd. Returns 0 or the first errno met.
int RemoveContents(int dirFd, const std::string& shownPath) {
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    const int err = errno;
    ::close(dirFd);
    return err;
  }
  int firstError = 0;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  for (const std::string& name : names) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (errno != ENOENT && !firstError) firstError = errno;
      continue;
    }
    // A folder (never a link: O_NOFOLLOW refuses those, and unlinkat removed them above).
    const int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      if (!firstError) firstError = errno;
      continue;
    }
    const int err = RemoveContents(sub, shownPath + "/" + name);
    if (err && !firstError) firstError = err;
    if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && !firstError) firstError = errno;
  }
  ::closedir(dir);
  return firstError;
}

}  // namespace

int SysFileExist(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  struct stat st {};
  if (::stat(os.c_str(), &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) return 1;
  const char* p = os.c_str();
  while (*p == '/') ++p;
  if (*p == '\0') return 3;  // the root
  return 2;
}

i64 SysFileLength(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return -1;
  struct stat st {};
  if (::stat(os.c_str(), &st) != 0) {
    SysFail(errno, os.c_str());
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return static_cast<i64>(st.st_size);
}

DWORD SysGetFileSizeEx(int fd, u64* size) {
  struct stat st {};
  if (!size || ::fstat(fd, &st) != 0) {
    if (size) SysFail(errno);
    else SetLastError(ERROR_INVALID_PARAMETER);
    return 0xFFFFFFFF;
  }
  *size = static_cast<u64>(st.st_size);
  return static_cast<DWORD>(*size);
}

namespace {

// The path to name in errors: only a plain path can be examined for the 2/3 and 80/183 choice.
const char* Shown(int dirFd, const char* name) { return dirFd == AT_FDCWD ? name : nullptr; }

// Gives a regular file that has no owner write bit that bit; a link swapped into its place is
// never followed (the call refuses links). True when the bit was given.
bool GiveWriteBit(int dirFd, const char* name) {
  struct stat st {};
  return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR) &&
         ::fchmodat(dirFd, name, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

int SysDelete(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  return SysDeleteAt(AT_FDCWD, os.c_str());
}

int SysDeleteAt(int dirFd, const char* name) {
  if (::unlinkat(dirFd, name, 0) == 0) return 1;
  int err = errno;
  if ((err == EACCES || err == EPERM) && GiveWriteBit(dirFd, name)) {
    if (::unlinkat(dirFd, name, 0) == 0) return 1;
    err = errno;
  }
  if (err == EISDIR) err = EACCES;  // as Windows refuses to delete a folder as a file
  SysFail(err, Shown(dirFd, name));
  return 0;
}

int SysRmdirAt(int dirFd, const char* name) {
  if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0) return 1;
  SysFail(errno, Shown(dirFd, name));
  return 0;
}

int SysRmdirTree(const char* path, int flags) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  return SysRmdirTreeAt(AT_FDCWD, os.c_str(), flags);
}

int SysRmdirTreeAt(int dirFd, const char* name, int flags) {
  const std::string p = name;
  const char* shown = Shown(dirFd, p.c_str());
  struct stat st {};
  if (::fstatat(dirFd, p.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    SysFail(errno, shown);
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    // A link (or file) in the folder's place: remove that name only, never what it points to.
    if (flags & SYS_RMDIR_KEEP_ROOT) {
      SetLastError(ERROR_DIRECTORY);
      return 0;
    }
    if (::unlinkat(dirFd, p.c_str(), 0) != 0) {
      SysFail(errno, shown);
      return 0;
    }
    return 1;
  }
  const int fd = ::openat(dirFd, p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SysFail(errno, shown);
    return 0;
  }
  int err = RemoveContents(fd, p);
  if (!err && !(flags & SYS_RMDIR_KEEP_ROOT) && ::unlinkat(dirFd, p.c_str(), AT_REMOVEDIR) != 0) err = errno;
  if (err) {
    SysFail(err, shown);
    return 0;
  }
  return 1;
}

int SysMkdirAll(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  std::string p = os.c_str();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st {};
  if (::stat(p.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 2;
    SetLastError(ERROR_ALREADY_EXISTS);
    return 0;
  }
  // Create from the deepest existing folder downwards.
  std::vector<std::size_t> cuts;
  std::string cur = p;
  while (true) {
    if (::mkdir(cur.c_str(), 0777) == 0 || errno == EEXIST) break;
    if (errno != ENOENT) {
      SysFail(errno, cur.c_str());
      return 0;
    }
    const std::size_t slash = cur.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
      SysFail(ENOENT, cur.c_str());
      return 0;
    }
    cuts.push_back(cur.size());
    cur.resize(slash);
  }
  for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
    cur = p.substr(0, *it);
    if (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) {
      SysFail(errno, cur.c_str());
      return 0;
    }
  }
  if (::stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return 0;
  }
  return 1;
}

int SysRename(const char* from, const char* to, int flags) {
  const SysOsPath osFrom(from);
  if (!osFrom.ok()) return osFrom.error();
  const SysOsPath osTo(to);
  if (!osTo.ok()) return osTo.error();
  return SysRenameAt(AT_FDCWD, osFrom.c_str(), AT_FDCWD, osTo.c_str(), flags);
}

int SysRenameAt(int fromDir, const char* from, int toDir, const char* to, int flags) {
  const char* shown = Shown(toDir, to);
  if (!(flags & SYS_RENAME_NOREPLACE)) {
    if (::renameat(fromDir, from, toDir, to) == 0) return 0;
    return SysFail(errno, shown);
  }
  int err = EINVAL;
  if (!SysSeamForceFallbacks()) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
    err = errno;
  }
  if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
    struct stat st {};
    if (::fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) return SysFail(errno, Shown(fromDir, from));
    if (!S_ISDIR(st.st_mode)) {
      // link() never replaces, so the target is taken atomically or not at all.
      if (::linkat(fromDir, from, toDir, to, 0) == 0) {
        ::unlinkat(fromDir, from, 0);
        return 0;
      }
      err = errno;
    } else {
      // Folders cannot be linked: check, then rename. Another process may create the target
      // between the two steps; rename() still refuses a non-empty folder there.
      struct stat existing {};
      if (::fstatat(toDir, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        err = EEXIST;
      } else if (::renameat(fromDir, from, toDir, to) == 0) {
        return 0;
      } else {
        err = errno;
      }
    }
  }
  return SysFail(err, shown);
}

int SysReadFile(const char* path, void* buffer, int size, int flags) {
  if (!buffer || size < 2 || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return SYS_ERR_INVALID;
  }
  const SysOsPath os(path);
  if (!os.ok()) return os.error();
  const SysFd f(SysOpenRegular(os.c_str()));
  if (!f) return SysFail(errno, os.c_str());
  char* out = static_cast<char*>(buffer);
  const i64 done = SysReadUpTo(f.Get(), out, static_cast<std::size_t>(size - 2));
  if (done < 0) {
    out[0] = out[1] = '\0';
    return SysFail(errno, os.c_str());
  }
  out[done] = '\0';
  out[done + 1] = '\0';
  return static_cast<int>(done);
}

int SysWriteFile(const char* path, const void* data, i64 length, int append) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  if (length < 0 || (!data && length > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* bytes = static_cast<const char*>(data);
  if (append) {
    const SysFd f(::open(os.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!f) {
      SysFail(errno, os.c_str());
      return 0;
    }
    struct stat st {};
    ::fstat(f.Get(), &st);
    if (!SysWriteAll(f.Get(), bytes, static_cast<std::size_t>(length))) {
      const int err = errno;
      if (::ftruncate(f.Get(), st.st_size) != 0) { /* the error below is the one to report */ }
      SysFail(err, os.c_str());
      return 0;
    }
    return 1;
  }
  if (SysReplaceFile(os.c_str(), std::string_view(bytes, static_cast<std::size_t>(length)), true) != 0) return 0;
  return 1;
}

int SysFileCompare(const char* a, const char* b) {
  const SysOsPath osA(a);
  const SysOsPath osB(b);
  if (!osA.ok() || !osB.ok()) return 0;
  const SysFd fa(SysOpenRegular(osA.c_str()));
  if (!fa) {
    SysFail(errno, osA.c_str());
    return 0;
  }
  const SysFd fb(SysOpenRegular(osB.c_str()));
  if (!fb) {
    SysFail(errno, osB.c_str());
    return 0;
  }
  struct stat sa {}, sb {};
  if (::fstat(fa.Get(), &sa) != 0 || ::fstat(fb.Get(), &sb) != 0) {
    SysFail(errno);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  if (S_ISDIR(sa.st_mode) || S_ISDIR(sb.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (sa.st_size != sb.st_size) return 0;
  constexpr std::size_t kBlock = 256 * 1024;
  const auto bufA = std::make_unique<char[]>(kBlock);
  const auto bufB = std::make_unique<char[]>(kBlock);
  while (true) {
    // Both reads are filled completely (or to the end), so short reads cannot misalign them.
    const i64 na = SysReadUpTo(fa.Get(), bufA.get(), kBlock);
    const i64 nb = na < 0 ? -1 : SysReadUpTo(fb.Get(), bufB.get(), kBlock);
    if (nb < 0) {
      SysFail(errno);
      return 0;
    }
    if (na != nb || std::memcmp(bufA.get(), bufB.get(), static_cast<std::size_t>(na)) != 0) return 0;
    if (na < static_cast<i64>(kBlock)) return 1;
  }
}

int SysExePath(char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  const ssize_t n = ::readlink("/proc/self/exe", buffer, static_cast<std::size_t>(size));
  if (n < 0 || n >= size) {
    if (n < 0) SysFail(errno);
    else SetLastError(ERROR_INSUFFICIENT_BUFFER);
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<int>(n);
}

void SysStrExePath(std::string& out) {
  char buffer[MAX_PATH];
  const int n = SysExePath(buffer, sizeof buffer);
  out.assign(buffer, static_cast<std::size_t>(n));
}
