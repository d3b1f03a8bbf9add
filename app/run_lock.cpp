// The main frame's run lock.
#include "app/run_lock.h"

#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/run_state.h"

void CRunLock::OnRunProgressDlg(CProgressDlg* dialog, CRunState* run) {
  std::lock_guard lock(m_mutex);
  m_run = run;
  m_dialog = run ? dialog : nullptr;
  if (m_observer) m_observer(m_dialog, m_run != nullptr);
}

bool CRunLock::CancelActive() {
  std::lock_guard lock(m_mutex);
  if (!m_run) return false;
  m_run->SetCancel();
  if (m_dialog) m_dialog->Finish();
  return true;
}

bool CRunLock::IsRunActive() const {
  std::lock_guard lock(m_mutex);
  return m_run != nullptr;
}

CProgressDlg* CRunLock::ActiveDialog() const {
  std::lock_guard lock(m_mutex);
  return m_dialog;
}

void CRunLock::SetObserver(Observer observer) {
  std::lock_guard lock(m_mutex);
  m_observer = std::move(observer);
}
