// The document: owns the job file's name, reads and writes it for the view.
#pragma once

#include "app/job_file.h"
#include "platform/win_types.h"

#include <string>

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

  // Storing: the job file's bytes of the view's list (every row, hidden ones included).
  std::string SerializeStore() const;
  // Loading: parses into a fresh list first and only then replaces the view's rows and schedule;
  // clears the list-modified bit.
  void SerializeLoad(std::string_view bytes);

  // New list: the view is cleared.
  BOOL OnNewDocument();
  // Sets KPW_PATH and KPW_FILE, reads the file and hands the list to the view. A failure reports
  // through the host and leaves the old list, its schedule and the two variables as they were.
  BOOL OnOpenDocument(const std::string& path);
  // Writes through a temporary file beside the target, fsync and rename; on success sets
  // KPW_PATH and KPW_FILE and clears the list-modified bit. A failure reports through the host
  // and leaves the old file intact.
  BOOL OnSaveDocument(const std::string& path);

  BOOL IsModified() const;
  void SetModifiedFlag(BOOL modified) { m_modified = modified; }
  const std::string& GetPathName() const { return m_path; }

 protected:
  // Called after a successful open (the start-up run hooks in here).
  virtual void AfterOpen(const std::string& path) { (void)path; }

 private:
  IRunHost& m_host;
  CKopiwartView* m_view = nullptr;
  std::string m_path;
  BOOL m_modified = FALSE;
};

// Whole-file helpers of the document, exposed for tests. Both set the last error on failure.
bool JobFileReadAll(const std::string& path, std::string& out);
bool JobFileWriteAtomic(const std::string& path, std::string_view bytes);

// The messages of failed opens and saves.
std::string JobFileOpenErrorText(const std::string& path, DWORD error);
std::string JobFileSaveErrorText(const std::string& path, DWORD error);
