// The stand-in for a mode this build cannot run.
#include "jobs/progress/run_state.h"
#include "jobs/workers/remote_workers.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"

int JobModeNotAvailable(JobContext& ctx, const JobArgs& args, const char* modeName) {
  // The source as a user may read it: a URL's password shows as "***".
  const std::string source = EncUrlHidePassword(args.source);
  const std::string text = FmtString("Der Modus \"%s\" ist in dieser Version noch nicht verfügbar.\nQuelle: %s",
                                     modeName, source.c_str());
  ctx.run.WorkerQuestion(args.flags, text, 0x10);
  return JOB_FAILED;
}
