// "Move" on real files: plain moves, refused and approved existing targets, letter case, counting.
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "lw_test_util.h"

#include <sys/stat.h>

using namespace lwtest;

namespace {

class Move : public ::testing::Test {
 protected:
  Scratch dir_;
  WorkerRun run_;
};

TEST_F(Move, MovesTheFileKeepingItsTimeAndCreatingFolders) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "new/deeper/b.txt";
  WriteAt(src, "inhalt", kT);
  EXPECT_EQ(run_(RunMove, src, dst), JOB_DONE);
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(Read(dst), "inhalt");
  EXPECT_EQ(MTime(dst), kT);
  EXPECT_EQ(run_.Copied(), 1u);
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Move, OntoItselfChangesNothing) {
  const std::string src = dir_ / "a.txt";
  Write(src, "x");
  EXPECT_EQ(run_(RunMove, src, dir_.path() + "/./sub/../a.txt"), JOB_DONE);
  // A hard link is the same file: nothing moves, nothing is counted.
  ASSERT_EQ(::link(src.c_str(), (dir_ / "b.txt").c_str()), 0);
  EXPECT_EQ(run_(RunMove, src, dir_ / "b.txt"), JOB_DONE);
  EXPECT_EQ(Read(src), "x");
  EXPECT_EQ(Read(dir_ / "b.txt"), "x");
  EXPECT_EQ(run_.Copied(), 0u);
}

TEST_F(Move, LetterCaseAloneIsARealRename) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "A.txt";
  Write(src, "klein");
  EXPECT_EQ(run_(RunMove, src, dst), JOB_DONE);
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(Read(dst), "klein");
  EXPECT_EQ(run_.Copied(), 1u);
}

TEST_F(Move, AnExistingTargetIsRefusedAndReported) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "b.txt";
  WriteAt(src, "neu", kT + 100);
  WriteAt(dst, "alt", kT);
  EXPECT_EQ(run_(RunMove, src, dst), JOB_FAILED);
  EXPECT_EQ(Read(src), "neu");
  EXPECT_EQ(Read(dst), "alt");
  EXPECT_EQ(run_.Copied(), 0u);
  const auto boxes = run_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Kann Datei :\n" + src + "\nnicht nach :\n" + dst + "\nverschieben !");
  EXPECT_EQ(boxes[0].type, 0x11u);

  // Cancel stops all rows.
  run_.Answer(IDCANCEL);
  EXPECT_EQ(run_(RunMove, src, dst), JOB_STOP_ALL);
  EXPECT_TRUE(run_.state.IsCancelled());
  EXPECT_EQ(Read(dst), "alt");
  // Without questions nothing is asked.
  run_.state.StartRun();
  EXPECT_EQ(run_(RunMove, src, dst, 0), JOB_FAILED);
  EXPECT_EQ(run_.Boxes().size(), 2u);
}

TEST_F(Move, NewerOnlyReplacesAnOlderTarget) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "b.txt";
  WriteAt(src, "neu", kT + 10);
  WriteAt(dst, "alt", kT);
  ASSERT_EQ(::chmod(dst.c_str(), 0444), 0);  // read-only, but 0x20 is not set
  EXPECT_EQ(run_(RunMove, src, dst, RUN_DIALOG | RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(Read(dst), "neu");
  EXPECT_EQ(MTime(dst), kT + 10);
  EXPECT_EQ(run_.Copied(), 1u);
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Move, NewerOnlyLeavesEqualAndHourApartTargets) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "b.txt";
  Write(dst, "alt");
  Write(src, "neu");
  // Two-second units: one second newer is the same unit; exactly one hour counts as equal.
  for (i64 d : {0, 1, 3600, 3601, -10}) {
    SetTime(src, kT + d);
    SetTime(dst, kT);
    EXPECT_EQ(run_(RunMove, src, dst, RUN_NEWER_ONLY), JOB_DONE) << d;
    EXPECT_EQ(Read(src), "neu") << d;
    EXPECT_EQ(Read(dst), "alt") << d;
  }
  // Two seconds newer is one unit newer: it moves.
  SetTime(src, kT + 2);
  EXPECT_EQ(run_(RunMove, src, dst, RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Read(dst), "neu");
  EXPECT_FALSE(Exists(src));
}

TEST_F(Move, NeverOverwriteAndReadOnlyTargetsAreLeftAlone) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "b.txt";
  WriteAt(src, "neu", kT + 100);
  WriteAt(dst, "alt", kT);
  EXPECT_EQ(run_(RunMove, src, dst, RUN_DIALOG | RUN_NO_OVERWRITE | RUN_NEWER_ONLY), JOB_DONE);
  ASSERT_EQ(::chmod(dst.c_str(), 0444), 0);
  EXPECT_EQ(run_(RunMove, src, dst, RUN_DIALOG | RUN_KEEP_READONLY | RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Read(src), "neu");
  EXPECT_EQ(Read(dst), "alt");
  EXPECT_EQ(run_.Copied(), 0u);
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Move, FoldersAreRefused) {
  const std::string src = dir_ / "ordner";
  Write(src + "/x", "x");
  EXPECT_EQ(run_(RunMove, src, dir_ / "ziel"), JOB_FAILED);
  EXPECT_TRUE(Exists(src + "/x"));
  EXPECT_FALSE(Exists(dir_ / "ziel"));
  const auto boxes = run_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Die Datei :\n" + src + "\nist ein Verzeichnis und kann nicht verschoben werden !");
}

TEST_F(Move, ACancelledRunMovesNothingAndCountsNothing) {
  const std::string src = dir_ / "a.txt", dst = dir_ / "b.txt";
  Write(src, "x");
  run_.state.SetCancel();
  EXPECT_EQ(run_(RunMove, src, dst), JOB_STOP_ALL);
  EXPECT_TRUE(Exists(src));
  EXPECT_FALSE(Exists(dst));
  EXPECT_EQ(run_.Copied(), 0u);
}

TEST_F(Move, AcrossFileSystems) {
  struct stat here {}, shm {};
  if (::stat(dir_.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
      ::access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second file system at hand";
  const std::string src = dir_ / "a.bin";
  const std::string away = "/dev/shm/kpw-lw-move-" + std::to_string(::getpid());
  std::string data(300000, 'q');
  WriteAt(src, data, kT);
  ::chmod(src.c_str(), 0640);
  EXPECT_EQ(run_(RunMove, src, away), JOB_DONE);
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(Read(away), data);
  EXPECT_EQ(MTime(away), kT);
  EXPECT_EQ(Mode(away), 0640u);
  EXPECT_EQ(run_(RunMove, away, src), JOB_DONE);
  EXPECT_FALSE(Exists(away));
  EXPECT_EQ(Read(src), data);
  EXPECT_EQ(run_.Copied(), 2u);
}

}  // namespace
