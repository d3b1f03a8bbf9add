// The copy engine and renames on file systems without O_TMPFILE or RENAME_NOREPLACE.
#include "lib/system/sys_file.h"
#include "platform/last_error.h"
#include "test_util.h"
#include "tests/support/sys_seams.h"

#include <sys/stat.h>

#include <string>

namespace {

class Fallbacks : public ::testing::Test {
 protected:
  void SetUp() override { SysTestForceFallbacks(true); }
  void TearDown() override { SysTestForceFallbacks(false); }
  TempDir dir;
};

TEST_F(Fallbacks, CopyThroughANamedTemporaryFileReplacesOrRefuses) {
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  EXPECT_EQ(Copy(0x1B8, dir / "src", dir / "dst"), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(Copy(0x1B0, dir / "src", dir / "dst"), 1);
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_EQ(Copy(0x1B8, dir / "src", dir / "n/new"), 1);
  EXPECT_EQ(ReadFile(dir / "n/new"), "new");
  SysCancelFlag cancel{1};
  EXPECT_EQ(Copy(0x1B0, dir / "src", dir / "dst2", &cancel), 0);
  EXPECT_EQ(CountEntries(dir.path()), 3);  // src, dst, n: no temporary file
  EXPECT_EQ(CountEntries(dir / "n"), 1);
}

TEST_F(Fallbacks, NoReplaceRenamesOfFilesAndFolders) {
  WriteFile(dir / "c", "a");
  ::mkdir((dir / "d1").c_str(), 0755);
  ::mkdir((dir / "d2").c_str(), 0755);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d2").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d3").c_str(), SYS_RENAME_NOREPLACE), 0);
  EXPECT_TRUE(Exists(dir / "d3"));
  // A move that must not replace uses the same path.
  WriteFile(dir / "m", "m");
  EXPECT_EQ(Copy(0xFB8, dir / "m", dir / "c"), -1);
  EXPECT_EQ(ReadFile(dir / "c"), "a");
  EXPECT_EQ(Copy(0xFB8, dir / "m", dir / "m2"), 1);
  EXPECT_FALSE(Exists(dir / "m"));
}

}  // namespace
