// "Reg" and "Reg Add": export of a registry key to a .reg file, import of .reg files, else a copy.
#include "jobs/copy_workers.h"
#include "jobs/local_worker_support.h"
#include "jobs/local_workers.h"
#include "jobs/progress_dlg.h"
#include "lib/system/regfile.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/vars.h"
#include "lib/text/str.h"

#include <cstring>
#include <string>

namespace {

bool IsKeyPath(const char* source) {
  static constexpr char kPrefix[] = "hkey_";
  for (int i = 0; i < 5; ++i) {
    char c = source[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != kPrefix[i]) return false;
  }
  return true;
}

// The registry file classes read paths as the kernel does: "\" separators become "/" here.
std::string KernelPath(const char* path) {
  const SysOsPath os(path);
  return os.ok() ? std::string(os.c_str()) : std::string(path);
}

int Done(JobContext& ctx) {
  ++ctx.run.FilesCopied();
  return LocalCancelled(ctx) ? JOB_STOP_ALL : JOB_DONE;
}

int NoTarget(JobContext& ctx, const JobArgs& args) {
  return LocalFail(ctx, args.flags, std::string("Für:\n") + args.source + "\nist kein Ziel angegeben !");
}

int Export(JobContext& ctx, const JobArgs& args) {
  if (!*args.target) return NoTarget(ctx, args);
  if (args.flags & (RUN_NO_OVERWRITE | RUN_KEEP_READONLY)) {
    SysFileInfo info;
    if (LocalLookup(args.target, &info) == 0) {
      if (args.flags & RUN_NO_OVERWRITE) return JOB_DONE;
      if (!(info.dwAttr & SYS_ATTR_WRITABLE)) return JOB_DONE;
    }
  }
  CRegFile file;
  if (file.Export(KernelPath(args.target).c_str(), args.source, (args.flags & RUN_ADD) ? 1 : 0)) return Done(ctx);
  return LocalFail(ctx, args.flags,
                   std::string("Kann Registry Schlüssel :\n") + args.source + "\nnicht nach :\n" + args.target +
                       "\nexportieren !");
}

int Import(JobContext& ctx, const JobArgs& args) {
  char folder[4096];
  if (SysFullDir(folder, args.source, sizeof folder) > 0) {
    SysPathCutSlash(folder, -1);
    VarSet("CURRENT_PATH", folder, 0);
  }
  VarSet("CURRENT_FILE", args.source, 0);
  CRegFile file;
  if (file.Import(KernelPath(args.source).c_str())) return Done(ctx);
  return LocalFail(ctx, args.flags, std::string("Kann Registry Datei :\n") + args.source + "\nnicht importieren !");
}

}  // namespace

int RunReg(JobContext& ctx, const JobArgs& args) {
  if (CProgressDlg* dialog = ctx.run.ActiveDialog()) {
    dialog->SetTotal(1);
    dialog->SetPos(0);
    dialog->SetLine(nullptr, args.source, 0);
    dialog->SetLine(nullptr, args.target, 1);
  }
  if (IsKeyPath(args.source)) return Export(ctx, args);
  if (SysPathExtInList(args.source, "reg;crg") > 0) return Import(ctx, args);
  if (!*args.target) return NoTarget(ctx, args);
  return RunCopy(ctx, args);
}
