// Wildcard matching: whole names, case and "*.*" rules, leading parts for folders and lines.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* pattern;
  const char* name;
  int flags;
  int expected;
};

void Check(int (*fn)(const char*, int, const char*, int, int), std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(fn(c.pattern, -1, c.name, -1, c.flags), c.expected)
        << "pattern '" << c.pattern << "' name '" << c.name << "' flags " << c.flags;
}

// The excluded-folder test: the matched part must end at "/" or at the end of the path.
bool Excluded(const char* pattern, const std::string& path) {
  const int len = static_cast<int>(path.size());
  const int n = StrMatchPatternA(pattern, -1, path.c_str(), len, 5);
  return n == len || (n < len && path[static_cast<size_t>(n)] == '/');
}

// The version reader: three tokens matched one after another; the second one's part is the result.
std::string VersionOf(const std::string& line, const char* t1, const char* t2, const char* t3) {
  const int len = static_cast<int>(line.size());
  const int a = StrMatchPathPatternA(t1, -1, line.c_str(), len, 5);
  if (a > len) return "-";
  const int b = StrMatchPathPatternA(t2, -1, line.c_str() + a, len - a, 5);
  if (b > len - a) return "-";
  const int c = StrMatchPathPatternA(t3, -1, line.c_str() + a + b, len - a - b, 5);
  return c > len - a - b ? "-" : line.substr(static_cast<size_t>(a), static_cast<size_t>(b));
}

TEST(StrMatchWhole, StarsCaseAndStarDot) {
  Check(StrMatchPatternA, {
      {"*.txt", "notes.txt", 0, 0}, {"*.txt", "notes.txt.bak", 0, 1}, {"a*b*c", "aXbYbZc", 0, 0},
      {"a*b*c", "aXbYbZ", 0, 1},    {"*", "", 0, 0},                 {"", "a", 0, 1},
      {"a?c", "ac", 0, 1},          {"src/*.h", "src/sub/x.h", 0, 0},  // "*" covers "/" here
      {"*.TXT", "a.txt", 0, 1},     {"*.TXT", "a.txt", 1, 0},
      {"\xC3\x84", "\xC3\xA4", 1, 1},  // only ASCII letters fold
      {"[", "{", 1, 1},             {"@", "`", 1, 1},
      {"*.*", "README", 0, 1},      {"*.*", "README", 2, 0},         {"rep*.*", "report", 3, 0},
      {"*.*x", "abx", 2, 1},        {"*.T*", "A.txt", 3, 0},
  });
  EXPECT_EQ(StrMatchPatternA("*.txtXYZ", 5, "a.txt-more", 5, 0), 0);  // counted lengths
}

TEST(StrMatchWhole, QuestionMarkTakesOneUtf8Sequence) {
  Check(StrMatchPatternA, {
      {"gr?n", "gr\xC3\xBCn", 0, 0}, {"gr??n", "gr\xC3\xBCn", 0, 1}, {"?", "\xE2\x82\xAC", 0, 0},
      {"?", "\xF0\x9F\x98\x80", 0, 0}, {"??", "\xF0\x9F\x98\x80", 0, 1},
      // Malformed bytes count one by one: stray continuation, truncated, overlong, surrogate.
      {"?", "\x80", 0, 0}, {"??", "\xE2\x82", 0, 0}, {"??", "\xC0\xAF", 0, 0}, {"???", "\xED\xA0\x80", 0, 0},
      {"\xE2\x82\xAC*", "\xE2\x82\xAD", 0, 1},
  });
}

TEST(StrMatchWhole, ManyStarsStayFast) {
  const std::string name(5000, 'a');
  EXPECT_EQ(StrMatchPatternA("*a*a*a*a*a*a*a*a*a*a*a*b", -1, name.c_str(), -1, 0), 1);
  const std::string longPattern = std::string(600, '?') + "*";
  EXPECT_EQ(StrMatchPatternA(longPattern.c_str(), -1, name.c_str(), -1, 0), 0);
}

TEST(StrMatchLeading, FolderParts) {
  Check(StrMatchPatternA, {
      {"tmp*", "tmpdir/a/b", 5, 6}, {"a*", "ab/cd", 5, 2},     {"*/obj", "x/y/obj/z", 5, 7},
      {"build", "Build/x", 5, 5},   {"build", "builder/x", 5, 10},  // no match: beyond the length
      {"build", "BUILD", 4, 6},     {"x", "", 5, 1},           {"*", "", 5, 0},
  });
  EXPECT_TRUE(Excluded("cache", "Cache/a/b.txt"));
  EXPECT_FALSE(Excluded("cache", "cached/a.txt"));
  EXPECT_FALSE(Excluded("cache", "x/cache/a.txt"));
  EXPECT_TRUE(Excluded("tmp*", "tmpdir/file"));
  EXPECT_TRUE(Excluded("*.tmp", "a.tmpx/b.tmp/c"));  // the inner folder ends in ".tmp"
  EXPECT_TRUE(Excluded("*x", "ax/bxc"));
  EXPECT_FALSE(Excluded("src/gen", "src/generic/a.c"));
  EXPECT_TRUE(Excluded("*/obj", "a/b/obj"));
  EXPECT_FALSE(Excluded("*/obj", "obj/x.o"));
}

TEST(StrMatchPath, SeparatorsAndBackslashForms) {
  Check(StrMatchPathPatternA, {
      {"src/*.h", "src/x.h", 0, 0}, {"src/*.h", "src/sub/x.h", 0, 1}, {"a?b", "a/b", 0, 1},
      {"a/b", "a\\b", 0, 0},        {"a\\*", "a/xyz", 0, 0},          {"A/*.TXT", "a/b.txt", 1, 0},
      {"a\\'b", "a'b", 0, 0},       {"\\.define", "define X", 5, 6},  {"\\.define", " \t define X", 5, 9},
      {"\\.define", "x define", 5, 9},
  });
}

TEST(StrMatchPath, LeadingTrailingStarStopsAtWordEnd) {
  Check(StrMatchPathPatternA, {
      {"tmp*", "tmpdir/file", 5, 6}, {"*", "1.2.3\"\r\n", 5, 5}, {"*", "\"", 5, 0},
      {"v*", "V2.0-rc1_x+b; rest", 5, 12}, {"x*", "abc", 5, 4},
      {"*=", "a=b=c", 5, 2},  // an inner "*" takes the shortest run
  });
}

TEST(StrMatchPath, VersionLines) {
  EXPECT_EQ(VersionOf("#define VERSION \"1.2.3\"\n", "*VERSION \\\"", "*", "\\\""), "1.2.3");
  EXPECT_EQ(VersionOf("#define VERSION \"1.2.3\"", "*version ?", "*", "?"), "1.2.3");
  EXPECT_EQ(VersionOf("  version = 4.05;\r\n", "\\.version = ", "*", ";"), "4.05");
  EXPECT_EQ(VersionOf("\t<version>2.1.0-beta</version>", "*<version>", "*", "</version>"), "2.1.0-beta");
  EXPECT_EQ(VersionOf("Version: 7.1 build 33 (x)", "*version: ", "* build *", " ("), "7.1 build 33");
  // The third token must find what the second left over.
  EXPECT_EQ(VersionOf("#define VERSION \"1.2.3 beta\"", "*VERSION \\\"", "*", "\\\""), "-");
  EXPECT_EQ(VersionOf("#define OTHER \"1.2.3\"", "*VERSION \\\"", "*", "\\\""), "-");
}

TEST(StrMatchList, NumbersAndEmptyLists) {
  EXPECT_EQ(StrMatchPatternListA("a.ZIP", -1, "*.zip;*.7z;*.tar", 1, ';'), 1);
  EXPECT_EQ(StrMatchPatternListA("a.tar", -1, "*.zip; *.7z ; *.tar", 1, ';'), 3);
  EXPECT_EQ(StrMatchPatternListA("a.7z", -1, "*.zip;;*.7z", 1, ';'), 3);
  EXPECT_EQ(StrMatchPatternListA("a.txt", -1, "*.TXT", 0, ';'), -1);
  EXPECT_EQ(StrMatchPatternListA("a", -1, " ; ;", 1, ';'), 0);
  EXPECT_EQ(StrMatchPatternListA("a", -1, nullptr, 1, ';'), 0);
  EXPECT_EQ(StrMatchPatternListA("a.txtjunk", 5, "x|*.txt", 0, '|'), 2);
  EXPECT_EQ(StrMatchPatternListA("tmp/a", -1, "x;tmp", 5, ';'), 2);
}

TEST(StrWildcardCompare, NarrowAndWide) {
  EXPECT_EQ(StrWildcardCompareA("Readme.md", "*.md"), 0);
  EXPECT_EQ(StrWildcardCompareA("Readme.md", "*.MD"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"FILE.TXT", u"*.txt"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"a\U0001F600b", u"a?b"), 0);  // a surrogate pair is one character
  EXPECT_EQ(StrWildcardCompareW(u"a\U0001F600b", u"a??b"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"\xD800x", u"??"), 0);          // a lone surrogate is one unit
}

}  // namespace
