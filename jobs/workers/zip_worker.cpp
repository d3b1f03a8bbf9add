// The "Zip" and "Zip Add" worker: packs a tree into the shared archive, unpacks an archive, or
// copies when neither side is an archive.
#include "jobs/workers/archive_workers.h"
#include "jobs/workers/worker_support.h"
#include "jobs/workers/zip_worker.h"

#include "jobs/exclude_list.h"
#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/run_host.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/row_notes.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/text/fmt.h"
#include "lib/text/strutf8.h"

#include <string>

namespace {

constexpr int kArchiveFolderMaxChars = 260;  // the folder inside the archive

// Whether the shared archive is open on this path (the runner's continuation flags come from the
// raw cells; a tag may have made this row's target another file).
bool OpenedOn(const CZipFile& zip, const char* path) {
  return SysPathCompare(zip.GetPath().c_str(), path, SYS_PATH_FULL_A | SYS_PATH_FULL_B | SYS_PATH_NOCASE) == 0;
}

bool IsZipName(const char* path) { return path && SysPathExtInList(path, "zip") != 0; }

bool Cancelled(JobContext& ctx) {
  const CProgressDlg* dialog = ctx.run.ActiveDialog();
  if (dialog && dialog->IsCancelled()) ctx.run.SetCancel();
  return ctx.run.IsCancelled();
}

// A question of this worker: with 0x02 asked (Cancel gives -2 and raises the cancel flag),
// without it written to standard error; the row fails either way.
int Ask(JobContext& ctx, u32 flags, const std::string& text) {
  const int answer = ctx.run.WorkerQuestion(flags, text, MB_OKCANCEL | MB_ICONHAND);
  return (answer == IDCANCEL && (flags & RUN_DIALOG)) ? JOB_STOP_ALL : JOB_FAILED;
}

int AskArchiveError(JobContext& ctx, u32 flags, const CZipFile& zip) {
  return Ask(ctx, flags, zip.GetErrorText() + "\n\n");
}

// Counts the errors that the archive reports during a row and passes every event on to the
// run's archive callback.
struct RowEvents {
  CRunState* run = nullptr;
  int errors = 0;
  bool incomplete = false;  // a source folder could not be read
};

int RowEventsFn(void* context, int event, int index, CArcFile* archive, const char* text) {
  auto* row = static_cast<RowEvents*>(context);
  if (event == ARC_EVENT_ERROR && archive && archive->GetLastError() != ARC_ERR_USER_ABORT) {
    ++row->errors;
    if (archive->GetLastError() == ARC_ERR_LISTING) row->incomplete = true;
  }
  return CRunState::CopyCallbackFn(row->run, event, index, archive, text);
}

// Routes the events of a row to its counter: all off, then the listed ones on.
void Listen(CZipFile& zip, RowEvents& row, std::initializer_list<int> events) {
  zip.SetCallback(&row, RowEventsFn);
  zip.DisableEvent(-1, 1);
  for (const int event : events) zip.EnableEvent(event, 0);
}

// The archive outlives the row (kept open, or closed by the runner): its events go to the run
// state again, which outlives every row.
void ListenToRun(JobContext& ctx, CZipFile& zip) {
  zip.SetCallback(&ctx.run, CRunState::CopyCallbackFn);
  zip.DisableEvent(-1, 1);
  zip.EnableEvent(ARC_EVENT_ERROR, 0);
  zip.EnableEvent(ARC_EVENT_COMPRESS, 0);
}

// Closes the shared archive when it is open; a failure is shown and the row goes on. 0, or -1
// / -2 by the answer.
int CloseShared(JobContext& ctx, u32 flags) {
  CZipFile& zip = ctx.run.SharedArchive();
  if (!zip.IsOpen()) return JOB_DONE;
  if (zip.Close() == 0) return JOB_DONE;
  return AskArchiveError(ctx, flags, zip);
}

// The password of an archive's encrypted entries, asked through the progress dialog: 1 given, -1
// cancelled, 0 no one to ask.
ArcPasswordFn PasswordQuestion(JobContext& ctx, u32 flags, const std::string& archive) {
  return [&ctx, flags, archive](const std::string& entry, bool wrong, std::string& password) {
    const std::string text =
        wrong ? FmtString("Das Kennwort für den Eintrag '%s' im Archiv '%s' ist falsch.\nBitte das Kennwort noch "
                          "einmal eingeben:",
                          entry.c_str(), archive.c_str())
              : FmtString("Der Eintrag '%s' im Archiv '%s' ist verschlüsselt.\nBitte das Kennwort eingeben:",
                          entry.c_str(), archive.c_str());
    switch (ctx.run.AskPassword(flags, text, password)) {
      case IDOK: return 1;
      case IDCANCEL: return -1;
      default: return 0;
    }
  };
}

int Unpack(JobContext& ctx, const JobArgs& args) {
  const u32 flags = args.flags;
  const std::string source = args.source ? args.source : "";
  std::string folder = args.target ? args.target : "";
  // An empty target would unpack into the root folder.
  if (folder.empty()) return Ask(ctx, flags, FmtString("Es wurde kein Ziel zum Entpacken von '%s' angegeben !", source.c_str()));

  CExcludeList& excluded = ctx.run.ExcludeList();
  ExcludeListBuild(excluded, args.extra, 0);

  CZipFile& zip = ctx.run.SharedArchive();
  if (CloseShared(ctx, flags) == JOB_STOP_ALL) return JOB_STOP_ALL;
  ListenToRun(ctx, zip);
  if (zip.Open(source.c_str(), ARC_OPEN_READ, 9) != 0) {
    const int result = AskArchiveError(ctx, flags, zip);
    zip.Discard();
    return result;
  }
  if (Cancelled(ctx)) {
    zip.Discard();
    return JOB_STOP_ALL;
  }
  u32 arcFlags = 0;
  if (flags & RUN_NEWER_ONLY) arcFlags |= ARC_FLAG_NEWER_ONLY;
  if (flags & RUN_NO_OVERWRITE) arcFlags |= ARC_FLAG_NO_OVERWRITE;
  if (flags & RUN_KEEP_READONLY) arcFlags |= ARC_FLAG_KEEP_READONLY;
  zip.SetFlags(arcFlags);
  if (!SysIsSlash(folder.back())) folder += '/';

  if (CProgressDlg* dialog = ctx.run.ActiveDialog()) {
    dialog->SetTotal(zip.GetEntryCount());
    dialog->SetPos(0);
    dialog->SetLine(nullptr, source.c_str(), 0);
    dialog->SetLine(nullptr, args.target, 1);
  }

  RowEvents row{&ctx.run};
  if (excluded.Count() > 0) Listen(zip, row, {ARC_EVENT_ENTRY, ARC_EVENT_READ, ARC_EVENT_ERROR, ARC_EVENT_FILE_DONE});
  else Listen(zip, row, {ARC_EVENT_READ, ARC_EVENT_ERROR, ARC_EVENT_FILE_DONE});
  // Where questions are allowed, the archive asks once for the password of its encrypted entries.
  if (flags & RUN_DIALOG) zip.SetPasswordCallback(PasswordQuestion(ctx, flags, source));
  const int error = zip.ExtractAll(folder.c_str(), nullptr);
  zip.SetPasswordCallback(nullptr);
  ListenToRun(ctx, zip);
  NoteFolderLinks(ctx.run, zip.SkippedFolderLinks());
  // Nothing of a read archive is pending; closing it now keeps no file open across rows.
  const std::string errorText = zip.GetErrorText();
  zip.Close();

  if (error == ARC_ERR_USER_ABORT || Cancelled(ctx)) {
    ctx.run.SetCancel();
    return JOB_STOP_ALL;
  }
  if (error != 0) {
    // Shown through the callback already when the archive reported it there.
    if (row.errors == 0) return Ask(ctx, flags, errorText + "\n\n");
    return JOB_FAILED;
  }
  return row.errors ? JOB_FAILED : JOB_DONE;
}

// Whether the source names something: a wildcard in its last component needs its folder.
bool SourceExists(const char* source) {
  if (!source || !*source) return false;
  int nameLength = 0;
  const int length = static_cast<int>(std::char_traits<char>::length(source));
  const char* name = SysPathName(length, source, &nameLength);
  const std::string_view last(name, static_cast<std::size_t>(nameLength));
  if (last.find_first_of("*?") == std::string_view::npos) return SysFileExist(source) != 0;
  const std::string folder(source, static_cast<std::size_t>(name - source));
  return SysFileExist(folder.empty() ? "." : folder.c_str()) >= 2;
}

// Ends a row that failed before packing. A chain that creates the archive anew is dropped (the
// file on disk stays as it was), since committing it would lose this row's part; a chain that
// updates the archive goes on, or is written when this row ends it.
int AbandonRow(JobContext& ctx, const JobArgs& args, int result) {
  CZipFile& zip = ctx.run.SharedArchive();
  if (!zip.IsOpen()) return result;
  if (zip.GetOpenMode() == ARC_OPEN_CREATE) {
    zip.Discard();
  } else if (args.flags & RUN_CONTINUE_NEXT) {
    ListenToRun(ctx, zip);
  } else if (zip.Close() != 0) {
    const int closing = AskArchiveError(ctx, args.flags, zip);
    if (result != JOB_STOP_ALL) result = closing;
  }
  return result;
}

}  // namespace

int ZipPackRow(JobContext& ctx, const JobArgs& args) {
  const u32 flags = args.flags;
  const char* source = args.source ? args.source : "";
  const char* target = args.target ? args.target : "";

  CZipFile& zip = ctx.run.SharedArchive();
  const bool continued =
      (flags & RUN_CONTINUED) && zip.IsOpen() && zip.GetOpenMode() != ARC_OPEN_READ && OpenedOn(zip, target);
  if (!continued && CloseShared(ctx, flags) == JOB_STOP_ALL) return JOB_STOP_ALL;

  const ZipExtra extra = ZipSplitExtra(args.extra ? args.extra : "");
  const std::string excludedText(extra.excluded);
  std::string folder;
  if (!ZipArchiveFolder(extra.folder, folder)) {
    const std::string named(extra.folder);
    return AbandonRow(ctx, args, Ask(ctx, flags, FmtString("Falscher Ordner im Archiv '%s' !", named.c_str())));
  }
  CExcludeList& excluded = ctx.run.ExcludeList();
  ExcludeListBuild(excluded, excludedText.c_str(), 0);

  // A source that is not there would make an empty archive in place of the last good one.
  if (!SourceExists(source))
    return AbandonRow(ctx, args, Ask(ctx, flags, FmtString("Die Datei '%s' wurde nicht gefunden !", source)));

  const bool targetExisted = SysFileExist(target) == 1;
  if (!continued) {
    const int mode = (flags & (RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_ADD)) ? ARC_OPEN_UPDATE : ARC_OPEN_CREATE;
    ListenToRun(ctx, zip);
    if (zip.Open(target, mode, 9) != 0) {
      char dir[kJobCellBufSize + 16];
      if (SysFullDir(dir, target, sizeof dir) > 0) SysMkdirAll(dir);
      if (zip.Open(target, mode, 9) != 0) {
        const int result = AskArchiveError(ctx, flags, zip);
        zip.Discard();
        return result;
      }
    }
  }

  u32 arcFlags = 0;
  if (args.subdirs) arcFlags |= ARC_FLAG_RECURSE;
  if (flags & RUN_NEWER_ONLY) arcFlags |= ARC_FLAG_NEWER_ONLY;
  if (flags & RUN_NO_OVERWRITE) arcFlags |= ARC_FLAG_NO_OVERWRITE;
  ProgressRecord& progress = ctx.run.Progress();
  progress.kind.store(PROGRESS_KIND_ARCHIVE);
  CProgressDlg* dialog = ctx.run.ActiveDialog();
  if (dialog) {
    dialog->SetTotal(256);
    dialog->SetPos(0);
    ctx.run.InstallProgressTimer(dialog);
    dialog->SetLine(nullptr, source, 0);
    dialog->SetLine(nullptr, "Suche Dateien", 1);
  }
  RowEvents row{&ctx.run};
  if (excluded.Count() > 0) Listen(zip, row, {ARC_EVENT_ENTRY, ARC_EVENT_FILE_ADDED, ARC_EVENT_ERROR, ARC_EVENT_COMPRESS});
  else Listen(zip, row, {ARC_EVENT_FILE_ADDED, ARC_EVENT_ERROR, ARC_EVENT_COMPRESS});
  zip.SetFlags(arcFlags);

  const int count = zip.AddTree(source, args.plus, args.minus, folder.empty() ? nullptr : folder.c_str());
  const int addError = zip.GetLastError();

  int result = JOB_DONE;
  if (addError == ARC_ERR_USER_ABORT || Cancelled(ctx)) {
    // A cancelled run never replaces the archive.
    zip.Discard();
    ctx.run.SetCancel();
    result = JOB_STOP_ALL;
  } else if ((count == 0 || row.incomplete) && zip.GetOpenMode() == ARC_OPEN_CREATE && targetExisted) {
    // An unmounted or unreadable source looks like one without files: an archive made anew
    // from it would lose what the old one holds.
    zip.Discard();
    result = Ask(ctx, flags,
                 count == 0 ? FmtString("In '%s' wurden keine Dateien gefunden:\ndas Archiv '%s' bleibt unverändert !",
                                        source, target)
                            : FmtString("'%s' konnte nicht vollständig gelesen werden:\ndas Archiv '%s' bleibt unverändert !",
                                        source, target));
  } else if (flags & RUN_CONTINUE_NEXT) {
    result = row.errors ? JOB_FAILED : JOB_DONE;
  } else {
    const int reported = row.errors;
    if (zip.Close() != 0) {
      // Shown once: the archive may have reported it through the callback already.
      result = row.errors > reported ? JOB_FAILED : AskArchiveError(ctx, flags, zip);
      zip.Discard();
    } else {
      result = row.errors ? JOB_FAILED : JOB_DONE;
    }
  }
  ListenToRun(ctx, zip);

  progress.kind.store(PROGRESS_KIND_NONE);
  if (dialog) {
    dialog->SetTimerCallback(CProgressDlg::TimerFn(), 0);
    dialog->SetPos(0);
    dialog->SetTotal(count);
    dialog->SetLine(nullptr, source, 0);
    dialog->SetLine(nullptr, target, 1);
  }
  return result;
}

int RunZip(JobContext& ctx, const JobArgs& args) {
  if (!(args.flags & RUN_ADD) && IsZipName(args.source)) return Unpack(ctx, args);
  if (IsZipName(args.target)) return ZipPackRow(ctx, args);
  if (CloseShared(ctx, args.flags) == JOB_STOP_ALL) return JOB_STOP_ALL;
  return RunCopy(ctx, args);
}

ZipExtra ZipSplitExtra(std::string_view cell) {
  const std::size_t semi = cell.find(';');
  if (semi == std::string_view::npos) return {cell, {}};
  return {cell.substr(0, semi), cell.substr(semi + 1)};
}

bool ZipArchiveFolder(std::string_view text, std::string& out) {
  out.clear();
  const char* end = text.data() + text.size();
  int bytes = 0, chars = 0;
  while (bytes < static_cast<int>(text.size()) && chars < kArchiveFolderMaxChars) {
    bytes += kpw::text::Utf8SeqLen(text.data() + bytes, end);
    ++chars;
  }
  std::string_view rest = text.substr(0, static_cast<std::size_t>(bytes));
  while (!rest.empty()) {
    const std::size_t sep = rest.find_first_of("/\\");
    const std::string_view step = rest.substr(0, sep);
    rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    if (step.empty() || step == ".") continue;
    if (step == "..") return false;
    if (!out.empty()) out += '/';
    out += step;
  }
  return true;
}

std::string ZipFormatExtra(std::string_view folder, const std::vector<std::string>& excluded) {
  std::string out(folder);
  for (const std::string& item : excluded) {
    if (item.empty()) continue;
    out += ';';
    out += item;
  }
  return out;
}
