// The job-list view: the rows of a job file in a seven-column tree list, with its commands.
#pragma once

#include "app/app_texts.h"
#include "app/job_file.h"
#include "controls/treelist_store.h"
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/run_rules.h"
#include "jobs/view_host.h"
#include "jobs/worker.h"
#include "lib/text/textlist.h"

#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Command ids of the view.
enum : u32 {
  ID_SELECT_ALL = 32772,
  ID_SCHEDULE = 32777,
  ID_MOVE_UP = 32784,
  ID_MOVE_DOWN = 32785,
  ID_NEW_ENTRY = 32786,
  ID_CPP_FILTER = 32788,
  ID_EDIT_CELL = 32791,
  ID_FILTER_BAR = 32792,
  ID_EDIT_DELETE = 57632,
  ID_EDIT_UNDO = 57643,
  ID_RUN = 32778,           // "Kopiwart ausführen" (F5)
  ID_STOP_RUN = 14735,      // kpw::texts::kTrayStopRun of the tray menu
  ID_CONTINUE_RUN = 14736,  // kpw::texts::kTrayContinueRun of the tray menu: changes nothing
};

class CRunLock;
class CUrlConnection;

inline constexpr u32 kFilterTimerId = 14734;
inline constexpr u32 kFilterTimerMs = 200;
// CheckEntry's row argument may carry an item id in its low 24 bits under this tag.
inline constexpr u32 kCheckEntryItemTag = 0x71000000;
// The plus and minus filters of "C++ Filter einfügen".
extern const char kCppMinusFilter[];

// 1 while a box of CKopiwartView::WorkerMessageBox is open (read by the main frame's timer).
int IsWorkerMessageBoxUp();

// Row numbers are the control's visible rows: with the filter bar shown it is row 0 and the job
// rows follow. Job indexes (GetEntryText, GetAllEntries) count every job row, hidden ones too.
// The accessors may be called from a worker thread; commands and notifications run on the main
// thread.
class CKopiwartView : public ITreeListOwner {
 public:
  // The engine's host for boxes and the progress dialog, and the view's own for its window.
  CKopiwartView(IRunHost& host, IViewHost& viewHost);
  // A host that serves both.
  template <class Host>
  explicit CKopiwartView(Host& host)
      : CKopiwartView(static_cast<IRunHost&>(host), static_cast<IViewHost&>(host)) {}
  ~CKopiwartView() override;
  CKopiwartView(const CKopiwartView&) = delete;
  CKopiwartView& operator=(const CKopiwartView&) = delete;

  CTreeListStore& List() { return m_list; }
  const CTreeListStore& List() const { return m_list; }
  IRunHost& Host() { return m_host; }
  IViewHost& ViewHost() { return m_viewHost; }

  // ---- accessors
  // Inserts a row before control row position (-1 or past the end: at the end; never before the
  // filter bar) and returns its row. Adjusts the mode only where it cannot handle the path, makes
  // local relative sources absolute, does not touch the modified bit.
  int AddEntry(int position, std::string_view source, std::string_view target, std::string_view plus,
               std::string_view minus, int subdirs, int mode, std::string_view extra);
  // A row with the given source and cells 1-6 of templateRow; -1 or a row past those shown: the
  // last job row of the list, shown or not.
  int InsertEntry(int position, int templateRow, std::string_view source);
  // Sets the row's icons and tests its source (its target for "DATE"): 0 exists or is no local
  // path, -1 missing or a bad row. row may be kCheckEntryItemTag | item id.
  int CheckEntry(int row, int message);
  int SetCell(std::string_view text, int row, int column);
  // Copy at most size - 1 bytes (never cutting a character) and terminate; the length copied,
  // -1 for a bad row, item, column or size.
  int GetCell(char* buffer, int size, int row, int column) const;
  int GetCellOfItem(char* buffer, int size, HTREEITEM item, int column) const;
  int GetEntryText(char* buffer, int size, int jobIndex, int column) const;
  std::optional<std::string> GetCell(int row, int column) const;
  std::optional<std::string> GetEntryText(int jobIndex, int column) const;
  // The item of a job row by job index (hidden rows included), or null.
  HTREEITEM GetJobItem(int jobIndex) const;
  int SetModified(int flag);
  int IsListModified() const;
  // 0 row count, 1 ScheduleWord, 2 interval count, 3 last-run time, 4 filter bar shown; else 0.
  i64 GetInfo(int selector) const;
  JobSchedule GetSchedule() const;
  void SetSchedule(u32 word, i32 interval);
  void SetLastRun(u32 time);
  void ClearList();
  void DeleteSelectedRows(int record);

  // Every job row, hidden ones included, in list order.
  std::vector<JobEntry> GetAllEntries() const;
  // Replaces the rows and the schedule by a complete list read from a file; clears modified.
  void LoadList(const JobFileContent& content);

  // A message box that may be shown from any thread, also while the window is hidden.
  int WorkerMessageBox(const std::string& text, const char* caption, u32 type);

  // ---- runs
  // Runs the whole list once (see kopiwart_run.cpp); 0, -1 (a row failed) or -2 (stopped).
  int RunAll(u32 flags);
  // The row loop on the progress dialog's worker thread, with the RunFlags of the run.
  int RunWorkerThread(CProgressDlg& dialog, u32 flags);
  // Runs one job row (job index) with its neighbours as they stand in the list now.
  int RunEntry(int row, u32 flags);
  // "Kopiwart ausführen": a run through the progress dialog with the schedule's options.
  void OnRun();
  // Stops the running run after its current file.
  void OnStopRun() { m_run.SetCancel(); }
  // Whether the last RunAll was cancelled or stopped (its last-run time was then not stored).
  bool WasLastRunCancelled() const { return m_lastRunCancelled.load(); }

  // The run state the workers reach, with its callbacks.
  CRunState& RunState() { return m_run; }
  std::atomic<u32>& FilesCopied() { return m_run.FilesCopied(); }
  int CopyCallback(int event, int index, CArcFile* archive, const char* text) {
    return m_run.CopyCallback(event, index, archive, text);
  }
  void ProgressTimer(CProgressDlg& dialog) { m_run.ProgressTimer(dialog); }
  // The connection that the "Kopiwart" worker keeps for the next row (the run state's carry owns
  // it), or null.
  CUrlConnection* KeptConnection() const { return m_run.Carry().Connection(); }
  // The frame's run lock that every run reports to (null: none).
  void SetRunLock(CRunLock* lock) { m_runLock = lock; }
  // What runs take from the machine: the clock of the schedule, the last-run time and the tags,
  // and the computer's name (the system's until set).
  void SetEnvironment(JobEnvironment env) { m_env = std::move(env); }
  const JobEnvironment& Environment() const { return m_env; }
  void SetHiddenRun(int hidden) { m_hiddenRun = hidden; }
  int GetHiddenRun() const { return m_hiddenRun; }

  // ---- commands (main thread)
  bool OnCommand(u32 id);
  void OnNewEntry();
  void OnDelete() { DeleteSelectedRows(1); }
  void OnUndo();
  bool CanUndo() const { return m_undoAvailable && m_undo.Count() > 0; }
  void OnSelectAll();
  void OnMoveUp();
  void OnMoveDown();
  int SwapRows(int row, int direction);
  void OnEditCell();
  void OnCppFilter();
  void OnSchedule();
  void OnFilterBar();
  void ApplyFilter(bool reread);
  void OnTimer(u32 id);
  int GetFilterCountdown() const { return m_filterCountdown; }
  HTREEITEM GetFilterBarItem() const { return U32ToItem(m_filterItem.load()); }

  // ---- notifications of the list
  DWORD OnCellChoice(TLNSTARTEDIT& rec);
  int OnEndLabelEdit(TLNENDEDIT& rec) override;
  void OnListKeyDown(const TLNKEYDOWN& rec);
  void OnTreeListNotify(const TLNENDDRAG& rec);
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override { return OnCellChoice(rec); }
  void OnEndDrag(const TLNENDDRAG& rec) override { OnTreeListNotify(rec); }
  void OnKeyDown(const TLNKEYDOWN& rec) override { OnListKeyDown(rec); }

 private:
  bool BarShown() const { return m_filterShown.load() != 0; }
  bool IsBar(HTREEITEM item) const { return BarShown() && item == GetFilterBarItem(); }
  int FirstJobRow() const { return BarShown() ? 1 : 0; }
  std::vector<HTREEITEM> JobItems() const;
  int JobIndexOf(HTREEITEM item) const;
  void InsertFilterBar();
  void DeleteJobRows();
  int CheckItem(HTREEITEM item, int message);
  // CheckItem on every job row, shown or not.
  void CheckAllRows();

  // What running one row came to.
  struct RowOutcome {
    int result = 0;
    bool workerCalled = false;
    u32 flags = 0;  // the RunFlags the worker got
  };
  i64 RunNow() const;
  RowKey KeyOf(const JobEntry& entry) const;
  // Runs row i of rows; prevContinued tells whether the row before handed its archive or
  // connection on (nullopt: judge from the neighbour's cells).
  RowOutcome RunRow(const std::vector<JobEntry>& rows, int i, u32 flags, std::optional<bool> prevContinued);
  int RunRows(u32 flags);
  // Closes (or, after a cancel or stop, discards) the shared archive and closes the kept
  // connection; -1 when committing the archive failed, after its text was shown.
  int ReleaseShared(u32 flags, bool discard);
  // A note that changes nothing: through the active dialog, the box with 0x02, else a line on
  // standard error, which names the row (its 1-based number) when row is not 0.
  void RunNote(u32 flags, const std::string& text, u32 type, int row = 0);
  // Tells the notes the row's worker left in the run state: one box (0x10) with 0x02, else one
  // line each on standard error.
  void TellRowNotes(u32 flags, int row);
  // A row that fails before any worker: tells why, as RunNote does without 0x02; with 0x02 the
  // same line in the row's notes box, or boxText instead as a question whose Cancel stops the run.
  int RefuseRow(u32 flags, int row, const std::string& reason, const std::string& boxText = {});
  // A tag failure: -1, or with 0x02 a question whose Cancel stops the run (-2).
  int TagFailure(u32 flags, const std::string& text);

  IRunHost& m_host;
  IViewHost& m_viewHost;
  CTreeListStore m_list;
  std::atomic<u32> m_listFlags{0};
  std::atomic<u32> m_word{0};
  std::atomic<i32> m_interval{1};
  std::atomic<u32> m_lastRun{0};
  CRunState m_run;
  CRunLock* m_runLock = nullptr;
  JobEnvironment m_env = JobEnvironment::FromSystem();
  std::atomic<bool> m_lastRunCancelled{false};
  std::atomic<bool> m_inRunAll{false};
  std::atomic<u32> m_filterItem{ItemToU32(TVI_ROOT)};
  std::atomic<int> m_filterShown{0};
  int m_filterCountdown = 0;
  std::array<std::string, JOB_COLUMNS> m_filterTexts;
  CTextList m_undo{4};
  int m_undoAvailable = 0;
  int m_contextColumn = 0;
  std::atomic<int> m_hiddenRun{0};
};

// Lexical full path of a local path: relative paths are taken from the working folder, "." and
// ".." resolved, separators written as "/", no trailing separator except for the root. Links are
// not resolved and the path need not exist.
std::string ViewFullPath(std::string_view path);
