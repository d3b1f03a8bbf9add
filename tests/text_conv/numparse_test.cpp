// Tests of integer parsing with radix prefixes and signs.
#include <gtest/gtest.h>

#include <climits>

#include "lib/text/num.h"

namespace {

TEST(NumParseInt, PrefixesSignsBlanksAndWrap) {
  struct Case {
    const char* text;
    i32 value;
  } cases[] = {
      {"  \t42", 42},
      {"-42", -42},
      {"-0x10", -16},
      {"0o78", 7},
      {"0b12", 1},
      {"010", 10},  // a leading zero alone is still decimal
      {"3,4", 3},
      // A prefix without a digit of its radix is the number 0 followed by a letter.
      {"0x", 0},
      {"0xZ", 0},
      {"- 5", 0},
      {nullptr, 0},
      {"0xFFFFFFFF", -1},
      {"-2147483648", INT_MIN},
      {"4294967296", 0},  // modulo 2^32
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, NumParseIntA(c.text)) << (c.text ? c.text : "null");
}

}  // namespace
