// Thread-local last error and the errno table.
#include "platform/last_error.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace {
thread_local DWORD t_lastError = 0;

// The folder part of a path ("" when it has none).
std::string ParentOf(const char* path) {
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool IsDir(const char* path) {
  struct stat st{};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

DWORD Win32ErrorFromErrno(int err, const char* path) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
      if (path && *path && !IsDir(ParentOf(path).c_str())) return ERROR_PATH_NOT_FOUND;
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return (path && IsDir(path)) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTDIR: return ERROR_DIRECTORY;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EBUSY:
    case ETXTBSY: return ERROR_BUSY;
    case EIO: return ERROR_IO_DEVICE;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENODEV:
    case ENXIO: return ERROR_DEV_NOT_EXIST;
    case ENOMEDIUM: return ERROR_NOT_READY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECONNABORTED: return ERROR_REQUEST_ABORTED;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ECONNRESET: return ERROR_CONNECTION_ABORTED;
    case EHOSTUNREACH: return ERROR_HOST_UNREACHABLE;
    case ENETDOWN:
    case ENETUNREACH: return ERROR_NETWORK_UNREACHABLE;
    case ECANCELED: return ERROR_CANCELLED;
    case ELOOP: return ERROR_INVALID_NAME;
    case EXDEV: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno(const char* path) { return SetLastErrorFromErrno(errno, path); }

DWORD SetLastErrorFromErrno(int err, const char* path) {
  const DWORD code = Win32ErrorFromErrno(err, path);
  t_lastError = code;
  return code;
}
