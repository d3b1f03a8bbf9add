// Bounded copies and appends (sizes, UTF-8 cut points, surrogate pairs), search and class spans.
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

}  // namespace
