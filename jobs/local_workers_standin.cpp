// Stand-ins for the local workers until they are built.
#include "jobs/local_workers.h"

int RunMove(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Move"); }
int RunDel(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Del"); }
int RunSynch(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Synch"); }
int RunReg(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, (args.flags & 0x10) ? "Reg Add" : "Reg"); }
int RunVersion(JobContext& ctx, const JobArgs& args) { return JobModeNotAvailable(ctx, args, "Version"); }
