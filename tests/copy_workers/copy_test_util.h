// Helpers of the copy worker tests: a temporary folder, files with chosen times and modes, a run
// state with a scripted box, and a call of a worker with the seven row arguments.
#pragma once

#include "jobs/copy_workers.h"
#include "jobs/run_host.h"
#include "jobs/run_state.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace copytest {

namespace fs = std::filesystem;

constexpr time_t kT = 1700000000;  // a whole second

// A fresh folder removed with everything below it at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kpw-copy-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    const std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) { /* best effort */ }
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void SetTime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimes(path.c_str(), tv), 0) << path;
}

// Writes a file (making its folders) with the write time t.
inline void Put(const std::string& path, const std::string& text, time_t t = kT) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  SetTime(path, t);
}

inline std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline time_t MTime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
}

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

// Output of a shell command (standard output only); status in *status.
inline std::string Shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (status) *status = rc;
  return out;
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A run state whose box records every question and answers from a queue (then IDOK).
class RunRig {
 public:
  RunRig() {
    state.StartRun();
    state.SetMessageBox([this](const std::string& text, const char*, u32 type) -> int {
      std::lock_guard lock(mutex_);
      boxes.push_back({text, type});
      if (answers.empty()) return IDOK;
      const int answer = answers.front();
      answers.erase(answers.begin());
      return answer;
    });
  }
  int Call(JobWorkerFn worker, const std::string& source, const std::string& target, u32 flags = 0,
           const std::string& plus = "", const std::string& minus = "", int subdirs = 1,
           const std::string& extra = "") {
    JobArgs args;
    args.source = source.c_str();
    args.target = target.c_str();
    args.plus = plus.c_str();
    args.minus = minus.c_str();
    args.subdirs = subdirs;
    args.extra = extra.c_str();
    args.flags = flags;
    JobContext ctx{state, kept};
    return worker(ctx, args);
  }
  u32 Copied() { return state.FilesCopied().load(); }

  struct Box {
    std::string text;
    u32 type;
  };
  CRunState state;
  CUrlConnection* kept = nullptr;
  std::vector<Box> boxes;
  std::vector<int> answers;

 private:
  std::mutex mutex_;
};

}  // namespace copytest
