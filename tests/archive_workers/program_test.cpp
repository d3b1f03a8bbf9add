// Zip, Zip Add and Shrink rows through the program itself ("kopiwart FILE -S -A -N" as cron runs
// it); skipped while the program cannot run such rows.
#include "aw_test_util.h"

#include <sys/wait.h>

#include <ctime>

namespace {

using namespace awtest;

const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";

struct Row {
  std::string mode, source, target, extra;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kProgram.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built";
  }
  // Writes the job file and runs it; the exit status (-1 when the program did not end normally).
  int Run(const std::vector<Row>& rows) {
    std::string text;
    for (const Row& r : rows) {
      text += "[EINTRAG]\r\n\tQ:" + r.source + "\r\n\tZ:" + r.target + "\r\n";
      if (!r.extra.empty()) text += "\tX:" + r.extra + "\r\n";
      text += "\t/UNTER\r\n\t/" + r.mode + "\r\n";
    }
    text += "/ZEITPLAN=0x0,1\r\n";
    const std::string job = dir_ / "jobs.kpw";
    WriteFile(job, text);
    const std::string command = "cd " + Quote(dir_.path()) + " && env -u DISPLAY -u WAYLAND_DISPLAY HOME=" +
                                Quote(dir_.path()) + " XDG_CONFIG_HOME=" + Quote(dir_ / "config") + " " +
                                Quote(kProgram) + " " + Quote(job) + " -S -A -N 2>" + Quote(dir_ / "stderr");
    const int status = std::system(command.c_str());
    err_ = ReadFile(dir_ / "stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Skips the test when the program answers a row of this mode with its stand-in.
  void SkipIfStandIn() {
    if (err_.find("nicht verfügbar") != std::string::npos) GTEST_SKIP() << "the program does not run these rows yet";
  }
  static std::string LocalDate(int daysAgo) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
  }

  ScratchDir dir_;
  std::string err_;
};

TEST_F(Program, ZipAndZipAddRowsWriteOneArchive) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  WriteFile(dir_ / "src/sub/b.txt", "beta");
  WriteFile(dir_ / "src2/c.txt", "gamma");
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}, {"ZIP_ADD", dir_ / "src2", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  const std::string names = Shell("zipinfo -1 " + Quote(archive));
  EXPECT_EQ(names, "a.txt\nsub/\nsub/b.txt\nc.txt\n");
  if (HaveTool("unzip")) {
    int rc = -1;
    Shell("unzip -tq " + Quote(archive), &rc);
    EXPECT_EQ(rc, 0);
  }
  // A row whose source is gone fails and leaves the archive of the last run.
  const std::string before = ReadFile(archive);
  EXPECT_EQ(Run({{"ZIP", dir_ / "unmounted", archive, ""}}), 1);
  EXPECT_NE(err_.find("wurde nicht gefunden"), std::string::npos) << err_;
  EXPECT_EQ(ReadFile(archive), before);
}

TEST_F(Program, AShrinkRowCopiesAndThins) {
  WriteFile(dir_ / "data.txt", "today's data");
  for (const int age : {8, 9, 10, 20}) WriteFile(dir_ / ("series/bk_" + LocalDate(age) + ".txt"), "old");
  WriteFile(dir_ / "series/bk_final.txt", "mine");
  const int status = Run({{"SHRINK", dir_ / "data.txt", dir_ / "series/bk_#D#.txt", ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  EXPECT_EQ(ReadFile(dir_ / ("series/bk_" + LocalDate(0) + ".txt")), "today's data");
  EXPECT_FALSE(Exists(dir_ / ("series/bk_" + LocalDate(9) + ".txt")));
  EXPECT_TRUE(Exists(dir_ / ("series/bk_" + LocalDate(8) + ".txt")));
  EXPECT_TRUE(Exists(dir_ / ("series/bk_" + LocalDate(10) + ".txt")));
  EXPECT_EQ(ReadFile(dir_ / "series/bk_final.txt"), "mine");
}

}  // namespace
