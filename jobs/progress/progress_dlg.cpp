// The progress dialog's protocol: worker-side stores and posts, main-thread dispatch and timers.
#include "jobs/progress/progress_dlg.h"

#include "jobs/run_host.h"
#include "lib/text/strutf8.h"
#include "platform/secure_zero.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// The first n bytes of s, or fewer so that no UTF-8 sequence is cut.
std::string CutUtf8(std::string s, std::size_t n) {
  if (s.size() <= n) return s;
  const int cut = kpw::text::Utf8SafeCut(s.data(), static_cast<int>(n), s.data() + s.size());
  s.resize(static_cast<std::size_t>(cut));
  return s;
}

std::size_t SafeSplit(const std::string& s, std::size_t n) {
  if (n >= s.size()) return s.size();
  return static_cast<std::size_t>(kpw::text::Utf8SafeCut(s.data(), static_cast<int>(n), s.data() + s.size()));
}

}  // namespace

CProgressDlg::CProgressDlg() = default;

CProgressDlg::~CProgressDlg() {
  Close();
  m_cancelled.store(1);
  if (m_thread.joinable()) m_thread.join();
}

void CProgressDlg::SetWorker(WorkerFn worker) { m_worker = std::move(worker); }

void CProgressDlg::SetCancelCallback(CancelFn fn) {
  std::lock_guard lock(m_callbackMutex);
  m_cancelFn = std::move(fn);
}

void CProgressDlg::SetClock(ClockFn clock) {
  std::lock_guard lock(m_mutex);
  m_clock = std::move(clock);
}

void CProgressDlg::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(m_mutex);
  m_wakeup = std::move(wakeup);
}

u64 CProgressDlg::Now() const {
  if (m_clock) return m_clock();
  return static_cast<u64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
}

// ---- posting -------------------------------------------------------------------------------------

bool CProgressDlg::PostLocked(u32 id, i64 argument) {
  if (!m_open) return false;
  m_posts.emplace_back(id, argument);
  return true;
}

void CProgressDlg::Wake() {
  m_postCv.notify_all();
  std::function<void()> wakeup;
  {
    std::lock_guard lock(m_mutex);
    wakeup = m_wakeup;
  }
  if (wakeup) wakeup();
}

bool CProgressDlg::Post(u32 id, i64 argument) {
  bool posted;
  {
    std::lock_guard lock(m_mutex);
    posted = PostLocked(id, argument);
  }
  if (posted) Wake();
  return posted;
}

// ---- worker side ---------------------------------------------------------------------------------

std::string CProgressDlg::ComposeLine(const char* prefix, const char* text, int head, int middle,
                                      int keepTail) const {
  std::string full = prefix ? prefix : "";
  if (text) full += text;
  if (head < 0) return CutUtf8(std::move(full), kProgressLineMax);
  full = CutUtf8(std::move(full), kProgressTextMax);
  const std::size_t headEnd = SafeSplit(full, static_cast<std::size_t>(head));
  const std::size_t midEnd =
      middle < 0 ? full.size() : SafeSplit(full, headEnd + static_cast<std::size_t>(middle));
  const std::string headText = full.substr(0, headEnd);
  const std::string midText = full.substr(headEnd, midEnd - headEnd);
  const std::string tailText = keepTail >= 1 ? full.substr(midEnd) : std::string();
  const int room = m_lineWidth - 4 - GdiTextWidth(headText, m_widths) - GdiTextWidth(tailText, m_widths);
  return CutUtf8(headText + GdiCompactPath(midText, room, m_widths) + tailText, kProgressLineMax);
}

void CProgressDlg::SetLine(const char* prefix, const char* text, int line, int head, int middle, int keepTail) {
  if (line < 0 || line > 2) return;
  bool posted = false;
  {
    std::lock_guard lock(m_mutex);
    Line& l = m_lines[static_cast<std::size_t>(line)];
    l.text = ComposeLine(prefix, text, head, middle, keepTail);
    const u64 now = Now();
    const bool due = now - l.stamp >= kProgressLineThrottleMs;
    l.stamp = now;
    if (m_open) {
      posted = due && PostLocked(ID_PROGRESS_LINE, line);
      if (!posted) l.dirty = true;
    }
  }
  if (posted) Wake();
}

void CProgressDlg::SetCaption(const char* text) {
  {
    std::lock_guard lock(m_mutex);
    m_caption = CutUtf8(text ? text : "", kProgressLineMax);
  }
  Post(ID_PROGRESS_CAPTION, 0);
}

void CProgressDlg::SetTotal(i64 total) {
  // 64-bit throughout; the loop runs until the range fits, whatever the total.
  u64 t = total <= 0 ? 1 : static_cast<u64>(total);
  if (t >= 1025) t += t / 256;
  int shift = 0;
  while (t > static_cast<u64>(kProgressRangeMax)) {
    t >>= 2;
    shift += 2;
  }
  bool changed;
  {
    std::lock_guard lock(m_mutex);
    m_shift = shift;
    changed = static_cast<int>(t) != m_range;
    if (changed) m_range = static_cast<int>(t);
    if (m_pos > m_range) m_pos = m_range;
  }
  if (changed) Post(ID_PROGRESS_RANGE, 0);
}

void CProgressDlg::SetPos(i64 position) {
  {
    std::lock_guard lock(m_mutex);
    const u64 p = position <= 0 ? 0 : static_cast<u64>(position) >> m_shift;
    m_pos = static_cast<int>(std::min<u64>(p, static_cast<u64>(m_range)));
  }
  Post(ID_PROGRESS_POS, 1);
}

void CProgressDlg::Step() {
  {
    std::lock_guard lock(m_mutex);
    m_pos = std::min(m_pos + 1, m_range);
  }
  Post(ID_PROGRESS_POS, 1);
}

void CProgressDlg::SetTimerCallback(TimerFn fn, int ms) {
  {
    // Waits for a running call of the old callback to end.
    std::lock_guard cb(m_callbackMutex);
    m_timerFn = std::move(fn);
    std::lock_guard lock(m_mutex);
    m_hasTimerFn = static_cast<bool>(m_timerFn);
    m_timerMs = ms > 0 ? static_cast<u32>(ms) : 0;
  }
  Post(ID_PROGRESS_TIMER, 0);
}

int CProgressDlg::Ask(const std::string& text, const char* caption, u32 type) {
  return AskMainThread(Question{text, caption ? caption : "", type, false}, nullptr);
}

int CProgressDlg::AskPassword(const std::string& text, const char* caption, std::string& password) {
  return AskMainThread(Question{text, caption ? caption : "", 0, true}, &password);
}

int CProgressDlg::AskMainThread(Question question, std::string* password) {
  std::unique_lock lock(m_mutex);
  if (!m_open) return IDCANCEL;
  const u64 ticket = ++m_nextTicket;
  m_questions[ticket] = std::move(question);
  PostLocked(ID_PROGRESS_ASK, static_cast<i64>(ticket));
  lock.unlock();
  Wake();
  lock.lock();
  m_answerCv.wait(lock, [&] { return m_answers.count(ticket) != 0 || !m_open; });
  int answer = IDCANCEL;
  if (const auto it = m_answers.find(ticket); it != m_answers.end()) {
    answer = it->second;
    m_answers.erase(it);
  }
  if (const auto it = m_passwords.find(ticket); it != m_passwords.end()) {
    if (password && answer == IDOK) password->swap(it->second);
    SecureWipe(it->second);
    m_passwords.erase(it);
  }
  m_questions.erase(ticket);
  return answer;
}

void CProgressDlg::Finish() {
  m_cancelled.store(1);
  Post(ID_PROGRESS_CANCEL, 0);
}

// ---- worker thread -------------------------------------------------------------------------------

void CProgressDlg::WorkerThreadProc() {
  m_workerResult.store(-1);
  if (m_worker) m_workerResult.store(m_worker(*this));
  {
    // Under the lock, so that a waiter between its test and its wait cannot miss the change.
    std::lock_guard lock(m_mutex);
    m_running.store(false);
  }
  m_workerCv.notify_all();
  Post(ID_PROGRESS_DONE, 0);
}

void CProgressDlg::WaitForWorker() {
  std::unique_lock lock(m_mutex);
  m_workerCv.wait(lock, [&] { return !m_running.load(); });
}

// ---- main thread ---------------------------------------------------------------------------------

void CProgressDlg::OnInitDialog(IProgressView& view) {
  if (m_thread.joinable() || m_ended.load()) return;  // a dialog runs once
  m_view = &view;
  const int width = view.LineWidth();
  const GdiWidthTable widths = view.CharWidths();
  std::string caption;
  std::array<std::string, 3> lines;
  int range;
  {
    std::lock_guard lock(m_mutex);
    m_lineWidth = width;
    m_widths = widths;
    m_open = true;
    m_pos = 0;
    range = m_range;
    caption = m_caption;
    for (std::size_t i = 0; i < 3; ++i) lines[i] = m_lines[i].text;
  }
  m_cancelled.store(0);
  if (!caption.empty()) view.SetCaption(caption);
  for (int i = 0; i < 3; ++i) view.SetLineText(i, lines[static_cast<std::size_t>(i)]);
  view.SetRange(range);
  view.SetPos(0);
  m_running.store(true);
  m_thread = std::thread(&CProgressDlg::WorkerThreadProc, this);
  OnCommand(ID_PROGRESS_TIMER, 0);
  StartTimer(kProgressLineTimerId, kProgressLineTimerMs);
}

void CProgressDlg::StartTimer(u32 id, u32 ms) { m_timers[id] = Timer{ms, Now() + ms}; }
void CProgressDlg::StopTimer(u32 id) { m_timers.erase(id); }

int CProgressDlg::Pump() {
  for (;;) {
    std::deque<std::pair<u32, i64>> posts;
    {
      std::lock_guard lock(m_mutex);
      posts.swap(m_posts);
    }
    if (posts.empty()) break;
    for (const auto& [id, argument] : posts) {
      if (m_ended.load()) return -1;
      OnCommand(id, argument);
    }
  }
  if (m_ended.load()) return -1;
  const u64 now = Now();
  // Collected first: a timer callback may start or stop timers.
  std::vector<u32> due;
  for (auto& [id, timer] : m_timers) {
    if (timer.due <= now) {
      due.push_back(id);
      timer.due = now + timer.period;
    }
  }
  for (u32 id : due) {
    if (m_ended.load()) return -1;
    OnTimer(id);
  }
  if (m_timers.empty()) return -1;
  u64 next = UINT64_MAX;
  for (const auto& [id, timer] : m_timers) next = std::min(next, timer.due);
  const u64 after = Now();
  return next <= after ? 0 : static_cast<int>(std::min<u64>(next - after, 1u << 30));
}

int CProgressDlg::DoModal(IProgressView& view) {
  OnInitDialog(view);
  while (!m_ended.load()) {
    const int wait = Pump();
    if (m_ended.load()) break;
    std::unique_lock lock(m_mutex);
    if (!m_open) break;
    const int ms = wait < 0 ? 100 : std::min(wait, 100);
    m_postCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_posts.empty() || !m_open; });
  }
  return m_dialogResult.load();
}

void CProgressDlg::ShowLine(int line) {
  std::string text;
  {
    std::lock_guard lock(m_mutex);
    Line& l = m_lines[static_cast<std::size_t>(line)];
    l.dirty = false;
    l.stamp = Now();
    text = l.text;
  }
  if (m_view) m_view->SetLineText(line, text);
}

void CProgressDlg::AnswerQuestion(u64 ticket) {
  Question q;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_questions.find(ticket);
    if (it == m_questions.end() || !m_open) return;  // the asker was released meanwhile
    q = it->second;
  }
  std::string password;
  int answer = IDCANCEL;
  if (m_view) answer = q.password ? m_view->AskPassword(q.text, q.caption, password) : m_view->MessageBox(q.text, q.caption, q.type);
  {
    std::lock_guard lock(m_mutex);
    // A window that closed while its box was open gave no answer: the asker gets 2.
    if (m_open && m_questions.count(ticket)) {
      m_answers[ticket] = answer;
      if (q.password) m_passwords[ticket].swap(password);
    }
  }
  SecureWipe(password);
  m_answerCv.notify_all();
}

void CProgressDlg::OnCommand(u32 id, i64 argument) {
  switch (id) {
    case ID_PROGRESS_POS: {
      int pos;
      {
        std::lock_guard lock(m_mutex);
        pos = m_pos;
      }
      if (m_view) m_view->SetPos(pos);
      break;
    }
    case ID_PROGRESS_RANGE: {
      int range;
      {
        std::lock_guard lock(m_mutex);
        range = m_range;
      }
      if (m_view) m_view->SetRange(range);
      break;
    }
    case ID_PROGRESS_CAPTION: {
      std::string caption = GetCaption();
      if (m_view) m_view->SetCaption(caption);
      break;
    }
    case ID_PROGRESS_LINE:
      if (argument >= 0 && argument <= 2) ShowLine(static_cast<int>(argument));
      break;
    case ID_PROGRESS_ASK:
      AnswerQuestion(static_cast<u64>(argument));
      break;
    case ID_PROGRESS_DONE: {
      OnTimer(kProgressLineTimerId);  // lines the throttle still holds back are the latest ones
      const int result = IsCancelled() ? IDCANCEL : IDOK;
      m_dialogResult.store(result);
      m_ended.store(true);
      if (m_view) m_view->EndDialog(result);
      Close();
      break;
    }
    case ID_PROGRESS_TIMER: {
      bool has;
      u32 ms;
      {
        std::lock_guard lock(m_mutex);
        has = m_hasTimerFn;
        ms = m_timerMs;
      }
      if (has && ms > 0) StartTimer(kProgressWorkerTimerId, ms);
      else StopTimer(kProgressWorkerTimerId);
      break;
    }
    case ID_PROGRESS_CANCEL:
      OnCancel();
      break;
    default:
      break;
  }
}

void CProgressDlg::OnCancelFlagAndCallback() {
  {
    std::lock_guard cb(m_callbackMutex);
    if (!m_cancelCalled) {
      m_cancelCalled = true;
      if (m_cancelFn) m_cancelFn();
    }
  }
  m_cancelled.store(1);
}

void CProgressDlg::OnCancel() {
  OnCancelFlagAndCallback();
  if (m_view) m_view->EnableCancel(false);
}

void CProgressDlg::OnTimer(u32 id) {
  if (id == kProgressLineTimerId) {
    for (int line = 0; line < 3; ++line) {
      bool dirty;
      {
        std::lock_guard lock(m_mutex);
        dirty = m_lines[static_cast<std::size_t>(line)].dirty;
      }
      if (dirty) ShowLine(line);
    }
  } else if (id == kProgressWorkerTimerId) {
    std::lock_guard cb(m_callbackMutex);
    if (m_timerFn) m_timerFn(*this);
  }
}

void CProgressDlg::Close() {
  // A window closed while its worker runs cancels the run; nothing else would end it.
  if (m_running.load()) OnCancelFlagAndCallback();
  {
    std::lock_guard lock(m_mutex);
    m_open = false;
    m_posts.clear();
  }
  if (!m_ended.exchange(true)) m_dialogResult.store(IDCANCEL);
  m_answerCv.notify_all();
  m_postCv.notify_all();
}

// ---- stored state --------------------------------------------------------------------------------

std::string CProgressDlg::GetLine(int line) const {
  if (line < 0 || line > 2) return {};
  std::lock_guard lock(m_mutex);
  return m_lines[static_cast<std::size_t>(line)].text;
}

std::string CProgressDlg::GetCaption() const {
  std::lock_guard lock(m_mutex);
  return m_caption;
}

int CProgressDlg::GetRange() const {
  std::lock_guard lock(m_mutex);
  return m_range;
}

int CProgressDlg::GetPos() const {
  std::lock_guard lock(m_mutex);
  return m_pos;
}

int CProgressDlg::GetShift() const {
  std::lock_guard lock(m_mutex);
  return m_shift;
}

bool CProgressDlg::IsLineDirty(int line) const {
  if (line < 0 || line > 2) return false;
  std::lock_guard lock(m_mutex);
  return m_lines[static_cast<std::size_t>(line)].dirty;
}
