// "Move": moves one file onto a target path; folders and existing targets are refused.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <sys/stat.h>

#include <string>

namespace {

constexpr int kMoveFlags = 0xFB8;          // the engine's move, refusing an existing target
constexpr int kMoveReplaceFlags = 0xFB0;   // the same, replacing a target the row approved

// 1 when both names lead to one file (hard links, a link to the other, a name that a
// case-folding file system treats as the same); 0 otherwise or when either cannot be examined.
int SameFile(const char* a, const char* b) {
  const SysOsPath osA(a), osB(b);
  if (!osA.ok() || !osB.ok()) return 0;
  struct stat sa {}, sb {};
  if (::stat(osA.c_str(), &sa) != 0 || ::stat(osB.c_str(), &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The absolute path of a file name ("" when it does not fit).
std::string FullPath(const char* path) {
  char dir[4096];
  if (SysFullDir(dir, path, sizeof dir) == 0) return {};
  int nameLength = 0;
  const char* name = SysPathName(-1, path, &nameLength);
  return std::string(dir) + std::string(name, static_cast<std::size_t>(nameLength));
}

std::string MoveFailText(const char* source, const char* target) {
  return std::string("Kann Datei :\n") + source + "\nnicht nach :\n" + target + "\nverschieben !";
}

}  // namespace

int RunMove(JobContext& ctx, const JobArgs& args) {
  const char* source = args.source;
  const char* target = args.target;
  const u32 flags = args.flags;
  if (CProgressDlg* dialog = ctx.run.ActiveDialog()) {
    dialog->SetTotal(1);
    dialog->SetPos(0);
    dialog->SetLine(nullptr, source, 0);
    dialog->SetLine(nullptr, target, 1);
  }
  // Names compare exactly: "a.txt" to "A.txt" is a real rename here.
  if (SysPathCompare(source, target, SYS_PATH_FULL_A | SYS_PATH_FULL_B) == 0) return JOB_DONE;

  SysFileInfo src;
  const bool sourceKnown = LocalLookup(source, &src) == 0;
  if (sourceKnown && (src.dwAttr & SYS_ATTR_FOLDER)) {
    return LocalFail(ctx, flags,
                     std::string("Die Datei :\n") + source + "\nist ein Verzeichnis und kann nicht verschoben werden !");
  }

  if (sourceKnown && SameFile(source, target)) {
    // One file under two names: only a change of letter case on a case-folding file system is a
    // move; anything else (a hard link, a link to the source) would leave the file where it is,
    // so it fails, as mv refuses it.
    const std::string a = FullPath(source), b = FullPath(target);
    if (a.empty() || !StrEqualsNoCase(a, b))
      return LocalFail(ctx, flags, MoveFailText(source, target) + "\n(Quelle und Ziel sind dieselbe Datei.)");
    if (SysRename(source, target, 0) != 0) return LocalFail(ctx, flags, MoveFailText(source, target));
    ++ctx.run.FilesCopied();
    return JOB_DONE;
  }

  bool approved = false;
  if (flags & (RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY)) {
    SysFileInfo dst;
    if (LocalLookup(target, &dst) == 0) {
      // Without the source's time 0x01 neither keeps the target nor approves replacing it.
      const u32 rules = sourceKnown ? flags : flags & ~static_cast<u32>(RUN_NEWER_ONLY);
      if (LocalTargetKept(rules, src.timeWrite, dst, NEWER_COARSE)) return JOB_DONE;
      // The source is newer: this move is meant to replace the older target.
      approved = (rules & RUN_NEWER_ONLY) != 0;
    }
  }

  ctx.run.Progress().fileSize.store(sourceKnown ? src.qwSize : 0);
  const int rc = LocalCopyFile(ctx, approved ? kMoveReplaceFlags : kMoveFlags, source, target);
  const bool cancelled = LocalCancelled(ctx);
  if (rc == SYS_COPY_DONE) return cancelled ? JOB_STOP_ALL : JOB_DONE;
  if (cancelled) return JOB_STOP_ALL;
  if (rc == SYS_COPY_SOURCE_ERROR && GetLastError() == ERROR_SHARING_VIOLATION) {
    // Copied to another file system, but the source changed meanwhile: both stay.
    return LocalFail(ctx, flags,
                     MoveFailText(source, target) +
                         "\n(Die Datei wurde während des Kopierens geändert; sie bleibt, und die Kopie im Ziel auch.)");
  }
  return LocalFail(ctx, flags, MoveFailText(source, target));
}
