// The zip worker under a progress dialog: what the dialog holds after packing, and a cancel in the
// middle of packing.
#include "aw_test_util.h"

#include "archive/zip_file.h"
#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/progress_view.h"
#include "tests/support/scripted_progress_view.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace awtest;

class UnderDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!EngineReady()) GTEST_SKIP() << "no archive engine in this build";
  }
  // Runs the worker as the dialog's worker with questions allowed; the dialog's loop runs here.
  int Run(JobWorkerFn worker, const std::string& source, const std::string& target, u32 flags = 0,
          std::function<void(CProgressDlg&)> during = {}) {
    CProgressDlg dlg;
    int result = 99;
    dlg.SetWorker([&](CProgressDlg& d) {
      CRunState::ScopedActiveDialog active(rig_.state, &d);
      std::thread helper;
      if (during) helper = std::thread([&] { during(d); });
      result = rig_.Call(worker, source, target, flags | RUN_DIALOG);
      lines_ = {d.GetLine(0), d.GetLine(1)};
      done_ = true;
      if (helper.joinable()) helper.join();
      return result;
    });
    dlg.DoModal(view_);
    return result;
  }

  ScratchDir dir_;
  RunRig rig_;
  ScriptedProgressView view_;
  std::atomic<bool> done_{false};
  std::vector<std::string> lines_;  // what the dialog holds for lines 0 and 1 when the worker returns
};

TEST_F(UnderDialog, PackingShowsTheSourceAndEndsWithTheCount) {
  for (int i = 0; i < 20; ++i) WriteFile(dir_ / ("src/f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
  const std::string archive = dir_ / "t.zip";
  EXPECT_EQ(Run(RunZip, dir_ / "src", archive), JOB_DONE);
  EXPECT_EQ(lines_, (std::vector<std::string>{dir_ / "src", archive}));
  EXPECT_EQ(rig_.state.Progress().kind.load(), PROGRESS_KIND_NONE);
  EXPECT_EQ(rig_.Copied(), 20u);
  EXPECT_TRUE(view_.CallsOf("Box").empty());
}

TEST_F(UnderDialog, ACancelWhilePackingKeepsTheOldArchive) {
  WriteFile(dir_ / "src/first.txt", "first");
  const std::string archive = dir_ / "t.zip";
  ASSERT_EQ(rig_.Call(RunZip, dir_ / "src", archive), JOB_DONE);
  const std::string old = ReadFile(archive);
  for (int i = 0; i < 3000; ++i) WriteFile(dir_ / ("src/many/f" + std::to_string(i)), std::string(200, 'x'));
  rig_.state.StartRun();
  // The button is pressed once a few files are in.
  const int result = Run(RunZip, dir_ / "src", archive, 0, [&](CProgressDlg& d) {
    while (!done_ && rig_.Copied() < 5) std::this_thread::sleep_for(std::chrono::microseconds(100));
    d.Finish();
  });
  ASSERT_LT(rig_.Copied(), 3001u) << "packing ended before the cancel";
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_TRUE(rig_.state.IsCancelled());
  EXPECT_EQ(ReadFile(archive), old);
  EXPECT_EQ(Names(dir_.path()), (std::set<std::string>{"src", "t.zip"}));
  EXPECT_TRUE(view_.CallsOf("Box").empty());
}

}  // namespace
