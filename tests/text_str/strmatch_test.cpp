// Wildcard matching: whole names, case and "*.*" rules, leading parts for folders and lines.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int Match(const char* pattern, const char* name, int flags = 0) {
  return StrMatchPatternA(pattern, -1, name, -1, flags);
}

// The excluded-folder test: the matched part must end at "/" or at the end of the path.
bool Excluded(const char* pattern, const std::string& path) {
  const int n = StrMatchPatternA(pattern, -1, path.c_str(), static_cast<int>(path.size()), 5);
  return n <= static_cast<int>(path.size()) && (n == static_cast<int>(path.size()) || path[n] == '/');
}

// The version reader: three tokens matched one after another; the second one's part is the result.
bool VersionOf(const std::string& line, const char* t1, const char* t2, const char* t3, std::string* out) {
  const int len = static_cast<int>(line.size());
  const int a = StrMatchPathPatternA(t1, -1, line.c_str(), len, 5);
  if (a > len) return false;
  const int b = StrMatchPathPatternA(t2, -1, line.c_str() + a, len - a, 5);
  if (b > len - a) return false;
  const int c = StrMatchPathPatternA(t3, -1, line.c_str() + a + b, len - a - b, 5);
  if (c > len - a - b) return false;
  *out = line.substr(static_cast<size_t>(a), static_cast<size_t>(b));
  return true;
}

TEST(StrMatchWhole, StarsAndQuestionMarks) {
  EXPECT_EQ(Match("*.txt", "notes.txt"), 0);
  EXPECT_EQ(Match("*.txt", "notes.txt.bak"), 1);
  EXPECT_EQ(Match("a*b*c", "aXbYbZc"), 0);
  EXPECT_EQ(Match("a*b*c", "aXbYbZ"), 1);
  EXPECT_EQ(Match("?", ""), 1);
  EXPECT_EQ(Match("*", ""), 0);
  EXPECT_EQ(Match("", ""), 0);
  EXPECT_EQ(Match("", "a"), 1);
  EXPECT_EQ(Match("***", "abc"), 0);
  EXPECT_EQ(Match("a?c", "abc"), 0);
  EXPECT_EQ(Match("a?c", "ac"), 1);
  // Without the path rule "*" covers separators.
  EXPECT_EQ(Match("src/*.h", "src/sub/x.h"), 0);
  // Counted lengths limit both texts.
  EXPECT_EQ(StrMatchPatternA("*.txtXYZ", 5, "a.txt-more", 5, 0), 0);
}

TEST(StrMatchWhole, LetterCase) {
  EXPECT_EQ(Match("*.TXT", "a.txt"), 1);
  EXPECT_EQ(Match("*.TXT", "a.txt", STR_MATCH_NOCASE), 0);
  // Only ASCII letters fold: "Ä" and "ä" stay different.
  EXPECT_EQ(Match("\xC3\x84", "\xC3\xA4", STR_MATCH_NOCASE), 1);
  EXPECT_EQ(Match("\xC3\xA4", "\xC3\xA4", STR_MATCH_NOCASE), 0);
  // Folding must not join letters with neighbouring punctuation ("[" is "{" less 32, "@" is "`").
  EXPECT_EQ(Match("[", "{", STR_MATCH_NOCASE), 1);
  EXPECT_EQ(Match("@", "`", STR_MATCH_NOCASE), 1);
}

TEST(StrMatchWhole, StarDotRule) {
  EXPECT_EQ(Match("*.*", "README"), 1);
  EXPECT_EQ(Match("*.*", "README", STR_MATCH_STARDOT), 0);
  EXPECT_EQ(Match("*.*", "readme.txt", 3), 0);
  EXPECT_EQ(Match("rep*.*", "report", 3), 0);
  EXPECT_EQ(Match("rep*.*", "other", 3), 1);
  // Only a trailing "*.*" is widened.
  EXPECT_EQ(Match("*.*x", "abx", STR_MATCH_STARDOT), 1);
  EXPECT_EQ(Match("*.T*", "A.txt", 3), 0);
}

TEST(StrMatchWhole, QuestionMarkTakesOneUtf8Sequence) {
  // "ü" (2 bytes), "€" (3 bytes), an emoji (4 bytes).
  EXPECT_EQ(Match("gr?n", "gr\xC3\xBCn"), 0);
  EXPECT_EQ(Match("gr??n", "gr\xC3\xBCn"), 1);
  EXPECT_EQ(Match("?", "\xE2\x82\xAC"), 0);
  EXPECT_EQ(Match("?", "\xF0\x9F\x98\x80"), 0);
  EXPECT_EQ(Match("??", "\xF0\x9F\x98\x80"), 1);
  // Malformed bytes count one by one: a lone continuation byte, a truncated sequence, an
  // overlong form and a surrogate encoding.
  EXPECT_EQ(Match("?", "\x80"), 0);
  EXPECT_EQ(Match("??", "\xE2\x82"), 0);
  EXPECT_EQ(Match("??", "\xC0\xAF"), 0);
  EXPECT_EQ(Match("???", "\xED\xA0\x80"), 0);
  // A multibyte literal needs the whole sequence.
  EXPECT_EQ(Match("\xE2\x82\xAC*", "\xE2\x82\xAD"), 1);
}

TEST(StrMatchWhole, ManyStarsStayFast) {
  const std::string name(5000, 'a');
  EXPECT_EQ(Match("*a*a*a*a*a*a*a*a*a*a*a*b", name.c_str()), 1);
  EXPECT_EQ(Match("*a*a*a*a*a*a*a*a*a*a*a*", name.c_str()), 0);
  const std::string longPattern = std::string(600, '?') + "*";
  EXPECT_EQ(Match(longPattern.c_str(), name.c_str()), 0);
  EXPECT_EQ(Match(longPattern.c_str(), "short"), 1);
}

TEST(StrMatchLeading, FolderParts) {
  EXPECT_EQ(Match("tmp*", "tmpdir/a/b", 5), 6);
  EXPECT_EQ(Match("a*", "ab/cd", 5), 2);
  EXPECT_EQ(Match("*/obj", "x/y/obj/z", 5), 7);
  EXPECT_EQ(Match("build", "build", 5), 5);
  EXPECT_EQ(Match("build", "Build/x", 5), 5);
  EXPECT_EQ(Match("build", "builder/x", 5), 10);  // no match: one beyond the length
  EXPECT_EQ(Match("build", "build", 4), 5);
  EXPECT_EQ(Match("build", "BUILD", 4), 6);       // case counts without flag 1
  EXPECT_EQ(Match("x", "", 5), 1);
  EXPECT_EQ(Match("*", "", 5), 0);
}

TEST(StrMatchLeading, ExcludedFolders) {
  EXPECT_TRUE(Excluded("cache", "cache"));
  EXPECT_TRUE(Excluded("cache", "Cache/a/b.txt"));
  EXPECT_FALSE(Excluded("cache", "cached/a.txt"));
  EXPECT_FALSE(Excluded("cache", "x/cache/a.txt"));
  EXPECT_TRUE(Excluded("tmp*", "tmpdir/file"));
  EXPECT_TRUE(Excluded("*.tmp", "a.tmpx/b.tmp/c"));  // the inner folder ends in ".tmp"
  EXPECT_TRUE(Excluded("*x", "ax/bxc"));
  EXPECT_FALSE(Excluded("*x", "axe/bxc"));
  EXPECT_TRUE(Excluded("src/gen", "src/gen/a.c"));
  EXPECT_FALSE(Excluded("src/gen", "src/generic/a.c"));
  EXPECT_TRUE(Excluded("*/obj", "proj/obj/x.o"));
  EXPECT_TRUE(Excluded("*/obj", "a/b/obj"));
  EXPECT_FALSE(Excluded("*/obj", "obj/x.o"));
}

TEST(StrMatchPath, SeparatorsAreNotWildcardCharacters) {
  EXPECT_EQ(StrMatchPathPatternA("src/*.h", -1, "src/x.h", -1, 0), 0);
  EXPECT_EQ(StrMatchPathPatternA("src/*.h", -1, "src/sub/x.h", -1, 0), 1);
  EXPECT_EQ(StrMatchPathPatternA("a?b", -1, "a/b", -1, 0), 1);
  EXPECT_EQ(StrMatchPathPatternA("a/b", -1, "a\\b", -1, 0), 0);
  EXPECT_EQ(StrMatchPathPatternA("a\\*", -1, "a/xyz", -1, 0), 0);
  EXPECT_EQ(StrMatchPathPatternA("*/*", -1, "a/b", -1, 0), 0);
  EXPECT_EQ(StrMatchPathPatternA("A/*.TXT", -1, "a/b.txt", -1, 1), 0);
}

TEST(StrMatchPath, LeadingTrailingStarStopsAtWordEnd) {
  EXPECT_EQ(StrMatchPathPatternA("tmp*", -1, "tmpdir/file", -1, 5), 6);
  EXPECT_EQ(StrMatchPathPatternA("*", -1, "1.2.3\"\r\n", -1, 5), 5);
  EXPECT_EQ(StrMatchPathPatternA("*", -1, "\"", -1, 5), 0);
  EXPECT_EQ(StrMatchPathPatternA("v*", -1, "V2.0-rc1_x+b; rest", -1, 5), 12);
  EXPECT_EQ(StrMatchPathPatternA("x*", -1, "abc", -1, 5), 4);  // no match
  // An inner "*" takes the shortest run: the first "=" ends the match.
  EXPECT_EQ(StrMatchPathPatternA("*=", -1, "a=b=c", -1, 5), 2);
}

TEST(StrMatchPath, VersionLines) {
  std::string v;
  ASSERT_TRUE(VersionOf("#define VERSION \"1.2.3\"\n", "*VERSION \\\"", "*", "\\\"", &v));
  EXPECT_EQ(v, "1.2.3");
  ASSERT_TRUE(VersionOf("#define VERSION \"1.2.3\"", "*version ?", "*", "?", &v));
  EXPECT_EQ(v, "1.2.3");
  ASSERT_TRUE(VersionOf("  version = 4.05;\r\n", "\\.version = ", "*", ";", &v));
  EXPECT_EQ(v, "4.05");
  ASSERT_TRUE(VersionOf("\t<version>2.1.0-beta</version>", "*<version>", "*", "</version>", &v));
  EXPECT_EQ(v, "2.1.0-beta");
  // An inner "*" in the second token: shortest run, then the word run of the trailing "*".
  ASSERT_TRUE(VersionOf("Version: 7.1 build 33 (x)", "*version: ", "* build *", " (", &v));
  EXPECT_EQ(v, "7.1 build 33");
  // The third token must find what the second left over.
  EXPECT_FALSE(VersionOf("#define VERSION \"1.2.3 beta\"", "*VERSION \\\"", "*", "\\\"", &v));
  EXPECT_FALSE(VersionOf("#define OTHER \"1.2.3\"", "*VERSION \\\"", "*", "\\\"", &v));
}

TEST(StrMatchPath, BackslashForms) {
  EXPECT_EQ(StrMatchPathPatternA("\\.define", -1, "define X", -1, 5), 6);
  EXPECT_EQ(StrMatchPathPatternA("\\.define", -1, " \t define X", -1, 5), 9);
  EXPECT_EQ(StrMatchPathPatternA("\\.define", -1, "x define", -1, 5), 9);
  EXPECT_EQ(StrMatchPathPatternA("a\\'b", -1, "a'b", -1, 0), 0);
  EXPECT_EQ(StrMatchPathPatternA("a\\b", -1, "a/b", -1, 0), 0);
}

TEST(StrMatchList, NumbersAndEmptyLists) {
  EXPECT_EQ(StrMatchPatternListA("a.ZIP", -1, "*.zip;*.7z;*.tar", 1, ';'), 1);
  EXPECT_EQ(StrMatchPatternListA("a.tar", -1, "*.zip; *.7z ; *.tar", 1, ';'), 3);
  EXPECT_EQ(StrMatchPatternListA("a.txt", -1, "*.zip;*.7z", 1, ';'), -1);
  EXPECT_EQ(StrMatchPatternListA("a.7z", -1, "*.zip;;*.7z", 1, ';'), 3);
  EXPECT_EQ(StrMatchPatternListA("a", -1, "", 1, ';'), 0);
  EXPECT_EQ(StrMatchPatternListA("a", -1, " ; ;", 1, ';'), 0);
  EXPECT_EQ(StrMatchPatternListA("a", -1, nullptr, 1, ';'), 0);
  EXPECT_EQ(StrMatchPatternListA("a.txt", -1, "*.TXT", 0, ';'), -1);
  EXPECT_EQ(StrMatchPatternListA("a.txtjunk", 5, "x|*.txt", 0, '|'), 2);
  EXPECT_EQ(StrMatchPatternListA("tmp/a", -1, "x;tmp", 5, ';'), 2);
}

TEST(StrWildcardCompare, NarrowAndWide) {
  EXPECT_EQ(StrWildcardCompareA("Readme.md", "*.md"), 0);
  EXPECT_EQ(StrWildcardCompareA("Readme.md", "*.MD"), 1);
  EXPECT_EQ(StrWildcardCompareA("", "*"), 0);
  EXPECT_EQ(StrWildcardCompareW(u"FILE.TXT", u"*.TXT"), 0);
  EXPECT_EQ(StrWildcardCompareW(u"FILE.TXT", u"*.txt"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"a\U0001F600b", u"a?b"), 0);  // a surrogate pair is one character
  EXPECT_EQ(StrWildcardCompareW(u"a\U0001F600b", u"a??b"), 1);
  EXPECT_EQ(StrWildcardCompareW(u"\xD800x", u"??"), 0);          // a lone surrogate is one unit
}

}  // namespace
