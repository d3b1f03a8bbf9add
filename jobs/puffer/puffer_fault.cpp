// The engine's fault hook, which never fails; a test program links a definition of its own.
#include "jobs/puffer/puffer_internal.h"

__attribute__((weak)) int PufferFault(const char*, int) { return 0; }
