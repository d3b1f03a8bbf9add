// The packing half of the "Zip" worker, for the "Shrink" worker's archive copies.
#pragma once

#include "jobs/worker.h"

// Packs args.source into the archive args.target as a "Zip" row does, also when the source
// itself ends in ".zip" (a folder of that name). args.extra: the folder inside the archive, then
// ";" and the excluded folders.
int ZipPackRow(JobContext& ctx, const JobArgs& args);
