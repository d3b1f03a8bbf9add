// Buffer list file work: whole reads, list writes, checked copies, work by folder handle, the lock.
#include "jobs/puffer/puffer_internal.h"

#include "lib/system/sys_copy.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_replace.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

constexpr std::int64_t kLockStaleSeconds = 12 * 3600;

// Writes all bytes; 0 or the errno.
int WriteAll(int fd, const std::string& bytes) { return SysWriteAll(fd, bytes.data(), bytes.size()) ? 0 : errno; }

}  // namespace

std::string PufferRelFromKey(const std::string& key) {
  std::string rel = key;
  for (char& c : rel)
    if (c == '\\') c = '/';
  return rel;
}

std::string PufferKeyFromRel(std::string_view rel) {
  std::string key(rel);
  for (char& c : key)
    if (c == '/') c = '\\';
  return key;
}

int PufferReadWhole(const std::string& path, std::string& out) { return SysReadWholeFile(path.c_str(), out); }

int PufferWriteFileAtomic(const std::string& path, const std::string& text) {
  return SysReplaceFile(path.c_str(), text, true);
}

int PufferCopyVerified(int srcDir, const char* srcName, const char* srcPath, int dstDir, const char* dstName,
                       const PufferRecord& want, PufferFileState* state) {
  static std::atomic<unsigned> counter{0};
  if (const int fault = PufferFault(srcPath, PUFFER_FAULT_READ)) return fault;
  const std::string temp =
      FmtString(".kpw-puffer-%ld-%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
  // The copy engine writes its own temporary file and keeps the times: the copy's time then
  // equals the source's, so the next scan need not read it again.
  const int rc = SysFileCopyAt(SYS_COPY_TIMES | SYS_COPY_NO_REPLACE | SYS_COPY_NO_LINK, srcDir, srcName, dstDir,
                               temp.c_str(), nullptr, nullptr, nullptr);
  if (rc != SYS_COPY_DONE) {
    const DWORD code = GetLastError();
    ::unlinkat(dstDir, temp.c_str(), 0);
    return PUFFER_ERR_WIN32 - static_cast<int>(code ? code : ERROR_GEN_FAILURE);
  }
  PufferFileState copy;
  int err = PufferChecksumAt(dstDir, temp.c_str(), nullptr, &copy);
  if (!err && (copy.size != want.size || copy.checksum != want.checksum)) err = PUFFER_ERR_MISMATCH;
  // A folder that took the name meanwhile refuses the rename; a link there is replaced itself.
  if (!err && ::renameat(dstDir, temp.c_str(), dstDir, dstName) != 0) err = errno;
  if (err) {
    ::unlinkat(dstDir, temp.c_str(), 0);
    return err;
  }
  if (state) *state = copy;
  return 0;
}

int PufferCopyIn(SysTree& from, std::string_view fromRel, const char* fromPath, SysTree& to, std::string_view toRel,
                 const PufferRecord& want, PufferFileState* state, bool* wayBlocked) {
  *wayBlocked = false;
  std::string toName, fromName;
  const int dstDir = PufferFolderOf(to, toRel, true, &toName);
  if (dstDir < 0) {
    *wayBlocked = errno == ELOOP || errno == ENOTDIR;
    return *wayBlocked ? PUFFER_ERR_LINK : errno;
  }
  const int srcDir = PufferFolderOf(from, fromRel, false, &fromName);
  if (srcDir < 0) return errno == ELOOP ? PUFFER_ERR_LINK : errno;
  return PufferCopyVerified(srcDir, fromName.c_str(), fromPath, dstDir, toName.c_str(), want, state);
}

int PufferFolderOf(SysTree& tree, std::string_view rel, bool make, std::string* name) {
  const auto [dir, leaf] = SysSplitRel(rel);
  name->assign(leaf);
  return make ? tree.MakeFolders(dir) : tree.Folder(dir);
}

int PufferLookup(const char* path) {
  if (const int fault = PufferFault(path, PUFFER_FAULT_STAT)) return -fault;
  struct stat st {};
  if (::lstat(path, &st) != 0) return -errno;
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? 1 : 2;
}

int PufferLookupIn(SysTree& tree, std::string_view rel, const char* path) {
  if (const int fault = PufferFault(path, PUFFER_FAULT_STAT)) return -fault;
  std::string name;
  const int dir = PufferFolderOf(tree, rel, false, &name);
  if (dir < 0) return -errno;
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? 1 : 2;
}

int PufferDeleteIn(SysTree& tree, std::string_view rel) {
  std::string name;
  const int dir = PufferFolderOf(tree, rel, false, &name);
  if (dir < 0) return errno == ELOOP ? PUFFER_ERR_LINK : errno;
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return PUFFER_ERR_NOT_REGULAR;
  if (!SysDeleteAt(dir, name.c_str())) return errno ? errno : EIO;
  return 0;
}

bool PufferLock::Acquire(const std::string& lockPath, const std::string& host, i64 now, std::string* why) {
  Release();
  const long pid = static_cast<long>(::getpid());
  const std::string content = FmtString("%s %ld %lld\n", host.c_str(), pid, static_cast<long long>(now));
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      const int err = WriteAll(fd, content);
      ::close(fd);
      if (err) {
        ::unlink(lockPath.c_str());
        break;
      }
      m_path = lockPath;
      m_content = content;
      return true;
    }
    if (errno != EEXIST) break;

    std::string held;
    if (PufferReadWhole(lockPath, held) != 0) continue;  // gone meanwhile: try again
    char holder[256] = {};
    long holderPid = 0;
    long long since = 0;
    bool stale;
    if (std::sscanf(held.c_str(), "%255s %ld %lld", holder, &holderPid, &since) == 3) {
      const std::int64_t age = now - since;
      stale = age > kLockStaleSeconds || age < -kLockStaleSeconds;
      if (!stale && PufferList::HostEqual(holder, host) && holderPid > 0 && ::kill(static_cast<pid_t>(holderPid), 0) != 0 &&
          errno == ESRCH)
        stale = true;
    } else {
      struct stat st {};
      stale = ::stat(lockPath.c_str(), &st) == 0 && now - st.st_mtime > kLockStaleSeconds;
      holder[0] = '?';
    }
    if (!stale) {
      if (why) *why = FmtString("Die Liste wird gerade von %s benutzt (Sperrdatei %s).", holder, lockPath.c_str());
      return false;
    }
    // Move the stale lock aside and make sure that what moved is what was judged: another
    // computer may have broken it and taken a fresh one meanwhile.
    const std::string aside = FmtString("%s.stale-%ld", lockPath.c_str(), pid);
    if (::rename(lockPath.c_str(), aside.c_str()) != 0) continue;
    std::string moved;
    PufferReadWhole(aside, moved);
    if (moved != held) {
      SysRename(aside.c_str(), lockPath.c_str(), SYS_RENAME_NOREPLACE);
      if (why) *why = FmtString("Die Liste wird gerade von einem anderen Computer benutzt (Sperrdatei %s).", lockPath.c_str());
      return false;
    }
    ::unlink(aside.c_str());
  }
  if (why) *why = FmtString("Die Sperrdatei %s kann nicht angelegt werden.", lockPath.c_str());
  return false;
}

void PufferLock::Release() {
  if (m_path.empty()) return;
  std::string now;
  if (PufferReadWhole(m_path, now) == 0 && now == m_content) ::unlink(m_path.c_str());
  m_path.clear();
  m_content.clear();
}
