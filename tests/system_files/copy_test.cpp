// The copy engine: flags, replacing and refusing, cancelling, write errors, moves; and the same on
// file systems without O_TMPFILE or RENAME_NOREPLACE.
#include "lib/system/sys_file.h"
#include "platform/last_error.h"
#include "test_util.h"
#include "tests/support/child.h"
#include "tests/support/other_fs.h"
#include "tests/support/sys_seams.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <thread>

namespace {

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

TEST(CopyEngine, ReplacesOrRefusesAnExistingTarget) {
  TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  WriteFile(src, "new");
  WriteFile(dst, "old");
  EXPECT_EQ(Copy(0x1B8, src, dst), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadFile(dst), "old");
  // A read-only target is replaced only with 0x80.
  ::chmod(dst.c_str(), 0444);
  EXPECT_EQ(Copy(0x130, src, dst), -2);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(ReadFile(dst), "old");
  EXPECT_EQ(Copy(0x1B0, src, dst), 1);
  EXPECT_EQ(ReadFile(dst), "new");
  // A folder in the target's place: refused with 267 either way.
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  EXPECT_EQ(Copy(0x1B8, src, dir / "folder"), -1);
  EXPECT_EQ(GetLastError(), 267u);
  EXPECT_EQ(Copy(0x1B0, src, dir / "folder"), -2);
  EXPECT_EQ(GetLastError(), 267u);
}

TEST(CopyEngine, MissingFoldersSourceErrorsAndPathsWithoutLocalMeaning) {
  TempDir dir;
  WriteFile(dir / "src", "x");
  const std::string deep = dir / "a/b/c/file";
  EXPECT_EQ(Copy(0x030, dir / "src", deep), -2);
  EXPECT_EQ(GetLastError(), 3u);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(Copy(0x130, dir / "src", deep), 1);
  // A backslash is a byte of the name: the file lands in "a", not in "a/b".
  EXPECT_EQ(Copy(0x130, dir / "src", dir / "a\\b\\other"), 1);
  EXPECT_TRUE(Exists(dir / "a\\b\\other"));
  EXPECT_FALSE(Exists(dir / "a/b/other"));

  EXPECT_EQ(Copy(0x3B0, dir / "missing", dir / "t"), -3);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(Copy(0x3B0, "C:\\data\\x", dir / "t"), -3);
  EXPECT_EQ(GetLastError(), 15u);
  EXPECT_EQ(Copy(0x3B0, dir / "src", "\\\\server\\share\\x"), -2);
  EXPECT_EQ(GetLastError(), 53u);
  EXPECT_FALSE(Exists(dir / "t"));
  // A link as the source is read through, unless 0x1000 refuses it.
  ASSERT_EQ(::symlink((dir / "src").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(Copy(0x1030, dir / "link", dir / "t"), -3);
  EXPECT_FALSE(Exists(dir / "t"));
  EXPECT_EQ(Copy(0x030, dir / "link", dir / "t"), 1);
  EXPECT_EQ(ReadFile(dir / "t"), "x");
}

TEST(CopyEngine, CancelBeforeAndDuringACopyLeavesTheOldTarget) {
  TempDir dir;
  const std::string src = dir / "big", dst = dir / "dst";
  kpwtest::WriteDenseFile(src, 512ull << 20);
  WriteFile(dst, "old");
  SysCancelFlag cancel{1};
  EXPECT_EQ(Copy(0x3B0, src, dst, &cancel), 0);
  EXPECT_EQ(ReadFile(dst), "old");

  cancel = 0;
  SysByteCounter counter{0};
  std::thread watcher([&] {
    EXPECT_TRUE(kpwtest::WaitUntil([&] { return counter.load() > 0; })) << "the copy did not get under way";
    cancel = 1;
  });
  const int rc = SysFileCopyEx(0x3B0, src.c_str(), dst.c_str(), &counter, nullptr, &cancel);
  kpwtest::JoinWithin(watcher, "the cancel of the copy");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(GetLastError(), 1223u);
  EXPECT_LT(counter.load(), 512ull << 20);
  EXPECT_EQ(ReadFile(dst), "old");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

TEST(CopyEngine, CopyCutByFileSizeLimitReportsAWriteErrorAndKeepsTheOldTarget) {
  TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  WriteFile(src, std::string(3 << 20, 's'));
  WriteFile(dst, "old");
  const int status = kpwtest::RunChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    return Copy(0x3B0, src, dst) == -4 && GetLastError() == 223 ? 0 : 1;  // 223: file too large
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dst), "old");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

TEST(CopyEngine, MovesByRenameOrAcrossFileSystemsAndRefusesExistingTargets) {
  TempDir dir;
  WriteFile(dir / "a", "A");
  kpwtest::SetMTime(dir / "a", 1200000000);
  EXPECT_EQ(Copy(0x5B0, dir / "a", dir / "sub/b"), 1);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(ReadFile(dir / "sub/b"), "A");
  EXPECT_EQ(StatOf(dir / "sub/b").st_mtime, 1200000000);
  // 0xFB8 refuses an existing target and keeps the source; without 0x08 the target is replaced.
  WriteFile(dir / "c", "C");
  EXPECT_EQ(Copy(0xFB8, dir / "c", dir / "sub/b"), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadFile(dir / "sub/b"), "A");
  EXPECT_EQ(Copy(0x5B0, dir / "c", dir / "sub/b"), 1);
  EXPECT_EQ(ReadFile(dir / "sub/b"), "C");
  EXPECT_EQ(Copy(0x5B0, dir / "sub", dir / "sub2"), -3);  // folders are not moved

  // Across file systems: copy and delete, a read-only source too.
  const kpwtest::OtherFileSystem other(dir.path());
  if (!other.ok()) GTEST_SKIP() << "no second file system for a move: " << other.why();
  ASSERT_NE(StatOf(other.path()).st_dev, StatOf(dir.path()).st_dev);
  WriteFile(other / "m", "moving");
  ::chmod((other / "m").c_str(), 0444);
  kpwtest::SetMTime(other / "m", 1300000000);
  EXPECT_EQ(Copy(0xFB8, other / "m", dir / "m"), 1);
  EXPECT_FALSE(Exists(other / "m"));
  EXPECT_EQ(StatOf(dir / "m").st_mtime, 1300000000);
}

// Access and write times travel apart with 0x20, on a copy and on a move across file systems.
TEST(CopyEngine, KeepsAccessAndWriteTimesEachInItsPlace) {
  TempDir dir;
  const kpwtest::OtherFileSystem other(dir.path());
  // An access time later than the write time and within a day: reading the source leaves it.
  const time_t access = ::time(nullptr) - 3600, write = 1200000000;
  const auto setTimes = [&](const std::string& path) {
    const struct timespec times[2] = {{access, 0}, {write, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  const auto expectTimes = [&](const std::string& path) {
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_atim.tv_sec, access) << path;
    EXPECT_EQ(st.st_mtim.tv_sec, write) << path;
  };
  WriteFile(dir / "src", "times");
  setTimes(dir / "src");
  EXPECT_EQ(Copy(0x1B0, dir / "src", dir / "copy"), 1);
  expectTimes(dir / "copy");
  EXPECT_EQ(Copy(0x5B0, dir / "copy", dir / "renamed"), 1);
  expectTimes(dir / "renamed");
  if (!other.ok()) GTEST_SKIP() << "no second file system for a move: " << other.why();
  WriteFile(other / "far", "far");
  setTimes(other / "far");
  EXPECT_EQ(Copy(0x5B0, other / "far", dir / "moved"), 1);
  EXPECT_FALSE(Exists(other / "far"));
  expectTimes(dir / "moved");
}

class Fallbacks : public ::testing::Test {
 protected:
  void SetUp() override { SysTestForceFallbacks(true); }
  void TearDown() override { SysTestForceFallbacks(false); }
  TempDir dir;
};

TEST_F(Fallbacks, CopyThroughANamedTemporaryFileReplacesOrRefuses) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  EXPECT_EQ(Copy(0x1B8, dir / "src", dir / "dst"), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(Copy(0x1B0, dir / "src", dir / "dst"), 1);
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_EQ(Copy(0x1B8, dir / "src", dir / "n/new"), 1);
  SysCancelFlag cancel{1};
  EXPECT_EQ(Copy(0x1B0, dir / "src", dir / "dst2", &cancel), 0);
  EXPECT_EQ(CountEntries(dir.path()), 3);  // src, dst, n: no temporary file
  EXPECT_EQ(CountEntries(dir / "n"), 1);
}

TEST_F(Fallbacks, NoReplaceRenamesOfFilesAndFolders) {
  WriteFile(dir / "c", "a");
  ::mkdir((dir / "d1").c_str(), 0755);
  ::mkdir((dir / "d2").c_str(), 0755);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d2").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d3").c_str(), SYS_RENAME_NOREPLACE), 0);
  EXPECT_TRUE(Exists(dir / "d3"));
  // A move that must not replace uses the same path.
  WriteFile(dir / "m", "m");
  EXPECT_EQ(Copy(0xFB8, dir / "m", dir / "c"), -1);
  EXPECT_EQ(ReadFile(dir / "c"), "a");
  EXPECT_EQ(Copy(0xFB8, dir / "m", dir / "m2"), 1);
  EXPECT_FALSE(Exists(dir / "m"));
}

}  // namespace
