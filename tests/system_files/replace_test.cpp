// The one replace of files the program owns: failed steps, refused files, killed writers.
#include "lib/system/sys_replace.h"
#include "platform/last_error.h"
#include "test_util.h"
#include "tests/support/child.h"
#include "tests/support/replace_fault.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

using kpwtest::ReplaceFault;

TEST(Replace, AFailedWriteOrFlushKeepsTheOldFile) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "old");
  for (const bool unnamed : {true, false}) {
    for (const SysReplaceStep step : {SysReplaceStep::Write, SysReplaceStep::Sync}) {
      const ReplaceFault fault([&](SysReplaceStep s) {
        if (s == SysReplaceStep::Unnamed && !unnamed) return EOPNOTSUPP;
        return s == step ? EIO : 0;
      });
      EXPECT_EQ(SysReplaceFile(file.c_str(), "new", true), EIO);
      EXPECT_EQ(GetLastError(), Win32ErrorFromErrno(EIO));
      EXPECT_EQ(ReadFile(file), "old");
      EXPECT_EQ(CountEntries(dir.path()), 1);
    }
  }
  // Without a flush the fault of the flush is never met.
  const ReplaceFault fault([](SysReplaceStep s) { return s == SysReplaceStep::Sync ? EIO : 0; });
  EXPECT_EQ(SysReplaceFile(file.c_str(), "new", false), 0);
  EXPECT_EQ(ReadFile(file), "new");
}

// With sync the new file is flushed while the old one still has the name, and the folder after
// the rename; without sync nothing is flushed.
TEST(Replace, FlushesTheNewFileBeforeTheRenameAndItsFolderAfter) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "old");
  struct Flush {
    SysReplaceStep step;
    ino_t ino;
    std::string atName;  // what the final name held at the flush
  };
  std::vector<Flush> flushes;
  const kpwtest::ReplaceFlushWatch watch([&](SysReplaceStep step, int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    flushes.push_back(Flush{step, st.st_ino, ReadFile(file)});
  });
  struct stat folder {};
  ASSERT_EQ(::stat(dir.path().c_str(), &folder), 0);
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed);
    const ReplaceFault fault(unnamed ? [](SysReplaceStep) { return 0; } : kpwtest::NoUnnamedFiles);
    flushes.clear();
    ASSERT_EQ(SysReplaceFile(file.c_str(), "new", true), 0);
    struct stat now {};
    ASSERT_EQ(::stat(file.c_str(), &now), 0);
    ASSERT_EQ(flushes.size(), 2u);
    EXPECT_EQ(flushes[0].step, SysReplaceStep::Sync);
    EXPECT_EQ(flushes[0].ino, now.st_ino);
    EXPECT_EQ(flushes[0].atName, "old");
    EXPECT_EQ(flushes[1].step, SysReplaceStep::SyncFolder);
    EXPECT_EQ(flushes[1].ino, folder.st_ino);
    EXPECT_EQ(flushes[1].atName, "new");

    flushes.clear();
    ASSERT_EQ(SysReplaceFile(file.c_str(), "old", false), 0);
    EXPECT_TRUE(flushes.empty());
    EXPECT_EQ(ReadFile(file), "old");
  }
}

TEST(Replace, ReadOnlyFilesAndOtherUsersFilesAreNotWritten) {
  TempDir dir;
  const std::string file = dir / "f";
  WriteFile(file, "old");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_EQ(SysReplaceFile(file.c_str(), "new", true), EACCES);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(ReadFile(file), "old");

  // A user who is not root cannot keep another user's ownership, even where it may write.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another user";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
  ASSERT_EQ(::chown(file.c_str(), 1234, 1234), 0);
  const int status = kpwtest::RunChild(
      [&] {
        if (::access(dir.path().c_str(), W_OK | X_OK) != 0) return 77;  // the folder lies out of reach
        const int err = SysReplaceFile(file.c_str(), "new", true);
        return err == EPERM && GetLastError() == 5 ? 0 : 1;
      },
      true);
  if (status == 77) GTEST_SKIP() << "the test folder cannot be reached by another user";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(CountEntries(dir.path()), 1);
}

// A writer killed while it writes leaves nothing where files can be unnamed; elsewhere its
// locked file stays until the next replace of the same file, which never takes one that a
// running writer holds.
TEST(Replace, AKilledWriterLeavesNothingForLong) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed);
    TempDir dir;
    const std::string file = dir / "f";
    WriteFile(file, "old");
    const ReplaceFault fault(unnamed ? [](SysReplaceStep) { return 0; } : kpwtest::NoUnnamedFiles);
    const int status = kpwtest::RunChild([&] {
      SysReplacement killed;
      if (killed.Begin(file.c_str()) == 0 && killed.Write("partial", 7) == 0) ::raise(SIGKILL);
      return 1;
    });
    ASSERT_EQ(status, 128 + SIGKILL);
    EXPECT_EQ(CountEntries(dir.path()), unnamed ? 1 : 2);

    SysReplacement busy;
    ASSERT_EQ(busy.Begin(file.c_str()), 0);
    EXPECT_EQ(CountEntries(dir.path()), unnamed ? 1 : 2);  // the leftover went, the busy one came
    EXPECT_EQ(SysReplaceFile(file.c_str(), "new", false), 0);
    EXPECT_EQ(ReadFile(file), "new");
    ASSERT_EQ(busy.Write("newer", 5), 0);
    ASSERT_EQ(busy.Commit(false), 0);
    EXPECT_EQ(ReadFile(file), "newer");
    EXPECT_EQ(CountEntries(dir.path()), 1);
  }
}

}  // namespace
