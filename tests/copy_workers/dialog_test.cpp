// The copy workers on a progress dialog's worker thread: lines, bar and timer on the dialog,
// questions through it, and its cancel button in the middle of a large file.
#include "copy_test_util.h"
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"

#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/progress_view.h"
#include "tests/support/scripted_progress_view.h"

#include <fcntl.h>

#include <atomic>
#include <thread>

namespace {

using namespace copytest;

// Runs a worker the way a run through the dialog does.
int RunOnDialog(CProgressDlg& dlg, ScriptedProgressView& view, RunRig& run, JobWorkerFn worker,
                const std::string& source, const std::string& target, u32 flags) {
  int result = -99;
  dlg.SetWorker([&](CProgressDlg& d) {
    CRunState::ScopedActiveDialog active(run.state, &d);
    result = run.Call(worker, source, target, flags | RUN_DIALOG);
    return result;
  });
  dlg.DoModal(view);
  return result;
}

TEST(CopyOnDialog, ShowsSourceAndTargetAndAsksThroughTheDialog) {
  TempDir dir;
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/b/c.txt", "c");
  Put(dir / "dst/b", "blocks the folder");
  RunRig run;
  CProgressDlg dlg;
  ScriptedProgressView view;
  view.QueueAnswer(IDOK);
  view.QueueAnswer(IDOK);
  EXPECT_EQ(RunOnDialog(dlg, view, run, RunCopy, dir / "src", dir / "dst", 0), JOB_FAILED);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "a");
  EXPECT_TRUE(run.boxes.empty());  // the run's own box is not used while a dialog is active
  const auto boxes = view.CallsOf("Box");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text.rfind("Fehler beim Kopieren von:\n" + dir / "src/b", 0), 0u);
  EXPECT_EQ(boxes[0].value, 0x11);
  // Line 0 showed the source, line 1 a target.
  bool sawTarget = false;
  for (const auto& call : view.CallsOf("Line"))
    if (call.value == 1 && call.text.find("dst") != std::string::npos) sawTarget = true;
  EXPECT_TRUE(sawTarget);
  EXPECT_FALSE(dlg.IsWorkerRunning());
}

TEST(CopyOnDialog, CancelButtonInTheMiddleOfAFileKeepsTheOldTarget) {
  TempDir dir;
  fs::create_directories(dir / "src");
  {
    const int fd = ::open((dir / "src/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
    ::close(fd);
  }
  Put(dir / "dst/big.bin", "old target");
  RunRig run;
  CProgressDlg dlg;
  ScriptedProgressView view;
  std::atomic<bool> done{false};
  std::thread presser([&] {
    while (!done.load() && run.state.Progress().bytes.load() == 0) std::this_thread::yield();
    dlg.Finish();
  });
  const int result = RunOnDialog(dlg, view, run, RunCopyDel, dir / "src", dir / "dst", 0);
  done.store(true);
  presser.join();
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(Get(dir / "dst/big.bin"), "old target");
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"big.bin"}));
}

}  // namespace
