// Renaming that never replaces an existing target, with fallbacks where the kernel lacks it.
#include "jobs/noreplace_rename.h"

#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> g_simulateUnsupported{false};

bool Fail(int err, const char* path) {
  SetLastErrorFromErrno(err, path);
  return false;
}

bool Exists(const char* path) {
  struct stat st{};
  return ::lstat(path, &st) == 0 || errno != ENOENT;
}

// Errors by which a file system says that it cannot do the operation at all.
bool Unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP; }

bool CheckThenRename(const char* from, const char* to) {
  if (Exists(to)) return Fail(EEXIST, to);
  if (::rename(from, to) != 0) return Fail(errno, to);
  return true;
}

}  // namespace

void RenameNoReplaceSimulateUnsupported(bool unsupported) { g_simulateUnsupported = unsupported; }

bool RenameNoReplace(const char* fromPath, const char* toPath) {
  if (!fromPath || !toPath || !*fromPath || !*toPath) return Fail(EINVAL, nullptr);
  const SysOsPath osFrom(fromPath), osTo(toPath);  // "\" separators; drive and UNC forms refused
  if (!osFrom.ok() || !osTo.ok()) return false;
  const char* from = osFrom.c_str();
  const char* to = osTo.c_str();
  int err = EINVAL;
  if (!g_simulateUnsupported) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    err = errno;
    if (!Unsupported(err)) return Fail(err, err == EEXIST ? to : from);
  }
  // EINVAL also means "renaming a folder into itself": let the fallback's rename report that.
  struct stat st{};
  if (::lstat(from, &st) != 0) return Fail(errno, from);
  if (!S_ISDIR(st.st_mode)) {
    if (::link(from, to) == 0) {
      if (::unlink(from) == 0) return true;
      const int unlinkErr = errno;
      ::unlink(to);  // leave things as they were
      return Fail(unlinkErr, from);
    }
    err = errno;
    if (err == EEXIST) return Fail(err, to);
    if (err != EPERM && !Unsupported(err) && err != EMLINK) return Fail(err, to);
  }
  return CheckThenRename(from, to);
}
