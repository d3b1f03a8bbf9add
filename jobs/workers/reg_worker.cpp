// "Reg" and "Reg Add": export of a registry key to a .reg file, import of .reg files, else a copy.
#include "jobs/progress/progress_dlg.h"
#include "jobs/run_rules.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/regfile.h"
#include "lib/system/sys.h"
#include "lib/system/vars.h"
#include "lib/text/str.h"

#include <cstring>
#include <string>

namespace {

int Done(JobContext& ctx) {
  ++ctx.run.FilesCopied();
  return LocalCancelled(ctx) ? JOB_STOP_ALL : JOB_DONE;
}

int NoTarget(JobContext& ctx, const JobArgs& args) {
  return LocalFail(ctx, args.flags, std::string("Für:\n") + args.source + "\nist kein Ziel angegeben !");
}

int Export(JobContext& ctx, const JobArgs& args) {
  if (!*args.target) return NoTarget(ctx, args);
  // A key has no write time: 0x01 does not apply to an export.
  const u32 rules = args.flags & ~static_cast<u32>(RUN_NEWER_ONLY);
  if (rules & (RUN_NO_OVERWRITE | RUN_KEEP_READONLY)) {
    SysFileInfo info;
    if (LocalLookup(args.target, &info) == 0 && LocalTargetKept(rules, 0, info, NEWER_EXACT)) return JOB_DONE;
  }
  CRegFile file;
  if (file.Export(args.target, args.source, (args.flags & RUN_ADD) ? 1 : 0)) return Done(ctx);
  return LocalFail(ctx, args.flags, RegExportFailedText(args.source, args.target));
}

int Import(JobContext& ctx, const JobArgs& args) {
  char folder[4096];
  if (SysFullDir(folder, args.source, sizeof folder) > 0) {
    SysPathCutSlash(folder, -1);
    VarSet("CURRENT_PATH", folder, 0);
  }
  VarSet("CURRENT_FILE", args.source, 0);
  CRegFile file;
  file.SetNow(ctx.env.Now());
  if (file.Import(args.source)) return Done(ctx);
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
  if (IsRegistryKeyPath(args.source)) return Export(ctx, args);
  if (SysPathExtInList(args.source, "reg;crg") > 0) return Import(ctx, args);
  if (!*args.target) return NoTarget(ctx, args);
  return RunCopy(ctx, args);
}
