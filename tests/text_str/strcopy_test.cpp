// Bounded copies and appends: sizes 0, 1 and exact, UTF-8 cut points, surrogate pairs.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(StrCopy, SizesZeroOneAndExact) {
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(StrCopyA(buf, "abc", 0), 0);
  EXPECT_EQ(buf[0], 'X');  // size 0 writes nothing
  EXPECT_EQ(StrCopyA(buf, "abc", 1), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(StrCopyA(buf, "abc", 4), 3);
  EXPECT_STREQ(buf, "abc");
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(StrCopyA(buf, "abcd", 4), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'X');
  EXPECT_EQ(StrCopyA(buf, nullptr, 4), 0);
  EXPECT_STREQ(buf, "");
}

TEST(StrCopy, NeverCutsInsideASequence) {
  char buf[8];
  // "a€" is 4 bytes; a buffer of 4 holds "a" and part of "€": only "a" is kept.
  EXPECT_EQ(StrCopyA(buf, "a\xE2\x82\xAC", 4), 1);
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(StrCopyA(buf, "a\xE2\x82\xAC", 5), 4);
  EXPECT_STREQ(buf, "a\xE2\x82\xAC");
  EXPECT_EQ(StrCopyA(buf, "\xF0\x9F\x98\x80z", 4), 0);
  // Malformed bytes are not sequences: they are cut like any byte.
  EXPECT_EQ(StrCopyA(buf, "ab\x80\x80\x80\x80", 4), 3);
  EXPECT_EQ(StrCopyA(buf, "ab\xE2\x82x", 4), 3);
}

TEST(StrCopy, CountedCopies) {
  char buf[8];
  EXPECT_EQ(StrCopyNA(buf, "abcdef", 8, 3), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(StrCopyNA(buf, "ab", 8, 0x1000000), 2);
  EXPECT_EQ(StrCopyNA(buf, "abcdefghij", 8, 0x1000000), 7);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(StrCopyNA(buf, "abc", 8, 0), 0);
  EXPECT_STREQ(buf, "");
  // n ends the text without a NUL: nothing beyond it is read.
  const char noNul[3] = {'x', 'y', 'z'};
  EXPECT_EQ(StrCopyNA(buf, noNul, 8, 3), 3);
  EXPECT_STREQ(buf, "xyz");
  EXPECT_EQ(StrCopyNA(buf, "\xC3\xA4\xC3\xA4", 4, 10), 2);  // size cut backs off to "ä"
}

TEST(StrCopy, WideCopies) {
  WCHAR buf[4];
  EXPECT_EQ(StrCopyNW(buf, u"abcdef", 4, 100), 3);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(StrCopyNW(buf, u"ab\U0001F600", 4, 100), 2);  // the pair would not fit whole
  EXPECT_EQ(std::u16string(buf), u"ab");
  WCHAR big[5];
  EXPECT_EQ(StrCopyNW(big, u"ab\U0001F600", 5, 100), 4);
  EXPECT_EQ(StrCopyNW(buf, u"abc", 4, 2), 2);
  EXPECT_EQ(StrCopyNW(buf, u"abc", 0, 2), 0);
}

TEST(StrCat, AppendsWithinSize) {
  char buf[8] = "ab";
  EXPECT_EQ(StrCatA(buf, "cd", 8), 4);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(StrCatA(buf, "efghij", 8), 7);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(StrCatA(buf, "x", 8), 7);
  EXPECT_EQ(StrCatA(buf, "x", 0), 0);
  char u[6] = "ab";
  EXPECT_EQ(StrCatA(u, "\xE2\x82\xAC\xE2\x82\xAC", 6), 5);
  EXPECT_STREQ(u, "ab\xE2\x82\xAC");
  // A buffer without a terminator is terminated, not overrun.
  char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(StrCatA(full, "x", 4), 3);
  EXPECT_STREQ(full, "abc");
}

}  // namespace
