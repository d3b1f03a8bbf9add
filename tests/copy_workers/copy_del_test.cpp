// "Copy Del" on real folders: the mirror checked by rsync, and every way it could lose data:
// a missing, unreadable or empty source, single-file and wildcard sources, filters inside surplus
// folders, read-only files with 0x20, "/", mount points, the home folder, links, nested sources.
#include "copy_test_util.h"

#include "jobs/job_extra.h"
#include "tests/support/sys_seams.h"
#include "tests/support/test_env.h"

#include <sys/mount.h>

#include <optional>

namespace {

using namespace copytest;

class CopyDelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kpwtest::TestEnv().hostName = kpwtest::kTestHost;
    SysTestSetDirFault(nullptr);
  }
  // The target: what a mirror of a few changes ago left behind.
  void MakeTrees() {
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
  std::string RsyncDiff(const std::string& src, const std::string& dst) {
    return Shell("rsync -rcn --delete --itemize-changes '" + src + "/' '" + dst + "/' 2>&1");
  }
  TempDir dir;
  RunRig run;
};

TEST_F(CopyDelTest, MirrorsTheSourceAsRsyncSeesIt) {
  MakeTrees();
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_DIALOG), JOB_DONE);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"changed.txt", "emptykeep/", "keep.txt", "sub/",
                                                          "sub/inner.txt"}));
  // Copied: three files and one folder; deleted: four files; removed: old, old/a, old/a/b,
  // old/empty, old/empty/deeper.
  EXPECT_EQ(run.Copied(), 3u + 1u + 4u + 5u);
  if (!HaveTool("rsync")) GTEST_SKIP() << "rsync is not installed";
  EXPECT_EQ(RsyncDiff(dir / "src", dir / "dst"), "");
}

TEST_F(CopyDelTest, ALargerTreeAgreesWithRsync) {
  if (!HaveTool("rsync")) GTEST_SKIP() << "rsync is not installed";
  for (int d = 0; d < 6; ++d) {
    for (int f = 0; f < 8; ++f) {
      const std::string name = "d" + std::to_string(d) + "/s" + std::to_string(f % 3) + "/f" + std::to_string(f);
      Put(dir / ("src/" + name), std::string(static_cast<std::size_t>(f * 37 + d), 'x'));
      if ((d + f) % 3 == 0) Put(dir / ("dst/" + name), "stale");
      if ((d + f) % 4 == 0) Put(dir / ("dst/" + name + ".old"), "surplus");
    }
    Put(dir / ("dst/x" + std::to_string(d) + "/y/z"), "surplus tree");
  }
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(RsyncDiff(dir / "src", dir / "dst"), "");
  // A second run has nothing left to do.
  run.state.StartRun();
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(run.Copied(), 0u);
}

TEST_F(CopyDelTest, MissingSourceDeletesNothing) {
  MakeTrees();
  const auto before = Tree(dir / "dst");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "absent", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Tree(dir / "dst"), before);
  ASSERT_FALSE(run.boxes.empty());
  EXPECT_EQ(run.boxes.back().text,
            "Der Quellordner wurde nicht gefunden:\n" + dir / "absent" + "\nIm Ziel wurde nichts gelöscht.");
  // Also for a wildcard in a missing folder.
  EXPECT_EQ(run.Call(RunCopyDel, dir / "absent/*.txt", dir / "dst"), JOB_FAILED);
  EXPECT_EQ(Tree(dir / "dst"), before);
}

TEST_F(CopyDelTest, SourceThatCannotBeReadWholeDeletesNothing) {
  MakeTrees();
  const auto before = Tree(dir / "dst");
  static std::string locked;
  // The source root itself ...
  locked = dir / "src";
  SysTestSetDirFault([](const char* path) { return locked == path; });
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Tree(dir / "dst"), before);
  ASSERT_FALSE(run.boxes.empty());
  EXPECT_EQ(run.boxes.back().text, "Die Quelle konnte nicht vollständig gelesen werden:\n" + dir / "src" +
                                       "\nIm Ziel wurde nichts gelöscht.");
  // ... or one folder below it: what was read is copied, nothing is deleted anywhere.
  locked = dir / "src/sub";
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst"), JOB_FAILED);
  EXPECT_EQ(Get(dir / "dst/changed.txt"), "new");
  EXPECT_TRUE(Exists(dir / "dst/surplus.txt"));
  EXPECT_TRUE(Exists(dir / "dst/sub/surplus.log"));
  EXPECT_TRUE(Exists(dir / "dst/old/a/b/c.txt"));
}

TEST_F(CopyDelTest, EmptySourceWithFilesInTheTargetDeletesNothing) {
  MakeTrees();
  fs::create_directories(dir / "unmounted");
  const auto before = Tree(dir / "dst");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "unmounted", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Tree(dir / "dst"), before);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Die Quelle enthält keine Dateien, das Ziel aber schon:\n" + dir / "unmounted" +
                                   "\nIm Ziel wurde nichts gelöscht.");
  // The filters decide what counts: a source without a .txt file against a target with one.
  Put(dir / "unmounted/a.log", "log");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "unmounted", dir / "dst", 0, "*.txt"), JOB_FAILED);
  EXPECT_EQ(Tree(dir / "dst"), before);
  // Nothing to lose: an empty source against a target of empty folders mirrors.
  Put(dir / "t2/e1/e2/.keep", "");
  fs::remove(dir / "t2/e1/e2/.keep");
  fs::create_directories(dir / "empty-src");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "empty-src", dir / "t2"), JOB_DONE);
  EXPECT_TRUE(Tree(dir / "t2").empty());
}

TEST_F(CopyDelTest, SingleFileSourceConsidersOnlyThatName) {
  MakeTrees();
  Put(dir / "dst/sub/changed.txt", "surplus of the same name");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src/changed.txt", dir / "dst"), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/changed.txt"), "new");
  // Everything else stays; the same name one level down has no source and goes.
  EXPECT_TRUE(Exists(dir / "dst/surplus.txt"));
  EXPECT_TRUE(Exists(dir / "dst/old/a/b/c.txt"));
  EXPECT_FALSE(Exists(dir / "dst/sub/changed.txt"));

  // The file is gone from the source: the target keeps its copy.
  fs::remove(dir / "src/changed.txt");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src/changed.txt", dir / "dst", 0, "", "", 0), JOB_FAILED);
  EXPECT_EQ(Get(dir / "dst/changed.txt"), "new");
}

TEST_F(CopyDelTest, WildcardSourceConsidersOnlyMatchingNames) {
  MakeTrees();
  Put(dir / "src/sub/new.txt", "fresh");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src/*.txt", dir / "dst", 0, "", "keep*"), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/sub/new.txt"), "fresh");      // just copied, survives
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));           // matches, no source: deleted
  EXPECT_TRUE(Exists(dir / "dst/sub/surplus.log"));        // other name: kept
  EXPECT_FALSE(Exists(dir / "dst/old/a/b/c.txt"));
  EXPECT_TRUE(Exists(dir / "dst/keep.txt"));               // minus filter
  EXPECT_TRUE(Exists(dir / "dst/old/empty/deeper"));       // folders do not match "*.txt"
}

TEST_F(CopyDelTest, SurplusFoldersLoseOnlySelectedFiles) {
  MakeTrees();
  Put(dir / "dst/old/a/protected.bak", "keep me");
  Put(dir / "dst/old/a/b/also.bak", "keep me too");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_DIALOG, "", "*.bak"), JOB_DONE);
  EXPECT_TRUE(run.boxes.empty());  // a folder kept for its unselected files is no failure
  EXPECT_EQ(Tree(dir / "dst/old"), (std::vector<std::string>{"a/", "a/b/", "a/b/also.bak", "a/protected.bak"}));

  // The plus filter selects in the same way.
  Put(dir / "dst/old/a/c.txt", "gone");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", 0, "*.txt"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst/old"), (std::vector<std::string>{"a/", "a/b/", "a/b/also.bak", "a/protected.bak"}));
}

TEST_F(CopyDelTest, ExcludedFoldersAreNeitherCopiedIntoNorCleaned) {
  MakeTrees();
  Put(dir / "src/cache/new.txt", "not copied");
  Put(dir / "dst/Cache/stale.txt", "not deleted");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", 0, "", "", 1, "cache;old"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/cache/new.txt"));
  EXPECT_TRUE(Exists(dir / "dst/Cache/stale.txt"));
  EXPECT_TRUE(Exists(dir / "dst/old/a/b/c.txt"));
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
}

TEST_F(CopyDelTest, ReadOnlySurplusFilesStayWithTheKeepFlag) {
  MakeTrees();
  ASSERT_EQ(::chmod((dir / "dst/surplus.txt").c_str(), 0444), 0);
  ASSERT_EQ(::chmod((dir / "dst/old/a/d.txt").c_str(), 0400), 0);
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_TRUE(Exists(dir / "dst/surplus.txt"));
  EXPECT_TRUE(Exists(dir / "dst/old/a/d.txt"));
  EXPECT_FALSE(Exists(dir / "dst/old/a/b"));
  EXPECT_FALSE(Exists(dir / "dst/sub/surplus.log"));
  // Without the flag they go like the others.
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
  EXPECT_FALSE(Exists(dir / "dst/old"));
}

TEST_F(CopyDelTest, TheRootFolderIsRefused) {
  Put(dir / "src/a.txt", "a");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", "/", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text,
            "Das Ziel ist das Wurzelverzeichnis:\n/\nKopieren mit Löschen wird dort nicht ausgeführt.");
  EXPECT_FALSE(Exists("/a.txt"));
  // Also when it is spelt otherwise.
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "../../../../../../../../.."), JOB_FAILED);
  EXPECT_FALSE(Exists("/a.txt"));
}

TEST_F(CopyDelTest, TheHomeFolderIsNeverRemoved) {
  MakeTrees();
  fs::create_directories(dir / "dst/home/user");
  const char* oldHome = std::getenv("HOME");
  const std::optional<std::string> saved = oldHome ? std::optional<std::string>(oldHome) : std::nullopt;
  ::setenv("HOME", (dir / "dst/home/user").c_str(), 1);
  const int result = run.Call(RunCopyDel, dir / "src", dir / "dst");
  if (saved) ::setenv("HOME", saved->c_str(), 1);
  else ::unsetenv("HOME");
  EXPECT_EQ(result, JOB_DONE);
  EXPECT_TRUE(Exists(dir / "dst/home/user"));
  EXPECT_FALSE(Exists(dir / "dst/old"));
}

TEST_F(CopyDelTest, AMountPointIsNeverRemoved) {
  MakeTrees();
  fs::create_directories(dir / "dst/mnt");
  if (::mount("kpw-test", (dir / "dst/mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root with mount rights)";
  const int result = run.Call(RunCopyDel, dir / "src", dir / "dst");
  const bool stillMounted = Shell("findmnt -n -o TARGET '" + dir / "dst/mnt" + "'").find("mnt") != std::string::npos;
  ::umount((dir / "dst/mnt").c_str());
  EXPECT_EQ(result, JOB_DONE);
  EXPECT_TRUE(stillMounted);
  EXPECT_TRUE(Exists(dir / "dst/mnt"));
  EXPECT_FALSE(Exists(dir / "dst/old"));
}

TEST_F(CopyDelTest, LinksAreRemovedThemselvesNeverFollowed) {
  MakeTrees();
  Put(dir / "elsewhere/precious.txt", "precious");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "dst/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere/precious.txt").c_str(), (dir / "dst/linkfile").c_str()), 0);
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/linkdir"));
  EXPECT_FALSE(Exists(dir / "dst/linkfile"));
  EXPECT_EQ(Get(dir / "elsewhere/precious.txt"), "precious");
}

TEST_F(CopyDelTest, NestedSourceAndTargetAreLeftOut) {
  // The target inside the source: no nesting and nothing of the source is touched.
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/sub/b.txt", "b");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "src/mirror"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "src"), (std::vector<std::string>{"a.txt", "mirror/", "mirror/a.txt", "mirror/sub/",
                                                          "mirror/sub/b.txt", "sub/", "sub/b.txt"}));

  // The source inside the target: its own files are no surplus.
  Put(dir / "outer/in/x.txt", "x");
  Put(dir / "outer/stale.txt", "stale");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "outer/in", dir / "outer"), JOB_DONE);
  EXPECT_EQ(Get(dir / "outer/in/x.txt"), "x");
  EXPECT_EQ(Get(dir / "outer/x.txt"), "x");
  EXPECT_FALSE(Exists(dir / "outer/stale.txt"));
}

TEST_F(CopyDelTest, OtherHostOrMissingTargetWithTheSignDoNothing) {
  MakeTrees();
  kpwtest::TestEnv().hostName = "kpw-test-host";
  const auto before = Tree(dir / "dst");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", 0, "", "", 1, "*[elsewhere]"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), before);
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "nothing", 0, "", "", 1, "*[kpw-test-host];*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "nothing"));
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", 0, "", "", 1, "*[kpw-test-host];*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
}

TEST_F(CopyDelTest, ACopyFailureFailsTheRowButTheMirrorGoesOn) {
  MakeTrees();
  Put(dir / "src/blocked/x.txt", "x");
  Put(dir / "dst/blocked", "a file in the folder's place");
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst"), JOB_FAILED);
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
}

TEST_F(CopyDelTest, WithoutSubfoldersOnlyTheTopLevelIsCleaned) {
  MakeTrees();
  EXPECT_EQ(run.Call(RunCopyDel, dir / "src", dir / "dst", 0, "", "", 0), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst/surplus.txt"));
  EXPECT_TRUE(Exists(dir / "dst/sub/surplus.log"));
  EXPECT_TRUE(Exists(dir / "dst/old/a/b/c.txt"));
}

}  // namespace
