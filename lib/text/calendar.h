// Calendar arithmetic and month names shared by the date parsers and formatters of this folder.
#pragma once

#include <ctime>

#include "platform/win_types.h"

namespace kpw_calendar {

inline bool IsLeap(i64 year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline int DaysInMonth(i64 year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

inline bool ValidDate(i64 year, int month, int day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
inline i64 DaysFromCivil(i64 y, int m, int d) {
  y -= m <= 2;
  const i64 era = (y >= 0 ? y : y - 399) / 400;
  const i64 yoe = y - era * 400;
  const i64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const i64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Seconds since 1970 of a date and time, read as UTC or as local time.
inline i64 ToSeconds(i64 year, int month, int day, int hour, int minute, int second, bool utc) {
  if (utc) return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  std::tm t{};
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return static_cast<i64>(std::mktime(&t));
}

// Month 1-12 of a three-letter abbreviation, English ("Jan" ... "Dec") or German ("Mär", "Mai",
// "Okt", "Dez"), letter case ignored; 0 when the text is none. *length receives its byte length.
inline int MonthFromName(const char* p, int* length) {
  static constexpr const char* kNames[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug",
                                           "sep", "oct", "nov", "dec", "m\xC3\xA4r", "mai", "okt", "dez"};
  static constexpr int kMonths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 3, 5, 10, 12};
  for (int i = 0; i < 16; ++i) {
    const char* name = kNames[i];
    int n = 0;
    while (name[n]) {
      char c = p[n];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (c != name[n]) break;
      ++n;
    }
    if (name[n]) continue;
    // The abbreviation must end here (not "January"); German abbreviations may carry a ".".
    char next = p[n];
    if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z')) continue;
    if (next == '.') ++n;
    *length = n;
    return kMonths[i];
  }
  return 0;
}

}  // namespace kpw_calendar
