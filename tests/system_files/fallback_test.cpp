// The copy engine and renames on file systems without O_TMPFILE or RENAME_NOREPLACE.
#include "lib/system/sys_copy.h"
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
  WriteText(dir / "src", "new");
  WriteText(dir / "dst", "old");
  EXPECT_EQ(SysFileCopyEx(0x1B8, (dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadText(dir / "dst"), "old");
  EXPECT_EQ(SysFileCopyEx(0x1B0, (dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "dst"), "new");
  EXPECT_EQ(SysFileCopyEx(0x1B8, (dir / "src").c_str(), (dir / "n/new").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "n/new"), "new");
  SysCancelFlag cancel{1};
  EXPECT_EQ(SysFileCopyEx(0x1B0, (dir / "src").c_str(), (dir / "dst2").c_str(), nullptr, nullptr, &cancel), 0);
  EXPECT_EQ(CountEntries(dir.path()), 3);  // src, dst, n: no temporary file
  EXPECT_EQ(CountEntries(dir / "n"), 1);
}

TEST_F(Fallbacks, NoReplaceRenamesOfFilesAndFolders) {
  WriteText(dir / "a", "a");
  WriteText(dir / "b", "b");
  EXPECT_EQ(SysRename((dir / "a").c_str(), (dir / "b").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(ReadText(dir / "b"), "b");
  EXPECT_EQ(SysRename((dir / "a").c_str(), (dir / "c").c_str(), SYS_RENAME_NOREPLACE), 0);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(ReadText(dir / "c"), "a");
  ::mkdir((dir / "d1").c_str(), 0755);
  ::mkdir((dir / "d2").c_str(), 0755);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d2").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d3").c_str(), SYS_RENAME_NOREPLACE), 0);
  EXPECT_TRUE(Exists(dir / "d3"));
  // A move that must not replace uses the same path.
  WriteText(dir / "m", "m");
  EXPECT_EQ(SysFileCopyEx(0xFB8, (dir / "m").c_str(), (dir / "c").c_str(), nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(ReadText(dir / "c"), "a");
  EXPECT_EQ(SysFileCopyEx(0xFB8, (dir / "m").c_str(), (dir / "m2").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ReadText(dir / "m2"), "m");
  EXPECT_FALSE(Exists(dir / "m"));
}

}  // namespace
