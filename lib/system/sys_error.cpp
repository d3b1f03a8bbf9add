// errno to SysError, and the refusal of paths that have no local meaning.
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/text/enc.h"
#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

SysError SysErrorFromErrno(int err) {
  switch (err) {
    case 0: return SYS_OK;
    case EINVAL:
    case EBADF: return SYS_ERR_INVALID;
    case ENAMETOOLONG: return SYS_ERR_NAME_TOO_LONG;
    case ENOENT: return SYS_ERR_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return SYS_ERR_ACCESS;
    case EMFILE:
    case ENFILE: return SYS_ERR_TOO_MANY_OPEN;
    case ENOTDIR: return SYS_ERR_PATH;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return SYS_ERR_DISK_FULL;
    case EEXIST:
    case ENOTEMPTY: return SYS_ERR_EXISTS;
    default: return SYS_ERR_OTHER;
  }
}

SysError SysFail(int err, const char* path) {
  SetLastErrorFromErrno(err, path);
  SysError e = SysErrorFromErrno(err);
  // ENOENT for a missing folder on the way is "path not found", as the Windows code says.
  if (err == ENOENT && GetLastError() == ERROR_PATH_NOT_FOUND) e = SYS_ERR_PATH;
  return e;
}

SysOsPath::SysOsPath(const char* path) {
  if (!path || !*path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    m_error = SYS_ERR_PATH;
    return;
  }
  if (SysPathDriveLen(path) > 0) {
    SetLastError(ERROR_INVALID_DRIVE);
    m_error = SYS_ERR_PATH;
    return;
  }
  if (EncUrlForm(path) == URL_FORM_UNC) {
    SetLastError(ERROR_BAD_NETPATH);
    m_error = SYS_ERR_PATH;
    return;
  }
  m_path = path;
}
