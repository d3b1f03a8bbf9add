// Calling workers directly: a run state whose box records every question and answers from a queue
// (then IDOK), files with set times, folder listings, and children that give up root's rights.
#pragma once

#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/worker.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/test_env.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kpwtest {

inline constexpr std::int64_t kT = 1700000000;  // an even second

// Writes a file (making its folders) with the write time t.
inline void Put(const std::string& path, const std::string& text, std::int64_t t = kT) {
  WriteFile(path, text);
  SetMTime(path, t);
}

// Every name below root, relative and sorted, a blank between; folders end in "/".
inline std::string Listing(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    names.push_back(it->path().lexically_relative(root).string() +
                    (it->is_directory() && !it->is_symlink() ? "/" : ""));
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& name : names) all += (all.empty() ? "" : " ") + name;
  return all;
}

// Every file below root with its content, "name=content", sorted, a blank between.
inline std::string Contents(const std::string& root) {
  std::string all;
  for (const auto& [name, text] : FileContents(root)) all += (all.empty() ? "" : " ") + name + "=" + text;
  return all;
}

// Runs body in a forked child; its exit status (77: the child could not set itself up).
inline int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (!WaitProcess(pid, &status, "a body in a child")) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Becomes the user "nobody" (in a child); false when that is impossible.
inline bool BecomeNobody() {
  return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

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
  RunRig(const RunRig&) = delete;
  RunRig& operator=(const RunRig&) = delete;

  // Calls a worker with a row's cells.
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
    JobContext ctx{state, TestEnv()};
    return worker(ctx, args);
  }
  u32 Copied() { return state.FilesCopied().load(); }
  // The boxes' texts, one a line; the boxes are forgotten.
  std::string TakeBoxes() {
    std::string all;
    for (const auto& b : boxes) all += b.text + "\n";
    boxes.clear();
    return all;
  }

  struct Box {
    std::string text;
    u32 type;
  };
  CRunState state;
  std::vector<Box> boxes;
  std::vector<int> answers;

 private:
  std::mutex mutex_;
};

}  // namespace kpwtest
