// The dialogs' places on the screens, and the schedule dialog's fields.
#include "app/dialog_place.h"
#include "app/job_file.h"
#include "app/settings_forms.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DialogPlace, TheScreenThatHoldsTheRectangleAndItsMarginsDecide) {
  const PlaceRect primary{0, 0, 1920, 1080}, second{1920, 0, 3200, 1024};
  const std::vector<PlaceRect> two = {primary, second}, one = {primary};
  // Closed on the primary screen or on the second one: back there.
  EXPECT_EQ(DialogRestorePlace({100, 120, 500, 420}, two, 0), (PlacePoint{100, 120}));
  EXPECT_EQ(DialogRestorePlace({2000, 50, 2400, 350}, two, 0), (PlacePoint{2000, 50}));
  // The second screen has gone: the primary screen's margins decide, and it lies outside them.
  EXPECT_EQ(DialogRestorePlace({2000, 50, 2400, 350}, one, 0), std::nullopt);
  // Astride both: the screen with the larger part.
  EXPECT_EQ(DialogRestorePlace({1850, 10, 2250, 310}, two, 0), (PlacePoint{1850, 10}));
  EXPECT_EQ(DialogRestorePlace({1850, 10, 2250, 310}, one, 0), std::nullopt);  // 1850 is past 1920 - 100
  EXPECT_EQ(DialogRestorePlace({1800, 10, 2200, 310}, two, 0), std::nullopt);  // the second screen's left margin
  // The margins: up to 100 pixels out on the left, 10 above; 100 short of the right and bottom.
  EXPECT_EQ(DialogRestorePlace({-99, -9, 301, 291}, one, 0), (PlacePoint{-99, -9}));
  EXPECT_EQ(DialogRestorePlace({-100, 5, 300, 305}, one, 0), std::nullopt);
  EXPECT_EQ(DialogRestorePlace({5, -10, 405, 290}, one, 0), std::nullopt);
  EXPECT_EQ(DialogRestorePlace({1819, 979, 2219, 1279}, one, 0), (PlacePoint{1819, 979}));
  EXPECT_EQ(DialogRestorePlace({1820, 5, 2220, 305}, one, 0), std::nullopt);
  EXPECT_EQ(DialogRestorePlace({5, 980, 405, 1280}, one, 0), std::nullopt);
  // Nowhere at all, or no screen: the default place.
  EXPECT_EQ(DialogRestorePlace({-5000, -5000, -4600, -4700}, two, 0), std::nullopt);
  EXPECT_EQ(DialogRestorePlace({100, 100, 200, 200}, {}, 0), std::nullopt);
  // The second screen as the primary one: a place off every screen is judged by it.
  EXPECT_EQ(DialogRestorePlace({1950, -5000, 2000, -4900}, two, 1), std::nullopt);
  EXPECT_EQ(DialogRestorePlace({1950, 1030, 2000, 1040}, two, 1), std::nullopt);
}

TEST(ScheduleFields, WordAndCountMapToTheControlsAndBackThroughTheJobFile) {
  using namespace kpw::settings;
  ScheduleFields f = ScheduleFieldsOf(0x8002, 3);
  EXPECT_EQ(f.unit, 2);
  EXPECT_EQ(f.interval, 3);
  EXPECT_EQ(f.options[0], 1);
  EXPECT_EQ(f.options[1] + f.options[2] + f.options[3], 0);
  EXPECT_EQ(ScheduleWordOf(f), 0x8002u);
  // Bits the dialog does not know are dropped; a count past 1023 shows its low ten bits.
  EXPECT_EQ(ScheduleWordOf(ScheduleFieldsOf(0x12347003, 5)), 0x7003u);
  EXPECT_EQ(ScheduleFieldsOf(0, 1500).interval, 476);
  EXPECT_EQ(ScheduleFieldsOf(0, -1).interval, 1023);

  for (const JobSchedule& s : {JobSchedule{0x8002, 3, 0}, JobSchedule{0xF001, 999, 1767623400},
                               JobSchedule{0x0003, 0, 5}, JobSchedule{0x2000, 476, 0}}) {
    const ScheduleFields fields = ScheduleFieldsOf(s.word, s.interval);
    const JobSchedule written{ScheduleWordOf(fields), fields.interval, s.lastRun};
    EXPECT_EQ(JobFileParse(JobFileFormat({}, written)).schedule, written);
    EXPECT_EQ(written.word, s.word);
    EXPECT_EQ(written.interval, s.interval);
  }
}

TEST(ScheduleFields, TheLastRunShowsAsLocalTimeOrNochNie) {
  using kpw::settings::LastRunText;
  kpwtest::ScopedTimeZone utc("UTC0");
  EXPECT_EQ(LastRunText(0), "noch nie");
  EXPECT_EQ(LastRunText(0xFFFFFFFFu), "noch nie");
  EXPECT_EQ(LastRunText(1767623400), "Mo 05.Jan.2026 14:30");
  EXPECT_EQ(LastRunText(1772352300), "So 01.Mär.2026 08:05");
  kpwtest::ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LastRunText(1780271940), "Mo 01.Jun.2026 01:59");
}

}  // namespace
