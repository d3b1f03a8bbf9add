// "Update" on real folders: only existing targets are refreshed, nothing is ever created; the
// flags 0x01, 0x08 and 0x20; host restriction, target sign and excluded folders; failures.
#include "copy_test_util.h"

#include "jobs/job_extra.h"
#include "tests/support/test_env.h"

#include <optional>

namespace {

using namespace copytest;

class UpdateTest : public ::testing::Test {
 protected:
  void TearDown() override { kpwtest::TestEnv().hostName = kpwtest::kTestHost; }
  void MakeTrees() {
    Put(dir / "src/a.txt", "new a", kT + 100);
    Put(dir / "src/only-in-source.txt", "not wanted", kT + 100);
    Put(dir / "src/sub/b.txt", "new b", kT + 100);
    Put(dir / "src/newdir/c.txt", "not wanted", kT + 100);
    Put(dir / "dst/a.txt", "old a", kT);
    Put(dir / "dst/sub/b.txt", "old b", kT);
    Put(dir / "dst/only-in-target.txt", "stays", kT);
  }
  TempDir dir;
  RunRig run;
};

TEST_F(UpdateTest, RefreshesExistingFilesAndCreatesNothing) {
  MakeTrees();
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"a.txt", "only-in-target.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(Get(dir / "dst/a.txt"), "new a");
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "new b");
  EXPECT_EQ(MTime(dir / "dst/sub/b.txt"), kT + 100);
  EXPECT_EQ(Get(dir / "dst/only-in-target.txt"), "stays");
  EXPECT_EQ(run.Copied(), 2u);

  // Without subfolders only the top level.
  Put(dir / "dst/sub/b.txt", "old b", kT);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", 0, "", "", 0), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "old b");
}

TEST_F(UpdateTest, NewerOnlyCopiesOntoOlderTargetsOnly) {
  Put(dir / "src/older-target", "new", kT);
  Put(dir / "dst/older-target", "old", kT - 1);
  // A newer target of another size is not overwritten by an older source.
  Put(dir / "src/newer-target", "older source", kT);
  Put(dir / "dst/newer-target", "newer", kT + 1);
  Put(dir / "src/same-time", "same size!", kT);
  Put(dir / "dst/same-time", "other size", kT);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/older-target"), "new");
  EXPECT_EQ(Get(dir / "dst/newer-target"), "newer");
  EXPECT_EQ(Get(dir / "dst/same-time"), "other size");
  EXPECT_EQ(run.Copied(), 1u);
}

TEST_F(UpdateTest, NeverOverwriteDoesNothingAndReadOnlyTargetsStay) {
  MakeTrees();
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "old a");
  EXPECT_EQ(run.Copied(), 0u);

  ASSERT_EQ(::chmod((dir / "dst/a.txt").c_str(), 0444), 0);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "old a");
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "new b");
}

TEST_F(UpdateTest, HostRestrictionTargetSignAndExcludedFolders) {
  MakeTrees();
  kpwtest::TestEnv().hostName = "kpw-test-host";
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", 0, "", "", 1, "*[otherhost]"), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "old a");
  // The sign is no excluded folder "*": it asks for an existing target.
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "absent", 0, "", "", 1, "*[KPW-TEST-HOST];*;sub"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "absent"));
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", 0, "", "", 1, "*[KPW-TEST-HOST];*;sub"), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "new a");
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "old b");
}

TEST_F(UpdateTest, FailuresAskWithoutErrorText) {
  Put(dir / "src/x/y.txt", "y");
  ASSERT_EQ(::symlink("nowhere", (dir / "src/gone.txt").c_str()), 0);
  Put(dir / "dst/gone.txt", "target");
  Put(dir / "dst/x/y.txt", "old");
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Fehler beim Kopieren von:\n" + dir / "src/gone.txt" + "\nnach:\n" + dir / "dst/gone.txt");
  EXPECT_EQ(run.boxes[0].type, 0x11u);
  EXPECT_EQ(Get(dir / "dst/gone.txt"), "target");
  EXPECT_EQ(Get(dir / "dst/x/y.txt"), "y");

  // Cancel as the answer stops the row.
  Put(dir / "dst/x/y.txt", "old");
  run.answers = {IDCANCEL};
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(Get(dir / "dst/x/y.txt"), "old");  // "gone.txt" comes before "x/y.txt"
}

}  // namespace
