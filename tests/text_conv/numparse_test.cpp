// Tests of integer parsing with radix prefixes and signs, and of integer formatting.
#include <gtest/gtest.h>

#include <climits>

#include "lib/text/num.h"

namespace {

TEST(NumParseInt, PrefixesSignsAndBlanks) {
  EXPECT_EQ(42, NumParseIntA("42"));
  EXPECT_EQ(42, NumParseIntA("  \t42"));
  EXPECT_EQ(-42, NumParseIntA("-42"));
  EXPECT_EQ(42, NumParseIntA("+42"));
  EXPECT_EQ(0x8002, NumParseIntA("0x8002"));
  EXPECT_EQ(0xBEEF, NumParseIntA("0XbEeF"));
  EXPECT_EQ(-16, NumParseIntA("-0x10"));
  EXPECT_EQ(19, NumParseIntA("0d19"));
  EXPECT_EQ(8, NumParseIntA("0o10"));
  EXPECT_EQ(5, NumParseIntA("0b101"));
  EXPECT_EQ(10, NumParseIntA("010"));  // a leading zero alone is still decimal
}

TEST(NumParseInt, StopsAtTheFirstForeignCharacter) {
  EXPECT_EQ(3, NumParseIntA("3,4"));
  EXPECT_EQ(12, NumParseIntA("12abc"));
  EXPECT_EQ(0x1F, NumParseIntA("0x1Fg"));
  EXPECT_EQ(1, NumParseIntA("0b12"));
  EXPECT_EQ(7, NumParseIntA("0o78"));
  // A prefix without a digit of its radix is the number 0 followed by a letter.
  EXPECT_EQ(0, NumParseIntA("0x"));
  EXPECT_EQ(0, NumParseIntA("0xZ"));
  EXPECT_EQ(0, NumParseIntA("0b2"));
}

TEST(NumParseInt, NoDigitGivesZero) {
  EXPECT_EQ(0, NumParseIntA(""));
  EXPECT_EQ(0, NumParseIntA("abc"));
  EXPECT_EQ(0, NumParseIntA("-"));
  EXPECT_EQ(0, NumParseIntA("- 5"));
  EXPECT_EQ(0, NumParseIntA(nullptr));
}

TEST(NumParseInt, ThirtyTwoBitWrap) {
  EXPECT_EQ(-1, NumParseIntA("0xFFFFFFFF"));
  EXPECT_EQ(INT_MIN, NumParseIntA("-2147483648"));
  EXPECT_EQ(INT_MAX, NumParseIntA("2147483647"));
  EXPECT_EQ(0, NumParseIntA("4294967296"));  // modulo 2^32
}

TEST(NumFormatInt, DecimalAndHexadecimal) {
  char buf[16];
  EXPECT_EQ(1, NumFormatIntA(0, buf, 0));
  EXPECT_STREQ("0", buf);
  EXPECT_EQ(11, NumFormatIntA(INT_MIN, buf, 0));
  EXPECT_STREQ("-2147483648", buf);
  EXPECT_EQ(6, NumFormatIntA(0x8002, buf, 1));
  EXPECT_STREQ("0x8002", buf);
  EXPECT_EQ(3, NumFormatIntA(0, buf, 1));
  EXPECT_STREQ("0x0", buf);
  EXPECT_EQ(10, NumFormatIntA(-1, buf, 1));
  EXPECT_STREQ("0xFFFFFFFF", buf);
  // What the job file writes, it reads back.
  for (i32 v : {0, 1, -1, 1023, 0x1000, INT_MAX, INT_MIN}) {
    for (int flags : {0, 1}) {
      NumFormatIntA(v, buf, flags);
      EXPECT_EQ(v, NumParseIntA(buf)) << buf;
    }
  }
}

}  // namespace
