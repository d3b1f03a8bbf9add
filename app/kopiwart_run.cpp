// The job runner of the view: the whole list with schedule and last-run time, the row loop, one row.
#include "app/kopiwart_view.h"

#include "app/run_lock.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/tags/path_tags.h"
#include "jobs/worker_table.h"
#include "lib/system/vars.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// Room for a cell of kJobCellMaxChars characters of up to four bytes each; what is longer in
// characters is refused after the expansion.
constexpr int kTagBufSize = kJobCellMaxChars * 4 + 1;

// One tag expansion into a string; false (text unchanged) when the tag function failed.
template <class Fn>
int Expand(std::string& text, Fn fn) {
  std::string buffer(kTagBufSize, '\0');
  const int n = fn(text.c_str(), buffer.data(), kTagBufSize);
  if (n < 0) return n;
  buffer.resize(std::strlen(buffer.c_str()));
  text = std::move(buffer);
  return n;
}

std::string TooLongText(const std::string& path) { return kTagTooLongHead + path + kTagTooLongTail; }

// Whether the first "#" of text stands before a character and a "#" ("#x#").
bool FirstHashIsShortTag(const std::string& text, char* inner) {
  const std::size_t p = text.find('#');
  if (p == std::string::npos || p + 2 >= text.size() || text[p + 2] != '#') return false;
  *inner = text[p + 1];
  return true;
}

}  // namespace

// ---- helpers ------------------------------------------------------------------------------------

i64 CKopiwartView::RunNow() const { return m_env.Now(); }

RowKey CKopiwartView::KeyOf(const JobEntry& entry) const {
  RowKey key;
  key.mode = JobModeFromName(entry.Cell(JOB_COL_MODE));
  const i64 now = RunNow();
  key.target = VarExpandString(entry.Cell(JOB_COL_TARGET), now);
  // The date as the row will see it; generation and version tags stay, so that comparing never
  // rotates anything.
  if (!JobModeHas(key.mode, MODE_OWN_TARGET_TAGS) && key.target.find('#') != std::string::npos)
    Expand(key.target, [now](const char* s, char* d, int n) { return ExpandDateTag(s, d, n, now); });
  return key;
}

void CKopiwartView::RunNote(u32 flags, const std::string& note, u32 type, int row) {
  // Refusals name cells, which may be URLs: their passwords are never shown.
  const std::string text = EncUrlHidePassword(note);
  if (CProgressDlg* dialog = m_run.ActiveDialog()) {
    dialog->Ask(text, nullptr, type);
  } else if (flags & RUN_DIALOG) {
    WorkerMessageBox(text, nullptr, type);
  } else if (row > 0) {
    FmtFprintfA(stderr, "Kopiwart: %s\n", RowRefusedText(row, text).c_str());
  } else {
    FmtFprintfA(stderr, "Kopiwart: %s\n", text.c_str());
  }
}

void CKopiwartView::TellRowNotes(u32 flags, int row) {
  const std::vector<std::string> notes = m_run.TakeNotes();
  if (notes.empty()) return;
  if (!(flags & RUN_DIALOG)) {
    for (const std::string& note : notes) RunNote(flags, note, MB_ICONHAND, row);
    return;
  }
  std::string all;
  for (const std::string& note : notes) all += (all.empty() ? "" : "\n\n") + note;
  RunNote(flags, all, MB_ICONHAND, row);
}

int CKopiwartView::RefuseRow(u32 flags, int row, const std::string& reason, const std::string& boxText) {
  if (!(flags & RUN_DIALOG)) {
    RunNote(flags, reason, MB_ICONHAND, row);
    return JOB_FAILED;
  }
  if (boxText.empty()) {
    // The row's notes box: the same line an unattended run writes, so that the window says why.
    RunNote(flags, RowRefusedText(row, reason), MB_ICONHAND);
    return JOB_FAILED;
  }
  return m_run.WorkerQuestion(flags, boxText, MB_OKCANCEL | MB_ICONHAND) == IDCANCEL ? JOB_STOP_ALL : JOB_FAILED;
}

int CKopiwartView::TagFailure(u32 flags, const std::string& text) {
  if (!(flags & RUN_DIALOG)) return JOB_FAILED;
  return m_run.WorkerQuestion(flags, text, MB_OKCANCEL | MB_ICONHAND) == IDCANCEL ? JOB_STOP_ALL : JOB_FAILED;
}

int CKopiwartView::ReleaseShared(u32 flags, bool discard) {
  const auto tell = [&](const std::string& errorText) {
    RunNote(flags, errorText + "\n\n", MB_OKCANCEL | MB_ICONHAND);
  };
  return m_run.Carry().Release(discard, tell) < 0 ? JOB_FAILED : 0;
}

// ---- one row ------------------------------------------------------------------------------------

CKopiwartView::RowOutcome CKopiwartView::RunRow(const std::vector<JobEntry>& rows, int i, u32 flags,
                                                std::optional<bool> prevContinued) {
  RowOutcome out;
  out.result = JOB_FAILED;
  if (i < 0 || i >= static_cast<int>(rows.size())) return out;
  const JobEntry& entry = rows[static_cast<std::size_t>(i)];
  const int number = i + 1;
  const int mode = JobModeFromName(entry.Cell(JOB_COL_MODE));

  // A cut path names another folder (often the parent): an over-long cell refuses its row.
  if (!JobCellFits(entry.Cell(JOB_COL_SOURCE))) {
    out.result = RefuseRow(flags, number, SourceTooLongReason());
    return out;
  }
  if (!JobCellFits(entry.Cell(JOB_COL_TARGET))) {
    out.result = RefuseRow(flags, number, TargetTooLongReason());
    return out;
  }
  // A path whose variable is unknown would point somewhere else (an empty value makes
  // "$(X)/backup" the root's "/backup"): such a row does nothing.
  for (int c : {JOB_COL_SOURCE, JOB_COL_TARGET}) {
    if (const auto name = UnknownVariableOf(entry.Cell(c))) {
      RunNote(flags, UnknownVariableText(*name), MB_ICONHAND, number);
      return out;
    }
  }
  // Cells: variables first. A cell that grows past its limit fails the row rather than run on a
  // cut path.
  std::string cells[4];
  const i64 now = RunNow();  // the row's one time: variables and date tags
  for (int c = JOB_COL_SOURCE; c <= JOB_COL_MINUS; ++c) {
    cells[c] = c <= JOB_COL_TARGET ? RowPathFromCell(mode, c, entry.Cell(c), now)
                                   : VarExpandString(entry.Cell(c), now);
    if (!CellFitsAfterExpansion(cells[c])) {
      RunNote(flags, CellTooLongText(entry.Cell(c)), MB_ICONHAND, number);
      return out;
    }
  }
  std::string& source = cells[JOB_COL_SOURCE];
  std::string& target = cells[JOB_COL_TARGET];

  if (source.empty()) {
    out.result = RefuseRow(flags, number, kNoSourceReason);
    return out;
  }
  if (target.empty() && RowNeedsTarget(mode, source)) {
    // A key export is a "Reg" row's own failure, and says so in its words.
    const bool keyExport = JobModeHas(mode, MODE_REGISTRY) && IsRegistryKeyPath(source);
    out.result = keyExport ? RefuseRow(flags, number, NoExportTargetReason(source), RegExportFailedText(source, target))
                           : RefuseRow(flags, number, kNoTargetReason);
    return out;
  }
  for (int c : {JOB_COL_SOURCE, JOB_COL_TARGET}) {
    if (IsDriveOrUncPath(cells[c])) {
      // The cell as written, unless a variable made the form.
      const std::string& raw = entry.Cell(c);
      RunNote(flags, DriveOrUncPathText(IsDriveOrUncPath(raw) ? raw : cells[c]), MB_ICONHAND, number);
      return out;
    }
  }

  // Source: only a date tag at its first "#".
  if (source.find('#') != std::string::npos &&
      Expand(source, [now](const char* s, char* d, int n) { return ExpandDateTag(s, d, n, now); }) < 0) {
    out.result = TagFailure(flags, TooLongText(source));
    return out;
  }

  // Target: version, then date and generations; "Shrink" keeps the last two for itself.
  std::size_t hash = target.find('#');
  if (hash != std::string::npos && hash + 1 < target.size() && target[hash + 1] == '@') {
    const std::string& from = source;
    if (Expand(target, [&from](const char* s, char* d, int n) { return ExpandVersionTag(s, d, n, from.c_str()); }) < 0) {
      out.result = TagFailure(flags, GetLastError() == ERROR_FILENAME_EXCED_RANGE
                                         ? TooLongText(target)
                                         : kVersionFailHead + source + kVersionFailTail);
      return out;
    }
  }
  char inner = 0;
  if (!JobModeHas(mode, MODE_OWN_TARGET_TAGS) && FirstHashIsShortTag(target, &inner)) {
    if ((inner == 'D' || inner == 'd') &&
        Expand(target, [now](const char* s, char* d, int n) { return ExpandDateTag(s, d, n, now); }) < 0) {
      out.result = TagFailure(flags, TooLongText(target));
      return out;
    }
    if (FirstHashIsShortTag(target, &inner) && inner >= '1' && inner <= '5') {
      const int n = Expand(target, [](const char* s, char* d, int size) { return ExpandChainTag(s, d, size, 0); });
      if (n < 0) {
        out.result = TagFailure(flags, n == -1 && GetLastError() == ERROR_FILENAME_EXCED_RANGE
                                           ? TooLongText(target)
                                           : kChainFailHead + target + kChainFailTail);
        return out;
      }
    }
  }
  for (const std::string* path : {&source, &target}) {
    if (!CellFitsAfterExpansion(*path)) {
      out.result = TagFailure(flags, TooLongText(*path));
      return out;
    }
  }

  // Flags of the mode, and whether the neighbours share the archive or connection.
  u32 rowFlags = flags | ModeAddedFlags(mode);
  if (ModeContinues(mode)) {
    const RowKey key = KeyOf(entry);
    if (i + 1 < static_cast<int>(rows.size()) && RowContinues(key, KeyOf(rows[static_cast<std::size_t>(i + 1)])))
      rowFlags |= RUN_CONTINUE_NEXT;
    const bool continued =
        prevContinued ? *prevContinued : (i > 0 && RowContinues(KeyOf(rows[static_cast<std::size_t>(i - 1)]), key));
    if (continued) rowFlags |= RUN_CONTINUED;
  }

  JobArgs args;
  args.source = source.c_str();
  args.target = target.c_str();
  args.plus = cells[JOB_COL_PLUS].c_str();
  args.minus = cells[JOB_COL_MINUS].c_str();
  args.subdirs = JobSubdirsFromCell(entry.Cell(JOB_COL_SUBDIRS)) ? 1 : 0;
  args.extra = entry.Cell(JOB_COL_EXTRA).c_str();
  args.flags = rowFlags;
  JobContext context{m_run, m_env};
  m_run.TakeNotes();
  out.result = JobWorkerOf(mode, m_env)(context, args);
  out.workerCalled = true;
  out.flags = rowFlags;
  TellRowNotes(flags, number);

  if (out.result == JOB_DONE && JobModeHas(mode, MODE_RECHECK_ROW)) {
    const HTREEITEM item = GetJobItem(i);
    if (item != TLI_NULL) CheckEntry(static_cast<int>(kCheckEntryItemTag | (ItemToU32(item) & 0x00FFFFFFu)), 0);
  }
  return out;
}

int CKopiwartView::RunEntry(int row, u32 flags) {
  // A row run on its own is a run of its own: a cancel left by an earlier run must not stop it.
  if (!m_inRunAll.load()) m_run.CancelFlag().store(0);
  const std::vector<JobEntry> rows = GetAllEntries();
  const RowOutcome out = RunRow(rows, row, flags, std::nullopt);
  if (!(out.workerCalled && (out.flags & RUN_CONTINUE_NEXT))) ReleaseShared(flags, false);
  return out.result;
}

// ---- the row loop -------------------------------------------------------------------------------

int CKopiwartView::RunRows(u32 flags) {
  const std::vector<JobEntry> rows = GetAllEntries();
  CProgressDlg* dialog = m_run.ActiveDialog();
  auto cancelled = [&] { return m_run.IsCancelled() || (dialog && dialog->IsCancelled()); };
  int result = JOB_DONE;
  bool continued = false;
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const RowOutcome out = RunRow(rows, i, flags, continued);
    // Only a row whose worker ran with 0x400 hands its archive or connection on; whatever else
    // happened, both are released now, so that nothing stays open uncommitted.
    continued = out.workerCalled && (out.flags & RUN_CONTINUE_NEXT);
    if (out.result == JOB_STOP_ALL) {
      result = JOB_STOP_ALL;
      break;
    }
    if (out.result == JOB_FAILED) result = JOB_FAILED;
    if (cancelled()) break;
    if (!continued && ReleaseShared(flags, false) < 0) result = JOB_FAILED;
  }
  // After a cancel or stop a half-written archive is dropped rather than committed.
  const bool stopped = result == JOB_STOP_ALL || cancelled();
  if (ReleaseShared(flags, stopped) < 0 && result != JOB_STOP_ALL) result = JOB_FAILED;
  return result;
}

int CKopiwartView::RunWorkerThread(CProgressDlg& dialog, u32 flags) {
  CRunState::ScopedActiveDialog active(m_run, &dialog);
  return RunRows(flags);
}

// ---- the whole list -----------------------------------------------------------------------------

int CKopiwartView::RunAll(u32 flags) {
  // Cleared before the run is reported, so that a cancel from the frame while it starts is kept.
  m_run.StartRun();
  m_lastRunCancelled = false;
  m_inRunAll = true;
  struct InRun {
    std::atomic<bool>& flag;
    ~InRun() { flag = false; }
  } inRun{m_inRunAll};
  std::unique_ptr<CProgressDlg> dialog;
  if (flags & RUN_DIALOG) dialog = std::make_unique<CProgressDlg>();
  if (m_runLock) m_runLock->OnRunProgressDlg(dialog.get(), &m_run);
  // Declared after the dialog: the frame hears "none" on every way out, before the dialog goes.
  struct Reported {
    CRunLock* lock;
    ~Reported() {
      if (lock) lock->OnRunProgressDlg(nullptr, nullptr);
    }
  } reported{m_runLock};

  if (GetInfo(0) == 0) return JOB_DONE;

  const JobSchedule schedule = GetSchedule();
  if (flags & RUN_SCHEDULE) flags &= ~static_cast<u32>(RUN_NEWER_ONLY);
  flags |= RunFlagsFromSchedule(schedule.word);
  const i64 now = RunNow();
  if ((flags & RUN_SCHEDULE) && schedule.lastRun != 0 && !ScheduleIsDue(schedule, now)) return JOB_DONE;

  int result;
  bool cancelled;
  if (dialog) {
    dialog->SetWorker([this, flags](CProgressDlg& d) { return RunWorkerThread(d, flags); });
    m_host.RunProgressDialog(*dialog);
    // A dialog closed from outside returns before its worker: the run is not over until it is.
    dialog->WaitForWorker();
    result = dialog->GetWorkerResult();
    cancelled = m_run.IsCancelled() || dialog->IsCancelled();
    m_run.SetCancel();
    WorkerMessageBox(FmtString(kFilesCopiedFormat, static_cast<int>(m_run.FilesCopied().load())), nullptr, MB_OK);
  } else {
    result = RunRows(flags);
    cancelled = m_run.IsCancelled();
  }

  // What the run made or removed shows in the rows' icons (a target folder it created).
  if (m_host.HasMainWindow()) CheckAllRows();

  // The time taken at the start counts only for a run that went through.
  const bool stopped = cancelled || result == JOB_STOP_ALL;
  m_lastRunCancelled = stopped;
  if (!stopped) {
    SetLastRun(static_cast<u32>(std::clamp<i64>(now, 1, UINT32_MAX)));
    if (!(schedule.word & SCHED_NO_STORE_TIME)) SetModified(1);
  }
  return result;
}

void CKopiwartView::OnRun() { RunAll(RUN_DIALOG | RunFlagsFromSchedule(static_cast<u32>(GetInfo(1)))); }
