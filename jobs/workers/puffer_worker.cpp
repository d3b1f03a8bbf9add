// "Puffer": whether this computer is the source or a destination of a buffer list, and its exchange.
#include "jobs/workers/remote_workers.h"
#include "jobs/workers/puffer_cell.h"
#include "jobs/workers/worker_support.h"

#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/puffer/puffer_internal.h"
#include "jobs/puffer/puffer_list.h"
#include "jobs/run_host.h"
#include "jobs/run_rules.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/text/fmt.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

namespace {

constexpr u32 kBoxStop = MB_OK | MB_ICONHAND;         // a failed row
constexpr u32 kBoxAsk = MB_YESNO | MB_ICONHAND;       // registering this computer
constexpr u32 kBoxNote = MB_OK | MB_ICONEXCLAMATION;  // a list taken over

// What stands at the list path: 1 a file, 0 nothing (the carrier may be away), -1 something
// else or it cannot be looked up. Only "nothing there" may create a list or skip the row.
int ListState(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return -1;
  struct stat st {};
  if (::stat(os.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? -1 : 1;
  return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

// The engine's callback: shows its steps on the dialog's second line and stops it once the run
// or the dialog is cancelled.
int PufferProgress(void* context, int code, const char* text) {
  JobContext& ctx = *static_cast<JobContext*>(context);
  CProgressDlg* dialog = ctx.run.ActiveDialog();
  if (dialog && code != PUFFER_POLL) {
    const char* prefix = code == PUFFER_CHECKSUM ? "Scanne "
                         : code == PUFFER_COPY   ? "Kopiere "
                         : code == PUFFER_DELETE ? "Lösche "
                                                 : "";
    // The verb stays whole; the path is shortened to the line.
    dialog->SetLine(prefix, text, 1, static_cast<int>(std::strlen(prefix)));
  }
  return (dialog && dialog->IsCancelled()) || ctx.run.IsCancelled() ? 1 : 0;
}

// How many files of the data folder a destination's first exchange would delete: those whose
// path the source does not list. The engine deletes only on a whole list with source records
// and a complete listing, so anything less counts none.
int FilesToDelete(const char* listPath, const char* dataFolder) {
  const SysOsPath list(listPath);
  if (!list.ok()) return 0;
  std::string text;
  if (PufferReadWhole(list.c_str(), text) != 0) return 0;
  PufferListFile file;
  if (PufferParseList(text, file) != 0 || !file.Whole()) return 0;
  std::set<std::string> listed;
  for (int i = 0; i < file.records.Count(); ++i) {
    if (PufferGetRecord(file.records, i).number == 0)
      listed.emplace(file.records.Text(i), static_cast<std::size_t>(file.records.TextLength(i)));
  }
  if (listed.empty()) return 0;
  CDirListing listing;
  listing.Read((std::string(dataFolder) + '/').c_str(), CDirListing::DL_SUBDIRS | CDirListing::DL_READ_ALL,
               file.plus.c_str(), file.minus.c_str());
  if (listing.GetReadState() == 2) return 0;
  int count = 0;
  for (int i = 0; i < listing.GetCount(); ++i) {
    const CDirListing::Entry* e = listing.GetEntry(i);
    if (e->IsFolder() || (e->info.dwAttr & SYS_ATTR_LINK)) continue;
    int length = 0;
    const char* rel = listing.GetPath(i, &length, CDirListing::DL_PATH_RELATIVE);
    std::string key(rel, static_cast<std::size_t>(length));
    if (!PufferNameHoldable(key)) continue;
    for (char& c : key)
      if (c == '/') c = '\\';
    count += listed.count(key) ? 0 : 1;
  }
  return count;
}

class PufferRun {
 public:
  PufferRun(JobContext& ctx, const JobArgs& args) : m_ctx(ctx), m_args(args), m_engine(ctx.env.hostName, [&env = ctx.env] { return env.Now(); }) {}
  int Run();

 private:
  // Without 0x02 the text goes to standard error and the row fails; with it the text is shown,
  // and Cancel stops all rows.
  int Fail(const std::string& text) {
    return m_ctx.run.WorkerQuestion(m_args.flags, text, kBoxStop) == IDCANCEL ? JOB_STOP_ALL : JOB_FAILED;
  }
  int Source(const PufferCell& cell, int listState);
  int Destination(int listState);
  int Finish(int result);
  std::string ErrorText(const std::string& details) const;

  JobContext& m_ctx;
  const JobArgs& m_args;
  PufferList m_engine;
  std::string m_saveProblems;  // what went wrong while the list was created, shown with the exchange
};

std::string PufferRun::ErrorText(const std::string& details) const {
  std::string text = FmtString("Es gab einen Fehler bei\n%s", m_args.source);
  if (!details.empty()) text += "\n\n" + details;
  return text;
}

int PufferRun::Run() {
  const char* list = m_args.source;
  const char* target = m_args.target;
  for (const char* path : {list, target}) {
    if (IsDriveOrUncPath(path)) return Fail(DriveOrUncPathText(path));
  }
  if (SysFileExist(target) != 2) return Fail(FmtString("Das Verzeichnis:\n%s\nexistiert nicht !", target));
  m_engine.SetProgress(&m_ctx, &PufferProgress);
  const PufferCell cell = PufferSplitExtra(m_args.extra ? m_args.extra : "");
  if (cell.host.empty()) return Fail("Es ist kein Hostname im Zusatz angegeben !\nFromat:   [Host:Größe]");
  if (!*list) return Fail("Es ist keine Liste (.ssy) als Quelle angegeben !");
  if (CProgressDlg* dialog = m_ctx.run.ActiveDialog()) dialog->SetLine(nullptr, list, 0, 0);
  const int listState = ListState(list);
  if (PufferList::HostEqual(cell.host, m_engine.HostName())) return Source(cell, listState);
  return Destination(listState);
}

int PufferRun::Source(const PufferCell& cell, int listState) {
  // Only a list that is not there at all is created anew: one that cannot be looked up is left
  // to the exchange, which names the reason.
  if (listState == 0) {
    if (!cell.roomValid)
      return Fail(FmtString("Die Größe \"%s\" im Zusatz ist keine Zahl !\nFormat:   [Host:Größe]",
                            cell.roomText.c_str()));
    const int saved = m_engine.Save(m_args.source, m_args.target, m_args.plus, m_args.minus, cell.room);
    if (saved < 0) return Fail(ErrorText(m_engine.Report().Text()));
    if (m_engine.Report().Failed()) m_saveProblems = m_engine.Report().Text();
  }
  return Finish(m_engine.Exchange(m_args.source, m_args.target, cell.host.c_str(), 0));
}

int PufferRun::Destination(int listState) {
  if (listState == 0) return JOB_DONE;
  const std::string self = m_engine.HostName();
  const int result = m_engine.Exchange(m_args.source, m_args.target, self.c_str(), 1);
  if (result != PUFFER_NOT_REGISTERED) return Finish(result);
  // Registering makes this folder follow the source, deletions included: never without consent.
  if (!(m_args.flags & RUN_DIALOG)) {
    return Fail(
        FmtString("Der Host %s ist noch nicht in der Kopiwart-Liste\n%s\nEr wird nur in einem Lauf mit "
                  "Rückfragen eingefügt !",
                  self.c_str(), m_args.source));
  }
  int answer = m_ctx.run.WorkerQuestion(
      m_args.flags,
      FmtString("Der Host %s ist noch nicht in der Kopiwart-Liste\nSoll er eingefügt werden ?", self.c_str()),
      kBoxAsk);
  if (answer == IDCANCEL) return JOB_STOP_ALL;
  if (answer != IDYES) return JOB_DONE;
  // A wrong target folder would lose every file the source does not have: say how many.
  if (const int doomed = FilesToDelete(m_args.source, m_args.target); doomed > 0) {
    answer = m_ctx.run.WorkerQuestion(
        m_args.flags,
        FmtString("Dabei werden in\n%s\n%d Dateien gelöscht, die nicht in der Kopiwart-Liste stehen.\n"
                  "Trotzdem fortfahren ?",
                  m_args.target, doomed),
        kBoxAsk);
    if (answer == IDCANCEL) return JOB_STOP_ALL;
    if (answer != IDYES) return JOB_DONE;
  }
  return Finish(m_engine.Exchange(m_args.source, m_args.target, nullptr, 0));
}

int PufferRun::Finish(int result) {
  const PufferReport& report = m_engine.Report();
  // Copies made before a stop or a failed list write are real files all the same.
  m_ctx.run.FilesCopied() += static_cast<u32>(result >= 0 ? result : report.copied);
  if (result == PUFFER_STOPPED) {
    m_ctx.run.SetCancel();
    return JOB_STOP_ALL;
  }
  if (result < 0 || report.Failed() || !m_saveProblems.empty()) {
    std::string details = m_saveProblems;
    if (!details.empty() && !report.lines.empty()) details += '\n';
    details += report.Text();
    return Fail(ErrorText(details));
  }
  // Notes of a row that went well: a list taken over from another source, deletions withheld.
  if (!report.lines.empty()) FmtFprintfA(stderr, "Kopiwart: %s\n", report.Text().c_str());
  if (report.tookOver && (m_args.flags & RUN_DIALOG)) {
    const std::string note =
        FmtString("Die Liste\n%s\ngehörte dem Host %s.\nSie wurde für diesen Computer (%s) neu angelegt.",
                  m_args.source, report.formerSource.c_str(), m_engine.HostName().c_str());
    if (m_ctx.run.WorkerQuestion(m_args.flags, note, kBoxNote) == IDCANCEL) return JOB_STOP_ALL;
  }
  return JOB_DONE;
}

}  // namespace

int RunPuffer(JobContext& ctx, const JobArgs& args) {
  JobArgs safe = args;
  for (const char** cell : {&safe.source, &safe.target, &safe.plus, &safe.minus, &safe.extra}) {
    if (!*cell) *cell = "";
  }
  return PufferRun(ctx, safe).Run();
}
