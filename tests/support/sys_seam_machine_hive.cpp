// The machine hive's file in a test program: one the test names instead of the system's.
#include "tests/support/sys_seams.h"

#include "lib/system/sys_seam_hooks.h"

#include <mutex>

namespace {
std::mutex g_lock;
std::string g_file;
}  // namespace

void SysTestSetMachineHive(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_file = path;
}

std::string SysSeamMachineHiveFile(const char* systemFile) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_file.empty() ? systemFile : g_file;
}
