// The contract of the mode workers: the row they get, the run they reach, the result they give.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <functional>
#include <string>

class CRunState;
class CUrlConnection;

// The seven arguments of a row, as the runner hands them over: source and target expanded
// (variables and tags), filters expanded, subdirs non-zero unless the cell is "Nein", the extra
// cell as it stands, and the row's RunFlags with what the runner adds for the mode.
struct JobArgs {
  const char* source = "";
  const char* target = "";
  const char* plus = "";
  const char* minus = "";
  int subdirs = 0;
  const char* extra = "";
  u32 flags = 0;
};

// What a worker reaches beyond its row.
struct JobContext {
  CRunState& run;
  // The connection the "Kopiwart" worker keeps while the next row names the same server
  // (RunFlags 0x400/0x800); the runner deletes it when the next row does not continue it.
  CUrlConnection*& keptConnection;
};

// Worker results.
enum : int {
  JOB_DONE = 0,
  JOB_FAILED = -1,
  JOB_STOP_ALL = -2,  // the cancel flag is set as well
};

using JobWorkerFn = int (*)(JobContext& ctx, const JobArgs& args);

// The worker of a mode (0-16); never null.
JobWorkerFn JobWorkerOf(int mode);

// Tests put a table of their own in place of the real one (null restores it). The table must
// outlive its use; set it only while no run is going on.
inline constexpr int kJobWorkerCount = 17;
using JobWorkerTable = std::array<JobWorkerFn, kJobWorkerCount>;
void JobSetWorkerTableForTest(const JobWorkerTable* table);

// The stand-in for a mode this build cannot run yet: the row fails with a German message naming
// the mode (asked with 0x02, else written to standard error).
int JobModeNotAvailable(JobContext& ctx, const JobArgs& args, const char* modeName);
