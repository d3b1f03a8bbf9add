// A run state for calling workers directly: its box records every question and answers from a
// queue (then IDOK).
#pragma once

#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/worker.h"
#include "tests/support/test_env.h"

#include <mutex>
#include <string>
#include <vector>

namespace kpwtest {

// Calls a worker on a run state with a row's cells.
inline int CallWorker(JobWorkerFn worker, CRunState& state, CUrlConnection*& kept, const std::string& source,
                      const std::string& target, u32 flags, const std::string& plus, const std::string& minus,
                      int subdirs, const std::string& extra) {
  JobArgs args;
  args.source = source.c_str();
  args.target = target.c_str();
  args.plus = plus.c_str();
  args.minus = minus.c_str();
  args.subdirs = subdirs;
  args.extra = extra.c_str();
  args.flags = flags;
  JobContext ctx{state, kept, TestEnv()};
  return worker(ctx, args);
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
    return CallWorker(worker, state, kept, source, target, flags, plus, minus, subdirs, extra);
  }
  u32 Copied() { return state.FilesCopied().load(); }
  // Every box's text, one a line.
  std::string AllBoxes() {
    std::string all;
    for (const auto& b : boxes) all += b.text + "\n";
    return all;
  }

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

}  // namespace kpwtest
