// A progress window for tests: records what the dialog draws and answers its boxes.
#pragma once

#include "jobs/progress/progress_view.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Records every call; boxes are answered from a queue (or by a function), else with IDOK.
// Thread-safe, so that a test may read while a loop on another thread draws.
class ScriptedProgressView : public IProgressView {
 public:
  struct Call {
    std::string what;  // "Caption", "Line", "Range", "Pos", "EnableCancel", "Box", "Password", "End"
    int value = 0;     // line, range, position, enable, box type, result
    std::string text;
  };

  explicit ScriptedProgressView(int lineWidth = 200, GdiWidthTable widths = GdiWidthTable::Uniform(1))
      : m_lineWidth(lineWidth), m_widths(widths) {}

  void QueueAnswer(int answer);
  // Answers of password boxes, in order: a password (IDOK), or none (IDCANCEL); IDCANCEL when the
  // queue is empty. Each box is recorded as "Password" with its text.
  void QueuePassword(std::optional<std::string> password);
  // Answers boxes by a function (called outside the view's lock); overrides the queue.
  void SetAnswerFunction(std::function<int(const std::string& text, u32 type)> fn);
  std::vector<Call> Calls() const;
  std::vector<Call> CallsOf(const std::string& what) const;
  // The last text shown on a line ("" when none).
  std::string LineText(int line) const;
  // Blocks until a call of that kind was recorded n times (or the timeout passed).
  bool WaitFor(const std::string& what, std::size_t n, int timeoutMs = 5000) const;
  void Clear();

  void SetCaption(const std::string& text) override;
  void SetLineText(int line, const std::string& text) override;
  void SetRange(int range) override;
  void SetPos(int position) override;
  void EnableCancel(bool enable) override;
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  int AskPassword(const std::string& text, const std::string& caption, std::string& password) override;
  void EndDialog(int result) override;
  int LineWidth() override { return m_lineWidth; }
  GdiWidthTable CharWidths() override { return m_widths; }

 private:
  void Record(std::string what, int value, std::string text = {});

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<Call> m_calls;
  std::deque<int> m_answers;
  std::deque<std::optional<std::string>> m_passwords;
  std::function<int(const std::string&, u32)> m_answerFn;
  int m_lineWidth;
  GdiWidthTable m_widths;
};
