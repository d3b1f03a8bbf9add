// A copy of a program that every user can run, for tests that give up root's rights.
#pragma once

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>

namespace kpwtest {

// Whether a user who is neither owner nor in the group can reach path: every folder from "/"
// down to the one holding path lets others search it.
inline bool OthersCanReach(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path folder = fs::weakly_canonical(fs::absolute(path), ec).parent_path();
  for (;;) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    if (folder == folder.root_path() || folder.empty()) return true;
    folder = folder.parent_path();
  }
}

// The build may lie below a folder others cannot enter (a clone under /root, a mktemp -d
// folder): a process that gave up root could not start the program there. This copies it to a
// fresh folder under /tmp that every user can enter; the copy goes with the object. The shared
// libraries it loads must already be readable by everyone (system ones are).
class SharedProgram {
 public:
  explicit SharedProgram(const std::string& program) : dir_("program", "/tmp") {
    namespace fs = std::filesystem;
    const std::string copy = dir_ / fs::path(program).filename().string();
    std::error_code ec;
    fs::copy_file(program, copy, ec);
    if (ec || ::chmod(dir_.path().c_str(), 0755) != 0 || ::chmod(copy.c_str(), 0755) != 0) {
      reason_ = "cannot copy " + program + " to " + dir_.path();
      return;
    }
    if (!OthersCanReach(copy)) {
      reason_ = "other users cannot reach " + dir_.path();
      return;
    }
    // ldd names each library it loads as an absolute path.
    std::istringstream libraries(HaveTool("ldd") ? Shell("ldd " + Quote(copy) + " 2>/dev/null") : "");
    for (std::string word; libraries >> word;) {
      struct stat st {};
      if (word[0] != '/' || ::stat(word.c_str(), &st) != 0) continue;
      if (!(st.st_mode & S_IROTH) || !OthersCanReach(word)) {
        reason_ = "other users cannot load " + word + ", which " + program + " needs";
        return;
      }
    }
    path_ = copy;
  }

  // The copy; empty when none that others can run could be made, reason() says why.
  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }

 private:
  TempDir dir_;
  std::string path_, reason_;
};

}  // namespace kpwtest
