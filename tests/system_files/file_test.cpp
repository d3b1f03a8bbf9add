// The Sys file API: existence, deletion, folder trees, renames, whole files, lookups, times,
// temporary names and file mappings.
#include "lib/system/filemapping.h"
#include "lib/system/sys.h"
#include "lib/system/tempname.h"
#include "platform/last_error.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

namespace {

TEST(Files, ExistLengthAndPathsWithoutLocalMeaning) {
  TempDir dir;
  WriteText(dir / "f", "12345");
  EXPECT_EQ(SysFileExist((dir / "f").c_str()), 1);
  EXPECT_EQ(SysFileExist(dir.path().c_str()), 2);
  EXPECT_EQ(SysFileExist("/"), 3);
  EXPECT_EQ(SysFileExist((dir / "missing").c_str()), 0);
  EXPECT_EQ(SysFileExist("C:\\"), 0);
  EXPECT_EQ(SysFileExist("\\\\server\\share"), 0);
  EXPECT_EQ(SysFileLength((dir / "f").c_str()), 5);
  EXPECT_EQ(SysFileLength(dir.path().c_str()), -1);
  EXPECT_EQ(SysFileLength((dir / "missing").c_str()), -1);
  const int fd = ::open((dir / "f").c_str(), O_RDONLY);
  u64 size = 0;
  EXPECT_EQ(SysGetFileSizeEx(fd, &size), 5u);
  EXPECT_EQ(size, 5u);
  ::close(fd);
  EXPECT_EQ(SysGetFileSizeEx(-1, &size), 0xFFFFFFFFu);
}

TEST(Files, DeleteRemovesReadOnlyFilesAndLinksButNotFolders) {
  TempDir dir;
  WriteText(dir / "ro", "x");
  ::chmod((dir / "ro").c_str(), 0444);
  EXPECT_NE(SysDelete((dir / "ro").c_str()), 0);
  EXPECT_FALSE(Exists(dir / "ro"));
  WriteText(dir / "target", "t");
  ::symlink((dir / "target").c_str(), (dir / "link").c_str());
  EXPECT_NE(SysDelete((dir / "link").c_str()), 0);
  EXPECT_TRUE(Exists(dir / "target"));
  ::mkdir((dir / "folder").c_str(), 0755);
  EXPECT_EQ(SysDelete((dir / "folder").c_str()), 0);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(SysDelete((dir / "missing").c_str()), 0);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST(Files, RmdirTreeNeverFollowsLinksOutOfTheTree) {
  TempDir dir;
  TempDir outside;
  WriteText(outside / "keep", "k");
  ::mkdir((dir / "t").c_str(), 0755);
  ::mkdir((dir / "t/a").c_str(), 0755);
  ::mkdir((dir / "t/a/b").c_str(), 0755);
  WriteText(dir / "t/a/b/f", "f");
  WriteText(dir / "t/ro", "r");
  ::chmod((dir / "t/ro").c_str(), 0444);
  ::symlink(outside.path().c_str(), (dir / "t/a/out").c_str());
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), SYS_RMDIR_KEEP_ROOT), 1);
  EXPECT_TRUE(Exists(dir / "t"));
  EXPECT_EQ(CountEntries(dir / "t"), 0);
  EXPECT_TRUE(Exists(outside / "keep"));
  WriteText(dir / "t/x", "x");
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), 0), 1);
  EXPECT_FALSE(Exists(dir / "t"));
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), 0), 0);
  // A link in the folder's place: the link goes, its target stays.
  ::symlink(outside.path().c_str(), (dir / "l").c_str());
  EXPECT_EQ(SysRmdirTree((dir / "l").c_str(), 0), 1);
  EXPECT_TRUE(Exists(outside / "keep"));
}

TEST(Files, MkdirAllResults) {
  TempDir dir;
  EXPECT_EQ(SysMkdirAll((dir / "a/b/c").c_str()), 1);
  EXPECT_EQ(SysMkdirAll((dir / "a/b/c/").c_str()), 2);
  // A backslash is part of a name: one folder "a\\d" beside "a".
  EXPECT_EQ(SysMkdirAll((dir / "a\\d").c_str()), 1);
  EXPECT_TRUE(Exists(dir / "a\\d"));
  EXPECT_FALSE(Exists(dir / "a/d"));
  WriteText(dir / "file", "x");
  EXPECT_EQ(SysMkdirAll((dir / "file").c_str()), 0);
  EXPECT_EQ(SysMkdirAll((dir / "file/sub").c_str()), 0);
}

TEST(Files, RenameNoReplaceForFilesAndFolders) {
  TempDir dir;
  WriteText(dir / "a", "a");
  WriteText(dir / "b", "b");
  EXPECT_EQ(SysRename((dir / "a").c_str(), (dir / "b").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadText(dir / "b"), "b");
  EXPECT_EQ(SysRename((dir / "a").c_str(), (dir / "c").c_str(), SYS_RENAME_NOREPLACE), 0);
  EXPECT_EQ(SysRename((dir / "c").c_str(), (dir / "b").c_str(), 0), 0);
  EXPECT_EQ(ReadText(dir / "b"), "a");
  ::mkdir((dir / "d1").c_str(), 0755);
  ::mkdir((dir / "d2").c_str(), 0755);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d2").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_EQ(SysRename((dir / "d1").c_str(), (dir / "d3").c_str(), SYS_RENAME_NOREPLACE), 0);
}

TEST(Files, ReadFileKeepsTwoBytesForTheTerminators) {
  TempDir dir;
  WriteText(dir / "f", "0123456789");
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, sizeof buf, 0), 6);
  EXPECT_EQ(std::string(buf, 6), "012345");
  EXPECT_EQ(buf[6], '\0');
  EXPECT_EQ(buf[7], '\0');
  char big[32];
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), big, sizeof big, 0), 10);
  EXPECT_STREQ(big, "0123456789");
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, 1, 0), SYS_ERR_INVALID);
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, 2, 0), 0);
  EXPECT_EQ(SysReadFile((dir / "missing").c_str(), big, sizeof big, 0), SYS_ERR_NOT_FOUND);
}

TEST(Files, WriteFileReplacesAtomicallyOrAppends) {
  TempDir dir;
  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "first", 5, 0), 1);
  ::chmod((dir / "w").c_str(), 0600);
  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "second", 6, 0), 1);
  EXPECT_EQ(ReadText(dir / "w"), "second");
  struct stat st {};
  ::stat((dir / "w").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "+more", 5, 1), 1);
  EXPECT_EQ(ReadText(dir / "w"), "second+more");
  EXPECT_EQ(SysWriteFile((dir / "no/such/w").c_str(), "x", 1, 0), 0);
  EXPECT_EQ(GetLastError(), 3u);
  EXPECT_EQ(CountEntries(dir.path()), 1);
}

TEST(Files, CompareBySizeThenContent) {
  TempDir dir;
  std::string big(600000, 'q');
  WriteText(dir / "a", big);
  WriteText(dir / "b", big);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "b").c_str()), 1);
  big[599999] = 'r';
  WriteText(dir / "b", big);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "b").c_str()), 0);
  WriteText(dir / "c", "short");
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "c").c_str()), 0);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "missing").c_str()), 0);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST(Files, FindFirstAndWildcardSearches) {
  TempDir dir;
  WriteText(dir / "one.txt", "1");
  WriteText(dir / "two.txt", "22");
  WriteText(dir / "three.log", "333");
  ::chmod((dir / "one.txt").c_str(), 0444);
  SysFindStruct find;
  int err = 1;
  SysFindHandle h = SysFindFirstEx((dir / "one.txt").c_str(), &find, &err);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_STREQ(find.cName, "one.txt");
  EXPECT_EQ(find.qwSize, 1u);
  EXPECT_EQ(find.dwAttr & (SYS_ATTR_WRITABLE | SYS_ATTR_FOLDER), 0u);
  EXPECT_EQ(SysFindNext(h, &find), 0);
  SysFindClose(h);
  h = SysFindFirstEx((dir.path() + "/").c_str(), &find, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(find.dwAttr & SYS_ATTR_FOLDER, SYS_ATTR_FOLDER);
  SysFindClose(h);

  std::set<std::string> names;
  h = SysFindFirstEx((dir / "*.txt").c_str(), &find, &err);
  ASSERT_NE(h, nullptr);
  do names.insert(find.cName);
  while (SysFindNext(h, &find));
  SysFindClose(h);
  EXPECT_EQ(names, (std::set<std::string>{"one.txt", "two.txt"}));

  EXPECT_EQ(SysFindFirstEx((dir / "missing").c_str(), &find, &err), nullptr);
  EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
  EXPECT_EQ(SysFindFirstEx((dir / "no/x").c_str(), &find, &err), nullptr);
  EXPECT_EQ(err, SYS_ERR_PATH);
  EXPECT_EQ(SysFindFirstEx((dir / "*.none").c_str(), &find, &err), nullptr);
  EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
}

TEST(Times, FindTimePrefersWriteThenCreationThenAccess) {
  SysFileInfo info;
  EXPECT_EQ(SysFindTime(nullptr), -1);
  info.timeAccess = 30;
  EXPECT_EQ(SysFindTime(&info), 30);
  info.timeCreate = 20;
  EXPECT_EQ(SysFindTime(&info), 20);
  info.timeWrite = kSysUtcMissing;
  EXPECT_EQ(SysFindTime(&info), 20);
  info.timeWrite = 10;
  EXPECT_EQ(SysFindTime(&info), 10);
}

TEST(Times, CompareWithTwoSecondUnitsAndTheHour) {
  EXPECT_EQ(SysCompareFileTime(100, 101, 3), 0);     // one two-second unit
  EXPECT_EQ(SysCompareFileTime(100, 102, 3), -1);
  EXPECT_EQ(SysCompareFileTime(100, 101, 0), -1);
  EXPECT_EQ(SysCompareFileTime(3700, 100, 3), 0);    // one hour later
  EXPECT_EQ(SysCompareFileTime(100, 3700, 3), 0);
  EXPECT_EQ(SysCompareFileTime(3702, 100, 3), 0);    // 1801 units
  EXPECT_EQ(SysCompareFileTime(3704, 100, 3), 1);    // 1802 units
  EXPECT_EQ(SysCompareFileTime(3700, 100, 2), 1);
  FILETIME a, b;
  SysTime64ToFileTime(1000, &a);
  SysTime64ToFileTime(1001, &b);
  EXPECT_EQ(SysCompareFileTime(&a, &b, 3), 0);
  EXPECT_EQ(SysCompareFileTime(&a, &b, 0), -1);
}

TEST(Times, FileTimeConversionsAndSettingTimes) {
  FILETIME ft;
  SysTime64ToFileTime(0, &ft);
  EXPECT_EQ(FileTimeToU64(ft), 0u);
  SysTime64ToFileTime(-5, &ft);
  EXPECT_EQ(FileTimeToU64(ft), 0u);
  SysTime64ToFileTime(1, &ft);
  EXPECT_EQ(FileTimeToU64(ft), (11644473600ull + 1) * 10000000ull);
  SysUtc t = 0;
  EXPECT_NE(SysFileTimeToTime(&ft, &t), 0);
  EXPECT_EQ(t, 1);
  SysTime64ToFileTime(5000000000LL, &ft);  // beyond 32 bits
  EXPECT_NE(SysFileTimeToTime(&ft, &t), 0);
  EXPECT_EQ(t, 5000000000LL);
  const FILETIME early = U64ToFileTime(1000);
  EXPECT_EQ(SysFileTimeToTime(&early, &t), 0);

  TempDir dir;
  WriteText(dir / "f", "x");
  FILETIME write, access;
  SysTime64ToFileTime(1100000000, &write);
  SysTime64ToFileTime(1000000000, &access);
  EXPECT_EQ(SysSetFileTimes((dir / "f").c_str(), &write, nullptr, &access), TRUE);
  struct stat st {};
  ::stat((dir / "f").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1100000000);
  EXPECT_EQ(st.st_atime, 1000000000);
  SysTime64ToFileTime(1200000000, &write);
  EXPECT_EQ(SysSetFileTimes((dir / "f").c_str(), &write, &write, nullptr), TRUE);
  ::stat((dir / "f").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1200000000);
  EXPECT_EQ(st.st_atime, 1000000000);  // left alone
  EXPECT_EQ(SysSetFileTimes((dir / "missing").c_str(), &write, nullptr, nullptr), FALSE);
}

TEST(TempName, CreatesUniquePrivateFiles) {
  TempDir dir;
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    char buf[512];
    const int n = SysTempName(buf, sizeof buf, dir.path().c_str(), "?kopiwart.bat");
    ASSERT_GT(n, 0);
    const std::string name = buf;
    EXPECT_EQ(name.size(), dir.path().size() + 1 + 13);
    EXPECT_EQ(name.substr(name.size() - 12), "kopiwart.bat");
    struct stat st {};
    ASSERT_EQ(::stat(buf, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  char buf[512];
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "*?_Kopiwart.tmp"), 0);
  EXPECT_EQ(std::strlen(SysPathName(-1, buf, nullptr)), 9 + 13u);
  // A fixed name that is taken gets unique characters before its extension.
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "fixed.txt"), 0);
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "fixed.txt"), 0);
  EXPECT_NE(std::string(buf), dir / "fixed.txt");
  EXPECT_EQ(std::string(buf).substr(std::strlen(buf) - 4), ".txt");
  EXPECT_EQ(SysTempName(buf, 16, dir.path().c_str(), "long-name.tmp"), SYS_ERR_NAME_TOO_LONG);
  // Without a base: the temporary folder.
  ASSERT_GT(SysTempName(buf, sizeof buf, nullptr, "kpw-test-?????.tmp"), 0);
  EXPECT_EQ(SysFileExist(buf), 1);
  ::unlink(buf);
}

TEST(FileMapping, MapsWholeFilesButNotEmptyOnes) {
  TempDir dir;
  WriteText(dir / "data", "mapped bytes");
  WriteText(dir / "empty", "");
  CFileMapping map;
  const void* view = map.MapFile((dir / "data").c_str(), 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(map.GetSize(), 12u);
  EXPECT_EQ(std::memcmp(view, "mapped bytes", 12), 0);
  CFileMapping empty;
  EXPECT_EQ(empty.MapFile((dir / "empty").c_str(), 0), nullptr);
  EXPECT_EQ(empty.GetSize(), 0u);
  EXPECT_EQ(empty.MapFile((dir / "missing").c_str(), 0), nullptr);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(empty.MapFile(dir.path().c_str(), 0), nullptr);
  // Mapping again replaces the old view.
  EXPECT_NE(map.MapFile((dir / "data").c_str(), 0, nullptr, 6), nullptr);
  EXPECT_EQ(map.GetSize(), 6u);
}

TEST(Files, ExecutablePath) {
  char buf[512];
  const int n = SysExePath(buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_STREQ(SysPathName(n, buf, nullptr), "test_system_files");
  std::string s;
  SysStrExePath(s);
  EXPECT_EQ(s, buf);
  EXPECT_EQ(SysExePath(buf, 4), 0);
}

}  // namespace

// A pipe in a tree must never hang a run: every reader refuses it at once, with or without a
// writer on the other end.
TEST(Files, PipesAreRefusedWithoutWaiting) {
  TempDir dir;
  const std::string pipe = dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  WriteText(dir / "plain", "x");

  EXPECT_EQ(SysFileCopyEx(0x3B0, pipe.c_str(), (dir / "copy").c_str(), nullptr, nullptr, nullptr), -3);
  EXPECT_FALSE(SysFileExist((dir / "copy").c_str()));
  char buffer[16];
  EXPECT_LT(SysReadFile(pipe.c_str(), buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(SysFileCompare(pipe.c_str(), (dir / "plain").c_str()), 0);
  CFileMapping mapping;
  EXPECT_EQ(mapping.MapFile(pipe.c_str(), 0, nullptr, 0), nullptr);
}
