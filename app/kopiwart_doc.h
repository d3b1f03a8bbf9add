// The document: owns the job file's name, reads and writes it for the view.
#pragma once

#include "app/job_file.h"
#include "platform/win_types.h"

#include <functional>
#include <string>
#include <string_view>

class CKopiwartApp;
class CKopiwartView;
class IRunHost;

// What names the content of a job file on disk: the file (device and inode), its size and
// modification time (with nanoseconds), and a hash of its bytes.
struct JobFileStamp {
  u64 device = 0;
  u64 inode = 0;
  i64 size = -1;
  i64 mtimeSec = 0;
  i64 mtimeNsec = 0;
  u64 hash = 0;
  bool operator==(const JobFileStamp&) const = default;
};

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

  // Saves the last-run time of a start-up run into the file as it is on disk now: only its
  // "/LETZTE=" line is written anew, so that nothing the reader passed over, and no edit made
  // while the rows ran, is lost. When the file is no longer the one that was loaded and no longer
  // holds the same rows (or is gone, or keeps changing), it is left alone and a note says so
  // (standard error without a window, else a box). The file is checked once more right before
  // the new one takes its place; a change there starts over (three times at most). Clears the
  // list-modified bit; FALSE (reported) when the file cannot be read or written.
  BOOL SaveLastRun(const std::string& path);

  // The start-up run's state: without a window, its RunFlags, the job file, the tick it began.
  BOOL IsHiddenRun() const { return m_hidden; }
  u32 GetStartupFlags() const { return m_startupFlags; }
  const std::string& GetStartupPath() const { return m_startupPath; }
  u64 GetStartupTick() const { return m_startupTick; }

 protected:
  // Called after a successful open (the start-up run hooks in here).
  virtual void AfterOpen(const std::string& path) { (void)path; }
  // Called after each read of a job file being opened (attempt 1 to 3), before the reader checks
  // that the file stood still while it was read.
  virtual void AfterJobFileRead(const std::string& path, int attempt) {
    (void)path;
    (void)attempt;
  }

 private:
  // Parses bytes into the view; the hash of the rows read.
  u64 LoadBytes(std::string_view bytes);
  // Notes what the file at path holds now that it was read or written.
  void RememberFile(const JobFileStamp& stamp, u64 rowsHash);
  // The same after bytes with these rows were written to path.
  void RememberWritten(const std::string& path, std::string_view bytes, u64 rowsHash);
  void ForgetFile() { m_fileKnown = false; }

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
  // The job file as last read or written: what a save of the last-run time compares against.
  bool m_fileKnown = false;
  JobFileStamp m_fileStamp;
  u64 m_fileRows = 0;
};

// The start-up run on its thread: runs the list, saves the last-run time when the list is
// modified, keeps a tray icon its minimum time, then ends the main loop with the exit status.
// Every start-up run ends the program.
int StartupRunThread(CKopiwartDoc* doc);

// The bytes of a job file with its last-run time set: the last "/LETZTE=" line gets the value
// (removed for 0), or one is appended; every other byte stays.
std::string JobFilePatchLastRun(std::string_view bytes, u32 lastRun);

// Whole-file helpers of the document, exposed for tests. Each sets the last error on failure.
// A save is a durable replace that keeps the file's owner, group and mode; a read-only file, or
// one whose owner this process cannot keep, is not written (error 5).
bool JobFileWriteAtomic(const std::string& path, std::string_view bytes);

// Reads a job file whole while it stands still: its size and modification and change times
// after the read must equal those before it, and the bytes read its size. A file that changed
// meanwhile (an editor writing it in place) is read again, three times in all, else the read
// fails with ERROR_SHARING_VIOLATION. afterRead, when given, runs after each read (attempt 1 to 3)
// before that check. stamp, when given, receives what names the bytes read.
bool JobFileReadStable(const std::string& path, std::string& out, JobFileStamp* stamp = nullptr,
                       const std::function<void(int attempt)>& afterRead = {});
// Whether path still names the content that stamp names: same file, size and modification time;
// when the time cannot tell (whole seconds, or written less than a second ago, within the
// clock's granularity) the bytes are read again and their hash compared.
bool JobFileStillIs(const std::string& path, const JobFileStamp& stamp);
// Replaces path by bytes, as JobFileWriteAtomic, only while it still holds what stamp names,
// checked right before the rename. 1 replaced; 0 the file changed meanwhile and nothing was
// written; -1 failed (last error set).
int JobFileReplaceIfUnchanged(const std::string& path, std::string_view bytes, const JobFileStamp& stamp);

// The messages of failed opens and saves.
std::string JobFileOpenErrorText(const std::string& path, DWORD error);
std::string JobFileSaveErrorText(const std::string& path, DWORD error);
// The note of a last-run time not saved because the file changed while the rows ran.
std::string JobFileChangedText(const std::string& path);
