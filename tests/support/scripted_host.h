// A host for tests that serves both callback interfaces: answers from a queue, every call recorded,
// timers run by the test's clock, the progress dialog drawn into a scripted view.
#pragma once

#include "jobs/run_host.h"
#include "jobs/view_host.h"
#include "tests/support/scripted_progress_view.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// For tests: answers come from a queue that the test fills, everything asked is recorded, and
// timers run when the test advances the clock. Thread-safe.
class ScriptedRunHost : public IRunHost, public IViewHost {
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
  bool m_listFocus = true;
  std::map<std::string, int> m_icons;
  std::map<u32, Timer> m_timers;
  ScriptedProgressView m_progressView;
};
