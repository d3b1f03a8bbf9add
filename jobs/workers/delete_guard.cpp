// The one guard of every worker that deletes: the root, and without filters mount points and the
// user's home folder; a folder that cannot be examined is kept as well.
#include "jobs/workers/delete_guard.h"

#include "lib/system/sys_ospath.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// The real path; nothing with *missing set when there is nothing at the path.
std::optional<std::string> RealPath(const char* path, bool* missing) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
  if (resolved) return std::string(resolved.get());
  *missing = errno == ENOENT || errno == ENOTDIR;
  return std::nullopt;
}

// The home folders of the user the program runs as, and of the user who started it.
bool IsHomeFolder(const std::string& real) {
  std::vector<std::string> homes;
  if (const char* env = std::getenv("HOME"); env && *env) homes.emplace_back(env);
  for (const uid_t uid : {::geteuid(), ::getuid()}) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir) homes.emplace_back(pw.pw_dir);
  }
  bool missing = false;
  for (const std::string& home : homes)
    if (const auto realHome = RealPath(home.c_str(), &missing); realHome && *realHome == real) return true;
  return false;
}

// 1 a mount point, 0 not, -1 cannot tell.
int IsMountPoint(const std::string& real) {
  struct statx st {};
  if (::statx(AT_FDCWD, real.c_str(), AT_NO_AUTOMOUNT | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) != 0) return -1;
  if (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) ? 1 : 0;
  // Kernels without the attribute: a folder on another device than its parent.
  struct statx parent {};
  if (::statx(AT_FDCWD, (real + "/..").c_str(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &parent) != 0) return -1;
  return st.stx_dev_major != parent.stx_dev_major || st.stx_dev_minor != parent.stx_dev_minor ||
                 st.stx_ino == parent.stx_ino
             ? 1
             : 0;
}

}  // namespace

int DelGuard(const char* folder, bool emptiesWhole) {
  const SysOsPath os(folder);
  if (!os.ok()) return DEL_GUARD_OK;  // nothing local to guard; the listing refuses it
  bool missing = false;
  const auto real = RealPath(os.c_str(), &missing);
  if (!real) return missing ? DEL_GUARD_OK : DEL_GUARD_UNKNOWN;
  if (*real == "/") return DEL_GUARD_ROOT;
  if (!emptiesWhole) return DEL_GUARD_OK;
  if (IsHomeFolder(*real)) return DEL_GUARD_HOME;
  const int mount = IsMountPoint(*real);
  if (mount < 0) return DEL_GUARD_UNKNOWN;
  return mount ? DEL_GUARD_MOUNT : DEL_GUARD_OK;
}
