// "Move" on real files: plain moves, the same file under two names, refused and approved existing
// targets, folders, cancel.
#include "jobs/workers/local_workers.h"
#include "tests/support/run_rig.h"
#include "tests/support/files.h"
#include "tests/support/other_fs.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

namespace {

using namespace kpwtest;

class Move : public ::testing::Test {
 protected:
  int Run(u32 flags = RUN_DIALOG, const std::string& target = "") {
    return run.Call(RunMove, src, target.empty() ? dst : target, flags);
  }
  TempDir dir;
  const std::string src = dir / "a.txt", dst = dir / "b.txt";
  RunRig run;
};

TEST_F(Move, MovesTheFileKeepingItsTimeOnlyWhenTheNamesDiffer) {
  Put(src, "inhalt", kT);
  // The same name spelt otherwise: nothing to do. A hard link to the file: nothing can move, and
  // the row says so instead of reporting a move (as mv refuses it).
  EXPECT_EQ(Run(RUN_DIALOG, dir.path() + "/./sub/../a.txt"), JOB_DONE);
  ASSERT_EQ(::link(src.c_str(), dst.c_str()), 0);
  EXPECT_EQ(Run(), JOB_FAILED);
  EXPECT_NE(run.TakeBoxes().find("verschieben !\n(Quelle und Ziel sind dieselbe Datei.)"), std::string::npos);
  EXPECT_EQ(ReadFile(src) + ReadFile(dst), "inhaltinhalt");
  EXPECT_EQ(run.Copied(), 0u);
  ::unlink(dst.c_str());
  // Letter case alone is a real rename; folders are made.
  EXPECT_EQ(Run(RUN_DIALOG, dir / "A.txt"), JOB_DONE);
  EXPECT_EQ(run.Call(RunMove, dir / "A.txt", dir / "new/deeper/b.txt"), JOB_DONE);
  EXPECT_EQ(Listing(dir.path()), "new/ new/deeper/ new/deeper/b.txt");
  EXPECT_EQ(MTime(dir / "new/deeper/b.txt"), kT);
  EXPECT_EQ(run.Copied(), 2u);
  EXPECT_EQ(run.TakeBoxes(), "");
}

TEST_F(Move, AnExistingTargetIsRefusedUnlessTheFlagsApprove) {
  Put(src, "neu", kT + 10);
  Put(dst, "alt", kT);
  EXPECT_EQ(Run(), JOB_FAILED);
  EXPECT_EQ(run.boxes.at(0).type, 0x11u);
  EXPECT_EQ(run.TakeBoxes(), "Kann Datei :\n" + src + "\nnicht nach :\n" + dst + "\nverschieben !\n");
  run.answers = {IDCANCEL};
  EXPECT_EQ(Run(), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  run.state.StartRun();
  EXPECT_EQ(Run(0), JOB_FAILED);
  // 0x08, and 0x20 on a read-only target, leave it alone.
  EXPECT_EQ(Run(RUN_DIALOG | RUN_NO_OVERWRITE | RUN_NEWER_ONLY), JOB_DONE);
  ASSERT_EQ(::chmod(dst.c_str(), 0444), 0);
  EXPECT_EQ(Run(RUN_DIALOG | RUN_KEEP_READONLY | RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(src) + ReadFile(dst), "neualt");
  EXPECT_EQ(run.TakeBoxes(), "Kann Datei :\n" + src + "\nnicht nach :\n" + dst + "\nverschieben !\n");
  // 0x01 replaces only a target older by two seconds or more, and one hour apart counts as equal.
  for (i64 d : {0, 1, 3600, 3601, -10}) {
    SetMTime(src, kT + d);
    EXPECT_EQ(Run(RUN_NEWER_ONLY), JOB_DONE) << d;
    EXPECT_EQ(ReadFile(dst), "alt") << d;
  }
  SetMTime(src, kT + 2);
  EXPECT_EQ(Run(RUN_DIALOG | RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Listing(dir.path()), "b.txt");
  EXPECT_EQ(ReadFile(dst), "neu");
  EXPECT_EQ(MTime(dst), kT + 2);
  EXPECT_EQ(run.Copied(), 1u);
}

TEST_F(Move, AFolderIsNotMoved) {
  Put(src + "/x", "x");
  EXPECT_EQ(Run(), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(),
            "Die Datei :\n" + src + "\nist ein Verzeichnis und kann nicht verschoben werden !\n");
}

// Across file systems a move copies, then deletes the source: a file that grew meanwhile (a log
// being written) keeps all it holds where it is, the copy stays, and the row fails.
std::string g_growing;  // the file the copy engine's progress makes grow, once

void GrowOnce(u64) {
  if (g_growing.empty()) return;
  std::ofstream(g_growing, std::ios::binary | std::ios::app) << std::string(std::size_t{4} << 20, 'm');
  g_growing.clear();
}

TEST_F(Move, AFileThatGrowsWhileItIsCopiedToAnotherFileSystemStays) {
  const OtherFileSystem other(dir.path());
  if (!other.ok()) GTEST_SKIP() << other.why();
  const std::string log = other / "log.bin";
  constexpr std::uint64_t kSize = 16ull << 20, kMore = 4ull << 20;
  WriteDenseFile(log, kSize);
  g_growing = log;
  SysTestSetCopyProgress(&GrowOnce);
  const int rc = run.Call(RunMove, log, dir / "log.bin", RUN_DIALOG);
  SysTestSetCopyProgress(nullptr);
  ASSERT_TRUE(g_growing.empty()) << "the copy never got under way";
  EXPECT_EQ(rc, JOB_FAILED);
  std::error_code ec;
  EXPECT_EQ(std::filesystem::file_size(log, ec), kSize + kMore);
  EXPECT_TRUE(Exists(dir / "log.bin"));
  EXPECT_NE(run.TakeBoxes().find("während des Kopierens geändert"), std::string::npos);
  EXPECT_EQ(run.Copied(), 0u);
}

}  // namespace
