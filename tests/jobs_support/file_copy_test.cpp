// One file copy of a row: counted when done, stopped by either cancel flag, failed with a reason.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/worker_support.h"
#include "platform/last_error.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

using namespace kpwtest;

constexpr int kEngineFlags = 0x1B0;  // temporary name, times, force, parent folders

// The engine's result of a copy from the source cell to the target cell.
int ByPath(JobContext& ctx, const JobArgs& args) {
  return LocalCopyFile(ctx, kEngineFlags, args.source, args.target);
}

// The same through open folders: the cells are two folders, the file is "f" in both.
int ByFolder(JobContext& ctx, const JobArgs& args) {
  const int from = ::open(args.source, O_RDONLY | O_DIRECTORY);
  const int to = ::open(args.target, O_RDONLY | O_DIRECTORY);
  const int rc = LocalCopyFileAt(ctx, kEngineFlags, from, "f", to, "f");
  ::close(from);
  ::close(to);
  return rc;
}

class FileCopy : public ::testing::Test {
 protected:
  TempDir dir{"filecopy"};
  RunRig run;
};

TEST_F(FileCopy, ACopiedFileIsCountedAFailedOneIsNot) {
  Put(dir / "a/f", "data");
  EXPECT_EQ(run.Call(ByPath, dir / "a/f", dir / "b/f"), SYS_COPY_DONE);
  EXPECT_EQ(ReadFile(dir / "b/f"), "data");
  Put(dir / "a/f", "more data");
  EXPECT_EQ(run.Call(ByFolder, dir / "a", dir / "b"), SYS_COPY_DONE);
  EXPECT_EQ(ReadFile(dir / "b/f"), "more data");
  EXPECT_EQ(run.Copied(), 2u);

  SetLastError(0);
  EXPECT_LT(run.Call(ByPath, dir / "a/missing", dir / "b/g"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_LT(run.Call(ByFolder, dir / "b", dir / "a/f"), 0);  // no folder to copy into
  EXPECT_EQ(run.Copied(), 2u);
  EXPECT_FALSE(run.state.IsCancelled());
  EXPECT_EQ(run.TakeBoxes(), "");  // the question is the caller's
}

TEST_F(FileCopy, EitherCancelStopsTheCopyAndLeavesTheRunCancelled) {
  Put(dir / "a/f", "new");
  Put(dir / "b/f", "old");
  {
    // The dialog's flag is the one the engine watches; the run takes the cancel over.
    CProgressDlg dialog;
    CRunState::ScopedActiveDialog active(run.state, &dialog);
    dialog.CancelFlag().store(1);
    EXPECT_EQ(run.Call(ByFolder, dir / "a", dir / "b"), SYS_COPY_STOPPED);
    EXPECT_TRUE(run.state.IsCancelled());
  }
  run.state.StartRun();
  run.state.SetCancel();  // without a dialog the run's own flag stops it
  EXPECT_EQ(run.Call(ByPath, dir / "a/f", dir / "b/f"), SYS_COPY_STOPPED);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(ReadFile(dir / "b/f"), "old");
  EXPECT_EQ(Listing(dir / "b"), "f");
  EXPECT_EQ(run.Copied(), 0u);
}

}  // namespace
