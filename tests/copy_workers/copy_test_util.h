// Helpers of the copy worker tests: a temporary folder, files with chosen times and modes, a run
// state with a scripted box, and a call of a worker with the seven row arguments.
#pragma once

#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/workers/copy_workers.h"
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace copytest {

namespace fs = std::filesystem;

constexpr time_t kT = 1700000000;  // a whole second

using kpwtest::Exists;
using kpwtest::HaveTool;
using kpwtest::MTime;
using kpwtest::RunRig;
using kpwtest::Shell;
using kpwtest::TempDir;

inline void SetTime(const std::string& path, time_t t) { kpwtest::SetMTime(path, t); }

// Writes a file (making its folders) with the write time t.
inline void Put(const std::string& path, const std::string& text, time_t t = kT) {
  kpwtest::WriteFile(path, text);
  SetTime(path, t);
}

inline std::string Get(const std::string& path) { return kpwtest::ReadFile(path); }

// Every name below a folder, relative, sorted; folders end in "/".
inline std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) rel += '/';
    names.push_back(rel);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace copytest
