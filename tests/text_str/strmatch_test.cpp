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

template <std::size_t N>
void Check(int (*fn)(const char*, int, const char*, int, int), const Case (&cases)[N]) {
  for (const Case& c : cases)
    EXPECT_EQ(fn(c.pattern, -1, c.name, -1, c.flags), c.expected)
        << "pattern '" << c.pattern << "' name '" << c.name << "' flags " << c.flags;
}

TEST(StrMatchWhole, StarsCaseStarDotAndUtf8) {
  const Case cases[] = {
      {"*.txt", "notes.txt.bak", 0, 1},
      {"a*b*c", "aXbYbZc", 0, 0},
      {"", "a", 0, 1},
      {"src/*.h", "src/sub/x.h", 0, 0},  // "*" covers "/" here
      {"*.TXT", "a.txt", 1, 0},
      {"\xC3\x84", "\xC3\xA4", 1, 1},  // only ASCII letters fold
      {"[", "{", 1, 1},
      {"*.*", "README", 2, 0},
      {"*.*x", "abx", 2, 1},
      {"*.T*", "A.txt", 3, 0},
      // "?" takes one UTF-8 sequence; malformed bytes count one by one.
      {"gr?n", "gr\xC3\xBCn", 0, 0},
      {"??", "\xF0\x9F\x98\x80", 0, 1},
      {"??", "\xE2\x82", 0, 0},
      {"???", "\xED\xA0\x80", 0, 0},
  };
  Check(StrMatchPatternA, cases);
  EXPECT_EQ(StrMatchPatternA("*.txtXYZ", 5, "a.txt-more", 5, 0), 0);  // counted lengths
  // No pattern makes the matcher slow.
  const std::string name(5000, 'a');
  EXPECT_EQ(StrMatchPatternA("*a*a*a*a*a*a*a*a*a*a*a*b", -1, name.c_str(), -1, 0), 1);
  EXPECT_EQ(StrMatchPatternA((std::string(600, '?') + "*").c_str(), -1, name.c_str(), -1, 0), 0);
}

// Leading parts name a folder and everything below it; "\" is an ordinary character of a name.
TEST(StrMatchLeading, FolderParts) {
  const Case cases[] = {
      {"tmp*", "tmpdir/a/b", 5, 6},
      {"*/obj", "x/y/obj/z", 5, 7},
      {"build", "builder/x", 5, 10},  // no match: beyond the length
      {"build", "BUILD", 4, 6},
      {"*.tmp", "a.tmpx/b.tmp/c", 5, 12},
      {"src/gen", "src/generic/a.c", 5, 16},
      {"a", "a\\b", 5, 4},
      {"*", "", 5, 0},
  };
  Check(StrMatchPatternA, cases);
}

TEST(StrMatchPath, SeparatorsBackslashFormsAndWordEnds) {
  const Case cases[] = {
      {"src/*.h", "src/sub/x.h", 0, 1},
      {"a?b", "a/b", 0, 1},
      {"a/b", "a\\b", 0, 0},
      {"a\\*", "a/xyz", 0, 0},
      {"A/*.TXT", "a/b.txt", 1, 0},
      {"a\\'b", "a'b", 0, 0},
      {"\\.define", " \t define X", 5, 9},
      {"*", "\"", 5, 0},
      {"v*", "V2.0-rc1_x+b; rest", 5, 12},
      {"x*", "abc", 5, 4},
      {"*=", "a=b=c", 5, 2},  // an inner "*" takes the shortest run
  };
  Check(StrMatchPathPatternA, cases);
}

TEST(StrWildcardCompare, NarrowAndWide) {
  EXPECT_EQ(StrWildcardCompareA("Readme.md", "*.MD"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"FILE.TXT", u"*.txt"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"a\U0001F600b", u"a?b"), 0);  // a surrogate pair is one character
  EXPECT_EQ(StrWildcardCompareW(u"\xD800x", u"??"), 0);        // a lone surrogate is one unit
}

}  // namespace
