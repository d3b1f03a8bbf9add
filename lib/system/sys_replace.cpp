// The one way the program replaces a file it owns: beside it, with its owner and mode, then renamed.
#include "lib/system/sys_replace.h"

#include "lib/system/sys_replace_seam.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace {

constexpr int kLinkHops = 40;  // as the kernel allows

// The file that path leads to through links (which may not exist yet); 0 or an errno.
int FollowLinks(const char* path, std::string& out) {
  out = path;
  for (int hop = 0;; ++hop) {
    struct stat st {};
    if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    if (hop == kLinkHops) return ELOOP;
    std::vector<char> text(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(out.c_str(), text.data(), text.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= text.size()) return ENAMETOOLONG;
    const std::string link(text.data(), static_cast<std::size_t>(n));
    const std::size_t slash = out.rfind('/');
    if (link.empty() || link[0] == '/' || slash == std::string::npos) out = link;
    else out = out.substr(0, slash + 1) + link;
  }
}

}  // namespace

int SysReplacement::Fail(int err) {
  Discard();
  if (err == EACCES || err == EPERM) SetLastError(ERROR_ACCESS_DENIED);
  else SetLastErrorFromErrno(err, m_target.c_str());
  return err;
}

int SysReplacement::Begin(const char* path) {
  Discard();
  m_target.clear();
  if (!path || !*path) return Fail(ENOENT);
  if (const int err = FollowLinks(path, m_target)) return Fail(err);
  const std::size_t slash = m_target.rfind('/');
  const std::string name = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_target.substr(0, slash);
  if (name.empty() || name == "." || name == "..") return Fail(EISDIR);
  m_dirFd.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m_dirFd) return Fail(errno);

  if (::fstatat(m_dirFd.Get(), name.c_str(), &m_old, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(m_old.st_mode)) return Fail(EISDIR);
    if (!S_ISREG(m_old.st_mode)) return Fail(S_ISLNK(m_old.st_mode) ? ELOOP : EINVAL);
    m_hadOld = true;
    // Read-only means no owner write bit, whoever runs the program (root may write anything).
    if (!(m_old.st_mode & S_IWUSR)) return Fail(EACCES);
    if (::faccessat(m_dirFd.Get(), name.c_str(), W_OK, AT_EACCESS) != 0) return Fail(errno);
  } else if (errno != ENOENT) {
    return Fail(errno);
  }

  if (const int err = m_temp.Create(m_dirFd.Get(), name)) return Fail(err);
  if (m_hadOld) {
    // Asked before anything is written: a file that would change hands is not replaced.
    struct stat fresh {};
    if (::fstat(m_temp.Fd(), &fresh) != 0) return Fail(errno);
    if ((fresh.st_uid != m_old.st_uid || fresh.st_gid != m_old.st_gid) &&
        ::fchown(m_temp.Fd(), m_old.st_uid, m_old.st_gid) != 0)
      return Fail(errno);
  }
  return 0;
}

int SysReplacement::Write(const void* data, std::size_t length) {
  if (const int err = m_temp.Write(data, length)) return Fail(err);
  return 0;
}

int SysReplacement::Commit(bool sync, const std::function<int()>& beforeRename) {
  if (m_temp.Fd() < 0) return Fail(EBADF);
  // The mode last: writing and changing the owner clear set-id bits.
  if (m_hadOld && ::fchmod(m_temp.Fd(), m_old.st_mode & 07777) != 0) return Fail(errno);
  if (sync) {
    if (const int err = SysReplaceSync(m_temp.Fd(), SysReplaceStep::Sync)) return Fail(err);
  }
  if (beforeRename) {
    if (const int err = beforeRename()) return Fail(err);
  }
  if (const int err = m_temp.Commit(true)) return Fail(err);
  // The new file is in place: a folder that cannot be flushed (some file systems refuse) does
  // not make the replace fail.
  if (sync) (void)SysReplaceSync(m_dirFd.Get(), SysReplaceStep::SyncFolder);
  Discard();
  return 0;
}

void SysReplacement::Discard() {
  m_temp.Discard();
  m_dirFd.Reset();
  m_hadOld = false;
}

int SysReplaceFile(const char* path, std::string_view data, bool sync) {
  SysReplacement replacement;
  if (const int err = replacement.Begin(path)) return err;
  if (const int err = replacement.Write(data.data(), data.size())) return err;
  return replacement.Commit(sync);
}
