// "Ftp"/"Ftp Del", "Puffer" and "Kopiwart": the workers that reach other machines and carriers.
#pragma once

#include "jobs/worker.h"

int RunFtp(JobContext& ctx, const JobArgs& args);       // modes 9 and 10 (0x100)
int RunPuffer(JobContext& ctx, const JobArgs& args);    // mode 12
int RunKopiwart(JobContext& ctx, const JobArgs& args);  // mode 16

// The stand-in for a mode this build cannot run yet: the row fails with a German message naming
// the mode (asked with 0x02, else written to standard error).
int JobModeNotAvailable(JobContext& ctx, const JobArgs& args, const char* modeName);
