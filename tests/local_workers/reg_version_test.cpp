// "Reg", "Reg Add" and "Version": exports of our store and the failures of exports and imports;
// program, text and date versions stamped between markers, the rest of the file and its mode, owner
// and links kept, and the file whole when the disk is full.
#include "jobs/workers/local_workers.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

constexpr char kKey[] = "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe";

class Reg : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    SysTestSetMachineHive(dir / "machine/registry.reg");
    CRegistry reg;
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Probe", REG_OPEN_CREATE));
    ASSERT_TRUE(reg.SetString("Name", "Größe"));
    ASSERT_TRUE(reg.SetDword("Zahl", 7));
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
  // An export's text (UTF-16 after its mark) as UTF-8.
  static std::string Text(const std::string& file) {
    return ReadFile(file).rfind("\xFF\xFE", 0) == 0 ? Shell("iconv -f UTF-16 -t UTF-8 " + Quote(file)) : "";
  }
  static std::string Value(const char* name) {
    CRegistry reg;
    std::string value;
    if (!reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Imp", REG_OPEN_READ) || !reg.GetString(name, value))
      return "<fehlt>";
    return value;
  }
  TempDir dir;
  RunRig run;
};

TEST_F(Reg, ExportsAsWindowsWritesThemAndRegAddAppends) {
  const std::string out = dir / "out.reg";
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string key =
      "[" + std::string(kKey) + "]\r\n\"Name\"=\"Größe\"\r\n\"Zahl\"=dword:00000007\r\n\r\n";
  EXPECT_EQ(run.Call(RunReg, kKey, out), JOB_DONE);
  EXPECT_EQ(Text(out), head + key);
  EXPECT_EQ(run.Call(RunReg, kKey, dir / "add.reg", RUN_DIALOG | RUN_ADD), JOB_DONE);
  EXPECT_EQ(run.Call(RunReg, kKey, dir / "add.reg", RUN_DIALOG | RUN_ADD), JOB_DONE);
  EXPECT_EQ(Text(dir / "add.reg"), head + key + key);
  EXPECT_EQ(run.Copied(), 3u);
  // 0x08, also when appending, and 0x20 on a read-only file leave an existing file alone.
  Put(out, "alt");
  EXPECT_EQ(run.Call(RunReg, kKey, out, RUN_DIALOG | RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(run.Call(RunReg, kKey, out, RUN_DIALOG | RUN_NO_OVERWRITE | RUN_ADD), JOB_DONE);
  ASSERT_EQ(::chmod(out.c_str(), 0444), 0);
  EXPECT_EQ(run.Call(RunReg, kKey, out, RUN_DIALOG | RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(out), "alt");
  EXPECT_EQ(run.Call(RunReg, kKey, dir / "new.reg", RUN_DIALOG | RUN_NO_OVERWRITE | RUN_KEEP_READONLY),
            JOB_DONE);
  EXPECT_EQ(Text(dir / "new.reg"), head + key);
  EXPECT_EQ(run.TakeBoxes(), "");
}

TEST_F(Reg, FailedExportsAndImportsAreReported) {
  const std::string out = dir / "x.reg";
  const std::string missing = "HKEY_CURRENT_USER\\Software\\Tavrin\\Fehlt";
  Put(dir / "bad.reg",
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Imp]\n"
      "\"Datei\"=\"1\"\nkaputt\n");
  EXPECT_EQ(run.Call(RunReg, missing, out, RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.boxes.at(0).type, 0x11u);
  EXPECT_EQ(run.Call(RunReg, kKey, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunReg, dir / "bad.reg", "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.Call(RunReg, dir / "fehlt.reg", ""), JOB_FAILED);
  EXPECT_EQ(run.Call(RunReg, dir.path(), "", RUN_DIALOG), JOB_FAILED);  // a copy needs a target too
  EXPECT_EQ(run.TakeBoxes(),
            "Kann Registry Schlüssel :\n" + missing + "\nnicht nach :\n" + out + "\nexportieren !\nFür:\n" +
                kKey + "\nist kein Ziel angegeben !\nKann Registry Datei :\n" + dir / "bad.reg" +
                "\nnicht importieren !\nFür:\n" + dir.path() + "\nist kein Ziel angegeben !\n");
  EXPECT_EQ(Value("Datei"), "<fehlt>");
  run.answers = {IDCANCEL};
  EXPECT_EQ(run.Call(RunReg, "HKEY_USERS\\x", out, RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_FALSE(Exists(out));
  EXPECT_EQ(run.Copied(), 0u);
}

TEST_F(Reg, AnImportDatesItsValuesByTheRunsClock) {
  const ScopedTestEnv env;
  TestEnv().clock = [] { return i64{1750000000}; };  // 2025-06-15 15:06:40 UTC, a Sunday
  const ScopedTimeZone utc{"UTC0"};
  Put(dir / "stand.reg",
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Imp]\n"
      "\"Stand\"=\"$(DATE) $(TIME) $(WEEKDAY)\"\n");
  EXPECT_EQ(run.Call(RunReg, dir / "stand.reg", ""), JOB_DONE);
  EXPECT_EQ(Value("Stand"), "2025-06-15 15-06-40 So");
}

// The program fixtures of the version tag tests.
std::string Fixture(const std::string& name) {
  return (fs::path(KPW_TEST_DATA).parent_path().parent_path() / "jobs_tags/data" / name).string();
}

class Version : public ::testing::Test {
 protected:
  void SetUp() override {
    TestEnv().clock = [] { return i64{1796666733}; };
  }  // 2026-12-07 18:05:33 UTC, a Monday
  int Stamp(const std::string& source, const std::string& plus,
            const std::string& minus = "\"<v>\" \"</v>\"") {
    return run.Call(RunVersion, source, target, RUN_DIALOG, plus, minus);
  }
  TempDir dir;
  const std::string target = dir / "version.h";
  RunRig run;
  const ScopedTestEnv env;
  ScopedTimeZone utc{"UTC0"};
};

TEST_F(Version, ProgramTextAndDateVersions) {
  Put(target, "#define V \"<v>0</v>\"\r\nrest\r\n");
  const struct {
    std::string source, plus, version;
  } cases[] = {
      {Fixture("v1.2.0.0-pe32.dll"), "", "1.02"},
      {Fixture("v1.2.3.4-pe32.dll"), "", "1.2.3.4"},
      {dir / "src.h", R"("*VERSION \"" "*" "\"")", "2.5.1"},
      {"DATE", "d", "07.Dez.2026"},
      {"DATE", "i", "2026-12-07"},
      {"DATE", "I", "Mo 2026-12-07"},
      {"DATE", "A", "Mo 2026-12-07 18:05:33"},
      {"DATE", "", "Mo 07.Dez.2026"},
      {"DATE", "D:v%s-%s", "vMo 07.Dez.2026-Mo 07.Dez.2026"},
      {"DATE", ":[%s]", "[Mo 07.Dez.2026]"},
      {"DATE", "i:%s\\t\\x41", "2026-12-07\tA"},
      {"DATE", "i:ohne", "ohne"},
  };
  Put(dir / "src.h", "#pragma once\n#define VERSION \"2.5.1\"\n");
  for (const auto& c : cases) {
    EXPECT_EQ(Stamp(c.source, c.plus), JOB_DONE) << c.source << c.plus;
    EXPECT_EQ(ReadFile(target), "#define V \"<v>" + c.version + "</v>\"\r\nrest\r\n");
  }
  // Local time: the same moment in Central Europe.
  const ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(Stamp("DATE", "A"), JOB_DONE);
  EXPECT_EQ(ReadFile(target), "#define V \"<v>Mo 2026-12-07 19:05:33</v>\"\r\nrest\r\n");
  EXPECT_TRUE(run.boxes.empty());  // successes and failures alike say nothing
}

TEST_F(Version, TheRestModeOwnerAndLinksAreKeptASecondRunChangesNothing) {
  const std::string head("\xEF\xBB\xBFhead\0\xFF\r\n", 11), tail("\r\n\0tail\x80\r\n", 10);
  const std::string real = dir / "real.txt";
  Put(real, head + "/* VER: */ alt-version /* :VER */" + tail);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::chown(real.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::symlink("real.txt", target.c_str()), 0);
  // Markers quoted with blanks, found without regard to case, after a NUL byte; longer, then shorter.
  const std::string markers = "\"/* ver: */ \" \" /* :ver */\"";
  EXPECT_EQ(Stamp("DATE", "a", markers), JOB_DONE);
  EXPECT_EQ(ReadFile(real), head + "/* VER: */ 2026-12-07 18:05:33 /* :VER */" + tail);
  EXPECT_EQ(Stamp("DATE", "i", markers), JOB_DONE);
  EXPECT_EQ(ReadFile(real), head + "/* VER: */ 2026-12-07 /* :VER */" + tail);
  struct stat before {};
  ASSERT_EQ(::stat(real.c_str(), &before), 0);
  EXPECT_TRUE(fs::is_symlink(target));
  EXPECT_EQ(before.st_mode & 07777, 0640u);
  EXPECT_EQ(std::to_string(before.st_uid) + ":" + std::to_string(before.st_gid), "1234:5678");
  EXPECT_EQ(Listing(dir.path()), "real.txt version.h");  // no temporary file left
  SetMTime(real, kT);
  EXPECT_EQ(Stamp("DATE", "i", markers), JOB_DONE);
  struct stat after {};
  ASSERT_EQ(::stat(real.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, kT);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(run.Copied(), 2u);
}

TEST_F(Version, AFullDiskLeavesTheFileWhole) {
  const std::string text = "<v>alt</v>\n" + std::string(64 * 1024, 'z');
  Put(target, text);
  const int status = InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    const struct rlimit limit = {16 * 1024, 16 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    return Stamp("DATE", "i") == JOB_FAILED && run.Copied() == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(target), text);
  EXPECT_EQ(Listing(dir.path()), "version.h");
}

}  // namespace
