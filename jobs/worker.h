// The contract of the mode workers: the row they get, the run they reach, the result they give.
#pragma once

#include "jobs/job_model.h"
#include "platform/win_types.h"

#include <array>
#include <functional>
#include <string>

class CRunState;

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

struct JobContext;
using JobWorkerFn = int (*)(JobContext& ctx, const JobArgs& args);
// The worker of each mode, by mode number.
using JobWorkerTable = std::array<JobWorkerFn, JOB_MODE_COUNT>;

// What a run takes from the machine it runs on: the clock of schedules, last-run times, date tags
// and the "DATE" version, and the computer's name that host restrictions and buffer lists compare.
// The program fills it from the system (FromSystem); tests fill their own, and may put a worker
// table of their own in place of the real one.
struct JobEnvironment {
  std::function<i64()> clock;  // seconds since 1970; empty: the system's
  std::string hostName;
  const JobWorkerTable* workers = nullptr;  // null: the real table

  i64 Now() const;
  static JobEnvironment FromSystem();
};

// What a worker reaches beyond its row. What it hands to the next row (the shared archive, the
// connection the "Kopiwart" worker keeps while the next row names the same server, RunFlags
// 0x400/0x800) the run state's carry owns; the runner releases it after a row that does not.
struct JobContext {
  CRunState& run;
  const JobEnvironment& env;
};

// Worker results.
enum : int {
  JOB_DONE = 0,
  JOB_FAILED = -1,
  JOB_STOP_ALL = -2,  // the cancel flag is set as well
};
