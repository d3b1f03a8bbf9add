// The document: owns the job file's name, reads and writes it for the view.
#pragma once

#include "app/job_file.h"
#include "platform/win_types.h"

#include <string>

class CKopiwartApp;
class CKopiwartView;
class IRunHost;

class CKopiwartDoc {
 public:
  explicit CKopiwartDoc(IRunHost& host) : m_host(host) {}
  virtual ~CKopiwartDoc() = default;
  CKopiwartDoc(const CKopiwartDoc&) = delete;
  CKopiwartDoc& operator=(const CKopiwartDoc&) = delete;

  // The first view, which holds the rows; without one, Serialize does nothing.
  void SetView(CKopiwartView* view) { m_view = view; }
  CKopiwartView* GetFirstView() const { return m_view; }
  // The application whose switches an open obeys (start-up run); null: none.
  void SetApp(CKopiwartApp* app) { m_app = app; }
  CKopiwartApp* GetApp() const { return m_app; }

  // Storing: the job file's bytes of the view's list (every row, hidden ones included).
  std::string SerializeStore() const;
  // Loading: parses into a fresh list first and only then replaces the view's rows and schedule;
  // clears the list-modified bit.
  void SerializeLoad(std::string_view bytes);

  // New list: the view is cleared.
  BOOL OnNewDocument();
  // Sets KPW_PATH and KPW_FILE, reads the file and hands the list to the view. A failure reports
  // through the host and leaves the old list, its schedule and the two variables as they were;
  // so does a file that is no job file (JobFileAccepted).
  // With the application's start-at-once switch a successful open starts the start-up run;
  // start-at-once and always are cleared after every open.
  BOOL OnOpenDocument(const std::string& path);
  // Writes through a temporary file beside the target, fsync and rename; on success sets
  // KPW_PATH and KPW_FILE and clears the list-modified bit. A failure reports through the host
  // and leaves the old file intact.
  BOOL OnSaveDocument(const std::string& path);

  BOOL IsModified() const;
  void SetModifiedFlag(BOOL modified) { m_modified = modified; }
  const std::string& GetPathName() const { return m_path; }

  // Saves the last-run time of a start-up run: only the "/LETZTE=" line of the file on disk is
  // written anew, so that nothing the reader passed over is lost; a file that cannot be read is
  // saved whole. Clears the list-modified bit; FALSE (reported) when the file cannot be written.
  BOOL SaveLastRun(const std::string& path);

  // The start-up run's state: without a window, its RunFlags, the job file, the tick it began.
  BOOL IsHiddenRun() const { return m_hidden; }
  u32 GetStartupFlags() const { return m_startupFlags; }
  const std::string& GetStartupPath() const { return m_startupPath; }
  u64 GetStartupTick() const { return m_startupTick; }

 protected:
  // Called after a successful open (the start-up run hooks in here).
  virtual void AfterOpen(const std::string& path) { (void)path; }

 private:
  // The start-up run after a successful open with start-at-once.
  void BeginStartupRun(const std::string& path);

  IRunHost& m_host;
  CKopiwartView* m_view = nullptr;
  CKopiwartApp* m_app = nullptr;
  std::string m_path;
  BOOL m_modified = FALSE;
  BOOL m_hidden = FALSE;
  u32 m_startupFlags = 0;
  std::string m_startupPath;
  u64 m_startupTick = 0;
};

// The start-up run on its thread: runs the list, saves the last-run time when the list is
// modified, keeps a tray icon its minimum time, then ends the main loop with the exit status.
// Every start-up run ends the program.
int StartupRunThread(CKopiwartDoc* doc);

// The bytes of a job file with its last-run time set: the last "/LETZTE=" line gets the value
// (removed for 0), or one is appended; every other byte stays.
std::string JobFilePatchLastRun(std::string_view bytes, u32 lastRun);

// Whole-file helpers of the document, exposed for tests. Both set the last error on failure.
// A save is a durable replace that keeps the file's owner, group and mode; a read-only file, or
// one whose owner this process cannot keep, is not written (error 5).
bool JobFileReadAll(const std::string& path, std::string& out);
bool JobFileWriteAtomic(const std::string& path, std::string_view bytes);

// The messages of failed opens and saves.
std::string JobFileOpenErrorText(const std::string& path, DWORD error);
std::string JobFileSaveErrorText(const std::string& path, DWORD error);
