// "Move", "Del", "Synch", "Reg"/"Reg Add" and "Version": the workers that change local files.
#pragma once

#include "jobs/worker.h"

int RunMove(JobContext& ctx, const JobArgs& args);     // mode 7
int RunDel(JobContext& ctx, const JobArgs& args);      // mode 8
int RunSynch(JobContext& ctx, const JobArgs& args);    // mode 11
int RunReg(JobContext& ctx, const JobArgs& args);      // modes 5 and 6 (0x10)
int RunVersion(JobContext& ctx, const JobArgs& args);  // mode 14
