// The worker of each mode: the real workers, joined to the mode table by its numbers.
#include "jobs/worker_table.h"

#include "jobs/workers/archive_workers.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/remote_workers.h"

#include <array>
#include <iterator>

namespace {

// The table with a mark for each mode given a worker; the marks, not the pointers, are checked
// at compile time (a sanitizer build cannot compare function pointers there).
struct Workers {
  JobWorkerTable table{};
  std::array<bool, JOB_MODE_COUNT> given{};
  constexpr void Set(int mode, JobWorkerFn worker) {
    table[static_cast<std::size_t>(mode)] = worker;
    given[static_cast<std::size_t>(mode)] = true;
  }
};

constexpr Workers MakeWorkers() {
  Workers w;
  w.Set(JOB_MODE_COPY, RunCopy);
  w.Set(JOB_MODE_COPY_DEL, RunCopyDel);
  w.Set(JOB_MODE_COPY_FILE, RunCopyFile);
  w.Set(JOB_MODE_ZIP, RunZip);
  w.Set(JOB_MODE_ZIP_ADD, RunZip);
  w.Set(JOB_MODE_REG, RunReg);
  w.Set(JOB_MODE_REG_ADD, RunReg);
  w.Set(JOB_MODE_MOVE, RunMove);
  w.Set(JOB_MODE_DEL, RunDel);
  w.Set(JOB_MODE_FTP, RunFtp);
  w.Set(JOB_MODE_FTP_DEL, RunFtp);
  w.Set(JOB_MODE_SYNCH, RunSynch);
  w.Set(JOB_MODE_PUFFER, RunPuffer);
  w.Set(JOB_MODE_UPDATE, RunUpdate);
  w.Set(JOB_MODE_VERSION, RunVersion);
  w.Set(JOB_MODE_SHRINK, RunShrink);
  w.Set(JOB_MODE_KOPIWART, RunKopiwart);
  return w;
}

constexpr Workers kMade = MakeWorkers();
constexpr const JobWorkerTable& kWorkers = kMade.table;

constexpr bool EveryModeHasAWorker() {
  for (const bool given : kMade.given) {
    if (!given) return false;
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
