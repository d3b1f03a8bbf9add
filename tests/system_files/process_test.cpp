// CProcessLauncher: waiting, starting without waiting, scripts through /bin/sh.
#include "lib/system/process.h"
#include "platform/last_error.h"
#include "test_util.h"

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

TEST(Process, WaitingGivesTheExitCodeScriptsRunThroughTheShellMissingProgramsFail) {
  TempDir dir;
  const std::string script = dir / "update.bat";
  WriteFile(script, "echo \"$1\" > '" + (dir / "out") + "'\nexit 7\n");
  ::chmod(script.c_str(), 0600);  // no execute bit, no "#!"
  CProcessLauncher p;
  const char* args[] = {"hello", nullptr};
  ASSERT_EQ(p.Start(script.c_str(), CProcessLauncher::PL_WAIT, args), 1);
  EXPECT_EQ(p.GetExitCode(), 7);
  EXPECT_EQ(ReadFile(dir / "out"), "hello\n");
  const char* exit0[] = {"-c", "exit 0", nullptr};
  ASSERT_EQ(p.Start("sh", CProcessLauncher::PL_WAIT, exit0), 1);  // searched in PATH
  EXPECT_EQ(p.GetExitCode(), 0);
  EXPECT_EQ(p.Start("/no/such/program", CProcessLauncher::PL_WAIT, nullptr), 0);
  EXPECT_EQ(GetLastError(), 3u);
  EXPECT_EQ(p.Start("C:\\prog.exe", 0, nullptr), 0);
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

}  // namespace
