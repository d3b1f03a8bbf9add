// Tests of integer parsing, time formatting and reading listing dates (in Central European time).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/text/num.h"
#include "tests/support/time_zone.h"

namespace {

// Berlin's rule, written out so that no time zone data is needed.
class BerlinTime : public ::testing::Test {
  kpwtest::ScopedTimeZone tz_{"CET-1CEST,M3.5.0,M10.5.0/3"};
};

std::string Format(i64 t, u32 flags, int size = 64) {
  char buf[64];
  const int n = NumFormatTimeA(buf, t, flags, size);
  EXPECT_EQ(static_cast<int>(std::strlen(buf)), n);
  return buf;
}

constexpr i64 kMonday = 1767619805;  // 2026-01-05 14:30:05 in Berlin (winter time)

TEST_F(BerlinTime, FlagsAndVersionLetters) {
  struct Case {
    i64 time;
    u32 flags;
    const char* text;
  } cases[] = {
      {kMonday, 31, "Mo 05.Jan.2026 14:30"},
      {1783245600, 31, "So 05.Jul.2026 12:00"},  // summer time: 10:00 UTC
      {kMonday, 0x1C, "05.Jan.2026"},
      {kMonday, 0x51, "Mo 2026-01-05"},
      {kMonday, 0x73, "Mo 2026-01-05 14:30:05"},
      {kMonday, NUMTIME_WEEKDAY, "Mo "},  // the caller trims
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, Format(c.time, c.flags)) << c.flags;
}

// The listing forms and the year rule, at a fixed "now" of 2026-03-10 12:00 UTC.
TEST_F(BerlinTime, ListingDatesAndTheYearRule) {
  constexpr i64 kNow = 1773144000;
  struct Case {
    const char* text;
    u32 flags;
    i64 now;
    i64 time;
    int consumed;  // -1: not checked
  } cases[] = {
      {"Nov 20 09:15", NTT_LS_LISTING, kNow, 1763626500, 12},   // last November
      {"Jan  5  2020 ", NTT_LS_LISTING, kNow, 1578178800, 12},  // year form: midnight
      {"2026-12-07 18:05:33.123456789 +0100", NTT_LS_LISTING, kNow, 1796663133, 35},
      {"2026-12-07 18:05:33 +0100", 0, kNow, 1796663133, 19},        // local time; the zone is left
      {"Mar 11 14:00", NTT_LS_LISTING, kNow, 1741698000, -1},        // more than a day ahead: last year
      {"Feb 29 10:00", NTT_LS_LISTING, 1741608000, 1709197200, -1},  // read in 2025: 2024
      {"2026-12-07 (Mo) backup", NTT_UTC, kNow, 1796601600, 10},
      {"2026-04-31", NTT_LS_LISTING, kNow, 0, 0},
      {"Foo 12 10:00", NTT_LS_LISTING, kNow, 0, 0},
      {"Nov 20 09:15", 0, kNow, 0, 0},  // month names only with the flags
  };
  for (const Case& c : cases) {
    int used = -1;
    EXPECT_EQ(c.time, NumTextToTimeAt(c.text, c.flags, -1, &used, c.now)) << c.text;
    if (c.consumed >= 0) {
      EXPECT_EQ(c.consumed, used) << c.text;
    }
  }
  int used = -1;  // the length limits what is read
  EXPECT_EQ(1578178800, NumTextToTimeAt("Jan  5  2020 12:00", NTT_LS_LISTING, 12, &used, kNow));
  EXPECT_EQ(1796598000 + 18 * 3600 + 5 * 60, NumTextToTimeA("2026-12-07T18:05", -1, 0));
  EXPECT_EQ(1796598000, NumTextToTimeNA("07.12.2026", 0, -1, &used));
}

TEST(DosListing, DateWordsOfListingLines) {
  std::tm tm{};
  u32 got = DateParseTextNA("12-07-26  06:05PM       <DIR>          docs", &tm, DATE_DOS_LISTING, -1);
  EXPECT_EQ(DATE_COMPLETE | DATE_GOT_AMPM, got);
  EXPECT_EQ(126, tm.tm_year);
  EXPECT_EQ(11, tm.tm_mon);
  EXPECT_EQ(18, tm.tm_hour);
  EXPECT_EQ(1, tm.tm_wday);  // a Monday
  got = DateParseTextNA("03-01-99  12:15AM  17 alt.txt", &tm, DATE_DOS_LISTING, -1);
  EXPECT_EQ(99, tm.tm_year);
  EXPECT_EQ(0, tm.tm_hour);
  EXPECT_EQ(DATE_COMPLETE | DATE_GOT_SECOND, DateParseTextNA("07.12.2026 18:05:09", &tm, DATE_TIME, -1));
  EXPECT_EQ(9, tm.tm_sec);
  EXPECT_EQ(340, tm.tm_yday);  // 7 December 2026, counted from 0
}

TEST(DosListing, PartsFoundInIncompleteOrImpossibleDates) {
  const u32 date = DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY;
  const std::string padded = std::string(70, ' ') + "12-07-26";  // only 63 characters are looked at
  struct Case {
    const char* text;
    u32 options;
    int length;
    u32 got;
  } cases[] = {
      {"02-29-25  10:00AM  5 x", DATE_DOS_LISTING, -1, DATE_GOT_HOUR | DATE_GOT_MINUTE | DATE_GOT_AMPM},
      {"13-07-26  10:00AM", DATE_DOS_LISTING, -1, DATE_GOT_HOUR | DATE_GOT_MINUTE | DATE_GOT_AMPM},
      {"12-07-26", DATE_DOS_LISTING, -1, date},
      {"13:05PM  <DIR> x", DATE_DOS_LISTING, -1, 0},
      {"12-07-26  13:05PM", DATE_DOS_LISTING, -1, date},
      {padded.c_str(), DATE_DOS_LISTING, -1, 0},
      {"07.12.2026 18:05 x", DATE_TIME, -1, 0},            // trailing text needs DATE_TRAILING
      {"07.12.26", 0, -1, DATE_GOT_MONTH | DATE_GOT_DAY},  // a two-digit year needs DATE_YY
      {"2026/12/07", DATE_MDY, -1, date},                  // ISO order needs nothing
  };
  for (const Case& c : cases) {
    std::tm tm{};
    EXPECT_EQ(c.got, DateParseTextNA(c.text, &tm, c.options, c.length)) << c.text;
  }
}

TEST(NumParseInt, PrefixesSignsBlanksAndWrap) {
  struct Case {
    const char* text;
    i32 value;
  } cases[] = {
      {"  \t42", 42},
      {"-42", -42},
      {"-0x10", -16},
      {"0o78", 7},
      {"0b12", 1},
      {"010", 10},  // a leading zero alone is still decimal
      {"3,4", 3},
      // A prefix without a digit of its radix is the number 0 followed by a letter.
      {"0x", 0},
      {"0xZ", 0},
      {"- 5", 0},
      {nullptr, 0},
      {"0xFFFFFFFF", -1},
      {"-2147483648", INT_MIN},
      {"4294967296", 0},  // modulo 2^32
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, NumParseIntA(c.text)) << (c.text ? c.text : "null");
}

}  // namespace
