// The worker of each mode: the real workers, joined to the mode table by its numbers.
#include "jobs/worker_table.h"

#include "jobs/workers/archive_workers.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/remote_workers.h"

#include <iterator>

namespace {

constexpr JobWorkerTable MakeWorkers() {
  JobWorkerTable t{};
  t[JOB_MODE_COPY] = RunCopy;
  t[JOB_MODE_COPY_DEL] = RunCopyDel;
  t[JOB_MODE_COPY_FILE] = RunCopyFile;
  t[JOB_MODE_ZIP] = RunZip;
  t[JOB_MODE_ZIP_ADD] = RunZip;
  t[JOB_MODE_REG] = RunReg;
  t[JOB_MODE_REG_ADD] = RunReg;
  t[JOB_MODE_MOVE] = RunMove;
  t[JOB_MODE_DEL] = RunDel;
  t[JOB_MODE_FTP] = RunFtp;
  t[JOB_MODE_FTP_DEL] = RunFtp;
  t[JOB_MODE_SYNCH] = RunSynch;
  t[JOB_MODE_PUFFER] = RunPuffer;
  t[JOB_MODE_UPDATE] = RunUpdate;
  t[JOB_MODE_VERSION] = RunVersion;
  t[JOB_MODE_SHRINK] = RunShrink;
  t[JOB_MODE_KOPIWART] = RunKopiwart;
  return t;
}

constexpr JobWorkerTable kWorkers = MakeWorkers();

constexpr bool EveryModeHasAWorker() {
  for (JobWorkerFn worker : kWorkers) {
    if (!worker) return false;
  }
  return true;
}

static_assert(kWorkers.size() == std::size(kJobModes), "one worker a mode");
static_assert(EveryModeHasAWorker(), "a mode was added without its worker");

}  // namespace

JobWorkerFn JobWorkerOf(int mode, const JobEnvironment& env) {
  const JobWorkerTable* table = env.workers ? env.workers : &kWorkers;
  if (mode < 0 || mode >= JOB_MODE_COUNT) mode = JOB_MODE_COPY;
  return (*table)[static_cast<std::size_t>(mode)];
}
