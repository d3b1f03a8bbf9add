// Bounded copies and appends (sizes, UTF-8 cut points, surrogate pairs), search, class spans, tokens
// with quotes and escapes, escape resolution and replacement.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(StrCopy, NeverOverrunsNorCutsInsideASequence) {
  struct Case {
    const char* src;
    int size;
    int n;  // below 0: StrCopyA, else StrCopyNA with this count
    int length;
    const char* text;
  } cases[] = {
      {"abc", 1, -1, 0, ""},
      {"abcd", 4, -1, 3, "abc"},
      {nullptr, 4, -1, 0, ""},
      {"a\xE2\x82\xAC", 4, -1, 1, "a"},  // "a" and part of "€": only "a" is kept
      {"\xF0\x9F\x98\x80z", 4, -1, 0, ""},
      {"ab\x80\x80\x80\x80", 4, -1, 3, "ab\x80"},  // malformed bytes are cut like any byte
      {"abcdef", 8, 3, 3, "abc"},
      {"abcdefghij", 8, 0x1000000, 7, "abcdefg"},
      {"\xC3\xA4\xC3\xA4", 4, 10, 2, "\xC3\xA4"},
  };
  for (const Case& c : cases) {
    char buf[9];
    std::memset(buf, 'X', sizeof buf);
    const int n = c.n < 0 ? StrCopyA(buf, c.src, c.size) : StrCopyNA(buf, c.src, c.size, c.n);
    EXPECT_EQ(n, c.length) << c.text;
    EXPECT_STREQ(buf, c.text);
    EXPECT_EQ(buf[c.size], 'X') << c.text;  // nothing written beyond the size
  }
  char buf[8] = {'X'};
  EXPECT_EQ(StrCopyA(buf, "abc", 0), 0);
  EXPECT_EQ(buf[0], 'X');
  const char noNul[3] = {'x', 'y', 'z'};  // n ends the text: nothing beyond it is read
  EXPECT_EQ(StrCopyNA(buf, noNul, 8, 3), 3);
  EXPECT_STREQ(buf, "xyz");
}

TEST(StrCopy, WideCopiesKeepSurrogatePairsWhole) {
  WCHAR buf[4];
  EXPECT_EQ(StrCopyNW(buf, u"abcdef", 4, 100), 3);
  EXPECT_EQ(StrCopyNW(buf, u"ab\U0001F600", 4, 100), 2);
  EXPECT_EQ(std::u16string(buf), u"ab");
  WCHAR big[5];
  EXPECT_EQ(StrCopyNW(big, u"ab\U0001F600", 5, 100), 4);
  EXPECT_EQ(StrCopyNW(buf, u"abc", 4, 2), 2);
}

TEST(StrCat, AppendsWithinSize) {
  char buf[8] = "ab";
  EXPECT_EQ(StrCatA(buf, "cd", 8), 4);
  EXPECT_EQ(StrCatA(buf, "efghij", 8), 7);
  EXPECT_STREQ(buf, "abcdefg");
  char u[6] = "ab";
  EXPECT_EQ(StrCatA(u, "\xE2\x82\xAC\xE2\x82\xAC", 6), 5);
  EXPECT_STREQ(u, "ab\xE2\x82\xAC");
  // A buffer without a terminator is terminated, not overrun.
  char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(StrCatA(full, "x", 4), 3);
  EXPECT_STREQ(full, "abc");
}

TEST(StrFind, SubstringsAndCharacters) {
  EXPECT_EQ(StrFindA("hello world", "world"), 6);
  EXPECT_EQ(StrFindA(nullptr, "a"), -1);
  EXPECT_EQ(StrFindNoCaseA("Makefile.AM", "file.am"), 4);
  // No folding beyond ASCII, and none that joins "[" with "{".
  EXPECT_EQ(StrFindNoCaseA("x\xC3\x84y", "\xC3\xA4"), -1);
  EXPECT_EQ(StrFindNoCaseA("a{b", "[b"), -1);
  EXPECT_EQ(StrFindNoCaseNA("abcVERSIONdef", "version", 10), 3);
  EXPECT_EQ(StrFindNoCaseNA("abcVERSIONdef", "version", 9), -1);  // must end within n
  const char bytes[] = {'x', '\0', 'M', 'a', 'R', 'k'};
  EXPECT_EQ(StrFindBytesNoCaseA(bytes, "mark", 6, 4), 2);
  EXPECT_EQ(StrFindBytesNoCaseA(bytes, "mark", 5, 4), -1);
  EXPECT_EQ(StrFindCharA("a;b;c", ';'), 1);
  EXPECT_EQ(StrSkipPastCharA("key=value", '='), 4);
}

TEST(StrSpanClass, TableAndRuns) {
  EXPECT_EQ(CharClassTable[static_cast<unsigned char>('B')], CC_UPPER | CC_HEXLETTER);
  EXPECT_EQ(CharClassTable[0xC3], 0u);                   // bytes of UTF-8 sequences have no class
  EXPECT_EQ(StrSpanClassA("Version_2 x", 31), 9);        // letters, digits and "_"
  EXPECT_EQ(StrSpanClassA("12", CC_DIGIT | CC_NUL), 2);  // the terminator ends every run
  EXPECT_EQ(StrSpanNotClassA("a/b\\c", CC_SLASH | CC_BACKSLASH), 1);
  const char text[] = "folder \t ";
  const char* end = text + sizeof text - 1;
  EXPECT_EQ(StrSpanClassReverseA(end, CC_BLANK | CC_TAB, 100), 3);
  EXPECT_EQ(StrSpanNotClassReverseA(text + 6, CC_SLASH, 6), 6);  // never before the start
  EXPECT_EQ(StrSpanNotClassReverseA(text + 6, CC_LOWER, 6), 0);
}

TEST(StrReadToken, QuotesEscapesAndLimits) {
  struct Case {
    const char* text;
    int size;
    int maxLength;
    char escape;
    int consumed;
    const char* token;
  } cases[] = {
      {"  \tPLUS rest", 64, -1, '\\', 7, "PLUS"},
      {"abc;d", 64, -1, '\\', 3, "abc"},
      {",x", 64, -1, '\\', 0, ""},              // the caller steps over the separator
      {"a\\\"b c", 64, -1, '\\', 4, "a\\\"b"},  // escapes and quotes inside plain tokens are plain
      // Quoted: escape and escaped character stay, the quotes go.
      {"\"*VERSION \\\"\" \"*\"", 64, -1, '\\', 13, "*VERSION \\\""},
      {"\"a\\\\\"b", 64, -1, '\\', 5, "a\\\\"},  // an escaped backslash does not escape the quote
      {"  \"open to the end", 64, -1, '\\', 18, "open to the end"},
      {"\"abc\\\"def\"", 64, 5, '\\', 5, "abc\\"},  // the limit falls after the escape
      {"\"say \"\"hi\"\"\" x", 64, -1, '"', 12, "say \"\"hi\"\""},
      // A bounded copy still consumes the whole token, and never half an "ü".
      {"\"long token\" next", 5, -1, '\\', 12, "long"},
      {"gr\xC3\xBC\xC3\x9F x", 4, -1, '\\', 6, "gr"},
  };
  for (const Case& c : cases) {
    char buf[64];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(StrReadTokenA(buf, c.text, c.size, c.escape, '"', c.maxLength), c.consumed) << c.text;
    EXPECT_STREQ(buf, c.token) << c.text;
  }
  EXPECT_EQ(StrReadTokenA(nullptr, "skip me", 0, '\\', '"', -1), 4);
}

TEST(StrUnescape, Escapes) {
  const char* cases[][2] = {
      {"a\\tb\\nc\\r", "a\tb\nc\r"},
      {"Version \\\"%s\\\"", "Version \"%s\""},
      {"\"quoted part\" rest", "quoted part rest"},
      {"\\x41\\x4a\\x4Z", "AJ\x04Z"},
      {"\\101\\60\\0x", "A0x"},  // octal; a NUL is dropped
      {"\\q\\x", "\\q\\x"},      // unknown escapes stay as written
      {"end\\", "end\\"},
  };
  for (const auto& c : cases) {
    char buf[64];
    StrUnescapeA(buf, c[0], sizeof buf);
    EXPECT_STREQ(buf, c[1]) << c[0];
  }
  char buf[5];
  EXPECT_EQ(StrUnescapeA(buf, "ab\\xC3\\xA4c", 4), 2);  // "ä" would not fit whole
  EXPECT_STREQ(buf, "ab");
}

TEST(StrReplace, AllAndRange) {
  char buf[32] = "%s - %s";
  EXPECT_EQ(StrReplaceAllA(buf, "%s", "2024", sizeof buf), 11);
  EXPECT_STREQ(buf, "2024 - 2024");
  char grow[32] = "aa";
  EXPECT_EQ(StrReplaceAllA(grow, "a", "aa", sizeof grow), 4);  // no re-scan of inserted text
  char cut[8] = "x%sx";
  EXPECT_EQ(StrReplaceAllA(cut, "%s", "12345678", sizeof cut), 7);
  EXPECT_STREQ(cut, "x123456");
  EXPECT_EQ(StrReplaceAllA(cut, "", "z", sizeof cut), 7);
  char range[16] = "abcdef";
  EXPECT_EQ(StrReplaceRangeA(range, 2, 2, "XYZ", sizeof range, -1), 7);
  EXPECT_EQ(StrReplaceRangeA(range, 5, 100, "!", sizeof range, -1), 6);
  EXPECT_EQ(StrReplaceRangeA(range, 100, 0, "end", sizeof range, 2), 8);
  EXPECT_STREQ(range, "abXYZ!en");
  char small[6] = "ab\xE2\x82\xAC";
  EXPECT_EQ(StrReplaceRangeA(small, 0, 0, "x", sizeof small, -1), 3);  // "€" would not fit whole
  EXPECT_STREQ(small, "xab");
}

TEST(StrNoCase, EqualsStartsAndEndsFoldAsciiLettersOnly) {
  EXPECT_TRUE(StrEqualsNoCase("Nein", "nEIN"));
  EXPECT_FALSE(StrEqualsNoCase("Nein", "Nei"));
  EXPECT_FALSE(StrEqualsNoCase("\xC3\x84", "\xC3\xA4"));  // "Ä" and "ä": not ASCII
  EXPECT_TRUE(StrEqualsNoCase("", ""));
  EXPECT_TRUE(StrStartsWithNoCase("/ZEITPLAN=3", "/zeitplan="));
  EXPECT_FALSE(StrStartsWithNoCase("/ZEIT", "/zeitplan="));
  EXPECT_TRUE(StrEndsWithNoCase("Export.REG", ".reg"));
  EXPECT_FALSE(StrEndsWithNoCase("reg", ".reg"));
}

}  // namespace
