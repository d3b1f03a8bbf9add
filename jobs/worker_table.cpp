// The worker of each mode: the real workers by mode number.
#include "jobs/worker_table.h"

#include "jobs/workers/archive_workers.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/remote_workers.h"

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
