// "Version": program versions, text versions and DATE stamped between markers; the rewrite keeps
// everything else, keeps the file whole on failure and changes nothing when nothing changed.
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/tags/path_tags.h"
#include "lw_test_util.h"
#include "tests/support/test_env.h"

#include <signal.h>
#include <sys/resource.h>

using namespace lwtest;

namespace {

// The program fixtures of the version tag tests.
std::string Fixture(const std::string& name) {
  return (fs::path(KPW_TEST_DATA).parent_path().parent_path() / "jobs_tags/data" / name).string();
}

constexpr i64 kMonday = 1796666733;  // 2026-12-07 18:05:33 UTC, a Monday
i64 FixedClock() { return kMonday; }

class Version : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) oldTz_ = tz;
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    kpwtest::TestEnv().clock = &FixedClock;
    target_ = dir_ / "version.h";
  }
  void TearDown() override {
    kpwtest::TestEnv().clock = nullptr;
    if (hadTz_) ::setenv("TZ", oldTz_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  int Stamp(const std::string& source, const std::string& plus, const std::string& minus = "\"<v>\" \"</v>\"") {
    return run_(RunVersion, source, target_, RUN_DIALOG, plus, minus);
  }
  // The text between the first "<v>" and "</v>".
  std::string Between() {
    const std::string text = Read(target_);
    const auto a = text.find("<v>"), b = text.find("</v>");
    return a == std::string::npos || b == std::string::npos ? "<keine Marken>" : text.substr(a + 3, b - a - 3);
  }
  Scratch dir_;
  WorkerRun run_;
  std::string target_;
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(Version, ProgramVersions) {
  Write(target_, "#define V \"<v>0</v>\"\r\nrest\r\n");
  for (const char* bits : {"pe32", "pe64"}) {
    EXPECT_EQ(Stamp(Fixture(std::string("v1.2.0.0-") + bits + ".dll"), ""), JOB_DONE);
    EXPECT_EQ(Read(target_), "#define V \"<v>1.02</v>\"\r\nrest\r\n");
    EXPECT_EQ(Stamp(Fixture(std::string("v1.2.3.0-") + bits + ".dll"), ""), JOB_DONE);
    EXPECT_EQ(Between(), "1.2.3");
    EXPECT_EQ(Stamp(Fixture(std::string("v1.2.3.4-") + bits + ".dll"), ""), JOB_DONE);
    EXPECT_EQ(Between(), "1.2.3.4");
  }
  EXPECT_EQ(Stamp(Fixture("v10.7.300.65535-pe64.dll"), ""), JOB_DONE);
  EXPECT_EQ(Read(target_), "#define V \"<v>10.7.300.65535</v>\"\r\nrest\r\n");
  EXPECT_TRUE(run_.Boxes().empty());  // failures and successes alike say nothing
}

TEST_F(Version, ProgramsWithoutAVersionFailAndTouchNothing) {
  const std::string before = "<v>alt</v>";
  Write(target_, before);
  EXPECT_EQ(Stamp(Fixture("nores-pe32.dll"), ""), JOB_FAILED);
  Write(dir_ / "fake.exe", "MZ but no program");
  EXPECT_EQ(Stamp(dir_ / "fake.exe", ""), JOB_FAILED);
  EXPECT_EQ(Stamp(dir_ / "missing.dll", ""), JOB_FAILED);
  EXPECT_EQ(Read(target_), before);
  EXPECT_EQ(run_.Copied(), 0u);
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Version, TextVersions) {
  const std::string header = dir_ / "src.h";
  Write(header, "#pragma once\n#define VERSION \"2.5.1\"\n");
  Write(target_, "v=<v></v>;");
  EXPECT_EQ(Stamp(header, R"("*VERSION \"" "*" "\"")"), JOB_DONE);
  EXPECT_EQ(Read(target_), "v=<v>2.5.1</v>;");
  EXPECT_EQ(Stamp(header, R"("*NOTHERE " "*")"), JOB_FAILED);
  EXPECT_EQ(Read(target_), "v=<v>2.5.1</v>;");
}

TEST_F(Version, DateLetters) {
  const struct {
    const char* plus;
    const char* text;
  } cases[] = {
      {"d", "07.Dez.2026"},         {"D", "Mo 07.Dez.2026"},         {"i", "2026-12-07"},
      {"I", "Mo 2026-12-07"},       {"a", "2026-12-07 18:05:33"},    {"A", "Mo 2026-12-07 18:05:33"},
      {"", "Mo 07.Dez.2026"},       {"x", "Mo 07.Dez.2026"},         {"D:v%s-%s", "vMo 07.Dez.2026-Mo 07.Dez.2026"},
      {":[%s]", "[Mo 07.Dez.2026]"}, {"i:%s\\t\\x41", "2026-12-07\tA"}, {"i:ohne", "ohne"},
  };
  Write(target_, "<v>x</v>");
  for (const auto& c : cases) {
    EXPECT_EQ(Stamp("DATE", c.plus), JOB_DONE) << c.plus;
    EXPECT_EQ(Between(), c.text) << c.plus;
  }
  // Local time: the same moment in Central Europe.
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  EXPECT_EQ(Stamp("DATE", "A"), JOB_DONE);
  EXPECT_EQ(Between(), "Mo 2026-12-07 19:05:33");
  // "DATE" counts only in upper case; "date" is a text file that does not exist.
  EXPECT_EQ(Stamp("date", "i"), JOB_FAILED);
  // An empty template gives an empty version: nothing to write.
  EXPECT_EQ(Stamp("DATE", "i:"), JOB_FAILED);
}

TEST_F(Version, MarkersThatAreMissingEmptyOrTooFarApart) {
  const std::string text = "<v>1</v>";
  Write(target_, text);
  EXPECT_EQ(Stamp("DATE", "i", "\"<w>\" \"</v>\""), JOB_FAILED);
  EXPECT_EQ(Stamp("DATE", "i", "\"<v>\" \"</w>\""), JOB_FAILED);
  EXPECT_EQ(Stamp("DATE", "i", "\"<v>\""), JOB_FAILED);
  EXPECT_EQ(Stamp("DATE", "i", "\"\" \"</v>\""), JOB_FAILED);
  EXPECT_EQ(Read(target_), text);
  // At most 256 characters between the markers.
  Write(target_, "<v>" + std::string(256, 'x') + "</v>");
  EXPECT_EQ(Stamp("DATE", "i"), JOB_DONE);
  EXPECT_EQ(Between(), "2026-12-07");
  const std::string far = "<v>" + std::string(257, 'x') + "</v>";
  Write(target_, far);
  EXPECT_EQ(Stamp("DATE", "i"), JOB_FAILED);
  EXPECT_EQ(Read(target_), far);
  // An empty file, a folder, nothing.
  Write(target_, "");
  EXPECT_EQ(Stamp("DATE", "i"), JOB_FAILED);
  target_ = dir_.path();
  EXPECT_EQ(Stamp("DATE", "i"), JOB_FAILED);
  target_ = dir_ / "missing";
  EXPECT_EQ(Stamp("DATE", "i"), JOB_FAILED);
}

TEST_F(Version, TheRestOfTheFileIsKeptByteForByte) {
  std::string head("\xEF\xBB\xBFhead\0\xFF\r\n", 11);
  std::string tail("\r\n\0tail\x80\r\n", 10);
  Write(target_, head + "/* VER: */ alt-version /* :VER */" + tail);
  // Markers: quoted with blanks, found without regard to case, after a NUL byte.
  EXPECT_EQ(Stamp("DATE", "a", "\"/* ver: */ \" \" /* :ver */\""), JOB_DONE);
  EXPECT_EQ(Read(target_), head + "/* VER: */ 2026-12-07 18:05:33 /* :VER */" + tail);
  EXPECT_EQ(Stamp("DATE", "i", "\"/* ver: */ \" \" /* :ver */\""), JOB_DONE);  // shorter
  EXPECT_EQ(Read(target_), head + "/* VER: */ 2026-12-07 /* :VER */" + tail);
  EXPECT_EQ(run_.Copied(), 2u);
}

TEST_F(Version, ASecondRunChangesNothing) {
  Write(target_, "<v>x</v>");
  EXPECT_EQ(Stamp("DATE", "i"), JOB_DONE);
  SetTime(target_, kT);
  struct stat before {};
  ASSERT_EQ(::stat(target_.c_str(), &before), 0);
  EXPECT_EQ(Stamp("DATE", "i"), JOB_DONE);
  struct stat after {};
  ASSERT_EQ(::stat(target_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, kT);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(run_.Copied(), 1u);
}

TEST_F(Version, ModeOwnerGroupAndLinksAreKept) {
  const std::string real = dir_ / "real.txt";
  Write(real, "<v>x</v>");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::chown(real.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::symlink("real.txt", target_.c_str()), 0);
  EXPECT_EQ(Stamp("DATE", "i"), JOB_DONE);
  struct stat st {};
  ASSERT_EQ(::lstat(target_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(real), "<v>2026-12-07</v>");
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
}

TEST_F(Version, AFullDiskLeavesTheFileWhole) {
  const std::string text = "<v>alt</v>\n" + std::string(64 * 1024, 'z');
  Write(target_, text);
  const int status = InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    const struct rlimit limit = {16 * 1024, 16 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    WorkerRun run;
    const int rc = run(RunVersion, "DATE", target_, 0, "i", "\"<v>\" \"</v>\"");
    return rc == JOB_FAILED && run.Copied() == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(target_), text);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

}  // namespace
