// The folders that "Del" never removes or empties: the root, and without filters mount points and
// the user's home folder.
#include "jobs/local_worker_support.h"

#include "lib/system/sys_ospath.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string RealPath(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool IsMountPoint(const std::string& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &st) == 0 &&
      (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  // Kernels without the attribute: a folder on another device than its parent.
  struct stat self {}, parent {};
  if (::stat(path.c_str(), &self) != 0 || ::stat((path + "/..").c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

bool IsHomeFolder(const std::string& path) {
  std::vector<std::string> homes;
  if (const char* env = std::getenv("HOME"); env && *env) homes.push_back(RealPath(env));
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir)
    homes.push_back(RealPath(pw.pw_dir));
  for (const std::string& home : homes)
    if (!home.empty() && home == path) return true;
  return false;
}

}  // namespace

int DelGuard(const char* folder, bool emptiesWhole) {
  const SysOsPath os(folder);
  if (!os.ok()) return DEL_GUARD_OK;  // nothing local to guard; the listing refuses it
  const std::string real = RealPath(os.c_str());
  if (real.empty()) return DEL_GUARD_OK;
  if (real == "/") return DEL_GUARD_ROOT;
  if (!emptiesWhole) return DEL_GUARD_OK;
  if (IsHomeFolder(real)) return DEL_GUARD_HOME;
  if (IsMountPoint(real)) return DEL_GUARD_MOUNT;
  return DEL_GUARD_OK;
}
