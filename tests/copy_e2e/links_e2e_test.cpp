// The program where one side holds a link to a folder and the other a folder: nothing is written
// into the link or deleted beneath the name, and the row says so once; surplus folders that
// "Copy Del" keeps are named too.
#include "tests/support/files.h"
#include "tests/support/job_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

using kpwtest::Exists;
using kpwtest::FileContents;
using kpwtest::JobRow;
using kpwtest::ReadFile;
using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kOld = 1600000000;
constexpr std::int64_t kNew = 1700000000;
constexpr char kLinkNote[] =
    "In diese Verknüpfungen auf Ordner wurde nichts geschrieben und darin nichts gelöscht:";

void Put(const std::string& path, const std::string& text, std::int64_t t = kNew) {
  kpwtest::WriteFile(path, text);
  kpwtest::SetMTime(path, t);
}

class FolderLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kpwtest::kKopiwart.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built";
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    Put(dir / "outside/o", "outside", kOld);
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

  void Link(const std::string& name) {
    std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / name).c_str()), 0);
  }
  kpwtest::ProgramRun Run(const std::vector<JobRow>& rows) {
    kpwtest::WriteJobRows(dir / "jobs.kpw", rows);
    return kpwtest::RunJobFile(dir / "jobs.kpw");
  }
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  kpwtest::TempDir dir;
};

// "Copy Del" deletes nothing under a source link, and names the surplus folders it keeps.
TEST_F(FolderLinks, CopyDelDeletesNothingUnderASourceLinkAndNamesTheFoldersItKeeps) {
  Put(dir / "src/a.txt", "a");
  Link("src/d");
  Put(dir / "dst/d/f", "kept");
  Put(dir / "dst/d/sub/g", "kept too");
  Put(dir / "dst/gone/old.txt", "surplus");
  Put(dir / "dst/gone/notes.log", "not the row's");
  Put(dir / "dst/empty/old.txt", "surplus");
  const auto run = Run({{dir / "src", dir / "dst", "*.txt", "", "", "/COPY_DEL"}});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(
      FileContents(dir / "dst"),
      (Tree{{"a.txt", "a"}, {"d/f", "kept"}, {"d/sub/g", "kept too"}, {"gone/notes.log", "not the row's"}}));
  EXPECT_FALSE(Exists(dir / "dst/empty"));
  EXPECT_EQ(Count(run.errors, kLinkNote), 1u) << run.errors;
  EXPECT_NE(run.errors.find(dir / "src/d"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("blieben im Ziel aber stehen"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find(dir / "dst/gone"), std::string::npos) << run.errors;
  EXPECT_EQ(run.errors.find(dir / "dst/empty"), std::string::npos) << run.errors;
}

// No copying row and no unpacking writes into a target link.
TEST_F(FolderLinks, NoRowWritesThroughATargetLink) {
  Put(dir / "src/real/o", "new", kNew);
  Put(dir / "src/real/sub/n", "new", kNew);
  Put(dir / "pack/real/o", "new");
  Put(dir / "pack/top", "top");
  for (const char* name : {"dst1/real", "dst2/real", "upd/real", "sa/real", "out/real"}) Link(name);
  const auto run = Run({{dir / "src", dir / "dst1"},
                        {dir / "src", dir / "dst2", "", "", "", "/COPY_DEL"},
                        {dir / "src", dir / "upd", "", "", "", "/UPDATE"},
                        {dir / "src", dir / "sa", "", "", "", "/SYNCH"},
                        {dir / "pack", dir / "a.zip", "", "", "", "/ZIP"},
                        {dir / "a.zip", dir / "out", "", "", "", "/ZIP"}});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(FileContents(dir / "outside"), (Tree{{"o", "outside"}}));
  EXPECT_EQ(kpwtest::MTime(dir / "outside/o"), kOld);
  EXPECT_EQ(ReadFile(dir / "out/top"), "top");
  EXPECT_EQ(Count(run.errors, kLinkNote), 5u) << run.errors;
  // Synch's other way: the link side's content is not listed, so nothing comes back either.
  EXPECT_EQ(FileContents(dir / "src"), (Tree{{"real/o", "new"}, {"real/sub/n", "new"}}));
}

}  // namespace
