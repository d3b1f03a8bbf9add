// The window's commands that open the dialogs: F4 for the schedule, "Spezialeinstellungen" and the filter editor.
#include "app/gui/job_list_wnd.h"
#include "app/gui/schedule_dlg.h"
#include "app/gui/settings_dlg.h"
#include "app/view_commands.h"
#include "tests/gui_dialogs/dialog_driver.h"
#include "tests/support/gui/gui_rig.h"

#include <QElapsedTimer>

namespace {

using namespace kpwgui;
using namespace kpwdlg;

// Acts on the modal dialog of type T once the next command has opened it (the command may let
// the loop run before).
template <class T>
void OnNextDialog(std::function<void(T&)> act) {
  auto* poll = new QTimer;
  auto* waited = new QElapsedTimer;
  waited->start();
  QObject::connect(poll, &QTimer::timeout, [poll, waited, act = std::move(act)] {
    auto* dialog = dynamic_cast<T*>(QApplication::activeModalWidget());
    if (!dialog && waited->elapsed() < 10000) return;
    poll->stop();
    poll->deleteLater();
    delete waited;
    ASSERT_NE(dialog, nullptr) << "no dialog came";
    act(*dialog);
    if (dialog->isVisible()) dialog->done(IDCANCEL);
  });
  poll->start(2);
}

class ViewDialogs : public testing::Test {
 protected:
  void SetUp() override {
    const std::string file = dir / "jobs.kpw";
    kpwtest::WriteFile(file, JobRow("/daten/a", "/sicherung/a", "", "*[pc];a") +
                                 JobRow("/daten/b", "/sicherung/b", "/SYNCH", "*[pc]") + kAlways);
    ASSERT_TRUE(rig.Init({file.c_str()}));
    rig.Activate();
  }
  std::string Cell(int row, int column) { return rig.View().GetCell(row, column).value_or("?"); }
  void FocusCell(int row, int column) {
    const HTREEITEM item = rig.View().List().GetItemOfRow(row);
    ASSERT_TRUE(rig.View().List().SelectFocus(item));
    ASSERT_TRUE(rig.View().List().SelectSubItem(column, item));
    rig.Settle();
  }

  kpwtest::TempDir dir{"gui-dialogs"};
  CScriptedPrompter prompter;
  Rig rig;
};

TEST_F(ViewDialogs, F4OpensTheScheduleAndOkStoresItInTheList) {
  OnNextDialog<CScheduleDlg>([&](CScheduleDlg& dlg) {
    EXPECT_EQ(dlg.parentWidget(), &rig.frame);
    EXPECT_TRUE(Item<QRadioButton>(dlg, 1007)->isChecked());
    Click(dlg, 1008);
    TypeInto(Item<QLineEdit>(dlg, 1001), "2");
    Click(dlg, IDOK);
  });
  rig.Key(Qt::Key_F4);
  EXPECT_EQ(rig.View().GetSchedule().word, 1u);
  EXPECT_EQ(rig.View().GetSchedule().interval, 2);
  EXPECT_EQ(rig.View().IsListModified(), 1);
}

TEST_F(ViewDialogs, TheContextMenusSettingsCommandsOpenTheDialogsAndCancelLeavesTheCell) {
  FocusCell(0, JOB_COL_EXTRA);
  OnNextDialog<CCopySettingsDlg>([&](CCopySettingsDlg& dlg) {
    EXPECT_EQ(dlg.parentWidget(), &rig.frame);
    EXPECT_EQ(Text(dlg, 1001), "pc");
    Click(dlg, 1007);
    Click(dlg, IDCANCEL);
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  EXPECT_EQ(Cell(0, JOB_COL_EXTRA), "*[pc];a");
  EXPECT_EQ(rig.View().IsListModified(), 0);

  OnNextDialog<CCopySettingsDlg>([](CCopySettingsDlg& dlg) {
    Click(dlg, 1008);
    Click(dlg, IDOK);
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  EXPECT_EQ(Cell(0, JOB_COL_EXTRA), "*;a");
  EXPECT_EQ(rig.View().IsListModified(), 1);

  // A "Synch" row opens its own dialog; "Filterstellungen" on a minus filter its editor.
  FocusCell(1, JOB_COL_EXTRA);
  OnNextDialog<CSynchSettingsDlg>([](CSynchSettingsDlg& dlg) {
    EXPECT_TRUE(Item<QRadioButton>(dlg, 1009)->isChecked());
    Click(dlg, IDOK);
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  EXPECT_EQ(Cell(1, JOB_COL_EXTRA), "*[pc]");
  FocusCell(1, JOB_COL_MINUS);
  rig.frame.ViewWindow()->MakeContextMenu();  // remembers the column
  OnNextDialog<CSubdirSettingsDlg>([](CSubdirSettingsDlg& dlg) {
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Minusfilter"));
    EditCell(*dlg.ListCtrl(IDC_FOLDER_LIST), 0, 0, "*.bak");
    Click(dlg, IDOK);
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_FILTER));
  EXPECT_EQ(Cell(1, JOB_COL_MINUS), "*.bak");
}

TEST_F(ViewDialogs, ALongCellGoesThroughTheDialogWhole) {
  std::string folders;
  for (int i = 0; folders.size() < 1200; ++i) folders += (folders.empty() ? "" : ";") + std::string("ordner") + std::to_string(i);
  rig.View().SetCell(folders, 0, JOB_COL_EXTRA);
  rig.View().SetModified(0);
  FocusCell(0, JOB_COL_EXTRA);
  OnNextDialog<CCopySettingsDlg>([](CCopySettingsDlg& dlg) {
    CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
    EditCell(list, list.Store().GetRowCount() - 1, 0, "neu");
    Click(dlg, IDOK);
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  EXPECT_EQ(Cell(0, JOB_COL_EXTRA), folders + ";neu");
  EXPECT_EQ(rig.View().IsListModified(), 1);
}

}  // namespace
