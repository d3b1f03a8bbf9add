// "Synch": copies in both directions between two files or two folder trees; the later write wins.
#include "jobs/job_extra.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/folder_overlap.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/row_notes.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys.h"
#include "lib/system/sys_stat.h"
#include "lib/system/sys_tree.h"
#include "platform/last_error.h"

#include <initializer_list>
#include <string>
#include <string_view>

namespace {

constexpr int kSynchCopyFlags = 0x1B0;     // temporary name, times kept, force, parent folders
constexpr std::size_t kMessageMax = 1283;  // characters of a message

enum Kind { KIND_ERROR = -1, KIND_MISSING = 0, KIND_FILE = 1, KIND_FOLDER = 2 };

// Equal within two seconds, or one hour apart within the same two seconds (a daylight-saving shift).
bool TimesEqual(SysUtc self, SysUtc other) {
  const i64 d = other - self;
  return (d > -2 && d < 2) || (d > 3598 && d < 3602) || (d > -3602 && d < -3598);
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view p : parts) text.append(p);
  return LocalCutText(std::move(text), kMessageMax);
}

class Synch {
 public:
  Synch(JobContext& ctx, const JobArgs& args) : m_ctx(ctx), m_args(args), m_dialog(ctx.run.ActiveDialog()) {}

  int Run();

 private:
  int Ask(const std::string& text, u32 type) { return LocalFail(m_ctx, m_args.flags, text, type); }
  Kind KindOf(const char* path, int* err);
  int LookupFailed(const char* path);
  int FileRule();
  int CopyFile(const char* from, const char* to);
  int MakeFolder(const char* folder);
  int Folders();
  int Pass(CDirListing& listing, SysTree& self, CFolderLinkNotes& selfLinks, SysTree& other,
           CFolderLinkNotes& otherLinks);
  void StopTimer() {
    if (m_dialog) m_dialog->SetTimerCallback(nullptr, 0);
  }

  JobContext& m_ctx;
  const JobArgs& m_args;
  CProgressDlg* m_dialog;
  ProgressRecord& Progress() { return m_ctx.run.Progress(); }
  u64 m_done = 0;
  bool m_failed = false;
};

Kind Synch::KindOf(const char* path, int* err) {
  SysFileInfo info;
  *err = LocalLookup(path, &info);
  if (*err) return LocalMissing(*err) ? KIND_MISSING : KIND_ERROR;
  return (info.dwAttr & SYS_ATTR_FOLDER) ? KIND_FOLDER : KIND_FILE;
}

// A side that exists but cannot be examined is never taken as missing.
int Synch::LookupFailed(const char* path) {
  return Ask(Cat({"Fehler beim Lesen von:\n", path, LocalLastErrorNote()}), kBoxNote);
}

int Synch::Run() {
  const char* source = m_args.source;
  const char* target = m_args.target;
  if (!*source || !*target) return JOB_FAILED;
  const SynchExtra extra = SynchParseExtra(m_args.extra ? m_args.extra : "");
  if (extra.hostRestricted && !HostNameMatches(extra.host, m_ctx.env.hostName)) return JOB_DONE;
  const bool star = extra.quietWhenMissing;
  Progress().bytesBefore.store(0);

  int err = 0;
  const Kind s = KindOf(source, &err);
  if (s == KIND_ERROR) return LookupFailed(source);
  const Kind t = KindOf(target, &err);
  if (t == KIND_ERROR) return LookupFailed(target);

  const auto folderText = [&](const char* head, const char* middle) {
    return Cat({head, source, middle, target, "\nsynchronisiert werden."});
  };
  if (s == KIND_MISSING) {
    if (t == KIND_FILE) return CopyFile(target, source);
    if (star) return JOB_DONE;
    if (t == KIND_MISSING) return Ask(folderText("Das Verzeichnis:\n", "\nkann nicht mit dem Verzeichnis:\n"), kBoxNote);
    if (LocalFoldersOverlap(source, target)) return Folders();  // refused there
    if (const int rc = MakeFolder(source)) return rc;
    return Folders();
  }
  if (s == KIND_FILE) {
    if (t == KIND_MISSING) return CopyFile(source, target);
    if (t == KIND_FILE) return FileRule();
    return Ask(folderText("Die Datei:\n", "\nkann nicht mit dem Verzeichnis:\n"), kBoxNote);
  }
  if (t == KIND_FILE) return Ask(folderText("Das Verzeichnis:\n", "\nkann nicht mit der Datei:\n"), kBoxNote);
  if (t == KIND_MISSING) {
    if (star) return JOB_DONE;
    if (LocalFoldersOverlap(source, target)) return Folders();
    if (const int rc = MakeFolder(target)) return rc;
  }
  return Folders();
}

int Synch::MakeFolder(const char* folder) {
  if (SysMkdirAll(folder)) return 0;
  return Ask(Cat({"Das Verzeichnis:\n", folder, "\nkonnte nicht erzeugt werden !"}), kBoxNote);
}

int Synch::FileRule() {
  const char* source = m_args.source;
  const char* target = m_args.target;
  SysFileInfo s, t;
  if (const int err = LocalLookup(source, &s)) {
    if (!LocalMissing(err)) return LookupFailed(source);
    return CopyFile(target, source);
  }
  if (const int err = LocalLookup(target, &t)) {
    if (!LocalMissing(err)) return LookupFailed(target);
    return CopyFile(source, target);
  }
  if (TimesEqual(s.timeWrite, t.timeWrite)) return JOB_DONE;
  // The later write wins, so 0x01 has no say here; 0x08 leaves both files as they are.
  const u32 rules = m_args.flags & (RUN_NO_OVERWRITE | RUN_KEEP_READONLY);
  const bool sourceOlder = static_cast<u64>(s.timeWrite) < static_cast<u64>(t.timeWrite);
  if (LocalTargetKept(rules, 0, sourceOlder ? s : t, NEWER_EXACT)) return JOB_DONE;
  return sourceOlder ? CopyFile(target, source) : CopyFile(source, target);
}

int Synch::CopyFile(const char* from, const char* to) {
  const i64 length = SysFileLength(from);
  const u64 size = length > 0 ? static_cast<u64>(length) : 0;
  Progress().fileSize.store(size);
  if (m_dialog) {
    m_ctx.run.InstallProgressTimer(m_dialog);
    m_dialog->SetLine(nullptr, from, 0);
    m_dialog->SetLine(nullptr, to, 1);
    m_dialog->SetTotal(static_cast<i64>(size));
  }
  Progress().kind.store(PROGRESS_KIND_COPY);
  const int rc = LocalCopyFile(m_ctx, kSynchCopyFlags, from, to);
  Progress().kind.store(PROGRESS_KIND_BYTES);
  const bool cancelled = LocalCancelled(m_ctx);
  int result = JOB_DONE;
  if (rc != SYS_COPY_DONE && !cancelled) {
    result = JOB_FAILED;
    if (Ask(Cat({"Fehler beim kopieren von:\n", from, "\nnach:\n", to}), kBoxNote) == JOB_STOP_ALL)
      result = JOB_STOP_ALL;
  }
  StopTimer();
  return result;
}

int Synch::Folders() {
  const char* source = m_args.source;
  const char* target = m_args.target;
  if (LocalFoldersOverlap(source, target)) {
    return Ask(Cat({"Das Verzeichnis:\n", source, "\nkann nicht mit dem Verzeichnis:\n", target,
                    "\nsynchronisiert werden, da eines im anderen liegt."}),
               kBoxNote);
  }
  const int listFlags = m_args.subdirs ? 0x3000 : 0x1000;
  CDirListing targetList(target, listFlags, m_args.plus, m_args.minus);
  CDirListing sourceList(source, listFlags, m_args.plus, m_args.minus);
  if (m_dialog) {
    m_ctx.run.InstallProgressTimer(m_dialog);
    m_dialog->SetLine(nullptr, source, 0);
    m_dialog->SetTotal(static_cast<i64>(targetList.GetTotalSize() + sourceList.GetTotalSize()));
    m_dialog->SetPos(0);
  }
  std::string sourceRoot = source, targetRoot = target;
  SysStrAddSlash(sourceRoot);
  SysStrAddSlash(targetRoot);
  // Both sides are walked by descriptor: a side's link to a folder, even one swapped in while
  // the row runs, is neither read through nor written into.
  SysTree sourceTree(sourceRoot), targetTree(targetRoot);
  CFolderLinkNotes sourceLinks(sourceRoot), targetLinks(targetRoot);
  int rc = Pass(sourceList, sourceTree, sourceLinks, targetTree, targetLinks);
  if (rc == JOB_DONE) rc = Pass(targetList, targetTree, targetLinks, sourceTree, sourceLinks);
  StopTimer();
  std::vector<std::string> links = sourceLinks.Found();
  links.insert(links.end(), targetLinks.Found().begin(), targetLinks.Found().end());
  NoteFolderLinks(m_ctx.run, links);
  if (rc == JOB_STOP_ALL) return rc;
  // A side that could not be listed whole was not synchronised whole.
  for (const auto* list : {&sourceList, &targetList}) {
    if (list->GetReadState() <= 1 || m_ctx.run.IsCancelled()) continue;
    m_failed = true;
    const char* root = list == &sourceList ? source : target;
    if (Ask(Cat({"Es gab einen Fehler beim Lesen von:\n\n", root}), kBoxNote) == JOB_STOP_ALL) return JOB_STOP_ALL;
  }
  return m_failed ? JOB_FAILED : JOB_DONE;
}

int Synch::Pass(CDirListing& listing, SysTree& self, CFolderLinkNotes& selfLinks, SysTree& other,
                CFolderLinkNotes& otherLinks) {
  const u32 flags = m_args.flags;
  for (int i = 0; i < listing.GetCount(); ++i) {
    if (m_dialog) {
      if (m_dialog->IsCancelled()) m_ctx.run.SetCancel();
      m_dialog->SetPos(static_cast<i64>(m_done));
    }
    if (m_ctx.run.IsCancelled()) return JOB_DONE;
    const CDirListing::Entry& entry = *listing.GetEntry(i);
    const std::string rel = listing.GetPath(i, nullptr, CDirListing::DL_PATH_RELATIVE);  // the buffer is reused
    const u64 size = entry.info.qwSize;
    if (otherLinks.Covers(rel) || selfLinks.Covers(rel)) {
      m_done += size;
      continue;
    }
    const std::string selfPath = self.Path(rel);
    const std::string otherPath = other.Path(rel);
    const auto [relDir, nameView] = SysSplitRel(rel);
    const std::string name(nameView);

    bool byLink = false;
    SysFileInfo info;
    const int lookDir = EntryFolder(other, relDir, false, otherLinks, &byLink);
    if (byLink) {
      m_done += size;
      continue;
    }
    const int err = lookDir < 0 ? errno : SysStatInfo(lookDir, name.c_str(), &info);
    const bool exists = err == 0;
    if (err && !LocalMissing(err)) {
      SetLastErrorFromErrno(err, nullptr);
      m_failed = true;
      m_done += size;
      if (Ask(Cat({"Fehler beim Lesen von:\n", otherPath, LocalLastErrorNote()}), kBoxError) == JOB_STOP_ALL) {
        StopTimer();
        return JOB_STOP_ALL;
      }
      continue;
    }
    const bool otherFolder = exists && (info.dwAttr & SYS_ATTR_FOLDER);
    if (exists && !otherFolder &&
        (TimesEqual(entry.info.timeWrite, info.timeWrite) || info.timeWrite > entry.info.timeWrite)) {
      m_done += size;  // equal, or the other side is later: the other pass copies it over
      if (m_dialog) m_dialog->SetPos(static_cast<i64>(m_done));
      continue;
    }
    if (m_dialog) {
      m_dialog->SetLine(nullptr, selfPath.c_str(), 0);
      m_dialog->SetLine(nullptr, otherPath.c_str(), 1);
    }
    // Between folders only 0x20 protects a file; 0x08 is for two single files.
    if (exists && !otherFolder && LocalTargetKept(flags & RUN_KEEP_READONLY, 0, info, NEWER_EXACT)) continue;

    int rc = SYS_COPY_TARGET_ERROR;  // a file never replaces a folder of its name
    if (!otherFolder) {
      const int dstDir = EntryFolder(other, relDir, true, otherLinks, &byLink);
      const int srcDir = dstDir < 0 ? -1 : EntryFolder(self, relDir, false, selfLinks, &byLink);
      if (byLink) {
        m_done += size;
        continue;
      }
      if (srcDir >= 0) {
        Progress().bytesBefore.store(m_done);
        Progress().fileSize.store(size);
        Progress().kind.store(PROGRESS_KIND_COPY);
        rc = LocalCopyFileAt(m_ctx, kSynchCopyFlags, srcDir, name.c_str(), dstDir, name.c_str());
      }
    }
    if (rc != SYS_COPY_DONE && rc != SYS_COPY_STOPPED) {
      m_failed = true;
      if (!m_ctx.run.IsCancelled() &&
          Ask(Cat({"Fehler beim Kopieren von:\n\n", selfPath, "\nnach:\n", otherPath}), kBoxError) == JOB_STOP_ALL) {
        StopTimer();
        return JOB_STOP_ALL;
      }
    }
    m_done += size;
    Progress().bytesBefore.store(m_done);
    Progress().kind.store(PROGRESS_KIND_BYTES);
    if (m_dialog) m_dialog->SetPos(static_cast<i64>(m_done));
  }
  return JOB_DONE;
}

}  // namespace

SynchExtra SynchParseExtra(std::string_view cell) {
  SynchExtra extra;
  const std::size_t span = ExtraHostSpan(cell, &extra.host);
  extra.hostRestricted = span > 0;
  extra.quietWhenMissing = span < cell.size() && cell[span] == kExtraTargetSign;
  return extra;
}

int RunSynch(JobContext& ctx, const JobArgs& args) { return Synch(ctx, args).Run(); }
