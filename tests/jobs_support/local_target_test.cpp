// The local target test on real files: missing, folder, overwrite flags, times, read-only targets.
#include "jobs/workers/local_target.h"
#include "jobs/workers/worker_support.h"

#include "lib/system/sys_time.h"
#include "platform/last_error.h"
#include "remote/url_connection.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class LocalTarget : public ::testing::Test {
 protected:
  std::string File(const std::string& name, SysUtc mtime, bool readOnly = false) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << "x";
    struct timeval tv[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    EXPECT_EQ(::utimes(path.c_str(), tv), 0);
    if (readOnly) {
      EXPECT_EQ(::chmod(path.c_str(), 0444), 0);
    }
    return path;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
  kpwtest::TempDir scratch_{"target"};
  fs::path dir_ = scratch_.path();
};

constexpr SysUtc kT = 1700000000;  // an even second

TEST_F(LocalTarget, MissingFolderAndPlainFile) {
  const std::string f = File("f", kT);
  EXPECT_EQ(CheckLocalTargetTime((dir_ / "missing").c_str(), kT, 0), TARGET_ABSENT);
  EXPECT_EQ(CheckLocalTargetTime((dir_ / "missing/below").c_str(), kT, 0), TARGET_ABSENT);
  EXPECT_EQ(CheckLocalTargetTime((f + "/below").c_str(), kT, 0), TARGET_ABSENT);  // ENOTDIR
  EXPECT_EQ(CheckLocalTargetTime(dir_.c_str(), kT, RUN_NO_OVERWRITE), TARGET_FOLDER);
  EXPECT_EQ(CheckLocalTargetTime(f.c_str(), kT, 0), TARGET_OVERWRITE);
  EXPECT_EQ(CheckLocalTargetTime(f.c_str(), kT, RUN_NO_OVERWRITE), TARGET_SKIP);
  EXPECT_EQ(CheckLocalTargetTime((dir_ / "missing").c_str(), kT, RUN_NO_OVERWRITE), TARGET_ABSENT);
}

TEST_F(LocalTarget, RefusedForms) {
  // A drive form has no local meaning: never "absent", so nothing gets written.
  EXPECT_EQ(CheckLocalTargetTime("C:\\x\\y", kT, 0), TARGET_SKIP);
  EXPECT_EQ(CheckLocalTargetTime(nullptr, kT, 0), TARGET_SKIP);
}

TEST_F(LocalTarget, ReadOnlyTargets) {
  const std::string ro = File("ro", kT, true);
  EXPECT_EQ(CheckLocalTargetTime(ro.c_str(), kT, RUN_KEEP_READONLY), TARGET_SKIP);
  EXPECT_EQ(Mode(ro), 0444u);
  // Without 0x20 the target becomes writable for its owner and may be overwritten.
  EXPECT_EQ(CheckLocalTargetTime(ro.c_str(), kT, 0), TARGET_OVERWRITE);
  EXPECT_EQ(Mode(ro), 0644u);
  // A writable target is left alone by 0x20.
  EXPECT_EQ(CheckLocalTargetTime(ro.c_str(), kT, RUN_KEEP_READONLY), TARGET_OVERWRITE);
}

TEST_F(LocalTarget, NewerOnlyAtTwoSecondGranularityWithTheHourTolerance) {
  const std::string f = File("t", kT);
  struct Case {
    SysUtc source;
    int expected;
  } cases[] = {
      {kT + 10, TARGET_OVERWRITE},  // newer
      {kT - 10, TARGET_SKIP},       // older
      {kT, TARGET_SKIP},            // equal
      {kT + 1, TARGET_SKIP},        // within two seconds
      {kT + 3600, TARGET_SKIP},     // one hour apart counts as equal
      {kT + 3602, TARGET_SKIP},
      {kT + 3604, TARGET_OVERWRITE},
      {kT + 7200, TARGET_OVERWRITE},
      {0, TARGET_SKIP},             // no source time
  };
  for (const Case& c : cases)
    EXPECT_EQ(CheckLocalTargetTime(f.c_str(), c.source, RUN_NEWER_ONLY), c.expected) << c.source - kT;
}

TEST_F(LocalTarget, FileTimeForm) {
  const std::string f = File("ft", kT);
  FILETIME newer, older;
  SysTime64ToFileTime(kT + 100, &newer);
  SysTime64ToFileTime(kT - 100, &older);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), &newer, RUN_NEWER_ONLY), TARGET_OVERWRITE);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), &older, RUN_NEWER_ONLY), TARGET_SKIP);
  EXPECT_EQ(CheckLocalTarget(f.c_str(), nullptr, RUN_NEWER_ONLY), TARGET_SKIP);
}

// A target that exists but cannot be examined is never taken for absent. Root passes every
// permission check, so as root the check runs in a child that gives up its rights.
TEST_F(LocalTarget, UnreadableFolderSkipsWithTheError) {
  const std::string f = File("hidden", kT);
  ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
  const auto check = [&] {
    SetLastError(0);
    const int r = CheckLocalTargetTime(f.c_str(), kT, RUN_NO_OVERWRITE);
    return r == TARGET_SKIP && GetLastError() == ERROR_ACCESS_DENIED;
  };
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(dir_.c_str(), 0600), 0);
    EXPECT_TRUE(check());
    return;
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(77);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot give up root here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LocalTarget, LinkToAFolderIsAFolder) {
  ASSERT_EQ(::symlink(dir_.c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(CheckLocalTargetTime((dir_ / "link").c_str(), kT, 0), TARGET_FOLDER);
}

class FakeConnection : public CUrlConnection {
 public:
  FakeConnection() : CUrlConnection(1, "h", nullptr, nullptr, 0, 0, 0) {}
  void Close() override {}
  BOOL Break() override {
    ++breaks;
    return TRUE;
  }
  void Busy(bool b) { SetBusy(b); }
  int breaks = 0;
};

TEST(CancelBreakConnection, BreaksOnlyARunningTransfer) {
  FakeConnection c;
  CancelBreakConnection(&c);
  EXPECT_EQ(c.breaks, 0);
  c.Busy(true);
  CancelBreakConnection(&c);
  EXPECT_EQ(c.breaks, 1);
}

}  // namespace
