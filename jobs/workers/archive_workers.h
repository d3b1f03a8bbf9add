// "Zip"/"Zip Add" and "Shrink": the workers that pack archives and thin out dated copies.
#pragma once

#include "jobs/worker.h"

int RunZip(JobContext& ctx, const JobArgs& args);     // modes 3 and 4 (0x10)
int RunShrink(JobContext& ctx, const JobArgs& args);  // mode 15
