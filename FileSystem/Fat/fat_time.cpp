// FAT time stamps through the system's time-zone rules in both directions.
#include "FileSystem/Fat/fat_time.h"

#include "FileSystem/Fat/fat_internal.h"

namespace {

// DOS dates run from 1980 to 2107.
constexpr int kFirstYear = 1980;
constexpr int kLastYear = 2107;

u32 FromLocal(const std::tm& tm) {
  const u32 year = static_cast<u32>(tm.tm_year + 1900 - kFirstYear);
  return year << 25 | static_cast<u32>(tm.tm_mon + 1) << 21 | static_cast<u32>(tm.tm_mday) << 16 |
         static_cast<u32>(tm.tm_hour) << 11 | static_cast<u32>(tm.tm_min) << 5 | static_cast<u32>(tm.tm_sec / 2);
}

bool ToLocal(std::time_t t, std::tm& tm) { return ::localtime_r(&t, &tm) != nullptr; }

}  // namespace

u32 FatTimeFromUtc(std::time_t t, bool roundUp) {
  // Rounded before it is broken down, so that 23:59:59 on 31 December becomes the next year.
  if (roundUp) t += t & 1;
  std::tm tm{};
  if (!ToLocal(t, tm) || tm.tm_year + 1900 < kFirstYear) return 0x210000;
  if (tm.tm_year + 1900 > kLastYear) return 0;
  return FromLocal(tm);
}

u32 FatGetTime() { return FatTimeFromUtc(std::time(nullptr), true); }

i64 FatTimeToUtc(u16 date, u16 time) {
  const int day = date & 0x1F, month = (date >> 5) & 0x0F;
  if (day == 0 || month == 0 || month > 12) return 0;
  std::tm tm{};
  tm.tm_year = (date >> 9) + kFirstYear - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) ? 0 : static_cast<i64>(t);
}

u32 UtcToFatTime(i64 t) {
  // DOS dates hold 1980 to 2107: a time outside is stored as the nearest one they hold.
  constexpr u32 kFirst = 0x210000;  // 1 January 1980, 00:00:00
  constexpr u32 kLast = static_cast<u32>(kLastYear - kFirstYear) << 25 | 12u << 21 | 31u << 16 | 23u << 11 |
                        59u << 5 | 29u;  // 31 December 2107, 23:59:58
  std::tm tm{};
  if (!ToLocal(static_cast<std::time_t>(t), tm)) return t < 0 ? kFirst : kLast;
  const int year = tm.tm_year + 1900;
  if (year < kFirstYear) return kFirst;
  if (year > kLastYear) return kLast;
  return FromLocal(tm);
}

namespace fat {

u32 NowDos() { return FatGetTime(); }

}  // namespace fat
