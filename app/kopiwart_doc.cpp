// The document: job-file open and save around the pure reader and writer.
#include "app/kopiwart_doc.h"

#include "app/app_texts.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_view.h"
#include "jobs/run_host.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_replace.h"
#include "lib/system/vars.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace {

std::optional<std::string> GetVar(const char* name) {
  return VarGet(name);
}

void RestoreVar(const char* name, const std::optional<std::string>& value) {
  VarSet(name, value ? value->c_str() : nullptr, 0);
}

// KPW_PATH is the job file's full folder without a trailing separator, KPW_FILE the path as given.
void SetJobFileVars(const std::string& path) {
  char dir[MAX_PATH];
  int n = SysFullDir(dir, path.c_str(), sizeof dir);
  if (n > 0) SysPathCutSlash(dir, n);
  VarSet("KPW_PATH", n > 0 ? dir : "", 0);
  VarSet("KPW_FILE", path.c_str(), 0);
}

}  // namespace

bool JobFileReadAll(const std::string& path, std::string& out) {
  out.clear();
  const int fd = SysOpenRegular(path.c_str());
  if (fd < 0) {
    SetLastErrorFromErrno(path.c_str());
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    SetLastErrorFromErrno(S_ISDIR(st.st_mode) ? EISDIR : errno, path.c_str());
    ::close(fd);
    return false;
  }
  if (!SysReadToEnd(fd, out)) {
    SetLastErrorFromErrno(path.c_str());
    ::close(fd);
    out.clear();
    return false;
  }
  ::close(fd);
  return true;
}

bool JobFileWriteAtomic(const std::string& path, std::string_view bytes) {
  return SysReplaceFile(path.c_str(), bytes, true) == 0;
}

std::string JobFileOpenErrorText(const std::string& path, DWORD error) {
  return FmtString(kJobFileOpenErrorFormat, path.c_str(), static_cast<unsigned>(error));
}

std::string JobFileSaveErrorText(const std::string& path, DWORD error) {
  return FmtString(kJobFileSaveErrorFormat, path.c_str(), static_cast<unsigned>(error));
}

std::string CKopiwartDoc::SerializeStore() const {
  if (!m_view) return {};
  return JobFileFormat(m_view->GetAllEntries(), m_view->GetSchedule());
}

void CKopiwartDoc::SerializeLoad(std::string_view bytes) {
  if (!m_view) return;
  const JobFileContent content = JobFileParse(bytes);
  m_view->LoadList(content);
}

BOOL CKopiwartDoc::OnNewDocument() {
  m_path.clear();
  m_modified = FALSE;
  if (m_view) m_view->ClearList();
  return TRUE;
}

BOOL CKopiwartDoc::OnOpenDocument(const std::string& path) {
  const auto oldPath = GetVar("KPW_PATH");
  const auto oldFile = GetVar("KPW_FILE");
  SetJobFileVars(path);  // before reading: cells may use them while loading
  std::string bytes;
  BOOL ok = TRUE;
  if (!JobFileReadAll(path, bytes)) {
    const DWORD error = GetLastError();
    RestoreVar("KPW_PATH", oldPath);
    RestoreVar("KPW_FILE", oldFile);
    m_host.ReportError(JobFileOpenErrorText(path, error), kErrorCaption);
    ok = FALSE;
  } else if (!JobFileAccepted(bytes)) {
    // Opened as an empty list, a save would replace the file: it is refused instead.
    RestoreVar("KPW_PATH", oldPath);
    RestoreVar("KPW_FILE", oldFile);
    m_host.ReportError(FmtString(kJobFileRefusedFormat, path.c_str()), kErrorCaption);
    ok = FALSE;
  } else {
    SerializeLoad(bytes);
    m_path = path;
    m_modified = FALSE;
    AfterOpen(path);
  }
  if (m_app) {
    if (ok && m_app->StartAtOnce()) BeginStartupRun(path);
    m_app->ClearStartSwitches();
  }
  return ok;
}

BOOL CKopiwartDoc::OnSaveDocument(const std::string& path) {
  if (!JobFileWriteAtomic(path, SerializeStore())) {
    m_host.ReportError(JobFileSaveErrorText(path, GetLastError()), kErrorCaption);
    return FALSE;
  }
  SetJobFileVars(path);
  if (m_view) m_view->SetModified(0);
  m_path = path;
  m_modified = FALSE;
  return TRUE;
}

BOOL CKopiwartDoc::IsModified() const {
  return m_view ? m_view->IsListModified() : FALSE;
}
