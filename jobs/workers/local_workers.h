// "Move", "Del", "Synch", "Reg"/"Reg Add" and "Version": the workers that change local files.
#pragma once

#include "jobs/worker.h"

#include <string>
#include <string_view>

int RunMove(JobContext& ctx, const JobArgs& args);     // mode 7
int RunDel(JobContext& ctx, const JobArgs& args);      // mode 8
int RunSynch(JobContext& ctx, const JobArgs& args);    // mode 11
int RunReg(JobContext& ctx, const JobArgs& args);      // modes 5 and 6 (0x10)
int RunVersion(JobContext& ctx, const JobArgs& args);  // mode 14

// The extra cell of "Synch": the host restriction of the head, then, when the text behind it
// begins with "*", a missing side ends the row quietly. The rest of the cell is not read.
struct SynchExtra {
  bool hostRestricted = false;
  std::string host;
  bool quietWhenMissing = false;
};
SynchExtra SynchParseExtra(std::string_view cell);
