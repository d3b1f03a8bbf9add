// Whether a copy may write a local target, by the run's overwrite, read-only and newer-only flags.
#include "jobs/workers/local_target.h"

#include "jobs/job_model.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_stat.h"
#include "lib/system/sys_time.h"
#include "platform/last_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

int LocalTargetKept(u32 runFlags, SysUtc sourceWrite, const SysFileInfo& target, NewerRule rule) {
  if ((runFlags & RUN_KEEP_READONLY) && !(target.dwAttr & SYS_ATTR_WRITABLE)) return KEEP_READ_ONLY;
  if (runFlags & RUN_NO_OVERWRITE) return KEEP_EXISTING;
  if (runFlags & RUN_NEWER_ONLY) {
    const bool newer = rule == NEWER_EXACT ? sourceWrite != 0 && target.timeWrite < sourceWrite
                                           : SysCompareFileTime(sourceWrite, target.timeWrite, 3) > 0;
    if (!newer) return KEEP_NOT_OLDER;
  }
  return KEEP_NONE;
}

int CheckLocalTargetTime(const char* target, SysUtc sourceWrite, u32 runFlags) {
  if (!target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TARGET_SKIP;
  }
  const SysOsPath os(target);
  if (!os.ok()) return TARGET_SKIP;  // drive and share forms: refused, never written
  SysFileInfo info;
  if (const int err = SysStatInfo(AT_FDCWD, os.c_str(), &info)) {
    SetLastErrorFromErrno(err, os.c_str());
    // Only a missing name means there is no target; a target that cannot be examined (no
    // permission, I/O error) may well exist and must not be written over blindly.
    return (err == ENOENT || err == ENOTDIR) ? TARGET_ABSENT : TARGET_SKIP;
  }
  if (info.dwAttr & SYS_ATTR_FOLDER) return TARGET_FOLDER;
  if (LocalTargetKept(runFlags, sourceWrite, info, NEWER_COARSE)) return TARGET_SKIP;
  if (!(info.dwAttr & SYS_ATTR_WRITABLE)) {
    struct stat st {};
    if (::stat(os.c_str(), &st) != 0 || ::chmod(os.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
      SetLastErrorFromErrno(os.c_str());
      return TARGET_SKIP;
    }
  }
  return TARGET_OVERWRITE;
}

int CheckLocalTarget(const char* target, const FILETIME* sourceWrite, u32 runFlags) {
  SysUtc seconds = 0;
  if (sourceWrite) SysFileTimeToTime(sourceWrite, &seconds);
  return CheckLocalTargetTime(target, seconds, runFlags);
}
