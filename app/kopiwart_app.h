// The application object: start-up from the command line, the start-up run, "Konfigurieren".
#pragma once

#include "app/app_frame.h"
#include "app/app_texts.h"
#include "app/command_line.h"
#include "app/recent_files.h"
#include "app/run_lock.h"
#include "jobs/worker.h"
#include "platform/win_types.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class CKopiwartDoc;
class CKopiwartView;

// Command ids of the application.
enum : u32 {
  ID_APP_ABOUT = 57664,
  ID_PROGRAM_INFO = 32779,
  ID_CONFIGURE = 32783,
  ID_SYNTAX_INFO = 32787,
};

// Exit statuses of the program.
enum : int {
  KPW_EXIT_OK = 0,       // every row did its work, or the schedule held the run back
  KPW_EXIT_FAILED = 1,   // a row failed
  KPW_EXIT_STOPPED = 2,  // the run was stopped or cancelled, or the job file could not be read or saved
};

class CKopiwartApp {
 public:
  explicit CKopiwartApp(IAppFrame& frame);
  // Cancels a start-up run that still works and waits for it.
  ~CKopiwartApp();
  CKopiwartApp(const CKopiwartApp&) = delete;
  CKopiwartApp& operator=(const CKopiwartApp&) = delete;

  // In order: the variables, the registry key "Tavrin" with the recent files, the command line,
  // the document with its view, the job file opened (or a new list), the window shown. FALSE
  // when the job file could not be opened (the program ends).
  BOOL InitInstance(int argc, const char* const* argv);
  // Frees the variables table and keeps the recent files; returns the exit status.
  int ExitInstance();
  // InitInstance, the main loop, ExitInstance: the program's exit status.
  int Run(int argc, const char* const* argv);

  // Before InitInstance: the switch N comes on whatever the command line says (no window can be
  // shown), and what runs take from the machine (the system's until set).
  void ForceNoWindow() { m_forceNoWindow = true; }
  void SetEnvironment(JobEnvironment env) { m_env = std::move(env); }

  // The switches; start-at-once and always are cleared after the first open.
  BOOL StartAtOnce() const { return m_startAtOnce; }
  BOOL Always() const { return m_always; }
  BOOL NoWindow() const { return m_noWindow; }
  int ShowCommand() const { return m_showCommand; }
  void ClearStartSwitches() {
    m_startAtOnce = FALSE;
    m_always = FALSE;
  }

  IAppFrame& Frame() { return m_frame; }
  CRunLock& RunLock() { return m_runLock; }
  CRecentFileList& RecentFiles() { return m_recent; }
  CKopiwartDoc* GetDocument() { return m_doc.get(); }
  CKopiwartView* GetView() { return m_view.get(); }

  // Opens a job file into the document (as the window's "Öffnen" does): it joins the recent files.
  BOOL OpenDocumentFile(const std::string& path);

  // "Konfigurieren": registers ".ssy" and ".kpw" with the desktop and runs ".kpw" files with
  // kConfigureOpenArguments; reports through a box. exePath null: the running program.
  BOOL OnConfigure(const char* exePath = nullptr);

  // Closing the main window: cancels a running run and waits for the start-up run, so that
  // nothing it uses is destroyed under it.
  void OnClose();
  // A cancel from outside (SIGINT, SIGTERM, closing the window): the running run stops, one not
  // started yet does not start. tell: say so on standard error (once).
  void RequestCancel(bool tell = true);
  bool CancelRequested() const { return m_cancelRequested.load(); }

  // Starts the start-up run body: on a thread of its own for a direct run, else on the main
  // thread from the main loop (the progress dialog's loop runs there).
  void StartStartupRun(std::function<void()> body, bool ownThread);
  void WaitForStartupRun();
  // From the start of a start-up run until its body has returned (it ends the program itself).
  bool StartupRunActive() const { return m_startupActive.load(); }

 private:
  IAppFrame& m_frame;
  CRunLock m_runLock;
  CRecentFileList m_recent{9};
  std::unique_ptr<CKopiwartView> m_view;
  std::unique_ptr<CKopiwartDoc> m_doc;
  BOOL m_startAtOnce = FALSE;
  BOOL m_noWindow = FALSE;
  BOOL m_always = FALSE;
  int m_showCommand = SW_SHOW;
  bool m_forceNoWindow = false;
  std::optional<JobEnvironment> m_env;
  std::atomic<bool> m_cancelRequested{false};
  std::atomic<bool> m_startupActive{false};
  std::mutex m_threadMutex;
  std::thread m_startupThread;
};

// Statuses of a start-up run's result: 0, -1 and -2 of RunAll, or a cancel.
int StartupExitStatus(int runResult, bool cancelled);
