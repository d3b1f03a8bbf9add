// The "Shrink" worker: makes a new dated copy when the series is due, then thins the series out.
#include "jobs/workers/archive_workers.h"
#include "jobs/workers/worker_support.h"

#include "jobs/error_text.h"
#include "jobs/job_extra.h"
#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/run_host.h"
#include "jobs/tags/path_tags.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/shrink_rules.h"
#include "jobs/workers/shrink_series.h"
#include "jobs/workers/zip_worker.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_tree.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int kPathBufSize = 1300;  // the tag functions' buffers, as the runner gives them

// Asks (or, unattended, writes to standard error); Cancel gives -2 with the cancel flag set.
int Fail(JobContext& ctx, u32 flags, const std::string& text) {
  const int answer = ctx.run.WorkerQuestion(flags, text, MB_OKCANCEL | MB_ICONHAND);
  return (answer == IDCANCEL && (flags & RUN_DIALOG)) ? JOB_STOP_ALL : JOB_FAILED;
}

bool Cancelled(JobContext& ctx) {
  const CProgressDlg* dialog = ctx.run.ActiveDialog();
  if (dialog && dialog->IsCancelled()) ctx.run.SetCancel();
  return ctx.run.IsCancelled();
}

void ShowLine(JobContext& ctx, const std::string& text) {
  if (CProgressDlg* dialog = ctx.run.ActiveDialog()) dialog->SetLine(nullptr, text.c_str(), 0);
}

// The excluded folders for the copy workers, which read a leading "*" as the target sign: a
// leading "/" keeps a first pattern "*" a pattern (the list drops it again).
std::string ExcludedForCopy(const char* excluded) {
  std::string text = excluded;
  if (!text.empty() && text[0] == '*') text.insert(0, "/");
  return text;
}

// Makes the new copy; 0 or the copy worker's result.
int MakeCopy(JobContext& ctx, const JobArgs& args, const std::string& newName, bool zipTarget, bool folderSource,
             const char* excluded) {
  JobArgs copy = args;
  copy.target = newName.c_str();
  copy.flags = args.flags & ~static_cast<u32>(RUN_CONTINUE_NEXT | RUN_CONTINUED | RUN_ADD | RUN_SINGLE_FILE);
  if (zipTarget && !(!folderSource && SysPathExtInList(args.source, "zip") != 0)) {
    // Packed; the text before the first ";" would be the folder inside the archive.
    const std::string extra = std::string(";") + excluded;
    copy.extra = extra.c_str();
    return ZipPackRow(ctx, copy);
  }
  const std::string extra = ExcludedForCopy(excluded);
  copy.extra = extra.c_str();
  if (folderSource && !zipTarget) {
    if (SysMkdirAll(newName.c_str()) == 0) {
      return Fail(ctx, args.flags, FmtString("Das Verzeichnis '%s' konnte nicht angelegt werden !\n(%s)", newName.c_str(),
                                             Win32ErrorText(GetLastError(), "")));
    }
    std::string into = newName;
    SysStrAddSlash(into);
    copy.target = into.c_str();
    return RunCopy(ctx, copy);
  }
  // A single file, or an archive that is copied as it stands.
  copy.plus = "";
  copy.minus = "";
  copy.subdirs = 0;
  return RunCopyFile(ctx, copy);
}

}  // namespace

int RunShrink(JobContext& ctx, const JobArgs& args) {
  const u32 flags = args.flags;
  const std::string cell = args.extra ? args.extra : "";
  const ShrinkExtra extra = ShrinkParseExtra(cell);

  // The head of the rest belongs to this row, not to the copy: another computer changes nothing.
  const std::string rest = cell.substr(extra.restOffset);
  const char* head = rest.c_str();
  if (!HostListMatch(&head, ctx.env.hostName)) return JOB_DONE;
  const std::size_t sign = ExtraTargetSignSpan(head);
  const char* excluded = head + sign;

  const char* source = args.source ? args.source : "";
  const int sourceKind = SysFileExist(source);
  if (sourceKind == 0) return Fail(ctx, flags, FmtString("Die Datei '%s' wurde nicht gefunden !", source));
  if (sourceKind == 3) return Fail(ctx, flags, FmtString("Das Laufwerk '%s' kann nicht verdünnt werden !", source));
  const bool folderSource = sourceKind == 2;

  const char* targetCell = args.target ? args.target : "";
  ShrinkTarget target;
  switch (ShrinkFindTag(targetCell, target)) {
    case ShrinkTagResult::NoTag:
      return Fail(ctx, flags, FmtString("Es wurde kein Spezialpfad in '%s' gefunden !", targetCell));
    case ShrinkTagResult::InFolder:
      return Fail(ctx, flags, FmtString("Falsche Pfadangebe '%s' !", targetCell));
    case ShrinkTagResult::Ok:
      break;
  }
  const std::string seriesFolder = target.folder.empty() ? std::string(".") : target.folder;
  if (sign && SysFileExist(seriesFolder.c_str()) != 2) return JOB_DONE;

  const bool zipTarget = SysPathExtInList(target.path.c_str(), "zip") != 0;
  const bool folderSeries = folderSource && !zipTarget;
  const i64 now = ctx.env.Now();
  const i64 today = ShrinkToday(now);

  ShowLine(ctx, "Suche vorhandene Einträge.");
  std::vector<ShrinkCopy> copies;
  if (!ShrinkListSeries(target, folderSeries, today, copies)) {
    return Fail(ctx, flags, FmtString("Das Verzeichnis '%s' konnte nicht gelesen werden !\n(%s)", seriesFolder.c_str(),
                                      Win32ErrorText(GetLastError(), "")));
  }
  i64 newest = -1;
  for (const ShrinkCopy& c : copies) newest = std::max(newest, c.day);

  bool madeCopy = false;
  std::string newName;
  if (ShrinkDue(extra.zones, newest >= 0, newest, today)) {
    char buffer[kPathBufSize];
    bool samePath = false;
    if (target.IsDate()) {
      if (ExpandDateTag(target.path.c_str(), buffer, sizeof buffer, now) < 0)
        return Fail(ctx, flags, std::string(kTagTooLongHead) + target.path + kTagTooLongTail);
      newName = buffer;
      samePath = SysPathCompare(source, buffer, SYS_PATH_FULL_A | SYS_PATH_FULL_B | SYS_PATH_NOCASE) == 0;
    } else {
      // Generation 0 must not be the source itself, or the rotation would move the source away.
      if (ExpandChainTag(target.path.c_str(), buffer, sizeof buffer, 0x80000000u) < 0)
        return Fail(ctx, flags, std::string(kTagTooLongHead) + target.path + kTagTooLongTail);
      samePath = SysPathCompare(source, buffer, SYS_PATH_FULL_A | SYS_PATH_FULL_B | SYS_PATH_NOCASE) == 0;
      if (!samePath) {
        const int moved = ExpandChainTag(target.path.c_str(), buffer, sizeof buffer, 0);
        if (moved == -2) return Fail(ctx, flags, std::string(kChainFailHead) + target.path + kChainFailTail);
        if (moved < 0) {
          return Fail(ctx, flags, FmtString("Der Kettepfad:\n%s\nkonnte nicht weitergeschaltet werden !\n(%s)",
                                            target.path.c_str(), Win32ErrorText(GetLastError(), "")));
        }
      }
      newName = buffer;
    }
    const int present = SysFileExist(newName.c_str());
    if (!samePath && present != (folderSeries ? 2 : 1)) {
      const int result = MakeCopy(ctx, args, newName, zipTarget, folderSource, excluded);
      if (result < 0) return result;
      madeCopy = true;
    }
  }

  // Listed again: a rotation has moved every copy to another name. The new copy takes no part.
  if (!ShrinkListSeries(target, folderSeries, today, copies)) {
    return Fail(ctx, flags, FmtString("Das Verzeichnis '%s' konnte nicht gelesen werden !\n(%s)", seriesFolder.c_str(),
                                      Win32ErrorText(GetLastError(), "")));
  }
  if (madeCopy) {
    std::erase_if(copies, [&](const ShrinkCopy& c) { return SysPathCompare(c.path.c_str(), newName.c_str(), 0) == 0; });
  }
  std::vector<i64> ages;
  ages.reserve(copies.size());
  for (const ShrinkCopy& c : copies) ages.push_back(c.age);

  int result = JOB_DONE;
  // The copies are removed by name in the series folder, opened once; a copy's own tree is
  // removed without following any link in it.
  SysTree series(seriesFolder);
  for (const std::size_t i : ShrinkSelectDeletions(ages, madeCopy, extra.zones)) {
    if (Cancelled(ctx)) return JOB_STOP_ALL;
    const std::string& path = copies[i].path;
    ShowLine(ctx, FmtString("Lösche '%s'", path.c_str()));
    int nameLength = 0;
    const char* namePtr = SysPathName(static_cast<int>(path.size()), path.c_str(), &nameLength);
    const std::string name(namePtr, static_cast<std::size_t>(nameLength));
    for (;;) {
      const int dir = series.Folder("");
      const int ok = dir < 0 ? 0 : folderSeries ? SysRmdirTreeAt(dir, name.c_str(), 0) : SysDeleteAt(dir, name.c_str());
      if (ok) {
        ctx.run.FilesCopied().fetch_add(1);
        break;
      }
      const int answer = ctx.run.WorkerQuestion(flags, FmtString("Fehler beim Löschen von '%s'", path.c_str()),
                                                MB_ABORTRETRYIGNORE | MB_ICONHAND);
      if (answer == IDRETRY) continue;
      if (answer == IDABORT || answer == IDCANCEL) {
        ctx.run.SetCancel();
        return JOB_STOP_ALL;
      }
      result = JOB_FAILED;
      break;
    }
  }
  return result;
}
