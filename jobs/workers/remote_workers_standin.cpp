// Stand-ins for the remote workers until they are built.
#include "jobs/workers/remote_workers.h"
#include "jobs/workers/worker_support.h"

int RunFtp(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, (args.flags & 0x100) ? "Ftp Del" : "Ftp"); }
int RunKopiwart(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Kopiwart"); }
