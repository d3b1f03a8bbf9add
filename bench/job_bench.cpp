// Runs one copy worker directly on two folders, as a row of the program would, for the job
// benchmark while the program cannot run rows yet.
// Usage: kpw_job_bench copy|copydel|update SOURCE TARGET [RUNFLAGS]
#include "jobs/progress/run_state.h"
#include "jobs/workers/copy_workers.h"
#include "lib/text/fmt.h"

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4) {
    FmtFprintfA(stderr, "usage: %s copy|copydel|update SOURCE TARGET [RUNFLAGS]\n", argv[0]);
    return 2;
  }
  JobWorkerFn worker = nullptr;
  if (std::strcmp(argv[1], "copy") == 0) worker = RunCopy;
  else if (std::strcmp(argv[1], "copydel") == 0) worker = RunCopyDel;
  else if (std::strcmp(argv[1], "update") == 0) worker = RunUpdate;
  if (!worker) {
    FmtFprintfA(stderr, "unknown mode %s\n", argv[1]);
    return 2;
  }
  CRunState run;
  run.StartRun();
  CUrlConnection* kept = nullptr;
  JobContext ctx{run, kept};
  JobArgs args;
  args.source = argv[2];
  args.target = argv[3];
  args.subdirs = 1;
  args.flags = argc > 4 ? static_cast<u32>(std::strtoul(argv[4], nullptr, 0)) : 0;
  const int result = worker(ctx, args);
  FmtFprintfA(stderr, "%u\n", run.FilesCopied().load());
  return result == 0 ? 0 : (result == -1 ? 1 : 2);
}
