// Stand-ins for the archive workers until they are built.
#include "jobs/archive_workers.h"

int RunZip(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, (args.flags & 0x10) ? "Zip Add" : "Zip"); }
int RunShrink(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Shrink"); }
