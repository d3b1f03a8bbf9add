// Helpers of the local-worker tests: scratch folders, files with set times, a run with scripted
// answers, and children that run as another user or in another root.
#pragma once

#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/worker.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/files.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lwtest {

namespace fs = std::filesystem;

inline constexpr i64 kT = 1700000000;  // an even second

using kpwtest::Exists;
using kpwtest::MTime;

inline std::string Read(const std::string& path) { return kpwtest::ReadFile(path); }
inline void Write(const std::string& path, const std::string& text) { kpwtest::WriteFile(path, text); }
inline void SetTime(const std::string& path, i64 seconds) { kpwtest::SetMTime(path, seconds); }

inline void WriteAt(const std::string& path, const std::string& text, i64 seconds) {
  Write(path, text);
  SetTime(path, seconds);
}

inline mode_t Mode(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Every regular file below root: relative path -> content.
inline std::map<std::string, std::string> Tree(const std::string& root) { return kpwtest::FileContents(root); }

using Scratch = kpwtest::TempDir;

// One box shown to the user.
struct Box {
  std::string text;
  u32 type = 0;
};

// A run state with a scripted message box: answers come from a queue (IDOK when empty).
class WorkerRun {
 public:
  WorkerRun() {
    state.SetMessageBox([this](const std::string& text, const char*, u32 type) {
      std::lock_guard lock(mutex_);
      boxes_.push_back(Box{text, type});
      if (answers_.empty()) return static_cast<int>(IDOK);
      const int a = answers_.front();
      answers_.pop_front();
      return a;
    });
  }
  void Answer(int answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
  }
  std::vector<Box> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  u32 Copied() { return state.FilesCopied().load(); }

  int operator()(JobWorkerFn fn, const std::string& source, const std::string& target, u32 flags = RUN_DIALOG,
                 const std::string& plus = "", const std::string& minus = "", bool subdirs = true,
                 const std::string& extra = "") {
    return kpwtest::CallWorker(fn, state, kept, source, target, flags, plus, minus, subdirs ? 1 : 0, extra);
  }

  CRunState state;
  CUrlConnection* kept = nullptr;

 private:
  std::mutex mutex_;
  std::deque<int> answers_;
  std::vector<Box> boxes_;
};

// Runs body in a forked child and returns its exit status (77: the child could not set itself up).
inline int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Drops to the user "nobody" in the current (child) process; false when that is impossible.
inline bool BecomeNobody() { return ::setgid(65534) == 0 && ::setuid(65534) == 0; }

}  // namespace lwtest
