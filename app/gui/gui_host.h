// The window's side of the engine's two callback interfaces: boxes, the progress window, icons and timers.
#pragma once

#include "app/gui/gui_settings_dialogs.h"
#include "jobs/run_host.h"
#include "jobs/view_host.h"

#include <QPointer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CTreeListIcons;
class CWndTimers;
class QWidget;

// What the tray, taskbar and file-pane seams were asked; filled until their windows exist.
struct CGuiSeamLog {
  int taskbarAdds = 0;
  int taskbarDeletes = 0;
  int trayAdds = 0;
  int trayDeletes = 0;
  u32 trayIconId = 0;
  std::string trayTip;
  int filePaneFocus = 0;
  std::vector<u32> filePaneCommands;
};

// The icon key of a path, reckoned from its kind and name only: "folder", "missing" or a mime type
// name (see ShellFileIconKey). Uses no GUI class, so any thread may call it.
std::string FileIconKey(const std::string& path, FileIconKind kind);

// Calls may come from any thread; every window is made and asked on the main thread, and a call
// from another thread waits for it there.
class CGuiHost : public IRunHost, public IViewHost {
 public:
  using ScheduleEditor = std::function<bool(u32& word, i32& interval, u32 lastRun)>;

  explicit CGuiHost(CTreeListIcons& icons);
  ~CGuiHost() override;
  CGuiHost(const CGuiHost&) = delete;
  CGuiHost& operator=(const CGuiHost&) = delete;

  // The main window (owner of boxes and the progress window) and the job list in it. Main thread.
  void SetMainWindow(QWidget* window) { m_window = window; }
  void SetListWidget(QWidget* list) { m_list = list; }
  // Whether the view's window shows now; the frame keeps it current.
  void SetViewVisible(bool visible) { m_viewVisible = visible; }
  // Something in place of the schedule dialog (none: the dialog itself).
  void SetScheduleEditor(ScheduleEditor editor) { m_scheduleEditor = std::move(editor); }
  // The special-settings, filter and schedule dialogs, owned by the main window while it shows.
  ISettingsDialogs& SettingsDialogs() { return m_dialogs; }
  CGuiSeamLog SeamLog() const;
  // Where FocusFilePane and FilePaneCommand go once the file pane exists (null: nowhere). Main
  // thread; the calls reach them on the main thread.
  void SetFilePaneCalls(std::function<void()> focus, std::function<void(u32 commandId)> command);

  // IRunHost
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  bool HasMainWindow() override { return true; }
  bool IsViewVisible() override { return m_viewVisible.load(); }
  void ReportError(const std::string& text, const std::string& caption) override;
  int RunProgressDialog(CProgressDlg& dialog) override;

  // IViewHost
  void TaskbarAddTab() override;
  void TaskbarDeleteTab() override;
  void TrayIconAdd(u32 iconId, const std::string& tip) override;
  void TrayIconDelete() override;
  int FileIcon(const std::string& path, FileIconKind kind) override;
  bool EditSchedule(u32& word, i32& interval, u32 lastRun) override;
  void SetTimer(u32 id, u32 ms, std::function<void()> fn) override;
  void KillTimer(u32 id) override;
  bool ListHasFocus() override;
  void FocusFilePane() override;
  void FilePaneCommand(u32 commandId) override;

 private:
  CTreeListIcons& m_icons;
  QPointer<QWidget> m_window;
  QPointer<QWidget> m_list;
  std::atomic<bool> m_viewVisible{false};
  ScheduleEditor m_scheduleEditor;
  std::function<void()> m_paneFocus;          // main thread
  std::function<void(u32)> m_paneCommand;     // main thread
  CGuiSettingsDialogs m_dialogs;
  std::unique_ptr<CWndTimers> m_timers;  // main thread
  std::map<u32, std::function<void()>> m_timerFns;
  mutable std::mutex m_logMutex;
  CGuiSeamLog m_log;
};
