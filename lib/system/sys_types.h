// Types shared by the Sys file API: time values, result codes and the file-information record.
#pragma once

#include "platform/win_types.h"

// Seconds since 1970-01-01 UTC. Times before 1970 are reported as 0.
using SysUtc = std::int64_t;
// A time field of this value counts as missing (next to 0), as in records that come from peers.
inline constexpr SysUtc kSysUtcMissing = 0xFFFFFFFF;

// Results of the Sys file API: 0 or a positive value on success, one of these on failure.
// The Windows error code is left as the thread's last error.
enum SysError : int {
  SYS_OK = 0,
  SYS_ERR_INVALID = -1,        // invalid argument
  SYS_ERR_NAME_TOO_LONG = -2,  // name too long
  SYS_ERR_NOT_FOUND = -3,      // not found
  SYS_ERR_ACCESS = -4,         // access denied
  SYS_ERR_TOO_MANY_OPEN = -5,  // too many open files
  SYS_ERR_OTHER = -6,          // any other error
  SYS_ERR_PATH = -7,           // not a directory, or a folder on the way is missing
  SYS_ERR_DISK_FULL = -8,      // disk full or file too large
  SYS_ERR_EXISTS = -9,         // already exists
};

// SysError for an errno value.
SysError SysErrorFromErrno(int err);

// Attribute bits of SysFileInfo::dwAttr.
enum : DWORD {
  SYS_ATTR_READABLE = 0x01,  // owner read bit
  SYS_ATTR_WRITABLE = 0x02,  // owner write bit ("read-only" means this bit is clear)
  SYS_ATTR_FOLDER = 0x10,
  SYS_ATTR_LINK = 0x400,     // a symbolic link; the other fields describe its target when it has one
};

// What a lookup or a listing knows of one file. Sizes are 64-bit; the creation time is the
// birth time where the file system keeps one, else the status-change time.
struct SysFileInfo {
  DWORD dwAttr = 0;
  u64 qwSize = 0;
  SysUtc timeCreate = 0;
  SysUtc timeAccess = 0;
  SysUtc timeWrite = 0;
};

// The file-information record of a lookup: the info and the last path component.
struct SysFindStruct : SysFileInfo {
  char cName[256] = {};
};
