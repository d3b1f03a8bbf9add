// The one callback interface through which the engine reaches a window, an unattended run or a test.
#pragma once

#include "jobs/progress_view.h"
#include "platform/win_types.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Message-box types: buttons in the low nibble, icon in the next.
enum : u32 {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_ABORTRETRYIGNORE = 0x2,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_TYPEMASK = 0xF,
  MB_ICONHAND = 0x10,         // stop
  MB_ICONQUESTION = 0x20,
  MB_ICONEXCLAMATION = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_ICONMASK = 0xF0,
};

// Answers of a message box.
enum : int {
  IDOK = 1,
  IDCANCEL = 2,
  IDABORT = 3,
  IDRETRY = 4,
  IDIGNORE = 5,
  IDYES = 6,
  IDNO = 7,
};

class CProgressDlg;

// The application's title: the caption of a box that names none.
inline constexpr char kAppTitle[] = "Kopiwart";

// Image value for "no icon".
inline constexpr int kNoIcon = 0x70000000;

// How a file icon is to be found.
enum class FileIconKind {
  Existing,  // the path exists: the icon of the real file or folder
  ByName,    // the path is missing: the icon that its name alone gives
};

// What the engine needs from its surroundings. Calls may come from any thread unless stated; an
// implementation hands window work to its own thread.
class IRunHost {
 public:
  virtual ~IRunHost() = default;

  // Shows a message box and blocks until it is answered; returns an ID* answer. A null-like
  // (empty) caption means the application's title.
  virtual int MessageBox(const std::string& text, const std::string& caption, u32 type) = 0;
  // Whether the main window exists, and whether the view's window is visible.
  virtual bool HasMainWindow() = 0;
  virtual bool IsViewVisible() = 0;
  // Taskbar button of the main window, and the tray icon (id 0) with its tip.
  virtual void TaskbarAddTab() = 0;
  virtual void TaskbarDeleteTab() = 0;
  virtual void TrayIconAdd(u32 iconId, const std::string& tip) = 0;
  virtual void TrayIconDelete() = 0;
  // Image index of the small icon for a path, or kNoIcon.
  virtual int FileIcon(const std::string& path, FileIconKind kind) = 0;
  // The schedule dialog (main thread): edits word and count; true when it ended with OK.
  virtual bool EditSchedule(u32& word, i32& interval, u32 lastRun) = 0;
  // Failures of opening and saving a job file, as German text (main thread or start-up thread).
  virtual void ReportError(const std::string& text, const std::string& caption) = 0;
  // Timers of the view's window (main thread): fn runs on the main thread every ms milliseconds
  // until KillTimer; setting an id again replaces it.
  virtual void SetTimer(u32 id, u32 ms, std::function<void()> fn) = 0;
  virtual void KillTimer(u32 id) = 0;
  // Keyboard focus of the job list, and the file pane beside it.
  virtual bool ListHasFocus() = 0;
  virtual void FocusFilePane() = 0;
  virtual void FilePaneCommand(u32 commandId) = 0;
  // Runs a progress dialog modally on the calling thread until its worker is done (the dialog
  // has its worker set); returns the dialog's result, 1 or 2 when cancelled.
  virtual int RunProgressDialog(CProgressDlg& dialog) = 0;
};

// The answer an unattended run gives to a box of that type: it goes on without retrying forever
// and without doing anything that needs consent.
int UnattendedAnswer(u32 type);

// For runs without a window: never blocks, writes each message to standard error, answers as
// UnattendedAnswer, has no icons, never edits the schedule.
class HeadlessRunHost : public IRunHost {
 public:
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  bool HasMainWindow() override { return false; }
  bool IsViewVisible() override { return false; }
  void TaskbarAddTab() override {}
  void TaskbarDeleteTab() override {}
  void TrayIconAdd(u32, const std::string&) override {}
  void TrayIconDelete() override {}
  int FileIcon(const std::string&, FileIconKind) override { return kNoIcon; }
  bool EditSchedule(u32&, i32&, u32) override { return false; }
  void ReportError(const std::string& text, const std::string& caption) override;
  void SetTimer(u32, u32, std::function<void()>) override {}
  void KillTimer(u32) override {}
  bool ListHasFocus() override { return false; }
  void FocusFilePane() override {}
  void FilePaneCommand(u32) override {}
  // The dialog's loop with a view that draws nothing; its boxes go to MessageBox.
  int RunProgressDialog(CProgressDlg& dialog) override;
};

// For tests: answers come from a queue that the test fills, everything asked is recorded, and
// timers run when the test advances the clock. Thread-safe.
class ScriptedRunHost : public IRunHost {
 public:
  struct Box {
    std::string text, caption;
    u32 type = 0;
    std::thread::id thread;
  };
  struct Call {
    std::string what;  // "TaskbarAddTab", "TrayIconAdd", "FocusFilePane", "FilePaneCommand", ...
    std::string text;
    u32 value = 0;
  };

  // Answers for the next boxes, in order. When none is queued: the box waits for one when waiting
  // is on, else answers as an unattended run.
  void QueueAnswer(int answer);
  void SetWaitForAnswers(bool wait);
  // Blocks until n boxes were asked (or the timeout in ms passed); true when they were.
  bool WaitForBoxes(std::size_t n, int timeoutMs = 5000);
  std::vector<Box> Boxes() const;
  std::vector<Call> Calls() const;
  std::vector<std::string> Errors() const;
  void Clear();

  // Schedule dialog results, in order; without one the dialog is cancelled.
  void QueueSchedule(bool ok, u32 word, i32 interval);
  void SetViewVisible(bool visible);
  void SetMainWindow(bool exists);
  void SetListFocus(bool focus);

  // Advances the clock: every timer fires once per full period that passes.
  void AdvanceTime(u32 ms);
  bool TimerRunning(u32 id) const;

  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  bool HasMainWindow() override;
  bool IsViewVisible() override;
  void TaskbarAddTab() override;
  void TaskbarDeleteTab() override;
  void TrayIconAdd(u32 iconId, const std::string& tip) override;
  void TrayIconDelete() override;
  // Icons are numbered by first use of a path (from 1); ByName lookups are numbered apart, with
  // bit 0x10000 set, so that tests can tell them from real files.
  int FileIcon(const std::string& path, FileIconKind kind) override;
  bool EditSchedule(u32& word, i32& interval, u32 lastRun) override;
  void ReportError(const std::string& text, const std::string& caption) override;
  void SetTimer(u32 id, u32 ms, std::function<void()> fn) override;
  void KillTimer(u32 id) override;
  bool ListHasFocus() override;
  void FocusFilePane() override;
  void FilePaneCommand(u32 commandId) override;
  // The dialog's loop drawing into ProgressView(), whose queue answers the dialog's boxes.
  int RunProgressDialog(CProgressDlg& dialog) override;
  ScriptedProgressView& ProgressView() { return m_progressView; }

 private:
  struct Timer {
    u32 period = 0;
    u32 elapsed = 0;
    std::function<void()> fn;
  };
  struct ScheduleAnswer {
    bool ok;
    u32 word;
    i32 interval;
  };
  void Record(std::string what, std::string text = {}, u32 value = 0);

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<int> m_answers;
  bool m_wait = false;
  std::vector<Box> m_boxes;
  std::vector<Call> m_calls;
  std::vector<std::string> m_errors;
  std::deque<ScheduleAnswer> m_schedules;
  bool m_visible = true;
  bool m_mainWindow = true;
  bool m_listFocus = true;
  std::map<std::string, int> m_icons;
  std::map<u32, Timer> m_timers;
  ScriptedProgressView m_progressView;
};
