// The local target on real files (missing, folder, flags, times, read-only) and the flags' rule.
#include "jobs/workers/local_target.h"
#include "jobs/workers/worker_support.h"

#include "lib/system/sys_time.h"
#include "platform/last_error.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

constexpr SysUtc kT = 1700000000;  // an even second

class LocalTarget : public ::testing::Test {
 protected:
  std::string File(const std::string& name, mode_t mode = 0644) {
    const std::string path = dir_ / name;
    kpwtest::WriteFile(path, "x");
    kpwtest::SetMTime(path, kT);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
  kpwtest::TempDir dir_{"target"};
};

TEST_F(LocalTarget, MissingNamesFoldersFlagsAndTimes) {
  const std::string f = File("f");
  ASSERT_EQ(::symlink(dir_.path().c_str(), (dir_ / "link").c_str()), 0);
  const struct {
    std::string target;
    SysUtc source;
    u32 flags;
    int expected;
  } cases[] = {
      {dir_ / "missing", kT, 0, TARGET_ABSENT},
      {dir_ / "missing/below", kT, RUN_NO_OVERWRITE, TARGET_ABSENT},
      {f + "/below", kT, 0, TARGET_ABSENT},  // ENOTDIR
      {dir_.path(), kT, RUN_NO_OVERWRITE, TARGET_FOLDER},
      {dir_ / "link", kT, 0, TARGET_FOLDER},
      {f, kT, 0, TARGET_OVERWRITE},
      {f, kT, RUN_NO_OVERWRITE, TARGET_SKIP},
      {"C:\\x\\y", kT, 0, TARGET_SKIP},  // a drive form has no local meaning: never "absent"
      // Newer only, at two-second granularity; one hour apart counts as equal.
      {f, kT + 10, RUN_NEWER_ONLY, TARGET_OVERWRITE},
      {f, kT - 10, RUN_NEWER_ONLY, TARGET_SKIP},
      {f, kT + 1, RUN_NEWER_ONLY, TARGET_SKIP},
      {f, kT + 3602, RUN_NEWER_ONLY, TARGET_SKIP},
      {f, kT + 3604, RUN_NEWER_ONLY, TARGET_OVERWRITE},
      {f, 0, RUN_NEWER_ONLY, TARGET_SKIP},  // no source time
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckLocalTargetTime(c.target.c_str(), c.source, c.flags), c.expected)
        << c.target << " " << c.source - kT << " " << c.flags;
  EXPECT_EQ(CheckLocalTargetTime(nullptr, kT, 0), TARGET_SKIP);
  FILETIME newer, older;
  SysTime64ToFileTime(kT + 100, &newer);
  SysTime64ToFileTime(kT - 100, &older);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), &newer, RUN_NEWER_ONLY), TARGET_OVERWRITE);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), &older, RUN_NEWER_ONLY), TARGET_SKIP);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), nullptr, RUN_NEWER_ONLY), TARGET_SKIP);
}

// The one rule of the flags 0x20, 0x08 and 0x01, with the reason, under both ways to judge "newer".
TEST(TargetKept, TheFlagsReasonsAndBothTimeRules) {
  SysFileInfo writable, readOnly;
  writable.dwAttr = SYS_ATTR_WRITABLE;
  writable.timeWrite = readOnly.timeWrite = kT;
  const u32 all = RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY;
  const struct {
    u32 flags;
    SysUtc source;
    const SysFileInfo& target;
    int exact, coarse;
  } cases[] = {
      {0, kT - 100, readOnly, KEEP_NONE, KEEP_NONE},
      {all, kT + 100, readOnly, KEEP_READ_ONLY, KEEP_READ_ONLY},  // the first reason wins
      {all, kT + 100, writable, KEEP_EXISTING, KEEP_EXISTING},
      {RUN_KEEP_READONLY, kT - 100, writable, KEEP_NONE, KEEP_NONE},
      {RUN_NEWER_ONLY, kT + 100, readOnly, KEEP_NONE, KEEP_NONE},
      {RUN_NEWER_ONLY, kT, writable, KEEP_NOT_OLDER, KEEP_NOT_OLDER},
      {RUN_NEWER_ONLY, kT + 1, writable, KEEP_NONE, KEEP_NOT_OLDER},     // within two seconds
      {RUN_NEWER_ONLY, kT + 3600, writable, KEEP_NONE, KEEP_NOT_OLDER},  // one hour: a clock shift
      {RUN_NEWER_ONLY, kT + 3604, writable, KEEP_NONE, KEEP_NONE},
      {RUN_NEWER_ONLY, 0, writable, KEEP_NOT_OLDER, KEEP_NOT_OLDER},  // no source time
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalTargetKept(c.flags, c.source, c.target, NEWER_EXACT), c.exact)
        << c.flags << " " << c.source - kT;
    EXPECT_EQ(LocalTargetKept(c.flags, c.source, c.target, NEWER_COARSE), c.coarse)
        << c.flags << " " << c.source - kT;
  }
}

TEST_F(LocalTarget, ReadOnlyTargets) {
  const std::string ro = File("ro", 0444);
  EXPECT_EQ(CheckLocalTargetTime(ro.c_str(), kT, RUN_KEEP_READONLY), TARGET_SKIP);
  EXPECT_EQ(Mode(ro), 0444u);
  // Without 0x20 the target becomes writable for its owner and may be overwritten.
  EXPECT_EQ(CheckLocalTargetTime(ro.c_str(), kT, 0), TARGET_OVERWRITE);
  EXPECT_EQ(Mode(ro), 0644u);
}

// A target that exists but cannot be examined is never taken for absent. Root passes every
// permission check, so as root the check runs in a child that gives up its rights.
TEST_F(LocalTarget, UnreadableFolderSkipsWithTheError) {
  const std::string f = File("hidden");
  const auto check = [&] {
    SetLastError(0);
    const int r = CheckLocalTargetTime(f.c_str(), kT, RUN_NO_OVERWRITE);
    return r == TARGET_SKIP && GetLastError() == ERROR_ACCESS_DENIED;
  };
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0600), 0);
    EXPECT_TRUE(check());
    return;
  }
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0700), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && check() ? 0 : 1);
  int status = 0;
  ASSERT_TRUE(kpwtest::WaitProcess(pid, &status, "the check as nobody"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
