// The view's special-settings and filter commands, the dialogs' places, the schedule fields.
#include "app/dialog_place.h"
#include "app/job_file.h"
#include "app/kopiwart_view.h"
#include "app/settings_dialogs.h"
#include "app/settings_forms.h"
#include "tests/support/app/scripted_dialogs.h"
#include "tests/support/scripted_host.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using kpw::view::SettingsDialog;

class SettingsRows : public testing::Test {
 protected:
  void SetUp() override { view.SetSettingsDialogs(&dialogs); }
  HTREEITEM Row(const char* source, const char* target, int mode, const std::string& extra) {
    const int row = view.AddEntry(-1, source, target, "", "", 1, mode, extra);
    view.SetModified(0);
    return view.List().GetItemOfRow(row);
  }
  std::string Extra(HTREEITEM item) { return view.List().GetItemText(item, JOB_COL_EXTRA); }

  ScriptedRunHost host;
  CKopiwartView view{host};
  ScriptedSettingsDialogs dialogs;
};

TEST_F(SettingsRows, OnlyAChangedTextIsWrittenAndMarksTheList) {
  const HTREEITEM row = Row("/q", "/z", JOB_MODE_COPY, "*[pc];a");
  dialogs.Queue(std::nullopt);  // Cancel
  EXPECT_FALSE(EditRowSpecialSettings(view, row, dialogs));
  dialogs.Queue("*[pc];a");  // OK without a change
  EXPECT_FALSE(EditRowSpecialSettings(view, row, dialogs));
  EXPECT_EQ(view.IsListModified(), 0);
  EXPECT_EQ(Extra(row), "*[pc];a");
  dialogs.Queue("*;b");
  EXPECT_TRUE(EditRowSpecialSettings(view, row, dialogs));
  EXPECT_EQ(Extra(row), "*;b");
  EXPECT_EQ(view.IsListModified(), 1);
  ASSERT_EQ(dialogs.calls.size(), 3u);
  EXPECT_EQ(dialogs.calls[0].kind, SettingsDialog::Copy);
  EXPECT_EQ(dialogs.calls[0].cell, "*[pc];a");
}

TEST_F(SettingsRows, TheModeChoosesTheDialogAndModesWithoutOneAskNothing) {
  const HTREEITEM zip = Row("/q", "/z/a.ZIP", JOB_MODE_ZIP, "sub;a");
  const HTREEITEM unzip = Row("/q/a.zip", "/z", JOB_MODE_ZIP, "a");
  const HTREEITEM shrink = Row("/q", "/z/#D#", JOB_MODE_SHRINK, "7");
  const HTREEITEM move = Row("/q/f", "/z/f", JOB_MODE_MOVE, "");
  for (HTREEITEM item : {zip, unzip, shrink, move}) EditRowSpecialSettings(view, item, dialogs);
  ASSERT_EQ(dialogs.calls.size(), 3u);
  EXPECT_EQ(dialogs.calls[0].kind, SettingsDialog::Zip);
  EXPECT_EQ(dialogs.calls[1].kind, SettingsDialog::Subdir);
  EXPECT_EQ(dialogs.calls[2].kind, SettingsDialog::ShrinkThinning);

  // The filter bar holds no job: neither command acts on it.
  view.OnFilterBar();
  EXPECT_FALSE(EditRowSpecialSettings(view, view.GetFilterBarItem(), dialogs));
  EXPECT_FALSE(EditRowFilter(view, view.GetFilterBarItem(), JOB_COL_PLUS, dialogs));
  EXPECT_EQ(dialogs.calls.size(), 3u);
}

TEST_F(SettingsRows, CellsReachTheDialogsWholeAndComeBackWhole) {
  // A folder list of 1200 characters and the built-in minus filter of 484: nothing is cut.
  std::string folders;
  for (int i = 0; folders.size() < 1200; ++i) folders += (folders.empty() ? "" : ";") + std::string("ordner") + std::to_string(i);
  const HTREEITEM row = Row("/q", "/z", JOB_MODE_UPDATE, folders);
  dialogs.Queue(folders + ";x");
  EXPECT_TRUE(EditRowSpecialSettings(view, row, dialogs));
  EXPECT_EQ(dialogs.calls.back().cell, folders);
  EXPECT_EQ(Extra(row), folders + ";x");

  view.List().SelectFocus(row);
  view.OnCppFilter();
  ASSERT_GT(std::strlen(kCppMinusFilter), 259u);
  view.SetModified(0);
  view.SetContextColumn(JOB_COL_MINUS);
  dialogs.Queue(std::string(kCppMinusFilter) + ";*.bak");
  EXPECT_TRUE(view.OnCommand(ID_EDIT_FILTER));
  EXPECT_EQ(dialogs.calls.back().what, "filter");
  EXPECT_EQ(dialogs.calls.back().caption, "Minusfilter");
  EXPECT_EQ(dialogs.calls.back().cell, kCppMinusFilter);
  EXPECT_EQ(view.List().GetItemText(row, JOB_COL_MINUS), std::string(kCppMinusFilter) + ";*.bak");
  EXPECT_EQ(view.IsListModified(), 1);

  // "Spezialeinstellungen" from the command, on the focused row.
  dialogs.Queue("y");
  EXPECT_TRUE(view.OnCommand(ID_SPECIAL_SETTINGS));
  EXPECT_EQ(Extra(row), "y");
  // A column other than the filters opens no editor.
  view.SetContextColumn(JOB_COL_TARGET);
  view.OnEditFilter();
  EXPECT_EQ(dialogs.calls.back().what, "settings");
}

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
