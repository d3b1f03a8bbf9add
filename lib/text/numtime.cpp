// Time values as text: German date formatting and the reading of listing and ISO dates.
#include <cstring>

#include "lib/text/calendar.h"
#include "lib/text/fmt.h"
#include "lib/text/num.h"

using namespace kpw_calendar;

namespace {

constexpr const char* kWeekdays[7] = {"So ", "Mo ", "Di ", "Mi ", "Do ", "Fr ", "Sa "};
constexpr const char* kMonths[12] = {"Jan.", "Feb.", "M\xC3\xA4r.", "Apr.", "Mai.", "Jun.",
                                     "Jul.", "Aug.", "Sep.", "Okt.", "Nov.", "Dez."};

}  // namespace

int NumFormatTimeA(char* buffer, i64 time, u32 flags, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = 0;
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return 0;

  char text[96];
  int n = 0;
  auto add = [&](const char* format, auto... args) {
    n += FmtSnprintfA(text + n, sizeof text - static_cast<std::size_t>(n), format, args...);
  };
  if ((flags & NUMTIME_WEEKDAY) && tm.tm_wday >= 0 && tm.tm_wday < 7) add("%s", kWeekdays[tm.tm_wday]);
  bool date = false;
  if (flags & NUMTIME_ISO) {
    if (flags & NUMTIME_YEAR) add("%04d-", tm.tm_year + 1900);
    add("%02d-%02d", tm.tm_mon + 1, tm.tm_mday);
    date = true;
  } else {
    if (flags & NUMTIME_DAY) add("%02d.", tm.tm_mday);
    if (flags & NUMTIME_MONTH) add("%s", kMonths[tm.tm_mon]);
    if (flags & NUMTIME_YEAR) add("%04d", tm.tm_year + 1900);
    date = flags & (NUMTIME_DAY | NUMTIME_MONTH | NUMTIME_YEAR);
  }
  if (flags & NUMTIME_TIME) {
    if (date) add("%s", " ");
    add("%02d:%02d", tm.tm_hour, tm.tm_min);
    if (flags & NUMTIME_SECONDS) add(":%02d", tm.tm_sec);
  }
  FmtSnprintfA(buffer, static_cast<std::size_t>(size), "%s", text);  // cut whole characters only
  return static_cast<int>(std::strlen(buffer));
}

namespace {

// A cursor over the (at most 64-character) text being read.
struct Reader {
  const char* p;
  const char* end;

  bool AtEnd() const { return p >= end; }
  char Peek(int ahead = 0) const { return p + ahead < end ? p[ahead] : 0; }
  void SkipBlanks() {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
  }
  // Reads 1 to maxDigits digits; -1 when none.
  i64 Number(int minDigits, int maxDigits) {
    const char* start = p;
    i64 v = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - start < maxDigits) v = v * 10 + (*p++ - '0');
    if (p - start < minDigits || (p < end && *p >= '0' && *p <= '9')) {
      p = start;
      return -1;
    }
    return v;
  }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++p;
    return true;
  }
};

struct Stamp {
  i64 year = 0;
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool hasYear = false;
  bool hasZone = false;
  int zoneSeconds = 0;
};

// "HH:MM" or "HH:MM:SS" with an optional fraction of a second (dropped).
bool ReadTime(Reader& r, Stamp& s) {
  Reader save = r;
  i64 h = r.Number(1, 2);
  if (h < 0 || h > 23 || !r.Take(':')) return (r = save), false;
  i64 m = r.Number(2, 2);
  if (m < 0 || m > 59) return (r = save), false;
  s.hour = static_cast<int>(h);
  s.minute = static_cast<int>(m);
  Reader beforeSeconds = r;
  if (r.Take(':')) {
    i64 sec = r.Number(2, 2);
    if (sec < 0 || sec > 60) {
      r = beforeSeconds;
    } else {
      s.second = static_cast<int>(sec == 60 ? 59 : sec);
      if (r.Peek() == '.' || r.Peek() == ',') {
        const char* dot = r.p++;
        if (r.Number(1, 9) < 0) r.p = dot;
        while (!r.AtEnd() && *r.p >= '0' && *r.p <= '9') ++r.p;  // nanoseconds and beyond
      }
    }
  }
  return true;
}

// "+HHMM" or "-HHMM" after a blank.
void ReadZone(Reader& r, Stamp& s) {
  Reader save = r;
  r.SkipBlanks();
  char sign = r.Peek();
  if (sign != '+' && sign != '-') return void(r = save);
  ++r.p;
  i64 hhmm = r.Number(4, 4);
  if (hhmm < 0 || hhmm / 100 > 14 || hhmm % 100 > 59) return void(r = save);
  s.zoneSeconds = static_cast<int>((hhmm / 100) * 3600 + (hhmm % 100) * 60) * (sign == '-' ? -1 : 1);
  s.hasZone = true;
}

// ISO "YYYY-MM-DD" and German "DD.MM.YYYY", then an optional time after a blank or "T".
bool ReadNumericDate(Reader& r, Stamp& s) {
  Reader save = r;
  i64 first = r.Number(1, 4);
  if (first < 0) return false;
  if (r.p - save.p == 4 && r.Take('-')) {
    i64 m = r.Number(1, 2);
    if (m < 0 || !r.Take('-')) return (r = save), false;
    i64 d = r.Number(1, 2);
    if (d < 0) return (r = save), false;
    s.year = first;
    s.month = static_cast<int>(m);
    s.day = static_cast<int>(d);
  } else if (r.p - save.p <= 2 && r.Take('.')) {
    i64 m = r.Number(1, 2);
    if (m < 0 || !r.Take('.')) return (r = save), false;
    i64 y = r.Number(4, 4);
    if (y < 0) return (r = save), false;
    s.year = y;
    s.month = static_cast<int>(m);
    s.day = static_cast<int>(first);
  } else {
    return (r = save), false;
  }
  s.hasYear = true;
  Reader beforeTime = r;
  if (r.Take('T') || r.Peek() == ' ' || r.Peek() == '\t') {
    r.SkipBlanks();
    if (!ReadTime(r, s)) r = beforeTime;
  }
  return true;
}

// The "ls -l" forms "Mon DD HH:MM" and "Mon DD YYYY".
bool ReadListingDate(Reader& r, Stamp& s) {
  Reader save = r;
  int nameLength = 0;
  int month = MonthFromName(r.p, &nameLength);
  if (!month || r.p + nameLength > r.end) return false;
  r.p += nameLength;
  r.SkipBlanks();
  i64 day = r.Number(1, 2);
  if (day < 0) return (r = save), false;
  r.SkipBlanks();
  s.month = month;
  s.day = static_cast<int>(day);
  if (ReadTime(r, s)) return true;  // the year comes from the rule of the caller
  i64 year = r.Number(4, 4);
  if (year < 0) return (r = save), false;
  s.year = year;
  s.hasYear = true;
  return true;
}

}  // namespace

i64 NumTextToTimeAt(const char* text, u32 flags, int length, int* consumed, i64 now) {
  if (consumed) *consumed = 0;
  if (!text) return 0;
  // A private terminated copy: the readers may look a few characters ahead.
  char copy[65];
  int n = 0;
  while (n < 64 && (length < 0 || n < length) && text[n]) {
    copy[n] = text[n];
    ++n;
  }
  copy[n] = 0;
  Reader r{copy, copy + n};
  r.SkipBlanks();
  Stamp s;
  bool utc = flags & NTT_UTC;
  bool ok = ReadNumericDate(r, s);
  if (!ok && (flags & NTT_MONTH_NAMES) && (flags & NTT_LS)) ok = ReadListingDate(r, s);
  if (!ok) return 0;
  if (flags & NTT_ZONE) ReadZone(r, s);
  if (s.hasZone) utc = true;

  if (!s.hasYear) {
    // This year, or last year when the date would lie more than a day ahead.
    std::time_t t = static_cast<std::time_t>(now);
    std::tm nowTm{};
    if (!(utc ? gmtime_r(&t, &nowTm) : localtime_r(&t, &nowTm))) return 0;
    i64 year = nowTm.tm_year + 1900;
    s.year = year;
    if (!ValidDate(year, s.month, s.day) ||
        ToSeconds(year, s.month, s.day, s.hour, s.minute, s.second, utc) > now + 86400)
      s.year = year - 1;
  }
  if (!ValidDate(s.year, s.month, s.day)) return 0;
  i64 value = ToSeconds(s.year, s.month, s.day, s.hour, s.minute, s.second, utc) - s.zoneSeconds;
  if (consumed) *consumed = static_cast<int>(r.p - copy);
  return value;
}

i64 NumTextToTimeNA(const char* text, u32 flags, int length, int* consumed) {
  return NumTextToTimeAt(text, flags, length, consumed, static_cast<i64>(std::time(nullptr)));
}

i64 NumTextToTimeA(const char* text, int length, u32 flags) {
  return NumTextToTimeNA(text, flags, length, nullptr);
}
