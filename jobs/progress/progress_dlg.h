// The progress dialog of a run: a worker thread that reports through posted commands, and the
// main-thread side that draws them through an IProgressView.
#pragma once

#include "lib/text/compact_path.h"
#include "jobs/progress/progress_view.h"
#include "lib/system/sys_counter.h"
#include "platform/win_types.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// Commands that the worker side posts to the dialog (id, argument).
enum : u32 {
  ID_PROGRESS_POS = 0xFF00,      // show the stored position
  ID_PROGRESS_RANGE = 0xFF01,    // show the stored range
  ID_PROGRESS_CAPTION = 0xFF02,  // show the stored caption
  ID_PROGRESS_LINE = 0xFF03,     // argument: the line 0-2
  ID_PROGRESS_ASK = 0xFF04,      // argument: the question's ticket
  ID_PROGRESS_DONE = 0xFF05,     // the worker returned
  ID_PROGRESS_TIMER = 0xFF08,    // start or stop the worker's timer
  ID_PROGRESS_CANCEL = 2,        // IDCANCEL: the cancel button
};

inline constexpr u32 kProgressLineTimerId = 65286;    // flushes lines held back by the throttle
inline constexpr u32 kProgressWorkerTimerId = 65287;  // runs the worker's timer callback
inline constexpr u32 kProgressLineTimerMs = 200;
inline constexpr u32 kProgressLineThrottleMs = 100;   // one post per line at most this often
inline constexpr int kProgressLineMax = 255;          // bytes of a shown line
inline constexpr int kProgressTextMax = 1023;         // bytes of prefix and text together
inline constexpr int kProgressRangeMax = 32767;

// Order of use (main thread): SetWorker, SetCancelCallback, then DoModal (headless), or
// OnInitDialog and Pump from a window's event loop. The worker side (SetLine ... Finish) may be
// called from any thread; Ask only from a worker, never from the main thread.
class CProgressDlg {
 public:
  using WorkerFn = std::function<int(CProgressDlg&)>;
  using TimerFn = std::function<void(CProgressDlg&)>;
  using CancelFn = std::function<void()>;
  using ClockFn = std::function<u64()>;  // monotonic milliseconds

  CProgressDlg();
  // Closes (a worker waiting in Ask gets 2), raises the cancel flag and waits for the worker.
  ~CProgressDlg();
  CProgressDlg(const CProgressDlg&) = delete;
  CProgressDlg& operator=(const CProgressDlg&) = delete;

  // ---- main thread, before the dialog runs
  // The worker: a callable that carries what it works on (the run binds its view and RunFlags).
  void SetWorker(WorkerFn worker);
  // Called once, on the first cancel (also from a worker, to change it during a transfer).
  void SetCancelCallback(CancelFn fn);
  template <class T>
  void SetCancelCallback(void (*fn)(T*), T* context) {
    SetCancelCallback(fn ? CancelFn([fn, context] { fn(context); }) : CancelFn());
  }
  void SetClock(ClockFn clock);
  // Called after every post, from the posting thread: a window binding schedules Pump with it.
  void SetWakeup(std::function<void()> wakeup);

  // ---- main thread: the modal loop
  // Runs the dialog on the calling thread until the worker is done; 1, or 2 when cancelled.
  int DoModal(IProgressView& view);
  // The loop's pieces for a window binding: OnInitDialog once, then Pump on every wake-up and
  // when the returned number of milliseconds (-1: no timer) has passed.
  void OnInitDialog(IProgressView& view);
  int Pump();
  void OnCommand(u32 id, i64 argument);
  void OnCancel();
  void OnTimer(u32 id);
  // The window is gone: posts are dropped, Ask answers 2 at once, waiting workers are woken; a
  // worker still running is cancelled as by the button.
  void Close();
  bool IsEnded() const { return m_ended.load(); }
  int GetDialogResult() const { return m_dialogResult.load(); }

  // ---- worker side
  // Line 0-2: prefix + text; with head >= 0 the text is split into a head kept as it is, a
  // middle of that length (-1: to the end) shortened to the line's width, and, with keepTail,
  // the rest. Posted at most every 100 ms per line; the 200 ms timer shows what was held back.
  void SetLine(const char* prefix, const char* text, int line, int head = -1, int middle = -1, int keepTail = 0);
  void SetCaption(const char* text);
  // Scales a 64-bit total to the bar (at most 32767 steps, power-of-four shift).
  void SetTotal(i64 total);
  void SetPos(i64 position);
  void Step();
  // Runs fn on the main thread every ms; null stops it. Once this returns with null, no call of
  // the old callback is running or will run, so its context may be freed.
  void SetTimerCallback(TimerFn fn, int ms);
  template <class T>
  void SetTimerCallback(void (*fn)(CProgressDlg&, T*), int ms, T* context) {
    SetTimerCallback(fn ? TimerFn([fn, context](CProgressDlg& d) { fn(d, context); }) : TimerFn(), ms);
  }
  // Asks on the main thread and waits for the answer; 2 at once when the dialog is closing or
  // closed, and 2 when it closes while waiting.
  int Ask(const std::string& text, const char* caption, u32 type);
  // Asks for a password the same way: IDOK with the password, IDCANCEL, or IDIGNORE where the
  // window has no one to ask. The password passes through no other copy that outlives the call.
  int AskPassword(const std::string& text, const char* caption, std::string& password);
  // Cancels as the button does.
  void Finish();

  // The cancelled flag: read by workers, handed to the copy engine.
  SysCancelFlag& CancelFlag() { return m_cancelled; }
  bool IsCancelled() const { return m_cancelled.load() != 0; }
  int GetWorkerResult() const { return m_workerResult.load(); }
  bool IsWorkerRunning() const { return m_running.load(); }
  // Returns once the worker has returned, at once when it never started; any thread but the
  // worker's. A window closed from outside ends its loop before the worker does.
  void WaitForWorker();

  // Stored state (what the next command will show).
  std::string GetLine(int line) const;
  std::string GetCaption() const;
  int GetRange() const;
  int GetPos() const;
  int GetShift() const;
  bool IsLineDirty(int line) const;

 private:
  // The cancel button's effect without touching the window: the callback once, the flag.
  void OnCancelFlagAndCallback();
  struct Line {
    std::string text;
    bool dirty = false;
    u64 stamp = 0;
  };
  struct Question {
    std::string text, caption;
    u32 type = 0;
    bool password = false;
  };
  struct Timer {
    u32 period = 0;
    u64 due = 0;
  };

  u64 Now() const;
  // Queues a command while the window exists; false when it does not.
  bool Post(u32 id, i64 argument);
  bool PostLocked(u32 id, i64 argument);
  void Wake();
  void WorkerThreadProc();
  std::string ComposeLine(const char* prefix, const char* text, int head, int middle, int keepTail) const;
  void StartTimer(u32 id, u32 ms);
  void StopTimer(u32 id);
  void ShowLine(int line);
  void AnswerQuestion(u64 ticket);
  // Posts the question, waits for its answer (and the password, for a password question).
  int AskMainThread(Question question, std::string* password);

  // Everything below m_mutex is shared between the worker and the main thread.
  mutable std::mutex m_mutex;
  std::condition_variable m_postCv;    // a command was posted, or the dialog closed
  std::condition_variable m_answerCv;  // an answer arrived, or the dialog closed
  std::condition_variable m_workerCv;  // the worker returned
  bool m_open = false;
  std::deque<std::pair<u32, i64>> m_posts;
  std::array<Line, 3> m_lines;
  std::string m_caption;
  int m_range = 100;
  int m_shift = 0;
  int m_pos = 0;
  u64 m_nextTicket = 0;
  std::map<u64, Question> m_questions;
  std::map<u64, int> m_answers;
  std::map<u64, std::string> m_passwords;  // answers of password questions, until taken
  int m_lineWidth = 0;
  GdiWidthTable m_widths = GdiWidthTable::Uniform(1);
  u32 m_timerMs = 0;
  bool m_hasTimerFn = false;
  std::function<void()> m_wakeup;
  ClockFn m_clock;

  // Guards the callbacks; held while one runs, so that replacing one waits for its end.
  std::mutex m_callbackMutex;
  TimerFn m_timerFn;
  CancelFn m_cancelFn;
  bool m_cancelCalled = false;

  WorkerFn m_worker;
  SysCancelFlag m_cancelled{0};
  std::atomic<int> m_workerResult{-1};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_ended{false};
  std::atomic<int> m_dialogResult{0};
  std::thread m_thread;

  // Main thread only.
  IProgressView* m_view = nullptr;
  std::map<u32, Timer> m_timers;
};
