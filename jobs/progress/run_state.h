// The view's run state: cancel flag, files-copied counter, active progress dialog, the progress
// record that the timer reads, the excluded-folder list and what a row hands to the next (the
// shared archive, the held connection); with the archive callback and the progress timer of a run.
#pragma once

#include "archive/zip_file.h"
#include "jobs/exclude_list.h"
#include "jobs/progress/row_carry.h"
#include "lib/system/sys_counter.h"
#include "platform/win_types.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CProgressDlg;

// What the current operation of a worker is, for the progress timer.
enum ProgressKind : int {
  PROGRESS_KIND_NONE = 0,
  PROGRESS_KIND_BYTES = 1,       // bytes done before the current file
  PROGRESS_KIND_TRANSFER = 2,    // plus the held connection's transfer counter
  PROGRESS_KIND_COPY = 3,        // plus the local copy's byte counter
  PROGRESS_KIND_ARCHIVE = 4,     // position and total of the shared archive
  PROGRESS_KIND_CONNECTION = 5,  // the held connection's own done and total
};

// Written by the worker, read by the progress timer on the main thread.
struct ProgressRecord {
  std::atomic<int> kind{PROGRESS_KIND_NONE};
  std::atomic<u64> bytesBefore{0};  // bytes done before the current file
  SysByteCounter bytes{0};          // advanced by the copy engine during a local copy
  std::atomic<u64> fileSize{0};     // size of the current file
  std::atomic<u64> startTick{0};    // start of the current operation (ms of the run's clock)

  void SetFileName(std::string name);
  std::string FileName() const;
  void Reset();

 private:
  mutable std::mutex m_nameMutex;
  std::string m_fileName;
};

inline constexpr int kProgressTimerMs = 300;          // interval the workers install
inline constexpr u64 kArchiveLineThrottleMs = 100;    // archive progress lines at most this often
inline constexpr int kArchiveEntryNameMax = 259;      // bytes of an entry name that count

class CRunState {
 public:
  using BoxFn = std::function<int(const std::string& text, const char* caption, u32 type)>;
  using ClockFn = std::function<u64()>;

  CRunState();
  ~CRunState();
  CRunState(const CRunState&) = delete;
  CRunState& operator=(const CRunState&) = delete;

  // Clears the cancel flag and the files-copied counter (the start of a run).
  void StartRun();

  SysCancelFlag& CancelFlag() { return m_cancel; }
  bool IsCancelled() const { return m_cancel.load() != 0; }
  void SetCancel() { m_cancel.store(1); }
  std::atomic<u32>& FilesCopied() { return m_filesCopied; }

  // The dialog of the running run, or null (direct runs, between runs).
  CProgressDlg* ActiveDialog() const { return m_dialog.load(); }
  void SetActiveDialog(CProgressDlg* dialog) { m_dialog.store(dialog); }
  // Sets the active dialog for a scope and clears it on every way out, so that no pointer to a
  // destroyed dialog stays behind.
  class ScopedActiveDialog {
   public:
    ScopedActiveDialog(CRunState& state, CProgressDlg* dialog) : m_state(state) { state.SetActiveDialog(dialog); }
    ~ScopedActiveDialog() { m_state.SetActiveDialog(nullptr); }
    ScopedActiveDialog(const ScopedActiveDialog&) = delete;
    ScopedActiveDialog& operator=(const ScopedActiveDialog&) = delete;

   private:
    CRunState& m_state;
  };

  ProgressRecord& Progress() { return m_progress; }
  CExcludeList& ExcludeList() { return m_exclude; }
  // What a row hands to the next; the runner releases it after every row that does not.
  CRowCarry& Carry() { return m_carry; }
  const CRowCarry& Carry() const { return m_carry; }
  CZipFile& SharedArchive() { return m_carry.Archive(); }
  void SetSharedArchive(std::unique_ptr<CZipFile> archive) { m_carry.SetArchive(std::move(archive)); }

  // The box for questions of a run with 0x02 but without a dialog (the view's WorkerMessageBox).
  void SetMessageBox(BoxFn box);
  void SetClock(ClockFn clock);
  u64 Now() const;

  // A worker's question: with RunFlags 0x02 through the active dialog's Ask, else the box;
  // without 0x02 nothing is asked: the text goes to standard error and the unattended answer is
  // returned. The answer 2 (Cancel) raises the cancel flag. A URL's password in the text, and in
  // a note's, is shown as "***".
  int WorkerQuestion(u32 runFlags, const std::string& text, u32 type);
  // A worker's password question, with the caption "Kennwort": only with RunFlags 0x02 and a
  // progress dialog (else IDIGNORE: no one to ask). IDOK with the password, IDCANCEL (which raises
  // the cancel flag), or IDIGNORE. The password is never written anywhere.
  int AskPassword(u32 runFlags, const std::string& text, std::string& password);

  // A note of a worker that changes neither the row's result nor its work (something left alone
  // for a reason the user should know); the runner tells the row's notes once the row is done.
  void Note(std::string text);
  std::vector<std::string> TakeNotes();

  // The archive callback of the zip workers; context is the run state.
  int CopyCallback(int event, int index, CArcFile* archive, const char* text);
  static int CopyCallbackFn(void* context, int event, int index, CArcFile* archive, const char* text);

  // The progress timer: shows the progress record on the dialog; kinds 2 and 5 read the connection
  // that the row holds in the carry, and nothing once it let it go.
  void ProgressTimer(CProgressDlg& dialog);
  // Installs ProgressTimer on the dialog every 300 ms (null dialog: nothing).
  void InstallProgressTimer(CProgressDlg* dialog);

 private:
  bool DialogCancelled() const;

  SysCancelFlag m_cancel{0};
  std::atomic<u32> m_filesCopied{0};
  std::atomic<CProgressDlg*> m_dialog{nullptr};
  ProgressRecord m_progress;
  CExcludeList m_exclude;
  CRowCarry m_carry;
  std::atomic<u64> m_lastArchiveLine{0};
  std::atomic<bool> m_archiveLineShown{false};
  mutable std::mutex m_hookMutex;
  std::vector<std::string> m_notes;
  BoxFn m_box;
  ClockFn m_clock;
};
