// CScheduleDlg: the list's schedule word (unit and options), its interval and the last run.
#pragma once

#include "app/settings_forms.h"
#include "platform/gui/dialog.h"

enum : int {
  IDC_INTERVAL = 1001,
  IDC_UNIT_ALWAYS = 1007,  // the radio group "Abstand", 1007-1010
  IDC_OPTION_NEWER = 1011,
  IDC_LAST_RUN = 1012,
  IDC_OPTION_NO_OVERWRITE = 1016,
  IDC_OPTION_READONLY = 1028,
  IDC_OPTION_NO_TIME = 1029,
};

class CScheduleDlg : public CDialog {
 public:
  explicit CScheduleDlg(QWidget* parent = nullptr);
  // Shows the dialog on the word, the count and the last-run time and returns DoModal's answer;
  // on IDOK word holds the unit and the checked options (other bits dropped) and count the
  // interval as entered, else both stay as they were.
  virtual INT_PTR Edit(u32* word, i32* count, u32 lastRun);

 protected:
  void DoDataExchange(CDataExchange* pDX) override;

 private:
  kpw::settings::ScheduleFields m_fields;
  u32 m_lastRun = 0;
  bool m_lastRunShown = false;
};
