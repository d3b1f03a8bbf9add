// The document: job-file open and save around the pure reader and writer.
#include "app/kopiwart_doc.h"

#include "app/app_texts.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_view.h"
#include "jobs/run_host.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_replace.h"
#include "lib/system/vars.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
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

bool JobFileWriteAtomic(const std::string& path, std::string_view bytes) {
  return SysReplaceFile(path.c_str(), bytes, true) == 0;
}

namespace {

constexpr int kStableReads = 3;

u64 BytesHash(std::string_view bytes) {
  u64 hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

JobFileStamp StampOf(const struct stat& st, u64 hash) {
  JobFileStamp stamp;
  stamp.device = static_cast<u64>(st.st_dev);
  stamp.inode = static_cast<u64>(st.st_ino);
  stamp.size = static_cast<i64>(st.st_size);
  stamp.mtimeSec = static_cast<i64>(st.st_mtim.tv_sec);
  stamp.mtimeNsec = static_cast<i64>(st.st_mtim.tv_nsec);
  stamp.hash = hash;
  return stamp;
}

bool SameTimes(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the modification time cannot tell two contents apart: a file system that keeps whole
// seconds, or a write so recent that another one may have come within the same clock tick.
bool TimesCoarse(const struct stat& st) {
  if (st.st_mtim.tv_nsec == 0) return true;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const i64 ageNs = (static_cast<i64>(now.tv_sec) - st.st_mtim.tv_sec) * 1'000'000'000 +
                    (static_cast<i64>(now.tv_nsec) - st.st_mtim.tv_nsec);
  return ageNs < 1'000'000'000;
}

}  // namespace

bool JobFileReadStable(const std::string& path, std::string& out, JobFileStamp* stamp,
                       const std::function<void(int attempt)>& afterRead) {
  for (int attempt = 1; attempt <= kStableReads; ++attempt) {
    out.clear();
    // The status after the read comes from the same descriptor: this file, not one renamed over it.
    SysFd fd(SysOpenRegular(path.c_str()));
    if (!fd) {
      SetLastErrorFromErrno(path.c_str());
      return false;
    }
    struct stat before {}, after {};
    if (::fstat(fd.Get(), &before) != 0 || S_ISDIR(before.st_mode)) {
      SetLastErrorFromErrno(S_ISDIR(before.st_mode) ? EISDIR : errno, path.c_str());
      return false;
    }
    if (!SysReadToEnd(fd.Get(), out)) {
      SetLastErrorFromErrno(path.c_str());
      out.clear();
      return false;
    }
    if (afterRead) afterRead(attempt);
    const bool statted = ::fstat(fd.Get(), &after) == 0;
    const int err = errno;
    fd.Reset();
    if (!statted) {
      SetLastErrorFromErrno(err, path.c_str());
      out.clear();
      return false;
    }
    if (before.st_size == after.st_size && static_cast<i64>(out.size()) == after.st_size &&
        SameTimes(before.st_mtim, after.st_mtim) && SameTimes(before.st_ctim, after.st_ctim)) {
      if (stamp) *stamp = StampOf(after, BytesHash(out));
      return true;
    }
  }
  out.clear();
  SetLastError(ERROR_SHARING_VIOLATION);
  return false;
}

bool JobFileStillIs(const std::string& path, const JobFileStamp& stamp) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const JobFileStamp now = StampOf(st, stamp.hash);
  if (!(now == stamp)) return false;
  if (!TimesCoarse(st)) return true;
  std::string bytes;
  JobFileStamp again;
  return JobFileReadStable(path, bytes, &again) && again == stamp;
}

int JobFileReplaceIfUnchanged(const std::string& path, std::string_view bytes, const JobFileStamp& stamp) {
  SysReplacement replacement;
  if (replacement.Begin(path.c_str()) != 0) return -1;
  if (replacement.Write(bytes.data(), bytes.size()) != 0) return -1;
  bool changed = false;
  const int err = replacement.Commit(true, [&] {
    if (JobFileStillIs(path, stamp)) return 0;
    changed = true;
    return ECANCELED;
  });
  if (err == 0) return 1;
  return changed ? 0 : -1;
}

std::string JobFileOpenErrorText(const std::string& path, DWORD error) {
  return FmtString(kJobFileOpenErrorFormat, path.c_str(), static_cast<unsigned>(error));
}

std::string JobFileSaveErrorText(const std::string& path, DWORD error) {
  return FmtString(kJobFileSaveErrorFormat, path.c_str(), static_cast<unsigned>(error));
}

std::string JobFileChangedText(const std::string& path) { return FmtString(kJobFileChangedFormat, path.c_str()); }

std::string CKopiwartDoc::SerializeStore() const {
  if (!m_view) return {};
  return JobFileFormat(m_view->GetAllEntries(), m_view->GetSchedule());
}

void CKopiwartDoc::SerializeLoad(std::string_view bytes) {
  LoadBytes(bytes);
  ForgetFile();  // bytes from anywhere: no file on disk that they are known to match
}

u64 CKopiwartDoc::LoadBytes(std::string_view bytes) {
  if (!m_view) return 0;
  const JobFileContent content = JobFileParse(bytes);
  m_view->LoadList(content);
  return JobFileRowsHash(content.rows);
}

void CKopiwartDoc::RememberFile(const JobFileStamp& stamp, u64 rowsHash) {
  m_fileKnown = true;
  m_fileStamp = stamp;
  m_fileRows = rowsHash;
}

void CKopiwartDoc::RememberWritten(const std::string& path, std::string_view bytes, u64 rowsHash) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    RememberFile(StampOf(st, BytesHash(bytes)), rowsHash);
  } else {
    ForgetFile();
  }
}

BOOL CKopiwartDoc::OnNewDocument() {
  m_path.clear();
  ForgetFile();
  m_modified = FALSE;
  if (m_view) m_view->ClearList();
  return TRUE;
}

BOOL CKopiwartDoc::OnOpenDocument(const std::string& path) {
  const auto oldPath = GetVar("KPW_PATH");
  const auto oldFile = GetVar("KPW_FILE");
  SetJobFileVars(path);  // before reading: cells may use them while loading
  std::string bytes;
  JobFileStamp stamp;
  BOOL ok = TRUE;
  // An editor writing the file in place meanwhile would hand over half a list: read it again.
  if (!JobFileReadStable(path, bytes, &stamp, [&](int attempt) { AfterJobFileRead(path, attempt); })) {
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
    RememberFile(stamp, LoadBytes(bytes));
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
  const std::string bytes = SerializeStore();
  if (!JobFileWriteAtomic(path, bytes)) {
    m_host.ReportError(JobFileSaveErrorText(path, GetLastError()), kErrorCaption);
    return FALSE;
  }
  RememberWritten(path, bytes, JobFileRowsHash(JobFileParse(bytes).rows));
  SetJobFileVars(path);
  if (m_view) m_view->SetModified(0);
  m_path = path;
  m_modified = FALSE;
  return TRUE;
}

BOOL CKopiwartDoc::IsModified() const {
  return m_view ? m_view->IsListModified() : FALSE;
}
