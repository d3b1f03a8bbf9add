// A host for tests that serves both callback interfaces.
#include "tests/support/scripted_host.h"

#include "jobs/progress/progress_dlg.h"

#include <chrono>
#include <cstdio>

void ScriptedRunHost::Record(std::string what, std::string text, u32 value) {
  std::lock_guard lock(m_mutex);
  m_calls.push_back(Call{std::move(what), std::move(text), value});
}

void ScriptedRunHost::QueueAnswer(int answer) {
  {
    std::lock_guard lock(m_mutex);
    m_answers.push_back(answer);
  }
  m_cv.notify_all();
}

void ScriptedRunHost::SetWaitForAnswers(bool wait) {
  {
    std::lock_guard lock(m_mutex);
    m_wait = wait;
  }
  m_cv.notify_all();
}

bool ScriptedRunHost::WaitForBoxes(std::size_t n, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_boxes.size() >= n; });
}

std::vector<ScriptedRunHost::Box> ScriptedRunHost::Boxes() const {
  std::lock_guard lock(m_mutex);
  return m_boxes;
}

std::vector<ScriptedRunHost::Call> ScriptedRunHost::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

std::vector<std::string> ScriptedRunHost::Errors() const {
  std::lock_guard lock(m_mutex);
  return m_errors;
}

void ScriptedRunHost::Clear() {
  std::lock_guard lock(m_mutex);
  m_boxes.clear();
  m_calls.clear();
  m_errors.clear();
}

void ScriptedRunHost::QueueSchedule(bool ok, u32 word, i32 interval) {
  std::lock_guard lock(m_mutex);
  m_schedules.push_back(ScheduleAnswer{ok, word, interval});
}

void ScriptedRunHost::SetViewVisible(bool visible) {
  std::lock_guard lock(m_mutex);
  m_visible = visible;
}

void ScriptedRunHost::SetListFocus(bool focus) {
  std::lock_guard lock(m_mutex);
  m_listFocus = focus;
}

int ScriptedRunHost::MessageBox(const std::string& text, const std::string& caption, u32 type) {
  std::unique_lock lock(m_mutex);
  m_boxes.push_back(Box{text, caption, type, std::this_thread::get_id()});
  m_cv.notify_all();
  // A test that never answers gets the unattended answer after a while, and a note.
  if (!m_cv.wait_for(lock, std::chrono::seconds(60), [&] { return !m_answers.empty() || !m_wait; }))
    std::fprintf(stderr, "no answer came for the box \"%s\"\n", text.c_str());
  if (m_answers.empty()) return UnattendedAnswer(type);
  const int answer = m_answers.front();
  m_answers.pop_front();
  return answer;
}

bool ScriptedRunHost::HasMainWindow() { return true; }

bool ScriptedRunHost::IsViewVisible() {
  std::lock_guard lock(m_mutex);
  return m_visible;
}

void ScriptedRunHost::TaskbarAddTab() { Record("TaskbarAddTab"); }
void ScriptedRunHost::TaskbarDeleteTab() { Record("TaskbarDeleteTab"); }
void ScriptedRunHost::TrayIconAdd(u32 iconId, const std::string& tip) { Record("TrayIconAdd", tip, iconId); }
void ScriptedRunHost::TrayIconDelete() { Record("TrayIconDelete"); }

int ScriptedRunHost::FileIcon(const std::string& path, FileIconKind kind) {
  std::lock_guard lock(m_mutex);
  if (path.empty()) return kNoIcon;
  const std::string key = (kind == FileIconKind::ByName ? "N:" : "E:") + path;
  auto it = m_icons.find(key);
  if (it != m_icons.end()) return it->second;
  int value = static_cast<int>(m_icons.size()) + 1;
  if (kind == FileIconKind::ByName) value |= 0x10000;
  m_icons.emplace(key, value);
  return value;
}

bool ScriptedRunHost::EditSchedule(u32& word, i32& interval, u32 lastRun) {
  ScheduleAnswer answer{false, 0, 0};
  {
    std::lock_guard lock(m_mutex);
    if (!m_schedules.empty()) {
      answer = m_schedules.front();
      m_schedules.pop_front();
    }
  }
  Record("EditSchedule", {}, lastRun);
  if (!answer.ok) return false;
  word = answer.word;
  interval = answer.interval;
  return true;
}

void ScriptedRunHost::ReportError(const std::string& text, const std::string& caption) {
  std::lock_guard lock(m_mutex);
  m_errors.push_back(caption + ": " + text);
}

void ScriptedRunHost::SetTimer(u32 id, u32 ms, std::function<void()> fn) {
  std::lock_guard lock(m_mutex);
  m_timers[id] = Timer{ms, 0, std::move(fn)};
}

void ScriptedRunHost::KillTimer(u32 id) {
  std::lock_guard lock(m_mutex);
  m_timers.erase(id);
}

bool ScriptedRunHost::TimerRunning(u32 id) const {
  std::lock_guard lock(m_mutex);
  return m_timers.count(id) != 0;
}

void ScriptedRunHost::AdvanceTime(u32 ms) {
  // Step in 1-ms ticks so that timers set or killed by a callback take effect at once.
  for (u32 t = 0; t < ms; ++t) {
    std::vector<std::function<void()>> due;
    {
      std::lock_guard lock(m_mutex);
      for (auto& [id, timer] : m_timers) {
        if (timer.period == 0) continue;
        if (++timer.elapsed >= timer.period) {
          timer.elapsed = 0;
          due.push_back(timer.fn);
        }
      }
    }
    for (auto& fn : due) fn();
  }
}

bool ScriptedRunHost::ListHasFocus() {
  std::lock_guard lock(m_mutex);
  return m_listFocus;
}

int ScriptedRunHost::RunProgressDialog(CProgressDlg& dialog) {
  Record("RunProgressDialog");
  return dialog.DoModal(m_progressView);
}

void ScriptedRunHost::FocusFilePane() { Record("FocusFilePane"); }
void ScriptedRunHost::FilePaneCommand(u32 commandId) { Record("FilePaneCommand", {}, commandId); }
