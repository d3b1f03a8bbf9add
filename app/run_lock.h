// The main frame's run lock: which run is active, so that closing the window cancels it first.
#pragma once

#include <functional>
#include <mutex>

class CProgressDlg;
class CRunState;

// The window-free part of the frame's WM_RUN_PROGRESS_DLG handling. The run-all function reports
// every run to it; closing the window (or a signal in an unattended run) cancels through it.
class CRunLock {
 public:
  // Called under the lock with the dialog (null for a direct run) and whether a run is active.
  // It must not call back into the lock.
  using Observer = std::function<void(CProgressDlg* dialog, bool active)>;

  // A run starts: its dialog, or null for a direct run, and the run state whose cancel flag
  // stops it. With a null run the run is over.
  void OnRunProgressDlg(CProgressDlg* dialog, CRunState* run);
  // Cancels the active run: its dialog as the cancel button does, and the run's cancel flag, so
  // that a direct run stops too. true when a run was active.
  bool CancelActive();

  bool IsRunActive() const;
  CProgressDlg* ActiveDialog() const;
  void SetObserver(Observer observer);

 private:
  mutable std::mutex m_mutex;
  CProgressDlg* m_dialog = nullptr;
  CRunState* m_run = nullptr;
  Observer m_observer;
};
