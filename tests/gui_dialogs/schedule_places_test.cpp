// The schedule dialog's fields, range and texts; the dialogs' places on one screen.
#include "app/gui/dialog_places.h"
#include "app/gui/schedule_dlg.h"
#include "app/gui/settings_dlg.h"
#include "app/job_file.h"
#include "tests/gui_dialogs/dialog_driver.h"
#include "tests/support/gui/scripted_prompter.h"
#include "tests/support/time_zone.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

namespace {

using namespace kpwdlg;

struct Edited {
  INT_PTR answer;
  u32 word;
  i32 count;
};

Edited EditSchedule(u32 word, i32 count, u32 lastRun, const std::function<void(CScheduleDlg&)>& act) {
  CScheduleDlg dlg;
  QTimer::singleShot(0, &dlg, [&] { act(dlg); });
  QTimer::singleShot(10000, &dlg, [&] {
    ADD_FAILURE() << "the dialog was left open";
    dlg.done(99);
  });
  const INT_PTR answer = dlg.Edit(&word, &count, lastRun);
  return {answer, word, count};
}

bool Checked(const CDialog& dlg, int id) { return Item<QAbstractButton>(dlg, id)->isChecked(); }

TEST(ScheduleDlg, OpensOnTheWordAndCountAndOkGivesThemBackThroughTheJobFile) {
  const Edited same = EditSchedule(0x8002, 3, 0, [](CScheduleDlg& dlg) {
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Zeitplan"));
    EXPECT_TRUE(Checked(dlg, 1009));  // "Wochen"
    EXPECT_EQ(Item<QRadioButton>(dlg, 1009)->text(), QStringLiteral("Wochen"));
    EXPECT_EQ(Text(dlg, 1001), "3");
    EXPECT_TRUE(Checked(dlg, 1011));
    EXPECT_FALSE(Checked(dlg, 1016) || Checked(dlg, 1028) || Checked(dlg, 1029));
    EXPECT_EQ(Text(dlg, 1012), "noch nie");
    Click(dlg, IDOK);
  });
  EXPECT_EQ(same.answer, IDOK);
  EXPECT_EQ(same.word, 0x8002u);
  EXPECT_EQ(same.count, 3);

  // Changed through the controls, unknown bits dropped; the job file keeps what OK gave.
  const Edited changed = EditSchedule(0x12340001, 3, 0, [](CScheduleDlg& dlg) {
    Click(dlg, 1010);  // "Monate"
    TypeInto(Item<QLineEdit>(dlg, 1001), "12");
    Click(dlg, 1011);
    Click(dlg, 1029);
    Click(dlg, IDOK);
  });
  EXPECT_EQ(changed.word, 0x9003u);
  EXPECT_EQ(changed.count, 12);
  const JobSchedule stored{changed.word, changed.count, 77};
  EXPECT_EQ(JobFileParse(JobFileFormat({}, stored)).schedule, stored);

  // A unit the dialog does not know checks no button; OK without touching the units keeps it.
  const Edited unknown = EditSchedule(0x8005, 3, 0, [](CScheduleDlg& dlg) {
    for (int id = 1007; id <= 1010; ++id) EXPECT_FALSE(Checked(dlg, id)) << id;
    Click(dlg, IDOK);
  });
  EXPECT_EQ(unknown.answer, IDOK);
  EXPECT_EQ(unknown.word, 0x8005u);
  EXPECT_EQ(unknown.count, 3);

  // Cancel changes nothing.
  const Edited cancelled = EditSchedule(0x2001, 5, 0, [](CScheduleDlg& dlg) {
    Click(dlg, 1007);
    Click(dlg, 1028);
    Click(dlg, IDCANCEL);
  });
  EXPECT_EQ(cancelled.answer, IDCANCEL);
  EXPECT_EQ(cancelled.word, 0x2001u);
  EXPECT_EQ(cancelled.count, 5);
}

TEST(ScheduleDlg, TheIntervalIsAWholeNumberFrom0To999AndImmerSwitchesItOff) {
  CScriptedPrompter prompter;
  const Edited edited = EditSchedule(1, 1500, 0, [](CScheduleDlg& dlg) {
    auto* interval = Item<QLineEdit>(dlg, 1001);
    EXPECT_EQ(interval->text(), QStringLiteral("476"));  // the low ten bits of the count
    TypeInto(interval, "1234");
    EXPECT_EQ(interval->text(), QStringLiteral("123"));  // three characters
    TypeInto(interval, "a");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    TypeInto(interval, "-5");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    Click(dlg, 1007);  // "Immer"
    EXPECT_FALSE(interval->isEnabled());
    Click(dlg, 1008);
    EXPECT_TRUE(interval->isEnabled());
    TypeInto(interval, "0");
    Click(dlg, IDOK);
  });
  ASSERT_EQ(prompter.asked.size(), 2u);
  EXPECT_EQ(prompter.asked[0].text, "Geben Sie bitte eine ganze Zahl ein.");
  EXPECT_EQ(prompter.asked[1].text, "Geben Sie bitte eine ganze Zahl zwischen 0 und 999 ein.");
  EXPECT_EQ(edited.answer, IDOK);
  EXPECT_EQ(edited.word, 1u);
  EXPECT_EQ(edited.count, 0);

  // Under "Immer" the switched-off interval asks nothing and keeps its count.
  const Edited always = EditSchedule(0, 1020, 0, [](CScheduleDlg& dlg) {
    EXPECT_FALSE(dlg.GetDlgItem(1001)->isEnabled());
    EXPECT_EQ(Text(dlg, 1001), "1020");
    Click(dlg, IDOK);
  });
  EXPECT_EQ(always.answer, IDOK);
  EXPECT_EQ(always.count, 1020);
  EXPECT_EQ(prompter.asked.size(), 2u);
}

TEST(ScheduleDlg, TheLastRunShowsAsLocalTime) {
  kpwtest::ScopedTimeZone utc("UTC0");
  for (const auto& [time, text] : {std::pair<u32, const char*>{1767623400, "Mo 05.Jan.2026 14:30"},
                                   {0xFFFFFFFFu, "noch nie"}}) {
    EditSchedule(0, 1, time, [text = text](CScheduleDlg& dlg) {
      EXPECT_EQ(Text(dlg, 1012), text);
      EXPECT_EQ(Item<QLabel>(dlg, 1012)->isVisible(), true);
      Click(dlg, IDCANCEL);
    });
  }
}

// Opens a dialog of kind, lets act look at it and move it, and closes it with Cancel.
void OpenAndClose(kpw::view::SettingsDialog kind, CDialogPlaces& places, const std::function<void(QWidget&)>& act) {
  const std::unique_ptr<CSettingsDlg> dlg = MakeSettingsDialog(kind, nullptr, &places);
  std::string text;
  dlg->SetText(&text);
  RunModal(*dlg, [&] {
    act(*dlg);
    Click(*dlg, IDCANCEL);
  });
}

TEST(DialogPlaces, EachClassReopensAtItsLastPlaceOnTheScreenAndElsewhereAtTheDefault) {
  using kpw::view::SettingsDialog;
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  CDialogPlaces places;
  QPoint defaultPlace;
  OpenAndClose(SettingsDialog::Copy, places, [&](QWidget& dlg) {
    defaultPlace = dlg.pos();
    dlg.move(screen.left() + 37, screen.top() + 21);
  });
  OpenAndClose(SettingsDialog::Copy, places, [&](QWidget& dlg) {
    EXPECT_EQ(dlg.pos(), QPoint(screen.left() + 37, screen.top() + 21));
    dlg.move(screen.right() + 500, screen.top() + 21);  // closed off the screen
  });
  OpenAndClose(SettingsDialog::Copy, places, [&](QWidget& dlg) { EXPECT_EQ(dlg.pos(), defaultPlace); });
  // Another class has its own memory; "Shrink" and "Kopiwart" share one.
  OpenAndClose(SettingsDialog::ShrinkThinning, places, [&](QWidget& dlg) { dlg.move(screen.left() + 5, screen.top() + 6); });
  OpenAndClose(SettingsDialog::Synch, places, [&](QWidget& dlg) { EXPECT_NE(dlg.pos(), QPoint(screen.left() + 5, screen.top() + 6)); });
  OpenAndClose(SettingsDialog::ShrinkSize, places, [&](QWidget& dlg) { EXPECT_EQ(dlg.pos(), QPoint(screen.left() + 5, screen.top() + 6)); });
  EXPECT_TRUE(places.Has("CShrinkSettingsDlg"));
  EXPECT_FALSE(places.Has("CZipSettingsDlg"));
}

}  // namespace
