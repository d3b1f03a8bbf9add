// Run rules: schedule boundaries with the tolerance, RunFlags, targets, foreign paths, continuation.
#include "jobs/run_rules.h"

#include <gtest/gtest.h>

namespace {

constexpr i64 kDay = 86400;
constexpr u32 kLast = 1'700'000'000;

JobSchedule Daily(i32 count, u32 last = kLast) { return JobSchedule{SCHED_DAYS, count, last}; }

TEST(ScheduleTest, DailyBoundariesWithTolerance) {
  // One day: tolerance one hour.
  EXPECT_EQ(ScheduleTolerance(kDay), 3600);
  EXPECT_FALSE(ScheduleIsDue(Daily(1), kLast + 1));
  EXPECT_FALSE(ScheduleIsDue(Daily(1), kLast + kDay - 3601));
  EXPECT_TRUE(ScheduleIsDue(Daily(1), kLast + kDay - 3600));  // a cron start up to an hour early
  EXPECT_TRUE(ScheduleIsDue(Daily(1), kLast + kDay - 1));
  EXPECT_TRUE(ScheduleIsDue(Daily(1), kLast + kDay));
  // A missed interval does not hold the run back for ever.
  EXPECT_TRUE(ScheduleIsDue(Daily(1), kLast + 40 * kDay));
}

TEST(ScheduleTest, ToleranceIsAFractionOfShortIntervals) {
  // Weeks and months cap at one hour; a count of 0 or an unknown unit gives no interval.
  EXPECT_EQ(ScheduleTolerance(7 * kDay), 3600);
  EXPECT_EQ(ScheduleTolerance(2400), 100);
  EXPECT_EQ(ScheduleTolerance(0), 0);
  EXPECT_EQ(ScheduleTolerance(-5), 0);
}

TEST(ScheduleTest, AlwaysUnknownUnitNeverRunAndClockBack) {
  EXPECT_TRUE(ScheduleIsDue(JobSchedule{SCHED_ALWAYS, 5, kLast}, kLast));
  EXPECT_TRUE(ScheduleIsDue(JobSchedule{0x07, 5, kLast}, kLast));  // unknown unit: no interval
  EXPECT_TRUE(ScheduleIsDue(Daily(0), kLast));
  EXPECT_TRUE(ScheduleIsDue(Daily(1, 0), 5));                  // never ran
  EXPECT_TRUE(ScheduleIsDue(Daily(1), kLast - 10));             // the clock went back
  // Options do not disturb the unit.
  EXPECT_FALSE(ScheduleIsDue(JobSchedule{SCHED_DAYS | 0xF000, 1, kLast}, kLast + 60));
}

TEST(ScheduleTest, LongIntervalsIn64Bits) {
  // 1023 months of 30 days pass 2^31 seconds.
  const JobSchedule s{SCHED_MONTHS, 1023, 0xF0000000u};
  const i64 interval = 1023LL * 2592000;
  ASSERT_GT(interval, 0x7FFFFFFFLL);
  EXPECT_FALSE(ScheduleIsDue(s, 0xF0000000LL + interval - 3601));
  EXPECT_TRUE(ScheduleIsDue(s, 0xF0000000LL + interval - 3600));
  EXPECT_TRUE(ScheduleIsDue(JobSchedule{SCHED_WEEKS, 2, kLast}, kLast + 14 * kDay));
  EXPECT_FALSE(ScheduleIsDue(JobSchedule{SCHED_WEEKS, 2, kLast}, kLast + 13 * kDay));
}

TEST(RunFlagsTest, StartupRunsEveryCombination) {
  const u32 options = SCHED_NEWER_ONLY | SCHED_NEVER_OVERWRITE | SCHED_KEEP_READONLY;
  const u32 derived = RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY;
  EXPECT_EQ(StartupRunFlags(false, false, 0), u32{RUN_DIALOG | RUN_SCHEDULE});
  EXPECT_EQ(StartupRunFlags(true, false, 0), u32{RUN_DIALOG});
  EXPECT_EQ(StartupRunFlags(false, true, 0), u32{RUN_SCHEDULE});
  EXPECT_EQ(StartupRunFlags(true, true, 0), 0u);
  // The options count on every path, -N and -A included.
  EXPECT_EQ(StartupRunFlags(false, false, options), RUN_DIALOG | RUN_SCHEDULE | derived);
  EXPECT_EQ(StartupRunFlags(true, true, options), derived);
  EXPECT_EQ(StartupRunFlags(false, true, SCHED_KEEP_READONLY), u32{RUN_SCHEDULE | RUN_KEEP_READONLY});
}

TEST(RowRulesTest, TargetsNeededByMode) {
  EXPECT_TRUE(RowNeedsTarget(JOB_MODE_COPY, "/a"));
  EXPECT_TRUE(RowNeedsTarget(JOB_MODE_ZIP, "/a.zip"));  // it would unpack into "/"
  EXPECT_TRUE(RowNeedsTarget(JOB_MODE_DEL, "/a/*.tmp"));
  EXPECT_FALSE(RowNeedsTarget(JOB_MODE_REG, "/a/b.reg"));
  EXPECT_FALSE(RowNeedsTarget(JOB_MODE_REG_ADD, "/a/b.CRG"));
  EXPECT_TRUE(RowNeedsTarget(JOB_MODE_REG, "HKEY_CURRENT_USER\\Software"));  // an export needs a file
}

TEST(RowRulesTest, DriveAndUncForms) {
  EXPECT_TRUE(IsDriveOrUncPath("C:\\data"));
  EXPECT_TRUE(IsDriveOrUncPath("z:"));
  EXPECT_TRUE(IsDriveOrUncPath("\\\\server\\share"));
  EXPECT_FALSE(IsDriveOrUncPath("/home/u"));
  EXPECT_FALSE(IsDriveOrUncPath("ftp://host/x"));
  EXPECT_FALSE(IsDriveOrUncPath("1:x"));
  EXPECT_FALSE(IsDriveOrUncPath("\\single"));
  EXPECT_NE(DriveOrUncPathText("C:\\x").find("C:\\x"), std::string::npos);
}

TEST(RowRulesTest, CellLimitCountsCharacters) {
  EXPECT_TRUE(CellFitsAfterExpansion(std::string(kJobCellMaxChars, 'a')));
  EXPECT_FALSE(CellFitsAfterExpansion(std::string(kJobCellMaxChars + 1, 'a')));
  std::string umlauts;
  for (int i = 0; i < kJobCellMaxChars; ++i) umlauts += "\xC3\xA4";
  EXPECT_TRUE(CellFitsAfterExpansion(umlauts));
  EXPECT_FALSE(CellFitsAfterExpansion(umlauts + "\xC3\xA4"));
}

TEST(ContinuationTest, ZipRows) {
  const RowKey zip{JOB_MODE_ZIP, "/b/a.zip"}, add{JOB_MODE_ZIP_ADD, "/b/a.zip"};
  EXPECT_TRUE(RowContinues(add, add));
  EXPECT_TRUE(RowContinues(zip, add));
  EXPECT_FALSE(RowContinues(add, zip));  // "Zip" starts a new archive
  EXPECT_FALSE(RowContinues(zip, zip));
  EXPECT_FALSE(RowContinues(add, RowKey{JOB_MODE_ZIP_ADD, "/b/c.zip"}));
  EXPECT_TRUE(RowContinues(add, RowKey{JOB_MODE_ZIP_ADD, "/b//a.zip"}));  // the same place
  EXPECT_FALSE(RowContinues(add, RowKey{JOB_MODE_ZIP_ADD, "/b/A.zip"}));  // names are exact here
  EXPECT_FALSE(RowContinues(RowKey{JOB_MODE_ZIP_ADD, ""}, RowKey{JOB_MODE_ZIP_ADD, ""}));
  EXPECT_FALSE(RowContinues(RowKey{JOB_MODE_COPY, "/b/a.zip"}, add));
}

TEST(ContinuationTest, KopiwartRowsOnTheSameServer) {
  auto k = [](const char* t) { return RowKey{JOB_MODE_KOPIWART, t}; };
  EXPECT_TRUE(RowContinues(k("sftp://u:p@host:22/a"), k("sftp://u:p@host:22/b")));
  EXPECT_TRUE(RowContinues(k("SFTP://u:p@HOST:22/a"), k("sftp://u:p@host:22/b")));
  EXPECT_FALSE(RowContinues(k("sftp://u:p@host:22/a"), k("sftp://v:p@host:22/a")));
  EXPECT_FALSE(RowContinues(k("sftp://u:p@host:22/a"), k("sftp://u:q@host:22/a")));
  EXPECT_FALSE(RowContinues(k("sftp://u:p@host:22/a"), k("sftp://u:p@host:2222/a")));
  EXPECT_FALSE(RowContinues(k("sftp://u:p@host/a"), k("ftp://u:p@host/a")));
  EXPECT_FALSE(RowContinues(k("sftp://u@host/a"), RowKey{JOB_MODE_FTP, "sftp://u@host/a"}));
}

}  // namespace
