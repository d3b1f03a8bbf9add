// A progress window for tests: records what the dialog draws and answers its boxes.
#include "tests/support/scripted_progress_view.h"

#include "jobs/run_host.h"

#include <chrono>

void ScriptedProgressView::Record(std::string what, int value, std::string text) {
  {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(Call{std::move(what), value, std::move(text)});
  }
  m_cv.notify_all();
}

void ScriptedProgressView::QueueAnswer(int answer) {
  std::lock_guard lock(m_mutex);
  m_answers.push_back(answer);
}

void ScriptedProgressView::SetAnswerFunction(std::function<int(const std::string&, u32)> fn) {
  std::lock_guard lock(m_mutex);
  m_answerFn = std::move(fn);
}

std::vector<ScriptedProgressView::Call> ScriptedProgressView::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

std::vector<ScriptedProgressView::Call> ScriptedProgressView::CallsOf(const std::string& what) const {
  std::lock_guard lock(m_mutex);
  std::vector<Call> out;
  for (const Call& c : m_calls)
    if (c.what == what) out.push_back(c);
  return out;
}

std::string ScriptedProgressView::LineText(int line) const {
  std::lock_guard lock(m_mutex);
  for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it)
    if (it->what == "Line" && it->value == line) return it->text;
  return {};
}

bool ScriptedProgressView::WaitFor(const std::string& what, std::size_t n, int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    std::size_t count = 0;
    for (const Call& c : m_calls) count += c.what == what;
    return count >= n;
  });
}

void ScriptedProgressView::Clear() {
  std::lock_guard lock(m_mutex);
  m_calls.clear();
}

void ScriptedProgressView::SetCaption(const std::string& text) { Record("Caption", 0, text); }
void ScriptedProgressView::SetLineText(int line, const std::string& text) { Record("Line", line, text); }
void ScriptedProgressView::SetRange(int range) { Record("Range", range); }
void ScriptedProgressView::SetPos(int position) { Record("Pos", position); }
void ScriptedProgressView::EnableCancel(bool enable) { Record("EnableCancel", enable ? 1 : 0); }
void ScriptedProgressView::EndDialog(int result) { Record("End", result); }

int ScriptedProgressView::MessageBox(const std::string& text, const std::string&, u32 type) {
  Record("Box", static_cast<int>(type), text);
  std::function<int(const std::string&, u32)> fn;
  {
    std::lock_guard lock(m_mutex);
    fn = m_answerFn;
    if (!fn) {
      if (m_answers.empty()) return IDOK;
      const int answer = m_answers.front();
      m_answers.pop_front();
      return answer;
    }
  }
  return fn(text, type);
}

void ScriptedProgressView::QueuePassword(std::optional<std::string> password) {
  std::lock_guard lock(m_mutex);
  m_passwords.push_back(std::move(password));
}

int ScriptedProgressView::AskPassword(const std::string& text, const std::string&, std::string& password) {
  Record("Password", 0, text);
  std::lock_guard lock(m_mutex);
  if (m_passwords.empty() || !m_passwords.front()) {
    if (!m_passwords.empty()) m_passwords.pop_front();
    return IDCANCEL;
  }
  password = *m_passwords.front();
  m_passwords.pop_front();
  return IDOK;
}
