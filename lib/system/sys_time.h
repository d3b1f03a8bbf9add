// File times: FILETIME and seconds since 1970, comparing with tolerance, setting a file's times.
#pragma once

#include "lib/system/sys_types.h"

// FILETIME (100 ns since 1601) to seconds since 1970, negative before 1970; 0 for a FILETIME of 0,
// which names no time, else non-zero.
int SysFileTimeToTime(const FILETIME* fileTime, SysUtc* out);
// Seconds since 1970 (negative before) to FILETIME (FileTimeFromUnix).
void SysTime64ToFileTime(i64 seconds, FILETIME* out);

// -1, 0 or 1 as a is earlier, equal or later. Granularity 0 and 1: seconds; 2: two-second units;
// 3: two-second units, and a difference of 1799 to 1801 units either way (one hour, a
// daylight-saving shift) counts as equal.
int SysCompareFileTime(SysUtc a, SysUtc b, int granularity);
int SysCompareFileTime(const FILETIME* a, const FILETIME* b, int granularity);

// Sets the write and access times of a file; null leaves a time unchanged. The creation time
// cannot be set on Linux and is ignored. TRUE on success.
BOOL SysSetFileTimes(const char* path, const FILETIME* write, const FILETIME* creation, const FILETIME* access);
