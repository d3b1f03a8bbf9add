// Path text functions: separators, folder and name parts, extensions, normalising, joining.
#include "lib/system/sys_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Norm(const char* path) {
  char buf[256];
  const int n = SysPathNormalize(buf, path, sizeof buf);
  return n < 0 ? "<fail>" : std::string(buf, static_cast<std::size_t>(n));
}

std::string Join(const char* base, const char* name, int levels = 0) {
  char buf[256];
  const int n = SysPathJoin(buf, base, name, sizeof buf, levels);
  return n < 0 ? "<fail>" : std::string(buf, static_cast<std::size_t>(n));
}

std::string Rel(const char* base, const char* target, int minShared = 0) {
  char buf[256];
  const int n = SysPathRelative(buf, base, target, sizeof buf, minShared);
  return n < 0 ? "<fail>" : std::string(buf, static_cast<std::size_t>(n));
}

TEST(PathParts, FolderLengthAndNameBackslashIsAByteOfTheName) {
  EXPECT_EQ(SysPathDirLen(-1, "/a/b/c.txt"), 5);
  EXPECT_EQ(SysPathDirLen(-1, "a\\b\\c.txt"), 0);
  EXPECT_EQ(SysPathDirLen(-1, "a/b\\..\\c.txt"), 2);
  EXPECT_STREQ(SysPathName(-1, "/d/..\\victim", nullptr), "..\\victim");
  EXPECT_EQ(SysPathDirLen(-1, "c.txt"), 0);
  EXPECT_EQ(SysPathDirLen(-1, "/"), 1);
  int len = 0;
  EXPECT_STREQ(SysPathName(-1, "/a/b/c.txt", &len), "c.txt");
  EXPECT_EQ(len, 5);
  EXPECT_STREQ(SysPathName(-1, "c.txt", nullptr), "c.txt");
  const char* name = SysPathName(4, "/a/bc", &len);  // only the first 4 characters count
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(len)), "b");
}

TEST(PathParts, ColonIsASeparatorOnlyInADriveHead) {
  // Linux names with ":" stay whole.
  EXPECT_EQ(SysPathDirLen(-1, "12:30.log"), 0);
  EXPECT_STREQ(SysPathName(-1, "/logs/12:30.log", nullptr), "12:30.log");
  EXPECT_STREQ(SysPathName(-1, "ab:c", nullptr), "ab:c");
  EXPECT_STREQ(SysPathName(-1, "a:b", nullptr), "a:b");
  // A leading "X:" is a drive form.
  EXPECT_EQ(SysPathDirLen(-1, "C:"), 2);
  EXPECT_EQ(SysPathDriveLen("C:\\x"), 2);
  EXPECT_EQ(SysPathDriveLen("1:\\x"), 0);
  EXPECT_STREQ(SysPathExt(-1, "/logs/12:30.log"), "log");
}

TEST(PathParts, CutNameKeepsRoots) {
  char p1[] = "/a/b";
  EXPECT_EQ(SysPathCutName(-1, p1), 2);
  EXPECT_STREQ(p1, "/a");
  char p2[] = "/a";
  EXPECT_EQ(SysPathCutName(-1, p2), 1);
  EXPECT_STREQ(p2, "/");
  char p3[] = "C:/a";
  EXPECT_EQ(SysPathCutName(-1, p3), 3);
  EXPECT_STREQ(p3, "C:/");
  char p4[] = "name";
  EXPECT_EQ(SysPathCutName(-1, p4), 0);
  EXPECT_STREQ(p4, "");
  char p5[] = "/a/b/";
  EXPECT_EQ(SysPathCutName(-1, p5), 4);
  EXPECT_STREQ(p5, "/a/b");
}

TEST(PathParts, SlashesAddedAndCut) {
  char buf[32] = "/a";
  EXPECT_EQ(SysPathAddSlash(buf, -1), 3);
  EXPECT_STREQ(buf, "/a/");
  EXPECT_EQ(SysPathAddSlash(buf, -1), 3);
  std::strcpy(buf, "x\\");  // a name ending in a backslash
  EXPECT_EQ(SysPathAddSlash(buf, -1), 3);
  EXPECT_STREQ(buf, "x\\/");
  // An empty path must not become the root.
  buf[0] = '\0';
  EXPECT_EQ(SysPathAddSlash(buf, -1), 0);
  EXPECT_STREQ(buf, "");

  std::strcpy(buf, "/a/b/");
  EXPECT_EQ(SysPathCutSlash(buf, -1), 4);
  EXPECT_EQ(SysPathCutSlash(buf, -1), 4);  // one separator only, and only a trailing one
  std::strcpy(buf, "/");
  EXPECT_EQ(SysPathCutSlash(buf, -1), 1);  // the root stays
  std::strcpy(buf, "C:/");
  EXPECT_EQ(SysPathCutSlash(buf, -1), 3);
  std::strcpy(buf, "a\\");
  EXPECT_EQ(SysPathCutSlash(buf, -1), 2);

  std::string s = "/x";
  SysStrAddSlash(s);
  EXPECT_EQ(s, "/x/");
  SysStrCutSlash(s);
  EXPECT_EQ(s, "/x");
  std::string empty;
  SysStrAddSlash(empty);
  EXPECT_EQ(empty, "");
  SysStrDir(s, "/a/b/c");
  EXPECT_EQ(s, "/a/b/");

  std::strcpy(buf, "a\\b/c\\d");
  EXPECT_EQ(SysPathSlashes(buf, '/'), 7);
  EXPECT_STREQ(buf, "a/b/c/d");
  SysPathSlashes(buf, '\\');
  EXPECT_STREQ(buf, "a\\b\\c\\d");
}

TEST(PathParts, Extensions) {
  EXPECT_STREQ(SysPathExt(-1, "/a.b/c.tar.gz"), "gz");
  EXPECT_STREQ(SysPathExt(-1, "/a.b/noext"), "");  // the end, not the folder's dot
  EXPECT_EQ(SysPathExtInList("/x/Job.KPW", "reg;kpw;zip", -1), 2);
  EXPECT_EQ(SysPathExtInList("/x/a.zip", " *.rar ; .ZIP", -1), 2);
  EXPECT_EQ(SysPathExtInList("/x/a", "reg;;kpw", -1), 0);
  EXPECT_EQ(SysPathExtInList("/x/a.kp", "kpw", -1), 0);
  char buf[16];
  EXPECT_EQ(SysPathBaseName(buf, -1, "/jobs/daily.run.kpw", sizeof buf), 9);
  EXPECT_STREQ(buf, "daily.run");
  EXPECT_EQ(SysPathBaseName(buf, -1, "/jobs/noext", sizeof buf), 5);
  EXPECT_EQ(SysPathBaseName(buf, -1, "/jobs/averyveryverylongname.kpw", 8), 7);
  EXPECT_STREQ(buf, "averyve");
}

TEST(PathParts, SetNameInPlaceAndTooLong) {
  char buf[32] = "/a/b/old.txt";
  EXPECT_EQ(SysPathSetName(-1, buf, buf, "new.bin", sizeof buf), 12);
  EXPECT_STREQ(buf, "/a/b/new.bin");
  char out[32];
  EXPECT_EQ(SysPathSetName(-1, out, "/a/b/", "x", sizeof out), 6);
  EXPECT_STREQ(out, "/a/b/x");
  EXPECT_EQ(SysPathSetName(-1, out, "/a/b/c", "0123456789", 8), -1);
}

TEST(PathNormalize, DotsAndSeparators) {
  EXPECT_EQ(Norm("/a/./b/../c"), "/a/c");
  EXPECT_EQ(Norm("/a/b/../../.."), "/");
  EXPECT_EQ(Norm("/a/..\\b"), "/a/..\\b");  // "..\\b" is one name
  EXPECT_EQ(Norm("a/../../b"), "../b");
  EXPECT_EQ(Norm("a/.."), ".");
  EXPECT_EQ(Norm("/a//b/"), "/a/b/");
  EXPECT_EQ(Norm("/a/b/."), "/a/b");
  EXPECT_EQ(Norm("C:/x/../y"), "C:/y");
  EXPECT_EQ(Norm("/logs/12:30/../a:b"), "/logs/a:b");
  EXPECT_EQ(Norm(""), "");
  char small[4];
  EXPECT_EQ(SysPathNormalize(small, "/abcdef", sizeof small), -1);
}

TEST(PathJoin, BaseAndName) {
  EXPECT_EQ(Join("/home/u", "docs/a.txt"), "/home/u/docs/a.txt");
  EXPECT_EQ(Join("/home/u/", "../v"), "/home/v");
  EXPECT_EQ(Join("/home/u", "/etc/x"), "/etc/x");     // a leading separator replaces the base
  EXPECT_EQ(Join("/home/u", "\\etc\\x"), "/home/u/\\etc\\x");  // a name, not a path
  EXPECT_EQ(Join("/home/u", "D:/x"), "D:/x");       // a drive replaces the base
  EXPECT_EQ(Join("/home/u", "//srv/share/x"), "//srv/share/x");
  EXPECT_EQ(Join("/home/u", "..\\..\\x"), "/home/u/..\\..\\x");
  EXPECT_EQ(Join("/home/u", "."), "/home/u");
  EXPECT_EQ(Join("/a/b/c", "../../../../x"), "/x");
  // Levels protect the first components from "..".
  EXPECT_EQ(Join("/vol/data", "../../x", 1), "/vol/x");
  EXPECT_EQ(Join("/vol/data", "../../x", 2), "/vol/data/x");
  EXPECT_EQ(Join("rel", "../../x"), "../x");
  char small[6];
  EXPECT_EQ(SysPathJoin(small, "/abc", "def", sizeof small, 0), -1);
}

TEST(PathRelative, ClimbsAndDescends) {
  EXPECT_EQ(Rel("/home/u/jobs", "/home/u/jobs/sub/a.txt"), "/sub/a.txt");
  EXPECT_EQ(Rel("/home/u/jobs/", "/home/u/data/x"), "/../data/x");
  EXPECT_EQ(Rel("/home/u/jobs", "/home/u/jobs"), "");
  EXPECT_EQ(Rel("/a/b", "/c/d"), "/../../c/d");
  EXPECT_EQ(Rel("/a/b", "/c/d", 1), "<fail>");        // they share no component
  EXPECT_EQ(Rel("/a/b", "c/d"), "<fail>");            // absolute against relative
  EXPECT_EQ(Rel("/a/./b/..", "/a/x"), "/x");
  EXPECT_EQ(Rel("/home/User", "/home/user/x"), "/../user/x");  // letter case counts
}

TEST(PathCompare, ExactAfterNormalising) {
  EXPECT_EQ(SysPathCompare("/a/b", "/a/b/", 7), 0);
  EXPECT_EQ(SysPathCompare("/a/./b", "/a//b", 7), 0);
  EXPECT_NE(SysPathCompare("/a/b", "/a\\b", 7), 0);
  EXPECT_NE(SysPathCompare("/a/B", "/a/b", 7), 0);
  EXPECT_LT(SysPathCompare("/a/a", "/a/b", 0), 0);
  char cwd[512];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string full = std::string(cwd) + "/x";
  EXPECT_EQ(SysPathCompare("x", full.c_str(), 7), 0);
  EXPECT_NE(SysPathCompare("x", full.c_str(), 0), 0);
}

TEST(PathFullDir, FolderWithTrailingSeparator) {
  char buf[512];
  EXPECT_EQ(SysFullDir(buf, "/a/b/c.txt", sizeof buf), 5);
  EXPECT_STREQ(buf, "/a/b/");
  EXPECT_EQ(SysFullDir(buf, "/a/b/", sizeof buf), 5);
  EXPECT_STREQ(buf, "/a/b/");
  EXPECT_EQ(SysFullDir(buf, "/a/b/../c.txt", sizeof buf), 3);
  EXPECT_STREQ(buf, "/a/");
  EXPECT_EQ(SysFullDir(buf, "/x", sizeof buf), 1);
  EXPECT_STREQ(buf, "/");
  EXPECT_GT(SysFullDir(buf, "rel.txt", sizeof buf), 1);
  EXPECT_EQ(buf[0], '/');
  EXPECT_EQ(SysFullDir(buf, "/a/b/c.txt", 4), 0);
}

}  // namespace
