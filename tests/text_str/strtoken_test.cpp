// Tokens with quotes and escapes, escape resolution and replacement in bounded buffers.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

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

}  // namespace
