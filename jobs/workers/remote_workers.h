// "Ftp"/"Ftp Del", "Puffer" and "Kopiwart": the workers that reach other machines and carriers.
#pragma once

#include "jobs/worker.h"

int RunFtp(JobContext& ctx, const JobArgs& args);       // modes 9 and 10 (0x100)
int RunPuffer(JobContext& ctx, const JobArgs& args);    // mode 12
int RunKopiwart(JobContext& ctx, const JobArgs& args);  // mode 16
