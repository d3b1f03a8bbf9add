// The copy engine: flags one by one, replacing and refusing, cancelling, write errors, moves.
#include "lib/system/sys_copy.h"
#include "lib/system/sys_file.h"
#include "platform/last_error.h"
#include "test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Child mode: re-run of this program under a file-size limit (see CopyCutByFileSizeLimit).
// Copies $KPW_COPY_CHILD_SRC to $KPW_COPY_CHILD_DST and prints the result and the last error.
const bool g_childRan = [] {
  const char* src = std::getenv("KPW_COPY_CHILD_SRC");
  const char* dst = std::getenv("KPW_COPY_CHILD_DST");
  if (!src || !dst) return false;
  ::signal(SIGXFSZ, SIG_IGN);
  const int rc = SysFileCopyEx(0x3B0, src, dst, nullptr, nullptr, nullptr);
  std::printf("%d %u\n", rc, static_cast<unsigned>(GetLastError()));
  std::fflush(stdout);
  std::_Exit(0);
}();

void MakeFile(const std::string& path, std::size_t size, char fill) {
  WriteText(path, std::string(size, fill));
}

void SetMtime(const std::string& path, time_t t) {
  const struct timespec ts[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

TEST(CopyEngine, CopiesContentPermissionsAndWithFlag0x20Times) {
  TempDir dir;
  const std::string src = dir / "src.bin";
  MakeFile(src, 300000, 'a');
  ::chmod(src.c_str(), 0640);
  SetMtime(src, 1000000000);
  SysByteCounter counter{12345};
  u64 total = 0;
  ASSERT_EQ(SysFileCopyEx(0x3B0, src.c_str(), (dir / "t1").c_str(), &counter, &total, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "t1"), ReadText(src));
  EXPECT_EQ(counter.load(), 300000u);
  EXPECT_EQ(total, 300000u);
  EXPECT_EQ(StatOf(dir / "t1").st_mode & 07777, 0640u);
  EXPECT_EQ(StatOf(dir / "t1").st_mtime, 1000000000);
  // Without 0x20 the copy gets its own write time.
  ASSERT_EQ(SysFileCopyEx(0x190, src.c_str(), (dir / "t2").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_GT(StatOf(dir / "t2").st_mtime, 1000000000);
  EXPECT_EQ(StatOf(dir / "t2").st_mode & 07777, 0640u);
  // An empty file copies too.
  MakeFile(dir / "empty", 0, 'x');
  ASSERT_EQ(SysFileCopyEx(0x3B0, (dir / "empty").c_str(), (dir / "t3").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(StatOf(dir / "t3").st_size, 0);
  EXPECT_EQ(CountEntries(dir.path()), 5);  // no temporary file left
}

TEST(CopyEngine, ReplacesOrRefusesAnExistingTarget) {
  TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  WriteText(src, "new");
  WriteText(dst, "old");
  EXPECT_EQ(SysFileCopyEx(0x1B8, src.c_str(), dst.c_str(), nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadText(dst), "old");
  EXPECT_EQ(SysFileCopyEx(0x1B0, src.c_str(), dst.c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dst), "new");
  // A folder in the target's place: refused with 267 either way.
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  EXPECT_EQ(SysFileCopyEx(0x1B8, src.c_str(), (dir / "folder").c_str(), nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(GetLastError(), 267u);
  EXPECT_EQ(SysFileCopyEx(0x1B0, src.c_str(), (dir / "folder").c_str(), nullptr, nullptr, nullptr), -2);
  EXPECT_EQ(GetLastError(), 267u);
  // Refusing copies onto a new name still work.
  EXPECT_EQ(SysFileCopyEx(0x1B8, src.c_str(), (dir / "fresh").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(CountEntries(dir.path()), 4);
}

TEST(CopyEngine, ReadOnlyTargetNeedsFlag0x80) {
  TempDir dir;
  WriteText(dir / "src", "new");
  WriteText(dir / "dst", "old");
  ::chmod((dir / "dst").c_str(), 0444);
  EXPECT_EQ(SysFileCopyEx(0x130, (dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr, nullptr), -2);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(ReadText(dir / "dst"), "old");
  EXPECT_EQ(SysFileCopyEx(0x1B0, (dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "dst"), "new");
}

TEST(CopyEngine, CreatesMissingFoldersOnlyWithFlag0x100) {
  TempDir dir;
  WriteText(dir / "src", "x");
  const std::string deep = dir / "a/b/c/file";
  EXPECT_EQ(SysFileCopyEx(0x030, (dir / "src").c_str(), deep.c_str(), nullptr, nullptr, nullptr), -2);
  EXPECT_EQ(GetLastError(), 3u);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(SysFileCopyEx(0x130, (dir / "src").c_str(), deep.c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(deep), "x");
  // A backslash is a byte of the name: the file lands in "a", not in "a/b".
  const std::string back = dir / "a\\b\\other";
  EXPECT_EQ(SysFileCopyEx(0x130, (dir / "src").c_str(), back.c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_TRUE(Exists(dir / "a\\b\\other"));
  EXPECT_FALSE(Exists(dir / "a/b/other"));
}

TEST(CopyEngine, SourceErrorsAndPathsWithoutLocalMeaning) {
  TempDir dir;
  EXPECT_EQ(SysFileCopyEx(0x3B0, (dir / "missing").c_str(), (dir / "t").c_str(), nullptr, nullptr, nullptr), -3);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(SysFileCopyEx(0x3B0, dir.path().c_str(), (dir / "t").c_str(), nullptr, nullptr, nullptr), -3);
  WriteText(dir / "src", "x");
  EXPECT_EQ(SysFileCopyEx(0x3B0, "C:\\data\\x", (dir / "t").c_str(), nullptr, nullptr, nullptr), -3);
  EXPECT_EQ(GetLastError(), 15u);
  EXPECT_EQ(SysFileCopyEx(0x3B0, (dir / "src").c_str(), "\\\\server\\share\\x", nullptr, nullptr, nullptr), -2);
  EXPECT_EQ(GetLastError(), 53u);
  EXPECT_EQ(CountEntries(dir.path()), 1);
}

TEST(CopyEngine, CancelBeforeAndDuringACopyLeavesTheOldTarget) {
  TempDir dir;
  const std::string src = dir / "big";
  const std::string dst = dir / "dst";
  {
    const int fd = ::open(src.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 512LL << 20), 0);  // sparse: large but cheap to make
    ::close(fd);
  }
  WriteText(dst, "old");
  SysCancelFlag cancel{1};
  EXPECT_EQ(SysFileCopyEx(0x3B0, src.c_str(), dst.c_str(), nullptr, nullptr, &cancel), 0);
  EXPECT_EQ(ReadText(dst), "old");

  cancel = 0;
  SysByteCounter counter{0};
  std::thread watcher([&] {
    while (counter.load() == 0) std::this_thread::yield();
    cancel = 1;
  });
  const int rc = SysFileCopyEx(0x3B0, src.c_str(), dst.c_str(), &counter, nullptr, &cancel);
  watcher.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(GetLastError(), 1223u);
  EXPECT_LT(counter.load(), 512ull << 20);
  EXPECT_EQ(ReadText(dst), "old");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

TEST(CopyEngine, CopyCutByFileSizeLimitReportsAWriteErrorAndKeepsTheOldTarget) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is missing";
  TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  MakeFile(src, 3 << 20, 's');
  WriteText(dst, "old");
  char self[512];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const std::string cmd = "KPW_COPY_CHILD_SRC='" + src + "' KPW_COPY_CHILD_DST='" + dst +
                          "' /usr/bin/prlimit --fsize=1048576 '" + self + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int rc = 0;
  unsigned err = 0;
  ASSERT_EQ(std::fscanf(p, "%d %u", &rc, &err), 2);
  ::pclose(p);
  EXPECT_EQ(rc, -4);
  EXPECT_EQ(err, 223u);  // file too large
  EXPECT_EQ(ReadText(dst), "old");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

TEST(CopyEngine, MovesByRenameAndRefusesExistingTargets) {
  TempDir dir;
  WriteText(dir / "a", "A");
  SetMtime(dir / "a", 1200000000);
  EXPECT_EQ(SysFileCopyEx(0x5B0, (dir / "a").c_str(), (dir / "sub/b").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(ReadText(dir / "sub/b"), "A");
  EXPECT_EQ(StatOf(dir / "sub/b").st_mtime, 1200000000);
  // 0xFB8 refuses an existing target and keeps the source.
  WriteText(dir / "c", "C");
  EXPECT_EQ(SysFileCopyEx(0xFB8, (dir / "c").c_str(), (dir / "sub/b").c_str(), nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadText(dir / "c"), "C");
  EXPECT_EQ(ReadText(dir / "sub/b"), "A");
  // Without 0x08 the target is replaced.
  EXPECT_EQ(SysFileCopyEx(0x5B0, (dir / "c").c_str(), (dir / "sub/b").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "sub/b"), "C");
  // Folders are not moved.
  EXPECT_EQ(SysFileCopyEx(0x5B0, (dir / "sub").c_str(), (dir / "sub2").c_str(), nullptr, nullptr, nullptr), -3);
}

TEST(CopyEngine, MovesAcrossFileSystemsByCopyAndDelete) {
  struct stat a {}, b {};
  const char* other = "/dev/shm";
  TempDir dir;
  if (::stat(other, &a) != 0 || ::stat(dir.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system";
  const std::string src = std::string(other) + "/kpw-move-" + std::to_string(::getpid());
  WriteText(src, "moving");
  ::chmod(src.c_str(), 0444);  // a read-only source goes too
  SetMtime(src, 1300000000);
  EXPECT_EQ(SysFileCopyEx(0xFB8, src.c_str(), (dir / "m").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(ReadText(dir / "m"), "moving");
  EXPECT_EQ(StatOf(dir / "m").st_mtime, 1300000000);
  ::unlink(src.c_str());
}

}  // namespace
