// The table from mode number to worker.
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/workers/archive_workers.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/remote_workers.h"
#include "lib/text/fmt.h"

#include <array>

namespace {
constexpr JobWorkerTable kWorkers = {
    RunCopy,    RunCopyDel, RunCopyFile, RunZip,    RunZip,   RunReg,   RunReg,   RunMove, RunDel,
    RunFtp,     RunFtp,     RunSynch,    RunPuffer, RunUpdate, RunVersion, RunShrink, RunKopiwart,
};
}  // namespace

JobWorkerFn JobWorkerOf(int mode, const JobEnvironment& env) {
  const JobWorkerTable* table = env.workers ? env.workers : &kWorkers;
  if (mode < 0 || mode >= kJobWorkerCount) mode = 0;
  return (*table)[static_cast<std::size_t>(mode)];
}

int JobModeNotAvailable(JobContext& ctx, const JobArgs& args, const char* modeName) {
  const std::string text =
      FmtString("Der Modus \"%s\" ist in dieser Version noch nicht verfügbar.\nQuelle: %s", modeName, args.source);
  ctx.run.WorkerQuestion(args.flags, text, 0x10);
  return JOB_FAILED;
}
