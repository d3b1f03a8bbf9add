// The worker of each mode: the real workers, joined to the mode table by its numbers.
#pragma once

#include "jobs/worker.h"

// The worker of a mode (0-16; others count as 0) from the environment's table, else the real one;
// never null.
JobWorkerFn JobWorkerOf(int mode, const JobEnvironment& env);
