// "Shrink": the numbers of the extra cell and the thinning rule, then the worker on real folders
// with a fixed clock in Central European time: new copies when due, thinning of file, folder,
// archive and generation series, names that are no copies, the row's head, errors and cancel.
#include "jobs/workers/archive_workers.h"
#include "jobs/workers/shrink_rules.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

TEST(ShrinkRules, TheNumbersOfTheExtraCell) {
  const struct {
    const char* cell;
    std::vector<i64> spacing, threshold;
  } cases[] = {
      {"", {7, 28, 84, 365}, {28, 84, 365}},
      {"3,10", {3, 28}, {10}},                  // two numbers are exempt
      {"3,50,10,20", {3, 10}, {50}},            // an even count loses its last number
      {"3,50,10,20,5", {3, 10, 20}, {50, 50}},  // a lower threshold is raised, a lower spacing doubled
      {"2,-4,0", {2, 4}, {1}},                  // below 1 is 1 first
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShrinkParseExtra(c.cell).zones.spacing, c.spacing) << c.cell;
    EXPECT_EQ(ShrinkParseExtra(c.cell).zones.threshold, c.threshold) << c.cell;
  }
  EXPECT_EQ(ShrinkParseExtra("7, 28 ,28 ; *[pc1];*;tmp").restOffset, 11u);
}

// Copies without a usable time (-1) or dated after today (-3) are never deleted nor shield anything.
TEST(ShrinkRules, CopiesWithoutAPlaceInTimeStay) {
  const std::vector<i64> ages = {-1, -3, 0, 1, 2, 3, 10};
  EXPECT_EQ(ShrinkSelectDeletions(ages, false, ShrinkZonesFrom({})), (std::vector<std::size_t>{4}));
}

// Days since 1970 of a calendar date, and back, by the C library.
i64 DayOf(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  return static_cast<i64>(::timegm(&t)) / 86400;
}
std::string DateText(i64 day) {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&t));
  return text;
}
// A local time of day on a local calendar day.
i64 LocalTime(i64 day, int hour) {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  std::tm tm = *std::gmtime(&t);
  tm.tm_hour = hour;
  tm.tm_isdst = -1;
  return static_cast<i64>(std::mktime(&tm));
}

const i64 kToday = DayOf(2026, 12, 6);  // a Sunday

class Shrink : public ::testing::Test {
 protected:
  void SetUp() override {
    TestEnv().hostName = "kpw-shrink-pc";
    TestEnv().clock = [this] { return now; };
    fs::create_directories(series);
    Put(source, "current data");
  }
  void TearDown() override { SysTestClearCreationTimes(); }
  int Run(const std::string& from, const std::string& target, const std::string& extra = "", u32 flags = 0) {
    return run.Call(RunShrink, from, target, flags, "", "", 1, extra);
  }
  int Run(const std::string& extra = "", u32 flags = 0) { return Run(source, Copy("#D#"), extra, flags); }
  std::string Copy(const std::string& tag) const { return series + "/bk_" + tag + ".txt"; }
  // A dated copy of the given age, holding "age N".
  void Dated(i64 age) { Put(Copy(DateText(kToday - age)), "age " + std::to_string(age)); }
  // The ages of the dated copies in the series.
  std::set<i64> Ages(const std::string& prefix = "bk_", const std::string& suffix = ".txt") {
    std::set<i64> ages;
    for (i64 age = -10; age <= 800; ++age)
      if (Exists(series + "/" + prefix + DateText(kToday - age) + suffix)) ages.insert(age);
    return ages;
  }
  TempDir dir;
  const std::string series = dir / "series", source = dir / "data.txt";
  ScopedTimeZone tz{"CET-1CEST,M3.5.0,M10.5.0/3"};
  i64 now = LocalTime(kToday, 12);
  RunRig run;
  const ScopedTestEnv env;
};

// Ages are local calendar days: at 00:30 it is still yesterday in UTC, and the copy of eight local
// days ago is due.
TEST_F(Shrink, AgesAreLocalCalendarDays) {
  Dated(8);
  now = LocalTime(kToday, 0) + 1800;
  EXPECT_EQ(Run(), JOB_DONE);
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8}));
}

TEST_F(Shrink, NamesThatAreNotExactTagOutputNeverCount) {
  for (const i64 age : {8, 9, 10, 11, 12, 13}) Dated(age);
  const std::vector<std::string> others = {"final",       "2026-1-5",        "2026-02-30",
                                           "02026-12-01", "2026-12-01 ",     "06.12.2026",
                                           "2026-12-06x", "2026-12-06 (So)", "2026-12-06_alt"};
  for (const std::string& name : others) Put(Copy(name), "mine");
  EXPECT_EQ(Run(), JOB_DONE);
  for (const std::string& name : others) EXPECT_EQ(ReadFile(Copy(name)), "mine") << name;
  EXPECT_EQ(ReadFile(Copy(DateText(kToday))), "current data");  // the look-alikes were no copy of today
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8, 13}));
  // "#d#" before "-" gives the date, the weekday and a blank.
  const auto name = [&](i64 age, const char* weekday, const char* blank = " ") {
    return series + "/wd_" + DateText(kToday - age) + " (" + weekday + ")" + blank + "-x.log";
  };
  Put(name(9, "Fr"), "nine");
  Put(name(10, "Do"), "ten");
  Put(name(11, "Mo"), "wrong day");
  Put(name(12, "Di", ""), "no blank");
  EXPECT_EQ(Run(source, series + "/wd_#d#-x.log"), JOB_DONE);
  EXPECT_EQ(ReadFile(name(0, "So")), "current data");
  for (const std::string& kept : {name(9, "Fr"), name(10, "Do"), name(11, "Mo"), name(12, "Di", "")})
    EXPECT_TRUE(Exists(kept)) << kept;
}

TEST_F(Shrink, GenerationSeriesAreListedAgainAfterTheRotation) {
  // Generation k holds the copy of age ages[k]; its creation time says so.
  const std::vector<i64> ages = {8, 9, 10, 11, 30, 400};
  for (std::size_t k = 0; k < ages.size(); ++k) {
    const std::string path = series + "/gen_0" + std::to_string(k) + ".txt";
    Put(path, "age " + std::to_string(ages[k]));
    ASSERT_EQ(SysTestSetCreationTime(path.c_str(), LocalTime(kToday - ages[k], 9)), 0);
  }
  Put(series + "/gen_7.txt", "mine");  // one digit, not two: no generation
  EXPECT_EQ(Run(source, series + "/gen_#2#.txt"), JOB_DONE);
  // Ages 9 and 10 lie within a week of 11; the previous newest (8) stays.
  EXPECT_EQ(Contents(series),
            "gen_00.txt=current data gen_01.txt=age 8 gen_04.txt=age 11 gen_05.txt=age 30 "
            "gen_06.txt=age 400 gen_7.txt=mine");
  // A chain that is full ends the row untouched.
  fs::remove_all(series);
  for (int k = 0; k <= 9; ++k) {
    const std::string path = series + "/g" + std::to_string(k) + ".txt";
    Put(path, "gen " + std::to_string(k));
    ASSERT_EQ(SysTestSetCreationTime(path.c_str(), LocalTime(kToday - 8 - k, 9)), 0);
  }
  EXPECT_EQ(Run(source, series + "/g#1#.txt", "", RUN_DIALOG), JOB_FAILED);
  EXPECT_NE(run.TakeBoxes().find("hat zuviele Einträge"), std::string::npos);
  EXPECT_EQ(ReadFile(series + "/g0.txt"), "gen 0");
}

TEST_F(Shrink, FolderAndArchiveSeries) {
  const std::string src = dir / "src";
  Put(src + "/a.txt", "a");
  Put(src + "/skip/b.txt", "b");
  for (const i64 age : {8, 9, 10, 20}) {
    Put(series + "/snap_" + DateText(kToday - age) + "/f.txt", "old");
    Put(series + "/arc_" + DateText(kToday - age) + ".zip", "old");
  }
  Put(series + "/snap_" + DateText(kToday - 30), "a file, not a folder copy");
  EXPECT_EQ(Run(src, series + "/snap_#D#/", "7;skip"), JOB_DONE);
  EXPECT_EQ(Run(src, series + "/arc_#D#.zip", "7;skip"), JOB_DONE);
  const std::string today = DateText(kToday);
  EXPECT_EQ(Listing(series + "/snap_" + today), "a.txt");
  EXPECT_EQ(Shell("zipinfo -1 " + series + "/arc_" + today + ".zip"), "a.txt\n");
  EXPECT_EQ(Ages("snap_", ""), (std::set<i64>{0, 8, 10, 20, 30}));
  EXPECT_EQ(Ages("arc_", ".zip"), (std::set<i64>{0, 8, 10, 20}));
  EXPECT_EQ(ReadFile(series + "/snap_" + DateText(kToday - 30)), "a file, not a folder copy");
  // A folder named like an archive is packed; an archive as the source is copied as it stands.
  Put(dir / "odd.zip/inside.txt", "inside");
  EXPECT_EQ(Run(dir / "odd.zip", series + "/odd_#D#.zip"), JOB_DONE);
  EXPECT_EQ(Shell("zipinfo -1 " + series + "/odd_" + today + ".zip"), "inside.txt\n");
  Put(dir / "data.zip", "these bytes are copied as they stand");
  EXPECT_EQ(Run(dir / "data.zip", series + "/data_#D#.zip"), JOB_DONE);
  EXPECT_EQ(ReadFile(series + "/data_" + today + ".zip"), "these bytes are copied as they stand");
}

TEST_F(Shrink, TheRowsHeadParameterErrorsAndCancel) {
  for (i64 age = 8; age <= 18; ++age) Dated(age);
  const std::set<i64> before = Ages();
  // Another computer's row changes nothing, even with a missing source.
  EXPECT_EQ(Run("*[other-pc]"), JOB_DONE);
  EXPECT_EQ(Run("7,28;*[other-pc];cache"), JOB_DONE);
  EXPECT_EQ(Run(dir / "missing.txt", Copy("#D#"), "*[other-pc]", RUN_DIALOG), JOB_DONE);
  // The target sign wants the series folder.
  EXPECT_EQ(Run(source, dir / "absent/bk_#D#.txt", "*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "absent"));
  const struct {
    std::string source, target, text;
  } errors[] = {
      {dir / "missing.txt", Copy("#D#"), "Die Datei '" + dir / "missing.txt" + "' wurde nicht gefunden !"},
      {"/", Copy("#D#"), "Das Laufwerk '/' kann nicht verdünnt werden !"},
      {source, Copy(""), "Es wurde kein Spezialpfad in '" + Copy("") + "' gefunden !"},
      {source, Copy("#7#"), "Es wurde kein Spezialpfad in '" + Copy("#7#") + "' gefunden !"},
      {source, series + "/#D#/bk.txt", "Falsche Pfadangebe '" + series + "/#D#/bk.txt' !"},
  };
  for (const auto& e : errors) {
    EXPECT_EQ(Run(e.source, e.target, "", RUN_DIALOG), JOB_FAILED) << e.text;
    EXPECT_EQ(run.boxes.at(0).type, 0x11u);
    EXPECT_EQ(run.TakeBoxes(), e.text + "\n");
  }
  EXPECT_EQ(Run(source, Copy("")), JOB_FAILED);  // without 0x02 nothing is asked
  EXPECT_EQ(run.TakeBoxes(), "");
  run.answers = {IDCANCEL};
  EXPECT_EQ(Run(source, Copy(""), "", RUN_DIALOG), JOB_STOP_ALL);
  run.state.SetCancel();
  EXPECT_EQ(Run(), JOB_STOP_ALL);
  EXPECT_EQ(Ages(), before);
  // This computer, by its short name in any case.
  run.state.StartRun();
  EXPECT_EQ(Run("7;*[KPW-SHRINK-PC]"), JOB_DONE);
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8, 11, 18}));
  // Without the sign a missing series folder is made.
  EXPECT_EQ(Run(source, dir / "absent/bk_#D#.txt"), JOB_DONE);
  EXPECT_TRUE(Exists(dir / "absent/bk_" + DateText(kToday) + ".txt"));
}

TEST_F(Shrink, WithoutBirthTimesGenerationsAreNeverThinned) {
  struct statx st {};
  ASSERT_EQ(::statx(AT_FDCWD, series.c_str(), 0, STATX_BTIME, &st), 0);
  if (st.stx_mask & STATX_BTIME) GTEST_SKIP() << "this file system keeps birth times";
  // The change time that stands in for them is renewed by every rename of the rotation.
  for (int k = 0; k < 5; ++k) Put(series + "/gen_" + std::to_string(k) + ".txt", "gen " + std::to_string(k));
  EXPECT_EQ(Run(source, series + "/gen_#1#.txt"), JOB_DONE);
  EXPECT_EQ(Contents(series),
            "gen_0.txt=current data gen_1.txt=gen 0 gen_2.txt=gen 1 gen_3.txt=gen 2 "
            "gen_4.txt=gen 3 gen_5.txt=gen 4");
}

// A deletion that fails asks: Retry tries again, Abort stops every row, OK goes on and fails the row.
TEST_F(Shrink, AbortAndIgnoreOnAFailedDeletion) {
  for (i64 age = 0; age <= 10; ++age) Dated(age);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(series.c_str(), 0555), 0);
  const auto child = [&](std::vector<int> answers, int expected, std::size_t questions) {
    return InChild([&] {
      if (!BecomeNobody()) return 77;
      run.answers = std::move(answers);
      const int result = Run("", RUN_DIALOG);
      return result == expected && run.boxes.size() == questions &&
                     run.state.IsCancelled() == (expected == -2)
                 ? 0
                 : 1;
    });
  };
  EXPECT_EQ(child({IDRETRY, IDABORT}, JOB_STOP_ALL, 2), 0);
  EXPECT_EQ(child({}, JOB_FAILED, 7), 0);  // every copy that was to go, once
  EXPECT_EQ(Ages().size(), 11u);
  ::chmod(series.c_str(), 0755);
}

}  // namespace
