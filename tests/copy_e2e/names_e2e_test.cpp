// The program on names with a backslash: a byte of the name in every mode, never a way out of the
// row's folders; in a cell the user wrote it separates like "/".
#include "tests/support/files.h"
#include "tests/support/job_program.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using kpwtest::Exists;
using kpwtest::FileContents;
using kpwtest::JobRow;
using kpwtest::ReadFile;
using kpwtest::RunJobFile;
using kpwtest::WriteFile;
using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kOld = 1600000000;
constexpr std::int64_t kNew = 1700000000;

void Put(const std::string& path, const std::string& text, std::int64_t t = kNew) {
  WriteFile(path, text);
  kpwtest::SetMTime(path, t);
}

class BackslashNames : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kpwtest::kKopiwart.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built";
    // The job file's folder holds a backslash too: $(KPW_PATH) must reach the workers unchanged.
    root = tmp / "jobs\\home";
    Put(root + "/victim", "victim");
    Put(tmp / "victim", "outer victim");
    ::setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

  kpwtest::ProgramRun Run(const std::vector<JobRow>& rows) {
    kpwtest::WriteJobRows(root + "/jobs.kpw", rows);
    return RunJobFile(root + "/jobs.kpw");
  }
  void VictimsUntouched() {
    EXPECT_EQ(ReadFile(root + "/victim"), "victim");
    EXPECT_EQ(ReadFile(tmp / "victim"), "outer victim");
  }

  kpwtest::TempDir tmp;
  std::string root;
};

TEST_F(BackslashNames, DeletingModesDeleteTheNamedFileOnly) {
  Put(root + "/del/..\\victim", "in del");
  Put(root + "/del/..\\..\\victim", "in del too");
  Put(root + "/src/keep.txt", "keep");
  Put(root + "/dst/keep.txt", "keep");
  Put(root + "/dst/..\\victim", "surplus");
  Put(root + "/dst/sub\\x/..\\..\\victim", "surplus deeper");
  const auto run = Run({{"$(KPW_PATH)/del", "-", "*", "", "", "/DEL"},
                        {"$(KPW_PATH)/src", "$(KPW_PATH)/dst", "", "", "", "/COPY_DEL"}});
  EXPECT_EQ(run.status, 0) << run.errors;
  VictimsUntouched();
  EXPECT_EQ(FileContents(root + "/del"), Tree{});
  EXPECT_EQ(FileContents(root + "/dst"), (Tree{{"keep.txt", "keep"}}));
}

TEST_F(BackslashNames, CopyingModesWriteEachNameAsItIs) {
  Put(root + "/src/p", "p");
  Put(root + "/src/..\\victim", "would escape");
  Put(root + "/src/a\\b", "flat name");
  Put(root + "/src/a/b", "nested name");
  Put(root + "/src/back\\slash", "new", kNew);
  Put(root + "/dst/back\\slash", "old", kOld);
  Put(root + "/upd/back\\slash", "old", kOld);
  Put(root + "/upd/..\\victim", "old", kOld);
  Put(root + "/sa/x\\y", "from a", kNew);
  Put(root + "/sb/x\\y", "from b", kOld);
  Put(root + "/sb/..\\victim", "only in b", kOld);
  Put(root + "/v.txt", "VERSION 4.5\n");
  Put(root + "/about.txt", "<v>0</v>\n");
  // "\" in the cells is the user's separator.
  const auto run = Run({{"$(KPW_PATH)\\src", "$(KPW_PATH)\\dst", "", "", "", ""},
                        {"$(KPW_PATH)/src", "$(KPW_PATH)/upd", "", "", "", "/UPDATE"},
                        {"$(KPW_PATH)/src", "$(KPW_PATH)/regcopy", "", "", "", "/REG"},
                        {"$(KPW_PATH)/sa", "$(KPW_PATH)/sb", "", "", "", "/SYNCH"},
                        {"$(KPW_PATH)/src/p", "$(KPW_PATH)/cf/p.copy", "", "", "", "/COPY_FILE"},
                        {"$(KPW_PATH)/cf/p.copy", "$(KPW_PATH)/moved", "", "", "", "/MOVE"},
                        {"$(KPW_PATH)/src/p", "$(KPW_PATH)/copy#1#.txt", "", "", "", "/COPY_FILE"},
                        {"$(KPW_PATH)/v.txt", "$(KPW_PATH)/about.txt", R"("VERSION " "*" "")",
                         R"("<v>" "</v>")", "", "/VERSION"}});
  EXPECT_EQ(run.status, 0) << run.errors;
  VictimsUntouched();
  const Tree source = FileContents(root + "/src");
  EXPECT_EQ(source.size(), 5u);
  EXPECT_EQ(FileContents(root + "/dst"), source);
  EXPECT_EQ(FileContents(root + "/regcopy"), source);
  EXPECT_EQ(FileContents(root + "/upd"), (Tree{{"back\\slash", "new"}, {"..\\victim", "would escape"}}));
  EXPECT_EQ(FileContents(root + "/sa"), (Tree{{"x\\y", "from a"}, {"..\\victim", "only in b"}}));
  EXPECT_EQ(FileContents(root + "/sb"), FileContents(root + "/sa"));
  EXPECT_EQ(ReadFile(root + "/moved"), "p");
  EXPECT_FALSE(Exists(root + "/cf/p.copy"));
  // Dated and Version rows keep the variable's value.
  EXPECT_EQ(ReadFile(root + "/copy0.txt"), "p");
  EXPECT_EQ(ReadFile(root + "/about.txt"), "<v>4.5</v>\n");
}

// "\" separates folders in zip entry names: a file or folder whose name holds one is not packed but
// told once, and the row fails.
TEST_F(BackslashNames, ZipRowsTellAndLeaveOutSuchNames) {
  Put(root + "/src/a/b", "real");
  Put(root + "/src/a\\b", "file named a\\b");
  Put(root + "/src/c\\d/e.txt", "inside folder c\\d");
  const std::string archive = root + "/out/t.zip";
  const auto run = Run({{"$(KPW_PATH)/src", "$(KPW_PATH)/out/t.zip", "", "", "", "/ZIP"}});
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(kpwtest::Shell("unzip -Z1 " + kpwtest::Quote(archive)), "a/\na/b\n");
  const std::string told =
      "Der Name kann nicht im Archiv '" + archive + "' stehen, die Datei wird übergangen: ";
  EXPECT_NE(run.errors.find(told + root + "/src/a\\b\n"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find(told + root + "/src/c\\d\n"), std::string::npos) << run.errors;
  EXPECT_EQ(run.errors.find("e.txt"), std::string::npos) << run.errors;
}

TEST_F(BackslashNames, RowsThatCannotRunSayWhyAndTouchNothing) {
  Put(root + "/dst/keep", "keep");
  const std::string stray = "/kpw-no-such-" + std::to_string(::getpid());
  const auto run =
      Run({{"$(KPW_NO_SUCH_VAR)/", "$(KPW_PATH)/dst", "", "", "", "/COPY_DEL"},
           {"$(KPW_PATH)/dst", "$(KPW_NO_SUCH_VAR)" + stray},
           {"$(KPW_PATH)/dst", "", "", "", "", "/DEL"}});  // the file keeps it, the run refuses it
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "Kopiwart: Eintrag 1: Die Variable $(KPW_NO_SUCH_VAR) ist nicht bekannt; der Eintrag wird nicht "
            "ausgeführt !\n"
            "Kopiwart: Eintrag 2: Die Variable $(KPW_NO_SUCH_VAR) ist nicht bekannt; der Eintrag wird nicht "
            "ausgeführt !\n"
            "Kopiwart: Eintrag 3: Es ist kein Ziel angegeben; der Eintrag wird nicht ausgeführt !\n");
  EXPECT_EQ(FileContents(root + "/dst"), (Tree{{"keep", "keep"}}));
  EXPECT_FALSE(Exists(stray));
}

}  // namespace
