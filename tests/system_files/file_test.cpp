// The Sys file API: existence, deletion, folder trees, renames, whole files, lookups, times,
// temporary names and file mappings.
#include "lib/system/filemapping.h"
#include "lib/system/sys.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/tempname.h"
#include "platform/last_error.h"
#include "test_util.h"
#include "tests/support/deadline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

namespace {

TEST(Files, ExistLengthDeleteAndPathsWithoutLocalMeaning) {
  TempDir dir;
  WriteFile(dir / "f", "12345");
  EXPECT_EQ(SysFileExist((dir / "f").c_str()), 1);
  EXPECT_EQ(SysFileExist(dir.path().c_str()), 2);
  EXPECT_EQ(SysFileExist("/"), 3);
  EXPECT_EQ(SysFileExist("C:\\"), 0);
  EXPECT_EQ(SysFileExist("\\\\server\\share"), 0);
  EXPECT_EQ(SysFileLength((dir / "f").c_str()), 5);
  EXPECT_EQ(SysFileLength(dir.path().c_str()), -1);
  EXPECT_EQ(SysFileLength((dir / "missing").c_str()), -1);
  const int fd = ::open((dir / "f").c_str(), O_RDONLY);
  u64 size = 0;
  EXPECT_EQ(SysGetFileSizeEx(fd, &size), 5u);
  ::close(fd);
  EXPECT_EQ(SysGetFileSizeEx(-1, &size), 0xFFFFFFFFu);

  // Deletion takes read-only files and links (not what they point to), never folders.
  ::chmod((dir / "f").c_str(), 0444);
  ::symlink(dir.path().c_str(), (dir / "link").c_str());
  EXPECT_NE(SysDelete((dir / "f").c_str()), 0);
  EXPECT_NE(SysDelete((dir / "link").c_str()), 0);
  EXPECT_EQ(CountEntries(dir.path()), 0);
  EXPECT_EQ(SysDelete(dir.path().c_str()), 0);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(SysDelete((dir / "missing").c_str()), 0);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST(Files, RmdirTreeNeverFollowsLinksOutOfTheTree) {
  TempDir dir, outside;
  WriteFile(outside / "keep", "k");
  WriteFile(dir / "t/a/b/f", "f");
  WriteFile(dir / "t/ro", "r");
  ::chmod((dir / "t/ro").c_str(), 0444);
  ::symlink(outside.path().c_str(), (dir / "t/a/out").c_str());
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), SYS_RMDIR_KEEP_ROOT), 1);
  EXPECT_EQ(CountEntries(dir / "t"), 0);
  EXPECT_TRUE(Exists(outside / "keep"));
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), 0), 1);
  EXPECT_FALSE(Exists(dir / "t"));
  EXPECT_EQ(SysRmdirTree((dir / "t").c_str(), 0), 0);
  // A link in the folder's place: the link goes, its target stays.
  ::symlink(outside.path().c_str(), (dir / "l").c_str());
  EXPECT_EQ(SysRmdirTree((dir / "l").c_str(), 0), 1);
  EXPECT_TRUE(Exists(outside / "keep"));
}

TEST(Files, MkdirAllAndRenamesThatMustNotReplace) {
  TempDir dir;
  EXPECT_EQ(SysMkdirAll((dir / "a/b/c").c_str()), 1);
  EXPECT_EQ(SysMkdirAll((dir / "a/b/c/").c_str()), 2);
  // A backslash is part of a name: one folder "a\\d" beside "a".
  EXPECT_EQ(SysMkdirAll((dir / "a\\d").c_str()), 1);
  EXPECT_TRUE(Exists(dir / "a\\d"));
  EXPECT_FALSE(Exists(dir / "a/d"));
  WriteFile(dir / "file", "x");
  EXPECT_EQ(SysMkdirAll((dir / "file/sub").c_str()), 0);

  WriteFile(dir / "b", "b");
  EXPECT_EQ(SysRename((dir / "file").c_str(), (dir / "b").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(GetLastError(), 80u);
  EXPECT_EQ(ReadFile(dir / "b"), "b");
  EXPECT_EQ(SysRename((dir / "file").c_str(), (dir / "b").c_str(), 0), 0);
  EXPECT_EQ(ReadFile(dir / "b"), "x");
  EXPECT_EQ(SysRename((dir / "a/b").c_str(), (dir / "a\\d").c_str(), SYS_RENAME_NOREPLACE), SYS_ERR_EXISTS);
  EXPECT_EQ(GetLastError(), 183u);
}

TEST(Files, WholeFilesReadWrittenAndCompared) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, sizeof buf, 0), 6);  // two bytes for the terminators
  EXPECT_EQ(buf[6], '\0');
  char big[32];
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), big, sizeof big, 0), 10);
  EXPECT_STREQ(big, "0123456789");
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, 1, 0), SYS_ERR_INVALID);
  EXPECT_EQ(SysReadFile((dir / "f").c_str(), buf, 2, 0), 0);
  EXPECT_EQ(SysReadFile((dir / "missing").c_str(), big, sizeof big, 0), SYS_ERR_NOT_FOUND);

  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "first", 5, 0), 1);
  ::chmod((dir / "w").c_str(), 0600);
  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "second", 6, 0), 1);
  EXPECT_EQ(SysWriteFile((dir / "w").c_str(), "+more", 5, 1), 1);
  EXPECT_EQ(ReadFile(dir / "w"), "second+more");
  struct stat st {};
  ::stat((dir / "w").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(SysWriteFile((dir / "no/such/w").c_str(), "x", 1, 0), 0);

  std::string large(600000, 'q');
  WriteFile(dir / "a", large);
  WriteFile(dir / "b", large);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "b").c_str()), 1);
  large.back() = 'r';
  WriteFile(dir / "b", large);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "b").c_str()), 0);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "f").c_str()), 0);
  EXPECT_EQ(SysFileCompare((dir / "a").c_str(), (dir / "missing").c_str()), 0);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST(Files, FindFirstAndWildcardSearches) {
  TempDir dir;
  WriteFile(dir / "one.txt", "1");
  WriteFile(dir / "two.txt", "22");
  WriteFile(dir / "three.log", "333");
  ::chmod((dir / "one.txt").c_str(), 0444);
  SysFindStruct find;
  int err = 1;
  SysFindHandle h = SysFindFirstEx((dir / "one.txt").c_str(), &find, &err);
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(find.cName, "one.txt");
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

  for (const auto& [path, error] : {std::pair{dir / "missing", SYS_ERR_NOT_FOUND},
                                    {dir / "no/x", SYS_ERR_PATH},
                                    {dir / "*.none", SYS_ERR_NOT_FOUND}}) {
    EXPECT_EQ(SysFindFirstEx(path.c_str(), &find, &err), nullptr) << path;
    EXPECT_EQ(err, error) << path;
  }
}

TEST(Times, FindTimeComparisonsAndConversions) {
  SysFileInfo info;
  EXPECT_EQ(SysFindTime(nullptr), -1);
  info.timeAccess = 30;
  EXPECT_EQ(SysFindTime(&info), 30);
  info.timeCreate = 20;
  info.timeWrite = kSysUtcMissing;
  EXPECT_EQ(SysFindTime(&info), 20);
  info.timeWrite = 10;
  EXPECT_EQ(SysFindTime(&info), 10);

  // Granularity 3: two-second units and the one-hour shift; 0 exact; 2 only two-second units.
  const struct {
    SysUtc a, b;
    int granularity, result;
  } cases[] = {{100, 101, 3, 0},  {100, 102, 3, -1}, {100, 101, 0, -1}, {3700, 100, 3, 0},
               {100, 3700, 3, 0}, {3702, 100, 3, 0}, {3704, 100, 3, 1}, {3700, 100, 2, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(SysCompareFileTime(c.a, c.b, c.granularity), c.result) << c.a << " " << c.b;
  FILETIME a, b;
  SysTime64ToFileTime(1000, &a);
  SysTime64ToFileTime(1001, &b);
  EXPECT_EQ(SysCompareFileTime(&a, &b, 3), 0);
  EXPECT_EQ(SysCompareFileTime(&a, &b, 0), -1);

  FILETIME ft;
  SysTime64ToFileTime(1, &ft);
  EXPECT_EQ(FileTimeToU64(ft), (11644473600ull + 1) * 10000000ull);
  // Before 1970 as after it, both ways; beyond 32 bits too.
  SysUtc t = 0;
  for (const i64 seconds : {i64{-5}, i64{0}, i64{-144000000}, i64{-11644473599}, i64{5000000000}}) {
    SysTime64ToFileTime(seconds, &ft);
    EXPECT_EQ(FileTimeToU64(ft), static_cast<u64>(11644473600 + seconds) * 10000000ull) << seconds;
    EXPECT_NE(SysFileTimeToTime(&ft, &t), 0) << seconds;
    EXPECT_EQ(t, seconds);
  }
  // A second and a half before 1970 is the second before it and five million ticks.
  i64 ticks = 0;
  EXPECT_EQ(FileTimeToUnix(FileTimeFromUnix(-2, 5000000), &ticks), -2);
  EXPECT_EQ(ticks, 5000000);
  // FILETIME 0 names no time; nothing converts to it, nor wraps below 1601.
  const FILETIME none{};
  EXPECT_EQ(SysFileTimeToTime(&none, &t), 0);
  EXPECT_EQ(FileTimeToU64(FileTimeFromUnix(-11644473600)), 1u);
  EXPECT_EQ(FileTimeToU64(FileTimeFromUnix(INT64_MIN)), 1u);
  EXPECT_EQ(FileTimeToU64(FileTimeFromUnix(INT64_MAX)), UINT64_MAX);
  // Comparing with tolerance holds before 1970 too.
  EXPECT_EQ(SysCompareFileTime(-100, -99, 3), 0);  // one two-second unit, as 100 and 101 are
  EXPECT_EQ(SysCompareFileTime(-100, -104, 3), 1);
  EXPECT_EQ(SysCompareFileTime(INT64_MIN, INT64_MAX, 3), -1);
  EXPECT_EQ(SysCompareFileTime(INT64_MAX, INT64_MIN, 0), 1);
}

TEST(Times, SettingTimesLeavesTheOnesNotGiven) {
  TempDir dir;
  WriteFile(dir / "f", "x");
  FILETIME write, access;
  SysTime64ToFileTime(1100000000, &write);
  SysTime64ToFileTime(1000000000, &access);
  EXPECT_EQ(SysSetFileTimes((dir / "f").c_str(), &write, nullptr, &access), TRUE);
  SysTime64ToFileTime(1200000000, &write);
  EXPECT_EQ(SysSetFileTimes((dir / "f").c_str(), &write, &write, nullptr), TRUE);
  struct stat st {};
  ::stat((dir / "f").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1200000000);
  EXPECT_EQ(st.st_atime, 1000000000);
  EXPECT_EQ(SysSetFileTimes((dir / "missing").c_str(), &write, nullptr, nullptr), FALSE);
  // Half a second into the last second before 1970.
  write = FileTimeFromUnix(-1, 5000000);
  EXPECT_EQ(SysSetFileTimes((dir / "f").c_str(), &write, nullptr, nullptr), TRUE);
  ::stat((dir / "f").c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, -1);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
}

TEST(TempName, CreatesUniquePrivateFiles) {
  TempDir dir;
  std::set<std::string> names;
  char buf[512];
  for (int i = 0; i < 20; ++i) {
    ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "?kopiwart.bat"), 0);
    const std::string name = buf;
    EXPECT_EQ(name.size(), dir.path().size() + 1 + 13);
    EXPECT_TRUE(name.ends_with("kopiwart.bat")) << name;
    struct stat st {};
    ASSERT_EQ(::stat(buf, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "*?_Kopiwart.tmp"), 0);
  EXPECT_EQ(std::strlen(SysPathName(-1, buf, nullptr)), 9 + 13u);
  // A fixed name that is taken gets unique characters before its extension.
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "fixed.txt"), 0);
  ASSERT_GT(SysTempName(buf, sizeof buf, dir.path().c_str(), "fixed.txt"), 0);
  EXPECT_NE(std::string(buf), dir / "fixed.txt");
  EXPECT_EQ(SysTempName(buf, 16, dir.path().c_str(), "long-name.tmp"), SYS_ERR_NAME_TOO_LONG);
  // Without a base: the temporary folder.
  ASSERT_GT(SysTempName(buf, sizeof buf, nullptr, "kpw-test-?????.tmp"), 0);
  EXPECT_EQ(SysFileExist(buf), 1);
  ::unlink(buf);
}

TEST(FileMapping, MapsWholeFilesButNotEmptyOnes) {
  TempDir dir;
  WriteFile(dir / "data", "mapped bytes");
  WriteFile(dir / "empty", "");
  CFileMapping map;
  const void* view = map.MapFile((dir / "data").c_str(), 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(map.GetSize(), 12u);
  EXPECT_EQ(std::memcmp(view, "mapped bytes", 12), 0);
  CFileMapping empty;
  EXPECT_EQ(empty.MapFile((dir / "empty").c_str(), 0), nullptr);
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

// A pipe in a tree must never hang a run: every reader refuses it at once, with or without a
// writer on the other end.
TEST(Files, WholeFileReadGivesEveryByteOrTheReason) {
  TempDir dir;
  std::string bytes(200000, 'a');
  for (std::size_t i = 0; i < bytes.size(); i += 4097) bytes[i] = '\0';
  WriteFile(dir / "f", bytes);
  std::string out = "alt";
  struct stat st {};
  EXPECT_EQ(SysReadWholeFile((dir / "f").c_str(), out, &st), 0);
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(st.st_size, static_cast<off_t>(bytes.size()));
  WriteFile(dir / "empty", "");
  EXPECT_EQ(SysReadWholeFile((dir / "empty").c_str(), out), 0);
  EXPECT_EQ(out, "");
  out = "alt";
  EXPECT_EQ(SysReadWholeFile((dir / "missing").c_str(), out), ENOENT);
  EXPECT_EQ(out, "");
  EXPECT_EQ(SysReadWholeFile(dir.path().c_str(), out), EISDIR);
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
  {
    const kpwtest::Deadline deadline("reading a pipe whole");
    EXPECT_EQ(SysReadWholeFile((dir / "pipe").c_str(), out), EACCES);  // at once, no writer needed
  }

  // A read ends at the length or at the end of the file.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], "abc", 3), 3);
  ASSERT_EQ(::write(ends[1], "de", 2), 2);
  ::close(ends[1]);
  char buffer[8] = {};
  EXPECT_EQ(SysReadUpTo(ends[0], buffer, 4), 4);
  EXPECT_EQ(SysReadUpTo(ends[0], buffer + 4, 4), 1);
  EXPECT_STREQ(buffer, "abcde");
  ::close(ends[0]);
}

TEST(Files, PipesAreRefusedWithoutWaiting) {
  TempDir dir;
  const std::string pipe = dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  WriteFile(dir / "plain", "x");
  const kpwtest::Deadline deadline("a pipe read as a file");
  EXPECT_EQ(Copy(0x3B0, pipe, dir / "copy"), -3);
  EXPECT_FALSE(Exists(dir / "copy"));
  char buffer[16];
  EXPECT_LT(SysReadFile(pipe.c_str(), buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(SysFileCompare(pipe.c_str(), (dir / "plain").c_str()), 0);
  CFileMapping mapping;
  EXPECT_EQ(mapping.MapFile(pipe.c_str(), 0, nullptr, 0), nullptr);
}

}  // namespace
