// Date and time words (as DOS listings write them) into a tm record.
#include <cstring>

#include "lib/text/calendar.h"
#include "lib/text/num.h"

using namespace kpw_calendar;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of digits; returns -1 when there is none. *digits receives the run's length.
long Number(const char*& p, int* digits) {
  const char* start = p;
  long v = 0;
  while (IsDigit(*p) && p - start < 9) v = v * 10 + (*p++ - '0');
  *digits = static_cast<int>(p - start);
  if (IsDigit(*p)) return -1;  // more than nine digits: no date number
  return *digits ? v : -1;
}

bool IsSeparator(char c) { return c == '-' || c == '/' || c == '.'; }

void SkipBlanks(const char*& p) {
  while (*p == ' ' || *p == '\t') ++p;
}

}  // namespace

u32 DateParseTextNA(const char* text, std::tm* out, u32 options, int length) {
  std::tm result{};
  result.tm_isdst = -1;
  if (out) *out = result;
  if (!text) return 0;
  char copy[64];
  int n = 0;
  while (n < 63 && (length < 0 || n < length) && text[n]) {
    copy[n] = text[n];
    ++n;
  }
  copy[n] = 0;

  const char* p = copy;
  SkipBlanks(p);
  u32 found = 0;

  // The date: three numbers joined by one separator.
  int d1, d2, d3;
  long a = Number(p, &d1);
  if (a < 0 || !IsSeparator(*p)) return 0;
  char sep = *p++;
  long b = Number(p, &d2);
  if (b < 0 || *p != sep) return 0;
  ++p;
  long c = Number(p, &d3);
  if (c < 0) return 0;

  long year, month, day;
  int yearDigits;
  if (d1 == 4) {
    year = a, month = b, day = c, yearDigits = d1;
  } else if (options & DATE_MDY) {
    month = a, day = b, year = c, yearDigits = d3;
  } else {
    day = a, month = b, year = c, yearDigits = d3;
  }
  bool haveYear = yearDigits == 4;
  if (yearDigits == 2 && (options & DATE_YY)) {
    year += year < 70 ? 2000 : 1900;
    haveYear = true;
  }
  // Without a year the date is checked against a leap year, so "29.02." stays possible.
  if (ValidDate(haveYear ? year : 2000, static_cast<int>(month), static_cast<int>(day))) {
    found |= DATE_GOT_MONTH | DATE_GOT_DAY | (haveYear ? u32{DATE_GOT_YEAR} : 0u);
    result.tm_mon = static_cast<int>(month - 1);
    result.tm_mday = static_cast<int>(day);
    if (haveYear) result.tm_year = static_cast<int>(year - 1900);
  }

  // The time.
  if (options & DATE_TIME) {
    const char* save = p;
    SkipBlanks(p);
    int dh = 0, dm = 0, ds = 0;
    long hour = Number(p, &dh);
    long minute = -1;
    long second = -1;
    if (hour >= 0 && dh <= 2 && *p == ':') {
      ++p;
      minute = Number(p, &dm);
      if (minute >= 0 && dm == 2 && *p == ':') {
        const char* beforeSeconds = p++;
        second = Number(p, &ds);
        if (second < 0 || ds != 2) {
          second = -1;
          p = beforeSeconds;
        }
      }
    }
    if (minute < 0 || dm != 2) {
      p = save;
    } else {
      bool valid = minute <= 59 && second <= 59;
      u32 marker = 0;
      if (options & DATE_AMPM) {
        const char* q = p;
        SkipBlanks(q);
        char m0 = static_cast<char>(q[0] | 0x20);
        char m1 = static_cast<char>(q[1] | 0x20);
        char after = q[2];
        if ((m0 == 'a' || m0 == 'p') && m1 == 'm' && !((after | 0x20) >= 'a' && (after | 0x20) <= 'z')) {
          valid = valid && hour >= 1 && hour <= 12;
          hour = hour % 12 + (m0 == 'p' ? 12 : 0);
          marker = DATE_GOT_AMPM;
          p = q + 2;
        }
      }
      valid = valid && hour <= 23;
      if (valid) {
        found |= DATE_GOT_HOUR | DATE_GOT_MINUTE | marker | (second >= 0 ? u32{DATE_GOT_SECOND} : 0u);
        result.tm_hour = static_cast<int>(hour);
        result.tm_min = static_cast<int>(minute);
        result.tm_sec = second >= 0 ? static_cast<int>(second) : 0;
      }
    }
  }

  SkipBlanks(p);
  if (*p && !(options & DATE_TRAILING)) return 0;

  if ((found & (DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY)) ==
      (DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY)) {
    i64 y = result.tm_year + 1900;
    i64 days = DaysFromCivil(y, result.tm_mon + 1, result.tm_mday);
    result.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    result.tm_yday = static_cast<int>(days - DaysFromCivil(y, 1, 1));
  }
  if (out) *out = result;
  return found;
}
