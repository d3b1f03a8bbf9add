// The worker of each mode: the real workers by mode number.
#pragma once

#include "jobs/worker.h"

// The worker of a mode (0-16; others count as 0) from the environment's table, else the real one;
// never null.
JobWorkerFn JobWorkerOf(int mode, const JobEnvironment& env);
