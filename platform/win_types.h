// Integer, handle and time types with the names the engine's code uses.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HANDLE = void*;
using WCHAR = char16_t;  // UTF-16 code unit (wchar_t is 32 bits here)

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// 100-ns intervals since 1601-01-01 UTC, as two 32-bit halves.
struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};

inline std::uint64_t FileTimeToU64(const FILETIME& ft) {
  return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
inline FILETIME U64ToFileTime(std::uint64_t v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// The record of one directory entry as file finders and connection listings deliver it: 320 bytes.
// The name is UTF-8 (or the bytes a file system holds), at most 259 bytes and a NUL.
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  DWORD dwReserved0 = 0;
  DWORD dwReserved1 = 0;
  char cFileName[260] = {};
  char cAlternateFileName[14] = {};
};
static_assert(sizeof(WIN32_FIND_DATAA) == 320);

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kFileTimeEpochOffset = 11644473600LL;
inline constexpr std::int64_t kFileTimeTicksPerSecond = 10'000'000;

// The one conversion between FILETIME and seconds since 1970 UTC, which are negative before 1970.
// A FILETIME of 0 names no time: a moment that would give it, or anything before 1601, gives the
// first tick after it; a moment past the last FILETIME gives that.
inline FILETIME FileTimeFromUnix(std::int64_t seconds, std::int64_t hundredNs = 0) {
  constexpr std::int64_t kLast = INT64_MAX / kFileTimeTicksPerSecond - kFileTimeEpochOffset - 1;
  if (seconds < -kFileTimeEpochOffset) return U64ToFileTime(1);
  if (seconds > kLast) return U64ToFileTime(UINT64_MAX);
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + kFileTimeEpochOffset) *
                                  static_cast<std::uint64_t>(kFileTimeTicksPerSecond) +
                              static_cast<std::uint64_t>(hundredNs < 0 ? 0 : hundredNs % kFileTimeTicksPerSecond);
  return U64ToFileTime(ticks ? ticks : 1);
}
// Whole seconds, rounded down; the 100-ns ticks beyond them into *hundredNs.
inline std::int64_t FileTimeToUnix(const FILETIME& ft, std::int64_t* hundredNs = nullptr) {
  const std::uint64_t ticks = FileTimeToU64(ft);
  const auto perSecond = static_cast<std::uint64_t>(kFileTimeTicksPerSecond);
  if (hundredNs) *hundredNs = static_cast<std::int64_t>(ticks % perSecond);
  return static_cast<std::int64_t>(ticks / perSecond) - kFileTimeEpochOffset;
}

// Message-box types: buttons in the low nibble, icon in the next.
enum : u32 {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_ABORTRETRYIGNORE = 0x2,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_TYPEMASK = 0xF,
  MB_ICONHAND = 0x10,  // stop
  MB_ICONQUESTION = 0x20,
  MB_ICONEXCLAMATION = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_ICONMASK = 0xF0,
};

// Answers of a message box.
enum : int {
  IDOK = 1,
  IDCANCEL = 2,
  IDABORT = 3,
  IDRETRY = 4,
  IDIGNORE = 5,
  IDYES = 6,
  IDNO = 7,
};

#ifndef MAX_PATH
#define MAX_PATH 4096
#endif
