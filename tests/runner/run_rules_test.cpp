// Run rules: schedule boundaries with the tolerance (the runner tests hold the row rules).
#include "jobs/run_rules.h"

#include <gtest/gtest.h>

namespace {

constexpr i64 kDay = 86400;
constexpr u32 kLast = 1'700'000'000;

TEST(ScheduleTest, DueOnceTheIntervalHasPassedWithTheTolerance) {
  EXPECT_EQ(ScheduleTolerance(kDay), 3600);  // 1/24, at most one hour
  EXPECT_EQ(ScheduleTolerance(7 * kDay), 3600);
  EXPECT_EQ(ScheduleTolerance(2400), 100);
  EXPECT_EQ(ScheduleTolerance(-5), 0);
  const i64 months = 1023LL * 2592000;  // 1023 months of 30 days pass 2^31 seconds
  const struct {
    JobSchedule schedule;
    i64 now;
    bool due;
  } cases[] = {
      {{SCHED_DAYS, 1, kLast}, kLast + kDay - 3601, false},
      {{SCHED_DAYS, 1, kLast}, kLast + kDay - 3600, true},  // a cron start up to an hour early
      {{SCHED_DAYS, 1, kLast}, kLast - 10, true},           // the clock went back
      {{SCHED_DAYS, 1, 0}, 5, true},                        // never ran
      {{0x07, 5, kLast}, kLast, true},                      // an unknown unit gives no interval
      {{SCHED_WEEKS, 2, kLast}, kLast + 13 * kDay, false},
      {{SCHED_WEEKS, 2, kLast}, kLast + 14 * kDay, true},
      {{SCHED_MONTHS, 1023, 0xF0000000u}, 0xF0000000LL + months - 3601, false},
      {{SCHED_MONTHS, 1023, 0xF0000000u}, 0xF0000000LL + months - 3600, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScheduleIsDue(c.schedule, c.now), c.due)
        << std::hex << c.schedule.word << std::dec << " " << c.schedule.interval << " "
        << c.now - c.schedule.lastRun;
  }
}

}  // namespace
