// statx to SysFileInfo: attribute bits, 64-bit size, birth time or change time.
#include "lib/system/sys_seam_hooks.h"
#include "lib/system/sys_stat.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace {
constexpr unsigned kMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_CTIME |
                           STATX_BTIME | STATX_INO;

SysUtc Seconds(const struct statx_timestamp& ts) { return ts.tv_sec > 0 ? ts.tv_sec : 0; }
}  // namespace

void SysInfoFromStatx(const struct statx& st, SysFileInfo* info) {
  DWORD attr = 0;
  if (st.stx_mode & S_IRUSR) attr |= SYS_ATTR_READABLE;
  if (st.stx_mode & S_IWUSR) attr |= SYS_ATTR_WRITABLE;
  if (S_ISDIR(st.stx_mode)) attr |= SYS_ATTR_FOLDER;
  info->dwAttr = attr;
  info->qwSize = S_ISDIR(st.stx_mode) ? 0 : st.stx_size;
  info->timeAccess = Seconds(st.stx_atime);
  info->timeWrite = Seconds(st.stx_mtime);
  info->timeCreate = (st.stx_mask & STATX_BTIME) ? Seconds(st.stx_btime) : Seconds(st.stx_ctime);
  if (const SysUtc seam = SysSeamCreationTime(makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino))
    info->timeCreate = seam;
}

int SysStatInfo(int dirFd, const char* name, SysFileInfo* info, bool* isRealDir) {
  struct statx st {};
  if (isRealDir) *isRealDir = false;
  if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kMask, &st) != 0) return errno;
  if (!S_ISLNK(st.stx_mode)) {
    SysInfoFromStatx(st, info);
    if (isRealDir) *isRealDir = S_ISDIR(st.stx_mode);
    return 0;
  }
  struct statx target {};
  if (::statx(dirFd, name, AT_NO_AUTOMOUNT, kMask, &target) == 0) {
    SysInfoFromStatx(target, info);
  } else {
    SysInfoFromStatx(st, info);  // a dangling link: its own data
  }
  info->dwAttr |= SYS_ATTR_LINK;
  return 0;
}
