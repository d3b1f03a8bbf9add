// The system library's seams for tests: set creation times, unreadable folders, forced fallbacks.
#include "tests/support/sys_seams.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_seam_hooks.h"
#include "lib/system/sys_stat.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

// Each hook sits beside its setter: a program that calls a setter links this file, hooks included.

namespace {
std::mutex g_lock;
std::map<std::pair<u64, u64>, SysUtc> g_creationTimes;  // (device, inode) -> time
std::atomic<bool> g_anyCreationTime{false};
std::atomic<SysDirFaultFn> g_dirFault{nullptr};
std::atomic<bool> g_forceFallbacks{false};
std::atomic<SysCopyProgressFn> g_copyProgress{nullptr};
}  // namespace

void SysTestSetCopyProgress(SysCopyProgressFn fn) { g_copyProgress.store(fn); }

void SysSeamCopyProgress(u64 done) {
  if (const SysCopyProgressFn fn = g_copyProgress.load(std::memory_order_relaxed)) fn(done);
}

int SysTestSetCreationTime(const char* path, SysUtc t) {
  const SysOsPath os(path);
  if (!os.ok()) return os.error();
  struct stat st {};
  if (::stat(os.c_str(), &st) != 0) return SysFail(errno, os.c_str());
  std::lock_guard<std::mutex> lock(g_lock);
  const auto key = std::make_pair(static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino));
  if (t == 0) {
    g_creationTimes.erase(key);
  } else {
    g_creationTimes[key] = t;
  }
  g_anyCreationTime.store(!g_creationTimes.empty());
  return 0;
}

void SysTestClearCreationTimes() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_creationTimes.clear();
  g_anyCreationTime.store(false);
}

SysUtc SysSeamCreationTime(u64 dev, u64 ino) {
  if (!g_anyCreationTime.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> lock(g_lock);
  const auto it = g_creationTimes.find(std::make_pair(dev, ino));
  return it == g_creationTimes.end() ? 0 : it->second;
}

void SysTestSetDirFault(SysDirFaultFn fn) { g_dirFault.store(fn); }

bool SysSeamDirFault(const char* folderPath) {
  const SysDirFaultFn fn = g_dirFault.load(std::memory_order_relaxed);
  return fn && fn(folderPath);
}

void SysTestForceFallbacks(bool on) { g_forceFallbacks.store(on); }

bool SysSeamForceFallbacks() { return g_forceFallbacks.load(std::memory_order_relaxed); }
