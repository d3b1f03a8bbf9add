// Path text functions: separators, folder and name parts, extensions, normalising, joining.
#include "lib/system/sys_path.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The text a path function wrote into a buffer of 256 bytes, or "<fail>" for a negative result.
std::string Out(const std::function<int(char*)>& fn) {
  char buf[256] = "";
  const int n = fn(buf);
  return n < 0 ? "<fail>" : std::string(buf, static_cast<std::size_t>(n));
}

std::string Norm(const char* path) {
  return Out([&](char* b) { return SysPathNormalize(b, path, 256); });
}

std::string Join(const char* base, const char* name, int levels = 0) {
  return Out([&](char* b) { return SysPathJoin(b, base, name, 256, levels); });
}

std::string Rel(const char* base, const char* target, int minShared = 0) {
  return Out([&](char* b) { return SysPathRelative(b, base, target, 256, minShared); });
}

// Text that a function changing a buffer in place leaves, with its result after a "|".
std::string InPlace(const char* path, int (*fn)(char*, int)) {
  char buf[32];
  std::strcpy(buf, path);
  const int n = fn(buf, -1);
  return std::string(buf) + "|" + std::to_string(n);
}

int CutName(char* path, int length) {
  return SysPathCutName(length, path);
}

TEST(PathParts, FolderAndNameBackslashAndColonAreBytesOfTheName) {
  const struct {
    const char* path;
    int dirLen;
    const char* name;
  } cases[] = {
      {"/a/b/c.txt", 5, "c.txt"},
      {"a\\b\\c.txt", 0, "a\\b\\c.txt"},
      {"a/b\\..\\c.txt", 2, "b\\..\\c.txt"},
      {"/d/..\\victim", 3, "..\\victim"},
      {"/", 1, ""},
      {"12:30.log", 0, "12:30.log"},
      {"a:b", 0, "a:b"},
      {"C:", 2, ""},  // only a leading "X:" is a drive form
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SysPathDirLen(-1, c.path), c.dirLen) << c.path;
    EXPECT_STREQ(SysPathName(-1, c.path, nullptr), c.name) << c.path;
  }
  int len = 0;
  const char* name = SysPathName(4, "/a/bc", &len);  // only the first 4 characters count
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(len)), "b");
  EXPECT_EQ(SysPathDriveLen("C:\\x"), 2);
  EXPECT_EQ(SysPathDriveLen("1:\\x"), 0);
}

TEST(PathParts, NamesAndSlashesCutAndAdded) {
  // The root stays; an empty path never becomes the root; only one trailing separator goes.
  EXPECT_EQ(InPlace("/a/b", CutName), "/a|2");
  EXPECT_EQ(InPlace("/a", CutName), "/|1");
  EXPECT_EQ(InPlace("C:/a", CutName), "C:/|3");
  EXPECT_EQ(InPlace("name", CutName), "|0");
  EXPECT_EQ(InPlace("/a/b/", CutName), "/a/b|4");
  EXPECT_EQ(InPlace("/a", SysPathAddSlash), "/a/|3");
  EXPECT_EQ(InPlace("x\\", SysPathAddSlash), "x\\/|3");  // a name ending in a backslash
  EXPECT_EQ(InPlace("", SysPathAddSlash), "|0");
  EXPECT_EQ(InPlace("/a/b/", SysPathCutSlash), "/a/b|4");
  EXPECT_EQ(InPlace("/", SysPathCutSlash), "/|1");
  EXPECT_EQ(InPlace("a\\", SysPathCutSlash), "a\\|2");

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
  char buf[] = "a\\b/c\\d";
  EXPECT_EQ(SysPathSlashes(buf, '/'), 7);
  EXPECT_STREQ(buf, "a/b/c/d");
  SysPathSlashes(buf, '\\');
  EXPECT_STREQ(buf, "a\\b\\c\\d");
}

TEST(PathParts, ExtensionsBaseNamesAndNewNames) {
  EXPECT_STREQ(SysPathExt(-1, "/a.b/c.tar.gz"), "gz");
  EXPECT_STREQ(SysPathExt(-1, "/a.b/noext"), "");  // the end, not the folder's dot
  EXPECT_EQ(SysPathExtInList("/x/Job.KPW", "reg;kpw;zip", -1), 2);
  EXPECT_EQ(SysPathExtInList("/x/a.zip", " *.rar ; .ZIP", -1), 2);
  EXPECT_EQ(SysPathExtInList("/x/a", "reg;;kpw", -1), 0);
  EXPECT_EQ(SysPathExtInList("/x/a.kp", "kpw", -1), 0);
  EXPECT_EQ(Out([](char* b) { return SysPathBaseName(b, -1, "/jobs/daily.run.kpw", 16); }), "daily.run");
  EXPECT_EQ(Out([](char* b) { return SysPathBaseName(b, -1, "/jobs/noext", 16); }), "noext");
  EXPECT_EQ(Out([](char* b) { return SysPathBaseName(b, -1, "/jobs/averyveryverylongname.kpw", 8); }),
            "averyve");

  char buf[32] = "/a/b/old.txt";
  EXPECT_EQ(SysPathSetName(-1, buf, buf, "new.bin", sizeof buf), 12);
  EXPECT_STREQ(buf, "/a/b/new.bin");
  EXPECT_EQ(Out([](char* b) { return SysPathSetName(-1, b, "/a/b/", "x", 32); }), "/a/b/x");
  EXPECT_EQ(Out([](char* b) { return SysPathSetName(-1, b, "/a/b/c", "0123456789", 8); }), "<fail>");
}

TEST(PathNormalize, DotsSeparatorsJoinsAndRelativePaths) {
  EXPECT_EQ(Norm("/a/./b/../c"), "/a/c");
  EXPECT_EQ(Norm("/a/b/../../.."), "/");
  EXPECT_EQ(Norm("/a/..\\b"), "/a/..\\b");  // "..\\b" is one name
  EXPECT_EQ(Norm("a/../../b"), "../b");
  EXPECT_EQ(Norm("a/.."), ".");
  EXPECT_EQ(Norm("/a//b/"), "/a/b/");
  EXPECT_EQ(Norm("C:/x/../y"), "C:/y");
  EXPECT_EQ(Norm(""), "");
  char small[4];
  EXPECT_EQ(SysPathNormalize(small, "/abcdef", sizeof small), -1);

  EXPECT_EQ(Join("/home/u", "docs/a.txt"), "/home/u/docs/a.txt");
  EXPECT_EQ(Join("/home/u/", "../v"), "/home/v");
  EXPECT_EQ(Join("/home/u", "/etc/x"), "/etc/x");              // a leading separator replaces the base
  EXPECT_EQ(Join("/home/u", "\\etc\\x"), "/home/u/\\etc\\x");  // a name, not a path
  EXPECT_EQ(Join("/home/u", "D:/x"), "D:/x");                  // a drive replaces the base
  EXPECT_EQ(Join("/home/u", "//srv/share/x"), "//srv/share/x");
  EXPECT_EQ(Join("/a/b/c", "../../../../x"), "/x");
  // Levels protect the first components from "..".
  EXPECT_EQ(Join("/vol/data", "../../x", 1), "/vol/x");
  EXPECT_EQ(Join("/vol/data", "../../x", 2), "/vol/data/x");
  char six[6];
  EXPECT_EQ(SysPathJoin(six, "/abc", "def", sizeof six, 0), -1);

  EXPECT_EQ(Rel("/home/u/jobs", "/home/u/jobs/sub/a.txt"), "/sub/a.txt");
  EXPECT_EQ(Rel("/home/u/jobs", "/home/u/jobs"), "");
  EXPECT_EQ(Rel("/a/b", "/c/d", 1), "<fail>");  // they share no component
  EXPECT_EQ(Rel("/a/b", "c/d"), "<fail>");      // absolute against relative
  EXPECT_EQ(Rel("/a/./b/..", "/a/x"), "/x");
  EXPECT_EQ(Rel("/home/User", "/home/user/x"), "/../user/x");  // letter case counts
}

TEST(PathCompare, ExactAfterNormalising) {
  EXPECT_EQ(SysPathCompare("/a/b", "/a/b/", 7), 0);
  EXPECT_EQ(SysPathCompare("/a/./b", "/a//b", 7), 0);
  EXPECT_NE(SysPathCompare("/a/b", "/a\\b", 7), 0);
  EXPECT_LT(SysPathCompare("/a/a", "/a/b", 0), 0);
  char cwd[512];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const std::string full = std::string(cwd) + "/x";
  EXPECT_EQ(SysPathCompare("x", full.c_str(), 7), 0);
  EXPECT_NE(SysPathCompare("x", full.c_str(), 0), 0);
}

// The one rule of "." and "..", and each way the callers need it read or written.
TEST(PathDots, OneRuleWithTheDifferencesAsFlags) {
  // The rule: ".." takes the component before it; repeated and trailing separators go.
  EXPECT_EQ(SysPathDots("/a/./b//../c/", 0), "/a/c");
  EXPECT_EQ(SysPathDots("a/b/..", 0), "a");
  // Above the start a ".." is dropped, unless a relative path keeps it.
  EXPECT_EQ(SysPathDots("/../a", 0), "/a");
  EXPECT_EQ(SysPathDots("../../a/..", 0), "");
  EXPECT_EQ(SysPathDots("../../a/..", SYS_DOTS_KEEP_UP), "../..");
  EXPECT_EQ(SysPathDots("/../a", SYS_DOTS_KEEP_UP), "/a");  // an absolute path never climbs
  EXPECT_EQ(SysPathDots("a/../../b", SYS_DOTS_KEEP_UP), "../b");
  // A relative path that comes to nothing.
  EXPECT_EQ(SysPathDots("a/..", 0), "");
  EXPECT_EQ(SysPathDots("a/..", SYS_DOTS_EMPTY_DOT), ".");
  EXPECT_EQ(SysPathDots("/a/..", SYS_DOTS_EMPTY_DOT), "/");
  // From the root: every path is absolute and stays below the root.
  EXPECT_EQ(SysPathDots("a/../../b", SYS_DOTS_FROM_ROOT), "/b");
  EXPECT_EQ(SysPathDots("", SYS_DOTS_FROM_ROOT), "/");
  EXPECT_EQ(SysPathDots("..", SYS_DOTS_FROM_ROOT | SYS_DOTS_KEEP_UP), "/");
  // "\" is a byte of a name unless the text is a user's.
  EXPECT_EQ(SysPathDots("/a\\b/..", 0), "/");
  EXPECT_EQ(SysPathDots("/a\\b/..", SYS_DOTS_BACKSLASH), "/a");
  EXPECT_EQ(SysPathDots("\\x\\..\\y", SYS_DOTS_BACKSLASH), "/y");
  EXPECT_EQ(SysPathDots("\\x", 0), "\\x");
  // The components alone.
  const std::vector<std::string_view> parts = SysPathDotParts("/a/../b/c", 0);
  EXPECT_EQ(parts, (std::vector<std::string_view>{"b", "c"}));
}

TEST(PathDots, AStepNeverClimbsBelowItsFloor) {
  std::vector<std::string_view> parts{"server", "share"};
  SysPathDotStep(parts, "..", 2);
  EXPECT_EQ(parts.size(), 2u);
  SysPathDotStep(parts, "dir", 2);
  SysPathDotStep(parts, ".", 2);
  SysPathDotStep(parts, "", 2);
  EXPECT_EQ(parts.size(), 3u);
  SysPathDotStep(parts, "..", 2);
  EXPECT_EQ(parts, (std::vector<std::string_view>{"server", "share"}));
  // A kept ".." is never taken away by another.
  std::vector<std::string_view> up;
  SysPathDotStep(up, "..", 0, true);
  SysPathDotStep(up, "..", 0, true);
  EXPECT_EQ(up, (std::vector<std::string_view>{"..", ".."}));
}

}  // namespace
