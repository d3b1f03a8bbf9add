// "Del" on real trees: filters, folders deepest first, read-only files, links, and the folders that
// the one guard of every deleting worker never empties.
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/delete_guard.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/run_rig.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

const std::string kFailed = "Fehler beim Löschen von:\n\n";
std::string g_unreadable;  // the folder the listing may not open

class Del : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override { SysTestSetDirFault(nullptr); }
  void Fresh() {
    fs::remove_all(root);
    Put(root + "/a.tmp", "a");
    Put(root + "/b.txt", "b");
    Put(root + "/keep/k.txt", "k");
    Put(root + "/sub/c.tmp", "c");
    Put(root + "/sub/deep/d.tmp", "d");
    ::chmod((root + "/sub/c.tmp").c_str(), 0444);
  }
  int Delete(const std::string& source, u32 flags = RUN_DIALOG, const std::string& plus = "",
             const std::string& minus = "", int subdirs = 1) {
    return run.Call(RunDel, source, "", flags, plus, minus, subdirs);
  }
  TempDir dir;
  const std::string root = dir / "d";
  RunRig run;
};

TEST_F(Del, MissingSourcesAndAListingThatIsNotWhole) {
  EXPECT_EQ(Delete(dir / "fehlt/*.tmp"), JOB_DONE);
  fs::remove_all(root + "/keep");
  fs::create_directories(root + "/sub/locked");
  g_unreadable = root + "/sub/locked";
  SysTestSetDirFault([](const char* path) { return g_unreadable == path; });
  EXPECT_EQ(Delete(root, RUN_DIALOG, "*.tmp"), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(), "Es gab einen Fehler beim Löschen von:\n\n" + root + "\n");
}

TEST_F(Del, LinksAreDeletedAsLinksNeverFollowed) {
  fs::remove_all(root + "/keep");
  const std::string outside = dir / "outside";
  Put(outside + "/precious.tmp", "p");
  ASSERT_EQ(::symlink(outside.c_str(), (root + "/sub/link-dir").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/precious.tmp").c_str(), (root + "/link-file.tmp").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (root + "/dangling.tmp").c_str()), 0);
  // The folder link is not selected by "*.tmp": it stays, so "sub" cannot go.
  EXPECT_EQ(Delete(root, RUN_DIALOG, "*.tmp"), JOB_FAILED);
  EXPECT_EQ(Listing(root), "b.txt sub/ sub/link-dir");
  EXPECT_EQ(run.TakeBoxes(), kFailed + root + "/sub\n");
  EXPECT_EQ(Delete(root, RUN_DIALOG, "link-*"), JOB_DONE);
  EXPECT_EQ(Delete(root), JOB_DONE);
  EXPECT_FALSE(Exists(root));
  EXPECT_EQ(Listing(outside), "precious.tmp");
  // A job path that is a link goes as a link, with or without filters, and so does one to a
  // file, to nowhere or to the root.
  Put(dir / "real/sub/y.tmp", "y");
  const std::string link = dir / "link";
  for (const auto& [target, source, plus] : {std::tuple{dir / "real", link, ""},
                                             {dir / "real", link, "*.tmp"},
                                             {dir / "real", link + "/", "x"},
                                             {outside + "/precious.tmp", link, ""},
                                             {dir / "nowhere", link, "*.tmp"},
                                             {std::string("/"), link, ""}}) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(Delete(source, RUN_DIALOG, plus), JOB_DONE) << target << plus;
    EXPECT_FALSE(fs::is_symlink(link)) << target << plus;
  }
  EXPECT_EQ(run.TakeBoxes(), "");
  EXPECT_EQ(Listing(dir / "real") + " " + Listing(outside), "sub/ sub/y.tmp precious.tmp");
}

// The root is always refused; the home folder and a mount point are only emptied through filters.
TEST(DelGuard, TheRootTheHomeFolderAndMountPoints) {
  EXPECT_EQ(DelGuard("/", false), DEL_GUARD_ROOT);
  EXPECT_EQ(DelGuard("/tmp/..", true), DEL_GUARD_ROOT);
  EXPECT_EQ(DelGuard("/proc", true), DEL_GUARD_MOUNT);
  EXPECT_EQ(DelGuard("/proc", false), DEL_GUARD_OK);
  TempDir home;
  Put(home / "a.tmp", "a");
  Put(home / "b.txt", "b");
  const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.path().c_str(), 1);
  RunRig run;
  // Every name pattern that can take everything counts as no filter.
  for (const char* pattern : {"", "/*", "/*.*", "/?*", "/*?", "/**", "/*.?*", "/.*"})
    EXPECT_EQ(run.Call(RunDel, home.path() + pattern, "", RUN_DIALOG), JOB_FAILED) << pattern;
  EXPECT_EQ(run.TakeBoxes().find("Das Benutzerverzeichnis wird nicht ohne Filter gelöscht:\n" + home.path()),
            0u);
  EXPECT_EQ(run.Call(RunDel, home.path() + "/?.tmp", ""), JOB_DONE);
  Put(home / "a.tmp", "a");
  EXPECT_EQ(run.Call(RunDel, home.path(), "", 0, "*.tmp"), JOB_DONE);
  ::setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(Listing(home.path()), "b.txt");
  // A tmpfs mounted in a scratch folder.
  const std::string mnt = home / "mnt";
  fs::create_directories(mnt);
  if (::mount("kpw-test", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  Put(mnt + "/a.tmp", "a");
  Put(mnt + "/b.txt", "b");
  EXPECT_EQ(run.Call(RunDel, mnt, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunDel, mnt + "/?*", "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunDel, mnt, "", RUN_DIALOG, "*.tmp"), JOB_DONE);
  const std::string left = Listing(mnt);
  ::umount(mnt.c_str());
  EXPECT_EQ(left, "b.txt");
  EXPECT_EQ(run.TakeBoxes(), "Ein Einhängepunkt wird nicht ohne Filter gelöscht:\n" + mnt +
                                 "\nEin Einhängepunkt wird nicht ohne Filter gelöscht:\n" + mnt + "/?*\n");
}

// In a child whose root is a scratch folder: "/" (what "$(X)/" becomes) touches nothing.
TEST(DelGuard, DelOfTheRootTouchesNothing) {
  TempDir jail;
  Put(jail / "canary.tmp", "c");
  Put(jail / "sub/canary", "c");
  const int status = InChild([&] {
    if (::chroot(jail.path().c_str()) != 0 || ::chdir("/") != 0) return 77;
    RunRig run;
    int bad = 0;
    for (const char* source : {"/", "/*.tmp", "/sub/.."})
      bad |= run.Call(RunDel, source, "", RUN_DIALOG) != JOB_FAILED;
    bad |= (run.Call(RunDel, "/", "", RUN_DIALOG, "*.tmp") != JOB_FAILED) << 1;
    bad |= (run.boxes.at(0).text != "Das Wurzelverzeichnis wird nicht gelöscht:\n/") << 2;
    return bad;
  });
  if (status == 77) GTEST_SKIP() << "no chroot here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(jail.path()), "canary.tmp sub/ sub/canary");
}

// A folder that exists but cannot be examined (its parent may not be entered) is kept by every
// worker that deletes.
TEST(DelGuard, AFolderThatCannotBeExaminedIsKept) {
  TempDir dir;
  Put(dir / "src/a", "a");
  Put(dir / "locked/dst/x", "x");
  for (const std::string& p : {dir.path(), dir / "src"}) ::chmod(p.c_str(), 0755);
  ::chmod((dir / "src/a").c_str(), 0644);
  ::chmod((dir / "locked").c_str(), 0700);
  const int status = InChild([&] {
    if (!BecomeNobody()) return 77;
    int bad = 0;
    bad |= DelGuard((dir / "locked/dst").c_str(), false) != DEL_GUARD_UNKNOWN;
    bad |= (DelGuard((dir / "locked/gone").c_str(), true) != DEL_GUARD_UNKNOWN) << 1;
    bad |= (DelGuard((dir / "nothing/here").c_str(), true) != DEL_GUARD_OK) << 2;
    RunRig run;
    bad |= (run.Call(RunCopyDel, dir / "src", dir / "locked/dst", RUN_DIALOG) != JOB_FAILED) << 3;
    bad |= (run.Call(RunDel, dir / "locked/dst", "", RUN_DIALOG) != JOB_FAILED) << 4;
    bad |= (run.boxes.at(0).text != "Das Ziel kann nicht geprüft werden:\n" + dir / "locked/dst" +
                                        "\nKopieren mit Löschen wird dort nicht ausgeführt.")
           << 5;
    return bad;
  });
  if (status == 77) GTEST_SKIP() << "cannot drop rights here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir / "locked/dst/x"), "x");
}

}  // namespace
