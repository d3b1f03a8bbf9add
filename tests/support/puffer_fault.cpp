// The buffer-list engine's fault hook for test programs, in place of the engine's own.
#include "tests/support/puffer_fault.h"

#include <atomic>

namespace {
std::atomic<PufferFaultFn> g_fault{nullptr};
}  // namespace

void PufferTestSetFault(PufferFaultFn fn) { g_fault.store(fn); }

int PufferFault(const char* path, int op) {
  const PufferFaultFn fn = g_fault.load();
  return fn ? fn(path, op) : 0;
}
