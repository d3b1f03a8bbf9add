// Whether two folders are one or lie one inside the other, also when one is still missing.
#include "jobs/workers/folder_overlap.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// The absolute, resolved form of path: the longest existing leading part through realpath, the
// missing names below it appended as written ("." and ".." already resolved).
std::string Canonical(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return {};
  std::string p = os.c_str();
  if (p.empty() || p[0] != '/') {
    std::vector<char> cwd(4096);
    if (!::getcwd(cwd.data(), cwd.size())) return {};
    p = std::string(cwd.data()) + "/" + p;
  }
  std::vector<char> norm(p.size() + 2);
  if (SysPathNormalize(norm.data(), p.c_str(), static_cast<int>(norm.size())) < 0) return {};
  p = norm.data();
  std::string missing;
  for (;;) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(p.c_str(), nullptr), &std::free);
    if (real) {
      std::string result = real.get();
      if (!missing.empty()) {
        if (result != "/") result += '/';
        result += missing;
      }
      return result;
    }
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos || p == "/") return {};
    const std::string name = p.substr(slash + 1);
    if (!name.empty()) missing = missing.empty() ? name : name + "/" + missing;
    p.resize(slash == 0 ? 1 : slash);
  }
}

bool Inside(const std::string& inner, const std::string& outer) {
  if (outer == "/") return true;
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
}

}  // namespace

bool LocalFoldersOverlap(const char* a, const char* b) {
  const std::string ca = Canonical(a), cb = Canonical(b);
  if (ca.empty() || cb.empty()) return false;
  return ca == cb || Inside(ca, cb) || Inside(cb, ca);
}
