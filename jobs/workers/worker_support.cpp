// What every mode worker uses: questions, cancel tests, lookups, one file copy, cancel callbacks.
#include "jobs/workers/worker_support.h"

#include "jobs/error_text.h"
#include "jobs/progress/progress_dlg.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_stat.h"
#include "lib/text/strutf8.h"
#include "platform/last_error.h"

#include "remote/url_connection.h"

#include <fcntl.h>

enum : int { kAnswerCancel = 2 };

int LocalAsk(JobContext& ctx, u32 flags, const std::string& text, u32 type) {
  return ctx.run.WorkerQuestion(flags, text, type);
}

int LocalFail(JobContext& ctx, u32 flags, const std::string& text, u32 type) {
  return LocalAsk(ctx, flags, text, type) == kAnswerCancel ? JOB_STOP_ALL : JOB_FAILED;
}

bool LocalCancelled(JobContext& ctx) {
  if (const CProgressDlg* dialog = ctx.run.ActiveDialog(); dialog && dialog->IsCancelled()) ctx.run.SetCancel();
  return ctx.run.IsCancelled();
}

const SysCancelFlag* LocalEngineCancel(JobContext& ctx) {
  if (CProgressDlg* dialog = ctx.run.ActiveDialog()) return &dialog->CancelFlag();
  return &ctx.run.CancelFlag();
}

int LocalLookup(const char* path, SysFileInfo* info) {
  const SysOsPath os(path);
  if (!os.ok()) return os.error() == SYS_ERR_PATH && GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EINVAL;
  const int err = SysStatInfo(AT_FDCWD, os.c_str(), info);
  if (err) SetLastErrorFromErrno(err, os.c_str());
  return err;
}

std::string LocalLastErrorNote() {
  const std::string text = Win32ErrorText(GetLastError(), "");
  return text.empty() ? std::string() : "\n(" + text + ")";
}

std::string LocalCutText(std::string text, std::size_t max) {
  if (text.size() <= max) return text;
  const int cut = kpw::text::Utf8SafeCut(text.data(), static_cast<int>(max), text.data() + text.size());
  text.resize(static_cast<std::size_t>(cut));
  return text;
}

namespace {

int RowCopyResult(JobContext& ctx, int rc) {
  if (rc == SYS_COPY_DONE) ctx.run.FilesCopied().fetch_add(1);
  // The engine stops only on a raised flag, the dialog's or the run's: either way the run stops.
  if (rc == SYS_COPY_STOPPED) ctx.run.SetCancel();
  return rc;
}

}  // namespace

int LocalCopyFile(JobContext& ctx, int engineFlags, const char* from, const char* to) {
  return RowCopyResult(
      ctx, SysFileCopyEx(engineFlags, from, to, &ctx.run.Progress().bytes, nullptr, LocalEngineCancel(ctx)));
}

int LocalCopyFileAt(JobContext& ctx, int engineFlags, int srcDir, const char* srcName, int dstDir,
                    const char* dstName) {
  return RowCopyResult(ctx, SysFileCopyAt(engineFlags, srcDir, srcName, dstDir, dstName,
                                          &ctx.run.Progress().bytes, nullptr, LocalEngineCancel(ctx)));
}

void CancelSetFlag(SysCancelFlag* flag) {
  if (flag) flag->store(1);
}

void CancelBreakConnection(CUrlConnection* connection) {
  if (connection) connection->BreakIfBusy();
}

int ConnectNetworkDrive(const char*, char* buffer, int size) {
  if (buffer && size >= 1) buffer[0] = '\0';
  return 0;
}
