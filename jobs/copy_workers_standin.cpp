// Stand-ins for the copy workers until they are built.
#include "jobs/copy_workers.h"

int RunCopy(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Copy"); }
int RunCopyDel(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Copy Del"); }
int RunCopyFile(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Copy File"); }
int RunUpdate(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Update"); }
