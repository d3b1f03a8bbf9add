// exFAT time stamps: local fields through the system's zone rules, with the UTC offset byte written and honoured.
#include "FileSystem/Exfat/exfat_internal.h"

#include <ctime>

namespace {

constexpr int kFirstYear = 1980;
constexpr int kLastYear = 2107;
constexpr u8 kOffsetValid = 0x80;

u32 Fields(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<u32>(year - kFirstYear) << 25 | static_cast<u32>(month) << 21 | static_cast<u32>(day) << 16 |
         static_cast<u32>(hour) << 11 | static_cast<u32>(minute) << 5 | static_cast<u32>(second / 2);
}

}  // namespace

u32 ExfatStamp(i64 t, u8* increment, u8* utcOffset) {
  if (increment) *increment = 0;
  if (utcOffset) *utcOffset = 0;
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  // A time whose year no calendar of the runtime holds lies far before or after the range.
  const bool dated = ::localtime_r(&tt, &tm) != nullptr;
  if (dated ? tm.tm_year + 1900 < kFirstYear : t < 0) return Fields(kFirstYear, 1, 1, 0, 0, 0);
  if (!dated || tm.tm_year + 1900 > kLastYear) return Fields(kLastYear, 12, 31, 23, 59, 58);
  if (increment && (tm.tm_sec & 1)) *increment = 100;
  // The zone's offset in quarter hours tells other systems which moment the local fields mean.
  const long offset = tm.tm_gmtoff;
  if (utcOffset && offset % 900 == 0 && offset / 900 >= -64 && offset / 900 <= 63)
    *utcOffset = static_cast<u8>(kOffsetValid | (static_cast<int>(offset / 900) & 0x7F));
  return Fields(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

i64 ExfatStampTime(u32 stamp, u8 increment, u8 utcOffset) {
  const int day = (stamp >> 16) & 0x1F, month = (stamp >> 21) & 0x0F, hour = (stamp >> 11) & 0x1F;
  const int minute = (stamp >> 5) & 0x3F, twoSeconds = stamp & 0x1F;
  if (day == 0 || month == 0 || month > 12 || hour >= 24 || minute >= 60 || twoSeconds >= 30 || increment >= 200)
    return 0;
  std::tm tm{};
  tm.tm_year = static_cast<int>(stamp >> 25) + kFirstYear - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = twoSeconds * 2 + increment / 100;
  if (utcOffset & kOffsetValid) {
    // Seven bits, signed, in quarter hours east of UTC.
    const int quarters = (utcOffset & 0x40) ? static_cast<int>(utcOffset & 0x7F) - 128 : utcOffset & 0x7F;
    return static_cast<i64>(::timegm(&tm)) - i64{quarters} * 900;
  }
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) ? 0 : static_cast<i64>(t);
}

namespace exfat {

i64 Now() { return static_cast<i64>(std::time(nullptr)); }

}  // namespace exfat
