// FAT time stamps: DOS dates and times in local time, to and from seconds since 1970 UTC.
#pragma once

#include "platform/win_types.h"

#include <ctime>

// The current local time rounded up to even seconds: date << 16 | time. Before 1980 0x210000
// (1 January 1980, 00:00:00).
u32 FatGetTime();
// The same for a given time.
u32 FatTimeFromUtc(std::time_t t, bool roundUp);
// Seconds since 1970 UTC of a DOS date and time taken as local time; 0 for a date of no day.
i64 FatTimeToUtc(u16 date, u16 time);
// Date << 16 | time of seconds since 1970 UTC in local time (down to even seconds); a time that
// DOS dates cannot hold gives the first (1 January 1980) or last (31 December 2107, 23:59:58).
u32 UtcToFatTime(i64 t);
