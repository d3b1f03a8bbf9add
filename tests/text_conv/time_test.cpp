// Tests of time formatting and of reading listing dates, in the time zone Europe/Berlin.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "lib/text/num.h"

namespace {

class BerlinTime : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "tzdata missing";
    const char* old = std::getenv("TZ");
    hadTz_ = old != nullptr;
    if (old) oldTz_ = old;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", oldTz_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

  static std::string Format(i64 t, u32 flags, int size = 64) {
    char buf[64];
    int n = NumFormatTimeA(buf, t, flags, size);
    EXPECT_EQ(static_cast<int>(std::strlen(buf)), n);
    return buf;
  }

  // Local midnight plus hours of a date, by the C library.
  static i64 Local(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::mktime(&t);
  }

 private:
  bool hadTz_ = false;
  std::string oldTz_;
};

constexpr i64 kMonday = 1767619805;  // 2026-01-05 14:30:05 in Berlin (winter time)

TEST_F(BerlinTime, Flag31GivesTheLastRunText) {
  EXPECT_EQ("Mo 05.Jan.2026 14:30", Format(kMonday, 31));
  // Summer time: 2026-07-05 10:00 UTC is 12:00 in Berlin, a Sunday.
  EXPECT_EQ("So 05.Jul.2026 12:00", Format(1783245600, 31));
}

TEST_F(BerlinTime, VersionLetters) {
  EXPECT_EQ("05.Jan.2026", Format(kMonday, 0x1C));
  EXPECT_EQ("Mo 05.Jan.2026", Format(kMonday, 0x1D));
  EXPECT_EQ("2026-01-05", Format(kMonday, 0x50));
  EXPECT_EQ("Mo 2026-01-05", Format(kMonday, 0x51));
  EXPECT_EQ("2026-01-05 14:30:05", Format(kMonday, 0x72));
  EXPECT_EQ("Mo 2026-01-05 14:30:05", Format(kMonday, 0x73));
  EXPECT_EQ("Mo ", Format(kMonday, NUMTIME_WEEKDAY));  // the caller trims
  EXPECT_EQ("14:30", Format(kMonday, NUMTIME_TIME));
}

TEST_F(BerlinTime, AllMonthAndWeekdayNames) {
  const char* months[] = {"Jan.", "Feb.", "M\xC3\xA4r.", "Apr.", "Mai.", "Jun.",
                          "Jul.", "Aug.", "Sep.", "Okt.", "Nov.", "Dez."};
  for (int m = 1; m <= 12; ++m) EXPECT_EQ(months[m - 1], Format(Local(2026, m, 15, 12), NUMTIME_MONTH));
  const char* days[] = {"So ", "Mo ", "Di ", "Mi ", "Do ", "Fr ", "Sa "};
  for (int d = 0; d < 7; ++d) EXPECT_EQ(days[d], Format(Local(2026, 1, 4 + d, 12), NUMTIME_WEEKDAY));  // 4 Jan 2026 is a Sunday
}

TEST_F(BerlinTime, SmallBufferCutsWholeCharacters) {
  i64 march = Local(2026, 3, 1, 12);
  EXPECT_EQ("M\xC3\xA4r", Format(march, NUMTIME_MONTH, 5));
  EXPECT_EQ("M", Format(march, NUMTIME_MONTH, 3));
  char one[1] = {'x'};
  EXPECT_EQ(0, NumFormatTimeA(one, march, 31, 1));
  EXPECT_EQ('\0', one[0]);
}

// The year rule and the forms, at a fixed "now" of 2026-03-10 12:00 UTC.
constexpr i64 kNow = 1773144000;

i64 ReadAt(const char* text, int* consumed = nullptr, i64 now = kNow, u32 flags = NTT_LS_LISTING) {
  int used = -1;
  i64 t = NumTextToTimeAt(text, flags, -1, &used, now);
  if (consumed) *consumed = used;
  return t;
}

TEST_F(BerlinTime, ListingDateForms) {
  int used = 0;
  EXPECT_EQ(1763626500, ReadAt("Nov 20 09:15", &used));  // last November
  EXPECT_EQ(12, used);
  EXPECT_EQ(1578178800, ReadAt("Jan  5  2020 ", &used));  // year form: midnight
  EXPECT_EQ(12, used);
  EXPECT_EQ(1796663133, ReadAt("2026-12-07 18:05:33.123456789 +0100", &used));
  EXPECT_EQ(35, used);
  EXPECT_EQ(1796663133 + 3600, ReadAt("2026-12-07 18:05:33.123456789 +0000"));
  EXPECT_EQ(1796663133 + 3600 + 5 * 3600 + 1800, ReadAt("2026-12-07 18:05:33 -0530"));
}

TEST_F(BerlinTime, YearRuleForHourAndMinute) {
  EXPECT_EQ(1773169200, ReadAt("Mar 10 20:00"));  // later today: this year
  EXPECT_EQ(1741698000, ReadAt("Mar 11 14:00"));  // more than a day ahead: last year
  EXPECT_EQ(1746266400, ReadAt("May  3 12:00"));
  // 29 February read in 2025 belongs to 2024.
  EXPECT_EQ(1709197200, ReadAt("Feb 29 10:00", nullptr, 1741608000));
}

TEST_F(BerlinTime, OtherFormsAndFailures) {
  int used = -1;
  EXPECT_EQ(1796601600, ReadAt("2026-12-07 (Mo) backup", &used, kNow, NTT_UTC));
  EXPECT_EQ(10, used);
  EXPECT_EQ(1796598000, NumTextToTimeA("07.12.2026", -1, 0));
  EXPECT_EQ(1796598000 + 18 * 3600 + 5 * 60, NumTextToTimeA("2026-12-07T18:05", -1, 0));
  EXPECT_EQ(0, ReadAt("2026-04-31", &used));
  EXPECT_EQ(0, used);
  EXPECT_EQ(0, ReadAt("Foo 12 10:00", &used));
  EXPECT_EQ(0, ReadAt("Nov 20 09:15", &used, kNow, 0));  // month names only with the flags
  EXPECT_EQ(0, ReadAt("Nov 31 2020"));
  // The length limits what is read.
  EXPECT_EQ(1578178800, NumTextToTimeAt("Jan  5  2020 12:00", NTT_LS_LISTING, 12, &used, kNow));
  // Without the zone flag a zone is left for the caller.
  EXPECT_EQ(1796598000 + 18 * 3600 + 5 * 60 + 33, ReadAt("2026-12-07 18:05:33 +0100", &used, kNow, 0));
  EXPECT_EQ(19, used);
}

// Reads the date words of real "ls -l" lines for files whose times we set.
std::vector<std::string> LsWords(const std::string& options, const std::string& file) {
  std::string command = "LC_ALL=C ls -l " + options + " '" + file + "'";
  std::FILE* p = popen(command.c_str(), "r");
  std::vector<std::string> words;
  if (!p) return words;
  char line[512] = {};
  if (std::fgets(line, sizeof line, p)) {
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
  }
  pclose(p);
  return words;
}

TEST_F(BerlinTime, RealLsOutput) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kpw_ls_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string file = (dir / "datei.txt").string();
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);

  i64 now = std::time(nullptr);
  struct Case {
    i64 mtime;
    const char* options;
    i64 expected;
  } cases[] = {
      {now - 40 * 86400 + 17, "", 0},  // recent: "Mon DD HH:MM"
      {now - 3 * 365 * 86400, "", 0},  // old: "Mon DD YYYY"
      {now - 5 * 86400 + 7, "--full-time", 0},
  };
  for (Case& c : cases) {
    timespec times[2] = {{static_cast<time_t>(c.mtime), 0}, {static_cast<time_t>(c.mtime), 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), times, 0));
    std::vector<std::string> words = LsWords(c.options, file);
    ASSERT_GE(words.size(), 9u);
    // permissions, links, owner, group, size, three date words, name
    std::string date = words[5] + " " + words[6] + " " + words[7];
    int used = 0;
    i64 t = NumTextToTimeNA(date.c_str(), NTT_LS_LISTING, -1, &used);
    EXPECT_EQ(static_cast<int>(date.size()), used) << date;
    std::time_t mt = static_cast<std::time_t>(c.mtime);
    std::tm local{};
    localtime_r(&mt, &local);
    if (std::string(c.options) == "--full-time") {
      EXPECT_EQ(c.mtime, t) << date;
    } else if (words[7].find(':') != std::string::npos) {
      EXPECT_EQ(c.mtime - local.tm_sec, t) << date;  // minutes only
    } else {
      EXPECT_EQ(Local(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday), t) << date;
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(DosListing, DateWordsOfListingLines) {
  std::tm tm{};
  u32 got = DateParseTextNA("12-07-26  06:05PM       <DIR>          docs", &tm, DATE_DOS_LISTING, -1);
  EXPECT_EQ(DATE_COMPLETE, got & DATE_COMPLETE);
  EXPECT_TRUE(got & DATE_GOT_AMPM);
  EXPECT_EQ(126, tm.tm_year);
  EXPECT_EQ(11, tm.tm_mon);
  EXPECT_EQ(7, tm.tm_mday);
  EXPECT_EQ(18, tm.tm_hour);
  EXPECT_EQ(5, tm.tm_min);
  EXPECT_EQ(1, tm.tm_wday);  // a Monday

  got = DateParseTextNA("01-05-2026  14:30            1234 bericht.txt", &tm, DATE_DOS_LISTING, -1);
  EXPECT_EQ(DATE_COMPLETE, got & DATE_COMPLETE);
  EXPECT_EQ(0, tm.tm_mon);
  EXPECT_EQ(5, tm.tm_mday);
  EXPECT_EQ(14, tm.tm_hour);

  got = DateParseTextNA("03-01-99  12:15AM  17 alt.txt", &tm, DATE_DOS_LISTING, -1);
  EXPECT_EQ(DATE_COMPLETE, got & DATE_COMPLETE);
  EXPECT_EQ(99, tm.tm_year);
  EXPECT_EQ(0, tm.tm_hour);
  EXPECT_EQ(15, tm.tm_min);
}

TEST(DosListing, IncompleteOrImpossibleDates) {
  std::tm tm{};
  // 29 February 2025 does not exist: the time is there, the date is not.
  u32 got = DateParseTextNA("02-29-25  10:00AM  5 x", &tm, DATE_DOS_LISTING, -1);
  EXPECT_NE(DATE_COMPLETE, got & DATE_COMPLETE);
  EXPECT_EQ(DATE_GOT_HOUR | DATE_GOT_MINUTE, got & DATE_COMPLETE);
  EXPECT_EQ(0u, DateParseTextNA("13-07-26  10:00AM", &tm, DATE_DOS_LISTING, -1) & DATE_GOT_MONTH);
  EXPECT_EQ(DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY, DateParseTextNA("12-07-26", &tm, DATE_DOS_LISTING, -1));
  EXPECT_EQ(0u, DateParseTextNA("13:05PM  <DIR> x", &tm, DATE_DOS_LISTING, -1));
  EXPECT_EQ(0u, DateParseTextNA("12-07-26  13:05PM", &tm, DATE_DOS_LISTING, -1) & DATE_GOT_HOUR);
  // The counted length cuts the text; only 63 characters are looked at.
  EXPECT_EQ(DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY, DateParseTextNA("12-07-26  06:05PM", &tm, DATE_DOS_LISTING, 8));
  std::string padded = std::string(70, ' ') + "12-07-26";
  EXPECT_EQ(0u, DateParseTextNA(padded.c_str(), &tm, DATE_DOS_LISTING, -1));
}

TEST(DosListing, OtherOptions) {
  std::tm tm{};
  // Day first without DATE_MDY; trailing text refused without DATE_TRAILING.
  EXPECT_EQ(DATE_COMPLETE | DATE_GOT_SECOND, DateParseTextNA("07.12.2026 18:05:09", &tm, DATE_TIME, -1));
  EXPECT_EQ(11, tm.tm_mon);
  EXPECT_EQ(9, tm.tm_sec);
  EXPECT_EQ(0u, DateParseTextNA("07.12.2026 18:05 x", &tm, DATE_TIME, -1));
  // A two-digit year needs DATE_YY; ISO order needs nothing.
  EXPECT_EQ(DATE_GOT_MONTH | DATE_GOT_DAY, DateParseTextNA("07.12.26", &tm, 0, -1));
  EXPECT_EQ(DATE_GOT_YEAR | DATE_GOT_MONTH | DATE_GOT_DAY, DateParseTextNA("2026/12/07", &tm, DATE_MDY, -1));
  EXPECT_EQ(340, tm.tm_yday);  // 7 December 2026, counted from 0
}

}  // namespace
