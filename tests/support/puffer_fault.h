// A fault seam over the buffer-list engine's: while set, fn decides each file read
// (PUFFER_FAULT_READ) and lookup (PUFFER_FAULT_STAT) of the engine.
#pragma once

#include "jobs/puffer/puffer_internal.h"

using PufferFaultFn = int (*)(const char* path, int op);
void PufferTestSetFault(PufferFaultFn fn);
