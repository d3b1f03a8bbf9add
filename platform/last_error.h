// Thread-local last error word and the one table from errno to Windows error codes.
#pragma once

#include "platform/win_types.h"

// Windows error codes the engine reports and translates into German texts.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DRIVE = 15,
  ERROR_NO_MORE_FILES = 18,
  ERROR_WRITE_PROTECT = 19,
  ERROR_NOT_READY = 21,
  ERROR_CRC = 23,
  ERROR_WRITE_FAULT = 29,
  ERROR_READ_FAULT = 30,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_HANDLE_EOF = 38,
  ERROR_HANDLE_DISK_FULL = 39,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_BAD_NETPATH = 53,
  ERROR_NETWORK_BUSY = 54,
  ERROR_DEV_NOT_EXIST = 55,
  ERROR_UNEXP_NET_ERR = 59,
  ERROR_BAD_NET_NAME = 67,
  ERROR_FILE_EXISTS = 80,
  ERROR_CANNOT_MAKE = 82,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BROKEN_PIPE = 109,
  ERROR_OPEN_FAILED = 110,
  ERROR_BUFFER_OVERFLOW = 111,
  ERROR_DISK_FULL = 112,
  ERROR_CALL_NOT_IMPLEMENTED = 120,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BUSY = 170,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_FILE_TOO_LARGE = 223,
  ERROR_DIRECTORY = 267,
  ERROR_NOT_A_REPARSE_POINT = 4390,
  ERROR_OPERATION_ABORTED = 995,
  ERROR_UNRECOGNIZED_VOLUME = 1005,
  ERROR_PARTITION_FAILURE = 1105,
  ERROR_IO_DEVICE = 1117,
  ERROR_CANCELLED = 1223,
  ERROR_CONNECTION_REFUSED = 1225,
  ERROR_CONNECTION_ABORTED = 1236,
  ERROR_NETWORK_UNREACHABLE = 1231,
  ERROR_HOST_UNREACHABLE = 1232,
  ERROR_LOGON_FAILURE = 1326,
  ERROR_INTERNAL_ERROR = 1359,
  ERROR_TIMEOUT = 1460,
  ERROR_RESOURCE_NOT_PRESENT = 4316,
};
// ECONNABORTED maps to 1226 as the engine's callers expect (the request was aborted).
inline constexpr DWORD ERROR_REQUEST_ABORTED = 1226;

DWORD GetLastError();
void SetLastError(DWORD code);

// Windows code for an errno value. With a path, ENOENT tells 2 (the name is missing) from 3
// (a folder on the way is missing); EEXIST tells 80 (a file) from 183 (a folder).
DWORD Win32ErrorFromErrno(int err, const char* path = nullptr);

// Sets the last error from errno (or from err when given) and returns the code.
DWORD SetLastErrorFromErrno(const char* path = nullptr);
DWORD SetLastErrorFromErrno(int err, const char* path);
