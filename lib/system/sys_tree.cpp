// SysTree: folders below a row's root opened by descriptor, never through a link.
#include "lib/system/sys_tree.h"

#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_seam_hooks.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// openat2 takes at most PATH_MAX bytes; longer paths go in pieces of whole components.
constexpr std::size_t kPiece = 3072;

// 1 the kernel has openat2, -1 it has not, 0 not known yet.
std::atomic<int> g_openat2{0};

// A folder component; a folder that cannot be read is still opened for the *at calls. A link
// gives ELOOP (the kernel says ENOTDIR for one when a folder is asked for).
int OpenComponent(int dirFd, const char* name) {
  int fd = ::openat(dirFd, name, kDirFlags);
  if (fd < 0 && errno == EACCES) fd = ::openat(dirFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOTDIR) {
    struct stat st {};
    errno = ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
  }
  return fd;
}

enum class Step { Open, Make, FindLink };

// Walks rel below dirFd one component at a time ("." and empty components skipped, ".."
// refused): opening, or making what is missing (*created: rel itself was made), or stopping at
// the first link to a folder (its relative path in *link, errno ELOOP). The folder's own
// descriptor, or -1 with errno set.
int WalkComponents(int dirFd, std::string_view rel, Step step, bool* created = nullptr,
                   std::string_view* link = nullptr) {
  SysFd current;
  std::size_t pos = 0;
  while (pos <= rel.size()) {
    std::size_t end = rel.find('/', pos);
    if (end == std::string_view::npos) end = rel.size();
    const std::string part(rel.substr(pos, end - pos));
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      errno = EXDEV;
      return -1;
    }
    const int at = current ? current.Get() : dirFd;
    if (step == Step::FindLink && SysIsFolderLinkAt(at, part.c_str())) {
      *link = rel.substr(0, end);
      errno = ELOOP;
      return -1;
    }
    int next = OpenComponent(at, part.c_str());
    if (next < 0 && errno == ENOENT && step == Step::Make) {
      const bool made = ::mkdirat(at, part.c_str(), 0777) == 0;
      if (!made && errno != EEXIST) return -1;
      if (created) *created = made && pos > rel.size();
      next = OpenComponent(at, part.c_str());
    }
    if (next < 0) return -1;
    current.Reset(next);
  }
  if (!current) return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return current.Release();
}

// One openat2 call for a path shorter than PATH_MAX; -1 with errno ENOSYS when it cannot serve.
int OpenByResolve(int dirFd, std::string_view rel) {
  if (g_openat2.load(std::memory_order_relaxed) < 0 || SysSeamForceFallbacks()) {
    errno = ENOSYS;
    return -1;
  }
  const std::string path(rel);
  struct open_how how {};
  how.flags = kDirFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
    if (fd >= 0) {
      g_openat2.store(1, std::memory_order_relaxed);
      return static_cast<int>(fd);
    }
    // EAGAIN: a rename elsewhere raced with the lookup; the kernel asks for another try.
    if (errno == EAGAIN) continue;
    if (errno == ENOSYS) g_openat2.store(-1, std::memory_order_relaxed);
    // A folder without read permission, or a filter that forbids the call: one step at a time.
    // So too for ENOTDIR, which a link as the last component gives as well as a file.
    if (errno == EACCES || errno == EPERM || errno == EINVAL || errno == ENOTDIR) errno = ENOSYS;
    return -1;
  }
  errno = ENOSYS;
  return -1;
}

}  // namespace

int SysOpenBeneath(int dirFd, std::string_view rel) {
  while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  if (rel.empty()) return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  SysFd current;
  while (!rel.empty()) {
    std::string_view piece = rel;
    if (piece.size() > kPiece) {
      const std::size_t cut = rel.rfind('/', kPiece);
      piece = rel.substr(0, cut == std::string_view::npos || cut == 0 ? kPiece : cut);
    }
    const int base = current ? current.Get() : dirFd;
    int fd = OpenByResolve(base, piece);
    if (fd < 0 && errno == ENOSYS) fd = WalkComponents(base, piece, Step::Open);
    if (fd < 0) return -1;
    current.Reset(fd);
    rel.remove_prefix(piece.size());
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  }
  return current.Release();
}

bool SysIsFolderLinkAt(int dirFd, const char* name) {
  struct stat st {};
  return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
         ::fstatat(dirFd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

std::pair<std::string_view, std::string_view> SysSplitRel(std::string_view rel) {
  while (rel.size() > 1 && rel.back() == '/') rel.remove_suffix(1);
  const std::size_t slash = rel.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), rel};
  return {rel.substr(0, slash), rel.substr(slash + 1)};
}

// ---- SysTree ------------------------------------------------------------------------------------

void SysTree::SetRoot(std::string root) {
  m_cacheFd.Reset();
  m_cacheRel.clear();
  m_rootFd.Reset();
  m_root = std::move(root);
  if (!m_root.empty() && m_root.back() != '/') m_root += '/';
}

int SysTree::Fail(int err) {
  SetLastErrorFromErrno(err, nullptr);
  errno = err;
  return -1;
}

int SysTree::OpenRoot(bool create) {
  if (m_rootFd) return 0;
  std::string path = m_root.empty() ? std::string(".") : m_root;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const SysOsPath os(path.c_str());
  if (!os.ok()) return EINVAL;
  if (create && SysFileExist(path.c_str()) == 0 && !SysMkdirAll(path.c_str())) return errno ? errno : EACCES;
  int fd = ::open(os.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(os.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  m_rootFd.Reset(fd);
  return 0;
}

int SysTree::Walk(std::string_view rel, bool create, bool* created) {
  if (created) *created = false;
  while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  if (const int err = OpenRoot(create)) return Fail(err);
  if (rel.empty()) return m_rootFd.Get();
  if (m_cacheFd && rel == m_cacheRel) return m_cacheFd.Get();

  // Below the folder handed out last, the rest is opened from there.
  int base = m_rootFd.Get();
  std::string_view rest = rel;
  SysFd keep;
  if (m_cacheFd && rel.size() > m_cacheRel.size() && rel.compare(0, m_cacheRel.size(), m_cacheRel) == 0 &&
      rel[m_cacheRel.size()] == '/') {
    keep = std::move(m_cacheFd);
    base = keep.Get();
    rest = rel.substr(m_cacheRel.size() + 1);
  }
  m_cacheFd.Reset();
  m_cacheRel.clear();

  int fd = SysOpenBeneath(base, rest);
  if (fd < 0 && errno == ENOENT && create) fd = WalkComponents(base, rest, Step::Make, created);
  if (fd < 0) return Fail(errno);
  m_cacheFd.Reset(fd);
  m_cacheRel.assign(rel);
  return fd;
}

int SysTree::Folder(std::string_view rel) { return Walk(rel, false, nullptr); }

int SysTree::MakeFolders(std::string_view rel, bool* created) { return Walk(rel, true, created); }

SysFd SysTree::OpenFolder(std::string_view rel) {
  if (const int err = OpenRoot(false)) {
    Fail(err);
    return SysFd();
  }
  const int fd = SysOpenBeneath(m_rootFd.Get(), rel);
  if (fd < 0) Fail(errno);
  return SysFd(fd);
}

std::string SysTree::LinkOnWay(std::string_view rel) {
  if (OpenRoot(false) != 0) return {};
  std::string_view link;
  SysFd walked(WalkComponents(m_rootFd.Get(), rel, Step::FindLink, nullptr, &link));
  return std::string(link);
}
