// "Copy Del" on real folders: the mirror checked by rsync, the sources that must delete nothing,
// what the row selects for deletion, and the places it never removes.
#include "jobs/workers/copy_workers.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

std::string g_unreadable;  // the folder the listing may not open

class CopyDel : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override { SysTestSetDirFault(nullptr); }
  // The target holds what a mirror of a few changes ago left behind.
  void Fresh() {
    fs::remove_all(dir / "src");
    fs::remove_all(dir / "dst");
    Put(dir / "src/keep.txt", "keep");
    Put(dir / "src/changed.txt", "new");
    Put(dir / "src/sub/inner.txt", "inner");
    fs::create_directories(dir / "src/emptykeep");
    Put(dir / "dst/keep.txt", "keep");
    Put(dir / "dst/changed.txt", "old");
    Put(dir / "dst/surplus.txt", "gone");
    Put(dir / "dst/sub/inner.txt", "inner");
    Put(dir / "dst/sub/surplus.log", "gone");
    Put(dir / "dst/old/a/b/c.txt", "gone");
    Put(dir / "dst/old/a/d.txt", "gone");
    fs::create_directories(dir / "dst/old/empty/deeper");
  }
  int Mirror(u32 flags = 0, const std::string& plus = "", const std::string& minus = "", int subdirs = 1,
             const std::string& extra = "") {
    return run.Call(RunCopyDel, dir / "src", dir / "dst", flags, plus, minus, subdirs, extra);
  }
  TempDir dir;
  RunRig run;
};

// A missing share, an unmounted disk or a folder that cannot be read must not empty the target.
TEST_F(CopyDel, SourcesThatMustDeleteNothing) {
  fs::create_directories(dir / "unmounted");
  Put(dir / "logs/a.log", "log");
  const struct {
    std::string source, target, plus, unreadable, text;
  } cases[] = {
      {dir / "absent", dir / "dst", "", "", "Der Quellordner wurde nicht gefunden:\n" + dir / "absent"},
      {dir / "absent/*.txt", dir / "dst", "", "",
       "Der Quellordner wurde nicht gefunden:\n" + dir / "absent/*.txt"},
      {dir / "src", dir / "dst", "", dir / "src",
       "Die Quelle konnte nicht vollständig gelesen werden:\n" + dir / "src"},
      {dir / "unmounted", dir / "dst", "", "",
       "Die Quelle enthält keine Dateien, das Ziel aber schon:\n" + dir / "unmounted"},
      // The filters decide what counts: no .txt file in the source against one in the target.
      {dir / "logs", dir / "dst", "*.txt", "",
       "Die Quelle enthält keine Dateien, das Ziel aber schon:\n" + dir / "logs"},
      {dir / "src", "/", "", "",
       "Das Ziel ist das Wurzelverzeichnis:\n/\nKopieren mit Löschen wird dort nicht ausgeführt."},
  };
  const std::string before = Listing(dir / "dst");
  for (const auto& c : cases) {
    g_unreadable = c.unreadable;
    SysTestSetDirFault([](const char* path) { return g_unreadable == path; });
    EXPECT_EQ(run.Call(RunCopyDel, c.source, c.target, RUN_DIALOG, c.plus), JOB_FAILED) << c.source;
    const std::string note = c.target == "/" ? "" : "\nIm Ziel wurde nichts gelöscht.";
    ASSERT_FALSE(run.boxes.empty());
    EXPECT_EQ(run.boxes.back().text, c.text + note);  // after the copy phase's own note
    run.boxes.clear();
    EXPECT_EQ(Listing(dir / "dst"), before);
  }
  EXPECT_FALSE(Exists("/keep.txt"));
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "../../../../../../../../.."), JOB_FAILED);
  // One folder below the source cannot be read: what was read is copied, nothing is deleted.
  g_unreadable = dir / "src/sub";
  EXPECT_EQ(Mirror(), JOB_FAILED);
  EXPECT_EQ(ReadFile(dir / "dst/changed.txt"), "new");
  EXPECT_EQ(Listing(dir / "dst/old"), "a/ a/b/ a/b/c.txt a/d.txt empty/ empty/deeper/");
  EXPECT_TRUE(Exists(dir / "dst/sub/surplus.log"));
  // Nothing to lose: an empty source against a target of empty folders mirrors.
  fs::create_directories(dir / "t2/e1/e2");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "unmounted", dir / "t2"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "t2"), "");
}

// One selected file in the target is as much to lose as many: an empty source deletes nothing.
TEST_F(CopyDel, AnEmptySourceLeavesEvenATargetsOnlySelectedFile) {
  fs::create_directories(dir / "empty");
  Put(dir / "one/only.txt", "only");
  Put(dir / "one/sub/other.log", "not selected");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "empty", dir / "one", RUN_DIALOG, "*.txt"), JOB_FAILED);
  ASSERT_FALSE(run.boxes.empty());
  EXPECT_EQ(run.boxes.back().text, "Die Quelle enthält keine Dateien, das Ziel aber schon:\n" + dir / "empty" +
                                       "\nIm Ziel wurde nichts gelöscht.");
  EXPECT_EQ(Listing(dir / "one"), "only.txt sub/ sub/other.log");
}

TEST_F(CopyDel, OnlyWhatTheRowSelectsIsDeleted) {
  // A file source: only its name, at any depth.
  Put(dir / "dst/sub/changed.txt", "surplus of the same name");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src/changed.txt", dir / "dst"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir / "dst/changed.txt"), "new");
  EXPECT_EQ(Listing(dir / "dst"),
            "changed.txt keep.txt old/ old/a/ old/a/b/ old/a/b/c.txt old/a/d.txt old/empty/ "
            "old/empty/deeper/ sub/ sub/inner.txt sub/surplus.log surplus.txt");
  // A wildcard: matching names less the minus filter; folders do not match "*.txt".
  Put(dir / "src/sub/new.txt", "fresh");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src/*.txt", dir / "dst", 0, "", "keep*"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "dst"),
            "changed.txt keep.txt old/ old/a/ old/a/b/ old/empty/ old/empty/deeper/ sub/ "
            "sub/inner.txt sub/new.txt sub/surplus.log");
  // Surplus folders lose only selected files, and the folders kept are no failure.
  Fresh();
  Put(dir / "dst/old/a/b/also.bak", "kept");
  EXPECT_EQ(Mirror(RUN_DIALOG, "", "*.bak"), JOB_DONE);
  EXPECT_EQ(run.TakeBoxes(), "");
  EXPECT_EQ(Listing(dir / "dst/old"), "a/ a/b/ a/b/also.bak");
  // Excluded folders are neither copied into nor cleaned.
  Fresh();
  Put(dir / "src/cache/new.txt", "not copied");
  Put(dir / "dst/Cache/stale.txt", "not deleted");
  EXPECT_EQ(Mirror(0, "", "", 1, "cache;old"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "dst"),
            "Cache/ Cache/stale.txt changed.txt emptykeep/ keep.txt old/ old/a/ old/a/b/ "
            "old/a/b/c.txt old/a/d.txt old/empty/ old/empty/deeper/ sub/ sub/inner.txt");
  // 0x20 keeps read-only surplus files.
  Fresh();
  ASSERT_EQ(::chmod((dir / "dst/old/a/d.txt").c_str(), 0400), 0);
  EXPECT_EQ(Mirror(RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Listing(dir / "dst/old"), "a/ a/d.txt");
  EXPECT_EQ(Mirror(), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/old"));
  // Without subfolders only the top level is cleaned.
  Fresh();
  EXPECT_EQ(Mirror(0, "", "", 0), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
  EXPECT_TRUE(Exists(dir / "dst/sub/surplus.log"));
}

TEST_F(CopyDel, NeverRemovesTheHomeFolderAMountPointOrWhatALinkPointsTo) {
  Put(dir / "elsewhere/precious.txt", "precious");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "dst/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere/precious.txt").c_str(), (dir / "dst/linkfile").c_str()), 0);
  fs::create_directories(dir / "dst/home/user");
  fs::create_directories(dir / "dst/mnt");
  if (::mount("kpw-test", (dir / "dst/mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const ScopedTestEnv env;
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", (dir / "dst/home/user").c_str(), 1);
  EXPECT_EQ(Mirror(), JOB_DONE);
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_NE(Shell("findmnt -n -o TARGET " + dir / "dst/mnt"), "");
  ::umount((dir / "dst/mnt").c_str());
  EXPECT_EQ(Listing(dir / "dst"), "changed.txt emptykeep/ home/ home/user/ keep.txt mnt/ sub/ sub/inner.txt");
  EXPECT_EQ(ReadFile(dir / "elsewhere/precious.txt"), "precious");
}

TEST_F(CopyDel, NestedSourceAndTargetAreLeftOut) {
  // The target inside the source: no nesting, nothing of the source touched.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "src/mirror"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "src"),
            "changed.txt emptykeep/ keep.txt mirror/ mirror/changed.txt mirror/emptykeep/ "
            "mirror/keep.txt mirror/sub/ mirror/sub/inner.txt sub/ sub/inner.txt");
  // The source inside the target: its own files are no surplus.
  EXPECT_EQ(run.Call(RunCopyDel, dir / "dst/sub", dir / "dst"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "dst"), "inner.txt sub/ sub/inner.txt sub/surplus.log surplus.log");
}

}  // namespace
