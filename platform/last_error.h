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

// The codes that the engines' tables (connections, libraries, the registry store) report, with
// the names Windows gives them.
inline constexpr DWORD ERROR_INVALID_ACCESS = 12;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_BAD_NET_RESP = 58;
inline constexpr DWORD ERROR_TOO_MANY_SESS = 69;
inline constexpr DWORD ERROR_REQ_NOT_ACCEP = 71;
inline constexpr DWORD ERROR_ALREADY_ASSIGNED = 85;
inline constexpr DWORD ERROR_INVALID_PASSWORD = 86;
inline constexpr DWORD ERROR_NET_WRITE_FAULT = 88;
inline constexpr DWORD ERROR_NO_MORE_SEARCH_HANDLES = 113;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_MORE_DATA = 234;  // the caller's buffer is too small
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;  // enumeration past the end
inline constexpr DWORD ERROR_FILE_INVALID = 1006;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr DWORD ERROR_SERVICE_LOGON_FAILED = 1069;
inline constexpr DWORD ERROR_OLD_WIN_VERSION = 1150;
inline constexpr DWORD ERROR_INVALID_DLL = 1154;
inline constexpr DWORD ERROR_NO_MORE_USER_HANDLES = 1158;
inline constexpr DWORD ERROR_DEVICE_REINITIALIZATION_NEEDED = 1164;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_POINT_NOT_FOUND = 1171;
inline constexpr DWORD ERROR_INVALID_SHARENAME = 1215;
inline constexpr DWORD ERROR_SESSION_CREDENTIAL_CONFLICT = 1219;
inline constexpr DWORD ERROR_USER_MAPPED_FILE = 1224;
inline constexpr DWORD ERROR_CONNECTION_INVALID = 1229;
inline constexpr DWORD ERROR_PROTOCOL_UNREACHABLE = 1233;
inline constexpr DWORD ERROR_CONTINUE = 1246;
inline constexpr DWORD ERROR_LOCAL_USER_SESSION_KEY = 1303;
inline constexpr DWORD ERROR_NO_SUCH_LOGON_SESSION = 1312;
inline constexpr DWORD ERROR_WRONG_PASSWORD = 1323;
inline constexpr DWORD ERROR_LOGON_SESSION_EXISTS = 1361;
inline constexpr DWORD ERROR_LOGON_SESSION_COLLISION = 1364;
inline constexpr DWORD ERROR_FILE_CORRUPT = 1392;
inline constexpr DWORD ERROR_INVALID_FILTER_PROC = 1427;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr DWORD ERROR_UNKNOWN_COMPONENT = 1607;
inline constexpr DWORD ERROR_UNSUPPORTED_TYPE = 1630;  // the value has another type
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_INVALID_TIME = 1901;
inline constexpr DWORD ERROR_BAD_USERNAME = 2202;
inline constexpr DWORD ERROR_NOT_CONNECTED = 2250;
inline constexpr DWORD ERROR_STATIC_INIT = 4002;
inline constexpr DWORD ERROR_RESOURCE_DISABLED = 4309;
inline constexpr DWORD ERROR_RESOURCE_NOT_ONLINE = 5004;

DWORD GetLastError();
void SetLastError(DWORD code);

// Windows code for an errno value. With a path, ENOENT tells 2 (the name is missing) from 3
// (a folder on the way is missing); EEXIST tells 80 (a file) from 183 (a folder).
DWORD Win32ErrorFromErrno(int err, const char* path = nullptr);

// Sets the last error from errno (or from err when given) and returns the code.
DWORD SetLastErrorFromErrno(const char* path = nullptr);
DWORD SetLastErrorFromErrno(int err, const char* path);
