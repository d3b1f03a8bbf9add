// Helpers of the Puffer worker tests: a source, two destinations and a carrier in one scratch folder.
#pragma once

#include "jobs/job_extra.h"
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/workers/remote_workers.h"
#include "tests/support/files.h"
#include "tests/support/puffer_folders.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pufferworker {

namespace fs = std::filesystem;

inline void Write(const std::string& path, const std::string& text) { kpwtest::WriteFile(path, text); }
inline std::string Read(const std::string& path) { return kpwtest::ReadFile(path); }

// Relative path to contents of every regular file below dir.
inline std::map<std::string, std::string> Tree(const std::string& dir) { return kpwtest::FileContents(dir); }

class PufferWorkerTest : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  struct Box {
    std::string text;
    u32 type;
  };

  void SetUp() override {
    run.SetMessageBox([this](const std::string& text, const char*, u32 type) {
      boxes.push_back({text, type});
      if (answers.empty()) return UnattendedAnswer(type);
      const int a = answers.front();
      answers.pop_front();
      return a;
    });
  }
  void TearDown() override { kpwtest::TestEnv().hostName = kpwtest::kTestHost; }

  // One row as this host: list, target, extra cell, RunFlags.
  int Row(const char* host, const std::string& target, const std::string& extra, u32 flags = RUN_DIALOG,
          const char* plus = "", int subdirs = 1) {
    kpwtest::TestEnv().hostName = host;
    JobArgs args;
    args.source = list.c_str();
    args.target = target.c_str();
    args.plus = plus;
    args.subdirs = subdirs;
    args.extra = extra.c_str();
    args.flags = flags;
    CUrlConnection* kept = nullptr;
    JobContext ctx{run, kept, kpwtest::TestEnv()};
    return RunPuffer(ctx, args);
  }
  // The source knows itself by its full name; its rows name the short one in capitals.
  int Source(const std::string& extra = "BUERO-PC:0", u32 flags = RUN_DIALOG) {
    return Row("buero-pc.example.org", src, extra, flags);
  }
  int D1(u32 flags = RUN_DIALOG) { return Row("laptop", d1, "BUERO-PC", flags); }
  int D2(u32 flags = RUN_DIALOG) { return Row("heim-pc", d2, "BUERO-PC", flags); }
  // The source fills the buffer, then the first destination takes from it.
  void Round(const std::string& extra = "BUERO-PC:0") {
    ASSERT_EQ(Source(extra), JOB_DONE);
    ASSERT_EQ(D1(), JOB_DONE);
  }
  void Answer(std::initializer_list<int> list) { answers.insert(answers.end(), list); }

  CRunState run;
  std::vector<Box> boxes;
  std::deque<int> answers;
};

}  // namespace pufferworker
