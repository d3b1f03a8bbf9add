// "Copy" and "Update" on real folders: trees, times, long paths, the flags 0x01, 0x08 and 0x20,
// host and target sign, failures and their questions, and a cancel under a progress dialog.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/scripted_progress_view.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

std::string g_locked;  // the folder the listing may not open

class Copy : public ::testing::Test {
 protected:
  void TearDown() override { SysTestSetDirFault(nullptr); }
  TempDir dir;
  RunRig run;
  const ScopedTestEnv env;
};

TEST_F(Copy, CopiesTheTreeWithItsTimesAndLongPathsWhole) {
  std::string rel;  // well beyond the old 1284-byte path buffers
  for (int i = 0; i < 12; ++i) rel += std::string(120, static_cast<char>('a' + i)) + "/";
  Put(dir / "src/" + rel + "f", "deep", kT + 30);
  fs::create_directories(dir / "src/empty");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir / "dst/" + rel + "f"), "deep");
  EXPECT_EQ(MTime(dir / "dst/" + rel + "f"), kT + 30);
  EXPECT_TRUE(fs::is_directory(dir / "dst/empty"));
  EXPECT_EQ(run.Copied(), 1u + 13u);  // the file and the folders made
}

TEST_F(Copy, TheFlagsThatLeaveATargetAlone) {
  const struct {
    const char* name;
    int sourceAge, targetAge;
  } files[] = {{"equal", 0, 0}, {"older", 0, -1}, {"newer", 0, 1}, {"untimed", -int(kT), 0}};
  for (const auto& f : files) {
    Put(dir / "src/" + f.name, "new", kT + f.sourceAge);
    Put(dir / "dst/" + f.name, "old", kT + f.targetAge);
  }
  Put(dir / "src/missing", "new");
  // 0x01: only onto a strictly older target.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Shell("cd " + dir / "dst && grep -l new *"), "missing\nolder\n");
  EXPECT_EQ(run.Copied(), 2u);
  // 0x08 never overwrites; 0x20 keeps read-only targets, even as root; without them a read-only
  // target is replaced and takes the source's mode.
  ASSERT_EQ(::chmod((dir / "dst/equal").c_str(), 0444), 0);
  Put(dir / "src/more", "new");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Shell("cd " + dir / "dst && grep -L new *"), "equal\n");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir / "dst/equal"), "new");
  EXPECT_EQ(fs::status(dir / "dst/equal").permissions(), fs::status(dir / "src/equal").permissions());
}

TEST_F(Copy, FailuresAreAskedWithTheirReasonAndTheRowGoesOn) {
  Put(dir / "src/a/x.txt", "x");
  Put(dir / "src/b.txt", "b");
  ASSERT_EQ(::symlink("nowhere", (dir / "src/dangling").c_str()), 0);
  Put(dir / "dst/a", "a file where the folder belongs");
  // Without 0x02 nothing is asked; the row fails and copies the rest.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_FAILED);
  EXPECT_EQ(ReadFile(dir / "dst/b.txt"), "b");
  EXPECT_EQ(run.TakeBoxes(), "");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 3u);  // the folder a, the dangling link, the file a/x.txt
  EXPECT_EQ(run.boxes[1].type, 0x11u);
  EXPECT_EQ(run.boxes[1].text, "Fehler beim Kopieren von:\n" + dir / "src/dangling" + "\nnach:\n" +
                                   dir / "dst/dangling" + "\n(Eine Datei wurde nicht gefunden)");
}

TEST_F(Copy, SourcesAndTargetsThatCannotBeUsed) {
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/locked/b.txt", "b");
  fs::create_directories(dir / "void");
  g_locked = dir / "src/locked";
  SysTestSetDirFault([](const char* path) { return g_locked == path; });
  EXPECT_EQ(run.Call(RunCopy, dir / "nothing", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Listing(dir / "dst"), "a.txt locked/");
  EXPECT_EQ(run.Call(RunCopy, "C:\\data", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, dir.path(), "\\\\server\\share", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, "", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, dir.path(), "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(),
            "Es gab einen Fehler beim kopieren von:\n\n" + dir / "nothing" +
                "\nEs gab einen Fehler beim kopieren von:\n\n" + dir / "src" +
                "\nDer Pfad kann hier nicht verwendet werden:\nC:\\data\nDer Pfad kann hier nicht "
                "verwendet werden:\n\\\\server\\share\n(Der Hostnamen ist ungültig)\n");
  // An empty folder is no failure.
  EXPECT_EQ(run.Call(RunCopy, dir / "void", dir / "dst2"), JOB_DONE);
}

TEST_F(Copy, TheTargetSignWantsAnExistingTarget) {
  Put(dir / "src/a.txt", "a");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst"));
}

TEST_F(Copy, UpdateRefreshesExistingFilesAndCreatesNothing) {
  Put(dir / "src/a.txt", "new a", kT + 100);
  Put(dir / "src/only-in-source.txt", "not wanted", kT + 100);
  Put(dir / "src/sub/b.txt", "new b", kT + 100);
  Put(dir / "src/cache/c.txt", "excluded", kT + 100);
  Put(dir / "dst/a.txt", "old a", kT);
  Put(dir / "dst/sub/b.txt", "old b", kT);
  Put(dir / "dst/cache/c.txt", "old c", kT);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", 0, "", "", 0), JOB_DONE);
  EXPECT_EQ(Shell("cd " + dir / "dst && grep -r -l new ."), "./a.txt\n");
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", 0, "", "", 1, "cache"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "dst"), "a.txt cache/ cache/c.txt sub/ sub/b.txt");
  EXPECT_EQ(ReadFile(dir / "dst/sub/b.txt"), "new b");
  EXPECT_EQ(MTime(dir / "dst/sub/b.txt"), kT + 100);
  EXPECT_EQ(ReadFile(dir / "dst/cache/c.txt"), "old c");
  EXPECT_EQ(run.Copied(), 3u);
  // 0x01 copies onto older targets only, whatever the sizes.
  Put(dir / "dst/a.txt", "newer, and longer", kT + 101);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(dir / "dst/a.txt"), "newer, and longer");
}

// Folders whose names begin alike ("doc" and "docs") are opened one after the other: each keeps
// its own files in a copy, an update and a synchronisation.
TEST_F(Copy, SiblingFoldersSharingANamePrefixStayApart) {
  const auto fill = [&](const std::string& root, const std::string& text, std::int64_t t) {
    for (const char* name : {"doc/a.txt", "doc/sub/b.txt", "docs/c.txt", "docs/sub/d.txt", "doc.txt"})
      Put(root + "/" + name, text + name, t);
  };
  fill(dir / "src", "new ", kT + 100);
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "copy"), JOB_DONE);
  EXPECT_EQ(Contents(dir / "copy"), Contents(dir / "src"));
  fill(dir / "upd", "old ", kT);
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "upd"), JOB_DONE);
  EXPECT_EQ(Contents(dir / "upd"), Contents(dir / "src"));
  Put(dir / "a/doc/x.txt", "x");
  Put(dir / "a/docs/y.txt", "y");
  Put(dir / "b/doc/z.txt", "z");
  Put(dir / "b/docs/w.txt", "w");
  EXPECT_EQ(run.Call(RunSynch, dir / "a", dir / "b"), JOB_DONE);
  EXPECT_EQ(Contents(dir / "a"), "doc/x.txt=x doc/z.txt=z docs/w.txt=w docs/y.txt=y");
  EXPECT_EQ(Contents(dir / "b"), Contents(dir / "a"));
}

TEST_F(Copy, UpdateAsksWithoutAReason) {
  Put(dir / "src/x/y.txt", "y");
  ASSERT_EQ(::symlink("nowhere", (dir / "src/gone.txt").c_str()), 0);
  Put(dir / "dst/gone.txt", "target");
  Put(dir / "dst/x/y.txt", "old");
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(),
            "Fehler beim Kopieren von:\n" + dir / "src/gone.txt" + "\nnach:\n" + dir / "dst/gone.txt\n");
  EXPECT_EQ(ReadFile(dir / "dst/x/y.txt"), "y");
  Put(dir / "dst/x/y.txt", "old");
  run.answers = {IDCANCEL};
  EXPECT_EQ(run.Call(RunUpdate, dir / "src", dir / "dst", RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_EQ(ReadFile(dir / "dst/x/y.txt"), "old");  // "gone.txt" comes before "x/y.txt"
}

// The dialog's cancel button in the middle of a large file: the old target stays, nothing is left.
TEST_F(Copy, TheCancelButtonInTheMiddleOfAFileKeepsTheOldTarget) {
  WriteDenseFile(dir / "src/big.bin", 512ull << 20);
  Put(dir / "dst/big.bin", "old target");
  ScriptedProgressView view;
  CProgressDlg dlg;
  int result = 0;
  dlg.SetWorker([&](CProgressDlg& d) {
    CRunState::ScopedActiveDialog active(run.state, &d);
    std::thread button([&] {
      EXPECT_TRUE(WaitUntil([&] { return run.state.Progress().bytes.load() > 0; })) << "the copy did not begin";
      d.Finish();
    });
    result = run.Call(RunCopyDel, dir / "src", dir / "dst", RUN_DIALOG);
    JoinWithin(button, "the cancel button");
    return result;
  });
  dlg.DoModal(view);
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(ReadFile(dir / "dst/big.bin"), "old target");
  EXPECT_EQ(Listing(dir / "dst"), "big.bin");
}

}  // namespace
