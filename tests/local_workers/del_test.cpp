// "Del" on real trees: filters, folders deepest first, read-only files, links, and the folders
// it never empties.
#include "lw_test_util.h"

#include "jobs/workers/copy_workers.h"
#include "jobs/workers/delete_guard.h"
#include "jobs/workers/worker_support.h"

#include <sched.h>
#include <sys/mount.h>

using namespace lwtest;

namespace {

class Del : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "d";
    Write(root_ + "/a.tmp", "a");
    Write(root_ + "/b.txt", "b");
    Write(root_ + "/sub/c.tmp", "c");
    Write(root_ + "/sub/deep/d.tmp", "d");
  }
  Scratch dir_;
  WorkerRun run_;
  std::string root_;
};

TEST_F(Del, WithoutFiltersEverythingGoesDeepestFirst) {
  EXPECT_EQ(run_(RunDel, root_, ""), JOB_DONE);
  EXPECT_FALSE(Exists(root_));
  EXPECT_EQ(run_.Copied(), 4u + 3u);  // four files, two sub-folders and the folder itself
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Del, APlusFilterKeepsTheFolderAndUnselectedFiles) {
  Write(root_ + "/keep/k.txt", "k");
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG, "*.TMP"), JOB_FAILED);  // "keep" is not empty
  EXPECT_EQ(Tree(root_), (std::map<std::string, std::string>{{"b.txt", "b"}, {"keep/k.txt", "k"}}));
  EXPECT_FALSE(Exists(root_ + "/sub"));  // emptied, so removed
  const auto boxes = run_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Fehler beim Löschen von:\n\n" + root_ + "/keep");
}

TEST_F(Del, AMinusFilterSparesFilesAndWholeFolders) {
  // "sub" still holds the excluded "deep": it cannot go, and says so.
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG, "", "b.txt;deep"), JOB_FAILED);
  EXPECT_EQ(Tree(root_), (std::map<std::string, std::string>{{"b.txt", "b"}, {"sub/deep/d.tmp", "d"}}));
  const auto boxes = run_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Fehler beim Löschen von:\n\n" + root_ + "/sub");
}

TEST_F(Del, WithoutSubdirectoriesOnlyTheTopFilesGo) {
  // No filters: the folder itself is tried too and fails while it holds a sub-folder.
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG, "", "", false), JOB_FAILED);
  EXPECT_EQ(Tree(root_), (std::map<std::string, std::string>{{"sub/c.tmp", "c"}, {"sub/deep/d.tmp", "d"}}));
  // A folder of files only goes whole.
  const std::string flat = dir_ / "flat";
  Write(flat + "/x", "x");
  EXPECT_EQ(run_(RunDel, flat, "", 0, "", "", false), JOB_DONE);
  EXPECT_FALSE(Exists(flat));
}

TEST_F(Del, ReadOnlyFilesAreKeptWithTheFlag) {
  ASSERT_EQ(::chmod((root_ + "/sub/c.tmp").c_str(), 0444), 0);
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG | RUN_KEEP_READONLY), JOB_FAILED);
  EXPECT_EQ(Tree(root_), (std::map<std::string, std::string>{{"sub/c.tmp", "c"}}));
  const auto boxes = run_.Boxes();
  ASSERT_EQ(boxes.size(), 2u);  // "sub" and the folder itself are not empty
  EXPECT_EQ(boxes[0].text, "Fehler beim Löschen von:\n\n" + root_ + "/sub");
  EXPECT_EQ(boxes[1].text, "Fehler beim Löschen von:\n\n" + root_);
  // Without the flag the read-only file goes as well.
  EXPECT_EQ(run_(RunDel, root_, ""), JOB_DONE);
  EXPECT_FALSE(Exists(root_));
}

TEST_F(Del, LinksAreDeletedAsLinksNeverFollowed) {
  const std::string outside = dir_ / "outside";
  Write(outside + "/precious.tmp", "p");
  Write(outside + "/file.tmp", "f");
  ASSERT_EQ(::symlink(outside.c_str(), (root_ + "/sub/link-dir").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/file.tmp").c_str(), (root_ + "/link-file.tmp").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "nowhere").c_str(), (root_ + "/dangling.tmp").c_str()), 0);
  // The folder link is not selected by "*.tmp": it stays, so "sub" cannot go.
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG, "*.tmp"), JOB_FAILED);
  EXPECT_EQ(Tree(outside), (std::map<std::string, std::string>{{"file.tmp", "f"}, {"precious.tmp", "p"}}));
  EXPECT_FALSE(Exists(root_ + "/link-file.tmp"));
  EXPECT_FALSE(Exists(root_ + "/dangling.tmp"));
  EXPECT_TRUE(Exists(root_ + "/sub/link-dir"));
  EXPECT_EQ(run_(RunDel, root_, "", RUN_DIALOG, "link-*"), JOB_DONE);
  EXPECT_FALSE(Exists(root_ + "/sub/link-dir"));
  EXPECT_TRUE(Exists(outside + "/precious.tmp"));
  EXPECT_EQ(run_(RunDel, root_, ""), JOB_DONE);
  EXPECT_FALSE(Exists(root_));
  EXPECT_EQ(Tree(outside), (std::map<std::string, std::string>{{"file.tmp", "f"}, {"precious.tmp", "p"}}));
}

TEST_F(Del, AJobPathThatIsALinkGoesAsALink) {
  const std::string real = dir_ / "real";
  Write(real + "/x", "x");
  Write(real + "/sub/y.tmp", "y");
  const std::string link = dir_ / "link";
  // Without filters, with filters, and written with a separator at the end: only the link goes.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {link, ""}, {link, "*.tmp"}, {link + "/", "x"}};
  for (const auto& [source, plus] : cases) {
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    WorkerRun run;
    EXPECT_EQ(run(RunDel, source, "", RUN_DIALOG, plus), JOB_DONE) << source << " " << plus;
    EXPECT_EQ(run.Copied(), 1u) << source;
    EXPECT_TRUE(run.Boxes().empty()) << source;
    EXPECT_FALSE(fs::is_symlink(link)) << source;
    EXPECT_EQ(Tree(real), (std::map<std::string, std::string>{{"sub/y.tmp", "y"}, {"x", "x"}})) << source;
  }
}

TEST_F(Del, AJobPathThatIsALinkToAFileOrNowhereGoesAsALink) {
  const std::string file = dir_ / "file.tmp";
  Write(file, "f");
  const std::string link = dir_ / "link.tmp";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  EXPECT_EQ(run_(RunDel, link, ""), JOB_DONE);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(Read(file), "f");
  const std::string dangling = dir_ / "dangling";
  ASSERT_EQ(::symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(run_(RunDel, dangling, "", RUN_DIALOG, "*.tmp"), JOB_DONE);
  EXPECT_FALSE(fs::is_symlink(dangling));
  EXPECT_EQ(run_.Copied(), 2u);
  // A link to the root or to the home folder is only a link: removing it empties nothing.
  const std::string rootLink = dir_ / "root";
  ASSERT_EQ(::symlink("/", rootLink.c_str()), 0);
  EXPECT_EQ(run_(RunDel, rootLink, ""), JOB_DONE);
  EXPECT_FALSE(fs::is_symlink(rootLink));
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Del, MissingSourcesAndWildcards) {
  EXPECT_EQ(run_(RunDel, dir_ / "fehlt", ""), JOB_DONE);
  EXPECT_EQ(run_(RunDel, dir_ / "fehlt/*.tmp", ""), JOB_DONE);
  EXPECT_EQ(run_(RunDel, root_ + "/*.none", ""), JOB_DONE);
  EXPECT_EQ(run_.Copied(), 0u);
  // A wildcard source counts as existing when something matches.
  EXPECT_EQ(run_(RunDel, root_ + "/*.tmp", "", RUN_DIALOG, "", "", false), JOB_DONE);
  EXPECT_EQ(Tree(root_),
            (std::map<std::string, std::string>{{"b.txt", "b"}, {"sub/c.tmp", "c"}, {"sub/deep/d.tmp", "d"}}));
  EXPECT_EQ(run_.Copied(), 1u);
  // A single file.
  EXPECT_EQ(run_(RunDel, root_ + "/b.txt", ""), JOB_DONE);
  EXPECT_FALSE(Exists(root_ + "/b.txt"));
  EXPECT_TRUE(Exists(root_));
}

TEST_F(Del, AFolderThatCannotBeReadIsReported) {
  Write(root_ + "/sub/locked/x", "x");
  ASSERT_EQ(0, InChild([&] {
              if (::chmod(dir_.path().c_str(), 0755) != 0 || ::chmod((root_ + "/sub/locked").c_str(), 0) != 0)
                return 77;
              // Everything else belongs to nobody's group of the world: let nobody delete it.
              for (const char* p : {"", "/sub", "/sub/deep"}) ::chmod((root_ + p).c_str(), 0777);
              if (!BecomeNobody()) return 77;
              WorkerRun run;
              const int rc = run(RunDel, root_, "", RUN_DIALOG, "*.tmp");
              const auto boxes = run.Boxes();
              if (rc != JOB_FAILED || boxes.empty()) return 1;
              return boxes.back().text.rfind("Es gab einen Fehler beim Löschen von:\n\n", 0) == 0 ||
                             boxes.back().text.rfind("Fehler beim Löschen von:\n\n", 0) == 0
                         ? 0
                         : 2;
            }));
  EXPECT_TRUE(Exists(root_ + "/sub/locked/x"));
}

// ---- folders that are never emptied ------------------------------------------------------------

TEST(DelGuardTest, TheRootIsAlwaysRefused) {
  EXPECT_EQ(DelGuard("/", false), DEL_GUARD_ROOT);
  EXPECT_EQ(DelGuard("/", true), DEL_GUARD_ROOT);
  EXPECT_EQ(DelGuard("/tmp/..", false), DEL_GUARD_ROOT);
  EXPECT_EQ(DelGuard("/proc", true), DEL_GUARD_MOUNT);
  EXPECT_EQ(DelGuard("/proc", false), DEL_GUARD_OK);
}

// A folder that exists but cannot be examined (its parent may not be entered) is kept by every
// worker that deletes.
TEST(DelGuardTest, AFolderThatCannotBeExaminedIsKept) {
  Scratch dir;
  Write(dir / "src/a", "a");
  Write(dir / "locked/dst/x", "x");
  for (const std::string& p : {dir.path(), dir / "src"}) ::chmod(p.c_str(), 0755);
  ::chmod((dir / "src/a").c_str(), 0644);
  ::chmod((dir / "locked").c_str(), 0700);
  const int status = InChild([&] {
    if (!BecomeNobody()) return 77;
    int bad = 0;
    if (DelGuard((dir / "locked/dst").c_str(), false) != DEL_GUARD_UNKNOWN) bad |= 1;
    if (DelGuard((dir / "locked/gone").c_str(), true) != DEL_GUARD_UNKNOWN) bad |= 2;
    if (DelGuard((dir / "nothing/here").c_str(), true) != DEL_GUARD_OK) bad |= 4;
    WorkerRun run;
    if (run(RunCopyDel, dir / "src", dir / "locked/dst", RUN_DIALOG) != JOB_FAILED) bad |= 8;
    if (run(RunDel, dir / "locked/dst", "", RUN_DIALOG) != JOB_FAILED) bad |= 16;
    const auto boxes = run.Boxes();
    if (boxes.empty() || boxes[0].text != "Das Ziel kann nicht geprüft werden:\n" + dir / "locked/dst" +
                                              "\nKopieren mit Löschen wird dort nicht ausgeführt.")
      bad |= 32;
    return bad;
  });
  if (status == 77) GTEST_SKIP() << "cannot drop rights here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(dir / "locked/dst/x"), "x");
}

// In a child whose root is a scratch folder: "/" (what "$(X)/" becomes) touches nothing.
TEST(DelGuardTest, DelOfTheRootTouchesNothing) {
  Scratch jail;
  Write(jail / "canary.tmp", "c");
  Write(jail / "sub/canary", "c");
  const int status = InChild([&] {
    if (::chroot(jail.path().c_str()) != 0 || ::chdir("/") != 0) return 77;
    WorkerRun run;
    int bad = 0;
    if (run(RunDel, "/", "", RUN_DIALOG) != JOB_FAILED) bad |= 1;
    if (run(RunDel, "/", "", RUN_DIALOG, "*.tmp") != JOB_FAILED) bad |= 2;
    if (run(RunDel, "/*.tmp", "", 0) != JOB_FAILED) bad |= 4;
    if (run(RunDel, "/sub/..", "", 0) != JOB_FAILED) bad |= 8;
    const auto boxes = run.Boxes();
    if (boxes.size() != 2 || boxes[0].text != "Das Wurzelverzeichnis wird nicht gelöscht:\n/") bad |= 16;
    return bad;
  });
  if (status == 77) GTEST_SKIP() << "no chroot here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(jail / "canary.tmp"), "c");
  EXPECT_EQ(Read(jail / "sub/canary"), "c");
}

TEST(DelGuardTest, TheHomeFolderIsOnlyEmptiedThroughFilters) {
  Scratch home;
  Write(home / "a.tmp", "a");
  Write(home / "b.txt", "b");
  const char* old = std::getenv("HOME");
  const std::string saved = old ? old : "";
  ::setenv("HOME", home.path().c_str(), 1);
  WorkerRun run;
  EXPECT_EQ(run(RunDel, home.path(), ""), JOB_FAILED);
  // Every name pattern that can take everything counts as no filter.
  for (const char* pattern : {"/*", "/*.*", "/?*", "/*?", "/**", "/*.?*", "/.*"})
    EXPECT_EQ(run(RunDel, home.path() + pattern, ""), JOB_FAILED) << pattern;
  EXPECT_EQ(Tree(home.path()).size(), 2u);
  const auto boxes = run.Boxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes[0].text, "Das Benutzerverzeichnis wird nicht ohne Filter gelöscht:\n" + home.path());
  // A pattern that names some files is a filter.
  EXPECT_EQ(run(RunDel, home.path() + "/?.tmp", ""), JOB_DONE);
  EXPECT_EQ(Tree(home.path()), (std::map<std::string, std::string>{{"b.txt", "b"}}));
  Write(home / "a.tmp", "a");
  EXPECT_EQ(run(RunDel, home.path(), "", RUN_DIALOG, "*.tmp"), JOB_DONE);
  EXPECT_EQ(Tree(home.path()), (std::map<std::string, std::string>{{"b.txt", "b"}}));
  if (old) ::setenv("HOME", saved.c_str(), 1);
  else ::unsetenv("HOME");
}

// In a child with a mount namespace of its own: a tmpfs mounted in a scratch folder.
TEST(DelGuardTest, AMountPointIsOnlyEmptiedThroughFilters) {
  Scratch dir;
  const std::string mnt = dir / "mnt";
  fs::create_directories(mnt);
  const int status = InChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", mnt.c_str(), "tmpfs", 0, nullptr) != 0)
      return 77;
    Write(mnt + "/a.tmp", "a");
    Write(mnt + "/b.txt", "b");
    WorkerRun run;
    int bad = 0;
    if (run(RunDel, mnt, "") != JOB_FAILED) bad |= 1;
    if (run(RunDel, mnt + "/?*", "") != JOB_FAILED) bad |= 1;
    if (Tree(mnt).size() != 2) bad |= 2;
    const auto boxes = run.Boxes();
    if (boxes.size() != 2 || boxes[1].text != "Ein Einhängepunkt wird nicht ohne Filter gelöscht:\n" + mnt + "/?*" ||
        boxes[0].text != "Ein Einhängepunkt wird nicht ohne Filter gelöscht:\n" + mnt) bad |= 4;
    if (run(RunDel, mnt, "", RUN_DIALOG, "*.tmp") != JOB_DONE) bad |= 8;
    if (Tree(mnt) != std::map<std::string, std::string>{{"b.txt", "b"}}) bad |= 16;
    return bad;
  });
  if (status == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(status, 0);
}

}  // namespace
