// CProcessLauncher: waiting, starting without waiting, scripts through /bin/sh.
#include "lib/system/process.h"
#include "platform/last_error.h"
#include "test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

TEST(Process, WaitingGivesTheExitCodeAndMissingProgramsFail) {
  CProcessLauncher p;
  const char* args[] = {"-c", "exit 7", nullptr};
  ASSERT_EQ(p.Start("/bin/sh", CProcessLauncher::PL_WAIT, args), 1);
  EXPECT_EQ(p.GetExitCode(), 7);
  CProcessLauncher q;
  const char* args2[] = {"-c", "exit 0", nullptr};
  ASSERT_EQ(q.Start("sh", CProcessLauncher::PL_WAIT, args2), 1);  // searched in PATH
  EXPECT_EQ(q.GetExitCode(), 0);
  EXPECT_EQ(q.Start("/no/such/program", CProcessLauncher::PL_WAIT, nullptr), 0);
  EXPECT_EQ(GetLastError(), 3u);
  EXPECT_EQ(q.Start("C:\\prog.exe", 0, nullptr), 0);
  EXPECT_EQ(GetLastError(), 15u);
}

TEST(Process, WithoutTheWaitFlagStartReturnsAtOnce) {
  TempDir dir;
  const std::string mark = dir / "mark";
  const std::string cmd = "sleep 0.3; echo done > '" + mark + "'";
  const char* args[] = {"-c", cmd.c_str(), nullptr};
  {
    CProcessLauncher p;
    ASSERT_EQ(p.Start("/bin/sh", 0, args), 1);
    EXPECT_EQ(p.GetExitCode(), -1);
    EXPECT_FALSE(Exists(mark));
  }
  for (int i = 0; i < 100 && !Exists(mark); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(Exists(mark));
}

TEST(Process, ScriptsWithoutExecuteBitRunThroughTheShell) {
  TempDir dir;
  const std::string script = dir / "update.bat";
  WriteFile(script, "echo \"$1\" > '" + (dir / "out") + "'\n");
  ::chmod(script.c_str(), 0600);
  CProcessLauncher p;
  const char* args[] = {"hello", nullptr};
  ASSERT_EQ(p.Start(script.c_str(), CProcessLauncher::PL_WAIT, args), 1);
  EXPECT_EQ(p.GetExitCode(), 0);
  EXPECT_EQ(ReadFile(dir / "out"), "hello\n");
}

}  // namespace
