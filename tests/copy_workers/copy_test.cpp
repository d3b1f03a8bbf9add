// "Copy" and "Copy File" on real folders: trees, times, filters, excluded folders, the flags 0x01,
// 0x02, 0x08 and 0x20, host restriction and target sign, target inside the source, failures,
// cancelling in the middle of a file.
#include "copy_test_util.h"

#include "jobs/job_extra.h"
#include "tests/support/sys_seams.h"
#include "tests/support/test_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

namespace {

using namespace copytest;

class CopyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kpwtest::TestEnv().hostName = kpwtest::kTestHost;
    SysTestSetDirFault(nullptr);
  }
  // src: a.txt, b.log, sub/c.txt, sub/deep/d.txt, empty/
  void MakeSource() {
    Put(dir / "src/a.txt", "alpha", kT);
    Put(dir / "src/b.log", "bravo", kT + 10);
    Put(dir / "src/sub/c.txt", "charlie", kT + 20);
    Put(dir / "src/sub/deep/d.txt", "delta", kT + 30);
    fs::create_directories(dir / "src/empty");
  }
  TempDir dir;
  RunRig run;
};

TEST_F(CopyTest, CopiesTheTreeWithTimesAndCountsFilesAndMadeFolders) {
  MakeSource();
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_DONE);
  int status = -1;
  EXPECT_EQ(Shell("diff -r '" + dir / "src" + "' '" + dir / "dst" + "' 2>&1", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(MTime(dir / "dst/sub/deep/d.txt"), kT + 30);
  EXPECT_EQ(MTime(dir / "dst/a.txt"), kT);
  // Four files and three folders made (sub, sub/deep, empty).
  EXPECT_EQ(run.Copied(), 7u);
  EXPECT_TRUE(run.boxes.empty());

  // Again: every file is written again, no folder is new.
  Put(dir / "dst/a.txt", "changed", kT + 99);
  run.state.StartRun();
  EXPECT_EQ(run.Call(RunCopy, dir / "src/", dir / "dst/"), JOB_DONE);
  EXPECT_EQ(run.Copied(), 4u);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "alpha");
  EXPECT_EQ(MTime(dir / "dst/a.txt"), kT);
}

TEST_F(CopyTest, WithoutSubfolders) {
  MakeSource();
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 0), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"a.txt", "b.log"}));
}

TEST_F(CopyTest, PlusAndMinusFiltersSelectFilesButNotFolders) {
  MakeSource();
  Put(dir / "src/sub/skip.txt", "no");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "*.TXT", "skip*"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"a.txt", "empty/", "sub/", "sub/c.txt", "sub/deep/",
                                                          "sub/deep/d.txt"}));
}

TEST_F(CopyTest, ExcludedFoldersAreNeitherEnteredNorMade) {
  MakeSource();
  Put(dir / "src/Cache/x.txt", "x");
  Put(dir / "src/cachefile/y.txt", "y");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "cache;/sub/deep "), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"a.txt", "b.log", "cachefile/", "cachefile/y.txt",
                                                          "empty/", "sub/", "sub/c.txt"}));
}

TEST_F(CopyTest, NewerOnlyComparesWriteTimesStrictly) {
  Put(dir / "src/equal", "new", kT);
  Put(dir / "dst/equal", "old", kT);
  Put(dir / "src/older-target", "new", kT);
  Put(dir / "dst/older-target", "old", kT - 1);
  Put(dir / "src/newer-target", "new", kT);
  Put(dir / "dst/newer-target", "old-and-longer", kT + 1);
  Put(dir / "src/no-time", "new", 0);
  Put(dir / "dst/no-time", "old", kT);
  Put(dir / "src/missing", "new", kT);
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/equal"), "old");
  EXPECT_EQ(Get(dir / "dst/older-target"), "new");
  EXPECT_EQ(Get(dir / "dst/newer-target"), "old-and-longer");
  EXPECT_EQ(Get(dir / "dst/no-time"), "old");
  EXPECT_EQ(Get(dir / "dst/missing"), "new");
  EXPECT_EQ(run.Copied(), 2u);
}

TEST_F(CopyTest, NeverOverwriteAndReadOnlyTargets) {
  Put(dir / "src/exists", "new");
  Put(dir / "src/missing", "new");
  Put(dir / "src/ro", "new");
  Put(dir / "dst/exists", "old");
  Put(dir / "dst/ro", "old");
  ASSERT_EQ(::chmod((dir / "dst/ro").c_str(), 0444), 0);

  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/exists"), "old");
  EXPECT_EQ(Get(dir / "dst/missing"), "new");
  EXPECT_EQ(Get(dir / "dst/ro"), "old");

  // 0x20 leaves the read-only file alone, even as root, and writes the others.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/exists"), "new");
  EXPECT_EQ(Get(dir / "dst/ro"), "old");

  // Without it the read-only target is replaced and takes the source's mode.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(Get(dir / "dst/ro"), "new");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "dst/ro").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
}

TEST_F(CopyTest, FailedEntriesAskWithTheErrorTextAndTheRowGoesOn) {
  Put(dir / "src/a/x.txt", "x");
  Put(dir / "src/b.txt", "b");
  ASSERT_EQ(::symlink("nowhere", (dir / "src/dangling").c_str()), 0);
  Put(dir / "dst/a", "a file where the folder belongs");

  // Without 0x02 nothing is asked; the row fails and copies the rest.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_FAILED);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(Get(dir / "dst/b.txt"), "b");

  // With 0x02 each failure is asked with the source, the target and the reason.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 3u);  // the folder a, the dangling link, the file a/x.txt
  EXPECT_EQ(run.boxes[0].type, 0x11u);
  EXPECT_EQ(run.boxes[0].text.rfind("Fehler beim Kopieren von:\n" + dir / "src/a" + "\nnach:\n" + dir / "dst/a", 0), 0u)
      << run.boxes[0].text;
  EXPECT_EQ(run.boxes[1].text, "Fehler beim Kopieren von:\n" + dir / "src/dangling" + "\nnach:\n" + dir / "dst/dangling" +
                                   "\n(Eine Datei wurde nicht gefunden)");
}

TEST_F(CopyTest, CancelAnswerStopsTheRowAtOnce) {
  Put(dir / "src/a/x.txt", "x");
  Put(dir / "src/b.txt", "b");
  Put(dir / "dst/a", "blocks the folder");
  run.answers = {IDCANCEL};
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_DIALOG, "", "", 1), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(run.boxes.size(), 1u);
  // "a" comes before "b.txt": nothing after the answer was copied.
  EXPECT_FALSE(Exists(dir / "dst/b.txt"));
}

TEST_F(CopyTest, HostRestrictionAndTargetSign) {
  kpwtest::TestEnv().hostName = "kpw-test-host.example";
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/cache/b.txt", "b");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "*[otherhost];cache"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst"));

  // The sign: the target must exist.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "*[KPW-TEST-HOST];*;cache"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst"));
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "dst"));

  fs::create_directories(dir / "dst");
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", 0, "", "", 1, "*[kpw-test-host];*;cache"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"a.txt"}));
}

TEST_F(CopyTest, ATargetInsideTheSourceIsLeftOut) {
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/sub/b.txt", "b");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "src/mirror"), JOB_DONE);
  EXPECT_EQ(Tree(dir / "src/mirror"), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
  // The same folder both ways copies nothing onto itself.
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "src/."), JOB_DONE);
  EXPECT_EQ(Get(dir / "src/a.txt"), "a");
}

TEST_F(CopyTest, MissingOrUnreadableSourceFailsWithTheClosingNote) {
  EXPECT_EQ(run.Call(RunCopy, dir / "nothing", dir / "dst", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Es gab einen Fehler beim kopieren von:\n\n" + dir / "nothing");
  EXPECT_EQ(run.boxes[0].type, 0x10u);

  // A folder that cannot be read: the rest is copied, the row fails.
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/locked/b.txt", "b");
  static std::string locked;
  locked = dir / "src/locked";
  SysTestSetDirFault([](const char* path) { return locked == path; });
  run.boxes.clear();
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Get(dir / "dst/a.txt"), "a");
  EXPECT_FALSE(Exists(dir / "dst/locked/b.txt"));
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text.rfind("Es gab einen Fehler beim kopieren von:", 0), 0u);

  // An empty folder is no failure.
  fs::create_directories(dir / "void");
  EXPECT_EQ(run.Call(RunCopy, dir / "void", dir / "dst2"), JOB_DONE);
}

TEST_F(CopyTest, DriveAndServerFormsAreRefused) {
  EXPECT_EQ(run.Call(RunCopy, "C:\\data", dir / "dst", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text.rfind("Der Pfad kann hier nicht verwendet werden:\nC:\\data", 0), 0u);
  EXPECT_EQ(run.Call(RunCopy, dir.path(), "\\\\server\\share"), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, "", dir / "dst"), JOB_FAILED);
  EXPECT_EQ(run.Call(RunCopy, dir.path(), ""), JOB_FAILED);
  EXPECT_FALSE(Exists(dir / "dst"));
}

TEST_F(CopyTest, LongPathsAreCopiedWhole) {
  // Well beyond the old 1284-byte path buffers; each name stays below the 255-byte limit.
  std::string rel;
  for (int i = 0; i < 12; ++i) rel += std::string(120, static_cast<char>('a' + i)) + "/";
  rel += "file.txt";
  Put(dir / ("src/" + rel), "deep");
  ASSERT_GT((dir / ("dst/" + rel)).size(), 1300u);
  EXPECT_EQ(run.Call(RunCopy, dir / "src", dir / "dst"), JOB_DONE);
  EXPECT_EQ(Get(dir / ("dst/" + rel)), "deep");
}

TEST_F(CopyTest, CopyFileWritesEveryMatchOntoTheOneTarget) {
  Put(dir / "src/1.txt", "one");
  Put(dir / "src/2.txt", "two");
  Put(dir / "src/3.log", "three");
  Put(dir / "src/sub/4.txt", "four");
  // Filters and subfolders of the row do not apply to this mode.
  EXPECT_EQ(run.Call(RunCopyFile, dir / "src/*.txt", dir / "out/all.txt", 0, "*.log", "2*", 1), JOB_DONE);
  EXPECT_EQ(Get(dir / "out/all.txt"), "two");  // the last match in name order
  EXPECT_EQ(run.Copied(), 2u);
  EXPECT_EQ(Tree(dir / "out"), (std::vector<std::string>{"all.txt"}));

  // A single file; 0x08 keeps the existing target.
  EXPECT_EQ(run.Call(RunCopyFile, dir / "src/3.log", dir / "out/all.txt", RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Get(dir / "out/all.txt"), "two");
  EXPECT_EQ(run.Call(RunCopyFile, dir / "src/3.log", dir / "out/all.txt"), JOB_DONE);
  EXPECT_EQ(Get(dir / "out/all.txt"), "three");
}

// A program that is running is replaced like any file: the new copy takes the name, the running
// one keeps its old file.
TEST_F(CopyTest, ARunningProgramIsReplacedInPlace) {
  fs::create_directories(dir / "bin");
  fs::copy_file("/bin/sleep", dir / "bin/tool");
  ASSERT_EQ(::chmod((dir / "bin/tool").c_str(), 0755), 0);
  Put(dir / "new/tool", "#!/bin/sh\necho new\n");
  ASSERT_EQ(::chmod((dir / "new/tool").c_str(), 0755), 0);
  const std::string tool = dir / "bin/tool";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl(tool.c_str(), "tool", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the child runs the tool (its executable is the tool's file).
  for (int i = 0; i < 500; ++i) {
    if (fs::exists("/proc/" + std::to_string(child) + "/exe") &&
        fs::read_symlink("/proc/" + std::to_string(child) + "/exe") == fs::path(tool))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const int result = run.Call(RunCopyFile, dir / "new/tool", tool, RUN_DIALOG);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(result, JOB_DONE);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(Get(tool), "#!/bin/sh\necho new\n");
}

// A sparse source of 1 GiB: cancelled after the first bytes, the old target must stay and no
// temporary file may be left.
TEST_F(CopyTest, CancelInTheMiddleOfAFileKeepsTheOldTarget) {
  fs::create_directories(dir / "src");
  {
    const int fd = ::open((dir / "src/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
    ::close(fd);
  }
  Put(dir / "src/later.txt", "later");
  Put(dir / "dst/big.bin", "old target");

  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done.load() && run.state.Progress().bytes.load() == 0) std::this_thread::yield();
    run.state.SetCancel();
  });
  const int result = run.Call(RunCopy, dir / "src", dir / "dst");
  done.store(true);
  canceller.join();
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_EQ(Get(dir / "dst/big.bin"), "old target");
  EXPECT_EQ(Tree(dir / "dst"), (std::vector<std::string>{"big.bin"}));
  EXPECT_FALSE(Exists(dir / "dst/later.txt"));
}

}  // namespace
