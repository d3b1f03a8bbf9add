// Search and class spans: case folding, bounds, absent characters, the class table's bits.
#include "lib/text/str.h"

#include <gtest/gtest.h>

namespace {

TEST(StrFind, Substrings) {
  EXPECT_EQ(StrFindA("hello world", "world"), 6);
  EXPECT_EQ(StrFindA("hello world", "World"), -1);
  EXPECT_EQ(StrFindA("abc", ""), 0);
  EXPECT_EQ(StrFindA(nullptr, "a"), -1);
  EXPECT_EQ(StrFindNoCaseA("Makefile.AM", "file.am"), 4);
  // No folding beyond ASCII, and none that joins "[" with "{".
  EXPECT_EQ(StrFindNoCaseA("x\xC3\x84y", "\xC3\xA4"), -1);
  EXPECT_EQ(StrFindNoCaseA("a{b", "[b"), -1);
}

TEST(StrFind, Bounded) {
  EXPECT_EQ(StrFindNoCaseNA("abcVERSIONdef", "version", 10), 3);
  EXPECT_EQ(StrFindNoCaseNA("abcVERSIONdef", "version", 9), -1);  // must end within n
  EXPECT_EQ(StrFindNoCaseNA("ab", "b", 100), 1);
  const char bytes[] = {'x', '\0', 'M', 'a', 'R', 'k'};
  EXPECT_EQ(StrFindBytesNoCaseA(bytes, "mark", 6, 4), 2);
  EXPECT_EQ(StrFindBytesNoCaseA(bytes, "mark", 5, 4), -1);
  EXPECT_EQ(StrFindBytesNoCaseA("aXb", "x", -1, -1), 1);
}

TEST(StrFind, Characters) {
  EXPECT_EQ(StrFindCharA("a;b;c", ';'), 1);
  EXPECT_EQ(StrFindCharA("abc", ';'), 3);
  EXPECT_EQ(StrFindCharA("abc", '\0'), 3);
  EXPECT_EQ(StrSkipPastCharA("key=value", '='), 4);
  EXPECT_EQ(StrSkipPastCharA("key", '='), 3);
}

TEST(StrSpanClass, TableBits) {
  EXPECT_EQ(CharClassTable[static_cast<unsigned char>('7')], CC_DIGIT);
  EXPECT_EQ(CharClassTable[static_cast<unsigned char>('B')], CC_UPPER | CC_HEXLETTER);
  EXPECT_EQ(CharClassTable[static_cast<unsigned char>('\\')], CC_BACKSLASH);
  EXPECT_EQ(CharClassTable[0], CC_NUL);
  EXPECT_EQ(CharClassTable[0xC3], 0u);  // bytes of UTF-8 sequences have no class
}

TEST(StrSpanClass, ForwardRuns) {
  EXPECT_EQ(StrSpanClassA("  \tword", CC_BLANK | CC_TAB), 3);
  EXPECT_EQ(StrSpanClassA("Version_2 x", 31), 9);  // letters, digits and "_"
  // The terminator ends every run, even when the mask names it.
  EXPECT_EQ(StrSpanClassA("12", CC_DIGIT | CC_NUL), 2);
  EXPECT_EQ(StrSpanNotClassA("name:rest", CC_COLON), 4);
  EXPECT_EQ(StrSpanNotClassA("a/b\\c", CC_SLASH | CC_BACKSLASH), 1);
}

TEST(StrSpanClass, ReverseRuns) {
  const char text[] = "folder \t ";
  const char* end = text + sizeof text - 1;
  EXPECT_EQ(StrSpanClassReverseA(end, CC_BLANK | CC_TAB, 100), 3);
  EXPECT_EQ(StrSpanClassReverseA(end, CC_BLANK | CC_TAB, 2), 2);
  EXPECT_EQ(StrSpanNotClassReverseA(text + 6, CC_SLASH, 6), 6);  // never before the start
  EXPECT_EQ(StrSpanNotClassReverseA(text + 6, CC_LOWER, 6), 0);
  EXPECT_EQ(StrSpanClassReverseA(end, CC_BLANK, 0), 0);
}

}  // namespace
