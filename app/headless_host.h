// The host of runs without a window: serves both callback interfaces of the engine.
#pragma once

#include "jobs/run_host.h"
#include "jobs/view_host.h"

// Never blocks, writes each message to standard error, answers as UnattendedAnswer, has no
// icons, never edits the schedule.
class HeadlessRunHost : public IRunHost, public IViewHost {
 public:
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  bool HasMainWindow() override { return false; }
  bool IsViewVisible() override { return false; }
  void ReportError(const std::string& text, const std::string& caption) override;
  // The dialog's loop with a view that draws nothing; its boxes go to MessageBox.
  int RunProgressDialog(CProgressDlg& dialog) override;

  void TaskbarAddTab() override {}
  void TaskbarDeleteTab() override {}
  void TrayIconAdd(u32, const std::string&) override {}
  void TrayIconDelete() override {}
  int FileIcon(const std::string&, FileIconKind) override { return kNoIcon; }
  bool EditSchedule(u32&, i32&, u32) override { return false; }
  void SetTimer(u32, u32, std::function<void()>) override {}
  void KillTimer(u32) override {}
  bool ListHasFocus() override { return false; }
  void FocusFilePane() override {}
  void FilePaneCommand(u32) override {}
};
