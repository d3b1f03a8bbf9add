// "Copy", "Copy Del", "Copy File" and "Update": the workers that copy local trees.
#pragma once

#include "jobs/worker.h"

// Mode 0; also the plain-copy engine of the registry, zip and shrink workers.
int RunCopy(JobContext& ctx, const JobArgs& args);
// Mode 1: RunCopy, then deletes target files the source lacks.
int RunCopyDel(JobContext& ctx, const JobArgs& args);
// Mode 2: RunCopy of one file onto a target file name (adds RunFlags 0x200).
int RunCopyFile(JobContext& ctx, const JobArgs& args);
// Mode 13: refreshes target files that exist and are older.
int RunUpdate(JobContext& ctx, const JobArgs& args);
