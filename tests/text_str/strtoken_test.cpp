// Tokens with quotes and escapes, trimming, escape resolution and replacement in bounded buffers.
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Token {
  int consumed;
  std::string text;
};

Token Read(const char* text, int size = 64, int maxLength = -1, char escape = '\\', char quote = '"') {
  char buf[256];
  std::memset(buf, 'X', sizeof buf);
  const int n = StrReadTokenA(buf, text, size, escape, quote, maxLength);
  return {n, std::string(buf)};
}

TEST(StrReadToken, Unquoted) {
  Token t = Read("  \tPLUS rest");
  EXPECT_EQ(t.consumed, 7);
  EXPECT_EQ(t.text, "PLUS");
  for (const char* s : {"abc,d", "abc;d", "abc d", "abc\td", "abc\r\n", "abc\x7f"}) {
    t = Read(s);
    EXPECT_EQ(t.consumed, 3) << s;
    EXPECT_EQ(t.text, "abc") << s;
  }
  t = Read(",x");  // an empty token consumes nothing; the caller steps over the separator
  EXPECT_EQ(t.consumed, 0);
  EXPECT_EQ(t.text, "");
  t = Read("a\\\"b c");  // escapes and quotes inside an unquoted token are plain characters
  EXPECT_EQ(t.text, "a\\\"b");
}

TEST(StrReadToken, QuotedWithEscapes) {
  // The version tag's tokens: escape and escaped character stay, the quotes go.
  const char* tag = "\"*VERSION \\\"\" \"*\" \"\\\"\"#";
  Token t = Read(tag);
  EXPECT_EQ(t.text, "*VERSION \\\"");
  EXPECT_EQ(t.consumed, 13);
  t = Read(tag + 13);
  EXPECT_EQ(t.text, "*");
  EXPECT_EQ(t.consumed, 4);
  t = Read(tag + 17);
  EXPECT_EQ(t.text, "\\\"");
  EXPECT_EQ(t.consumed, 5);
  EXPECT_EQ(tag[17 + 5], '#');
  t = Read("\"\"rest");
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(t.consumed, 2);
  t = Read("\"a\\\\\"b");  // an escaped backslash does not escape the closing quote
  EXPECT_EQ(t.text, "a\\\\");
  EXPECT_EQ(t.consumed, 5);
}

TEST(StrReadToken, UnclosedAndLimited) {
  Token t = Read("  \"open to the end");
  EXPECT_EQ(t.text, "open to the end");
  EXPECT_EQ(t.consumed, 18);
  t = Read("\"ends in escape\\");
  EXPECT_EQ(t.text, "ends in escape\\");
  EXPECT_EQ(t.consumed, 16);
  t = Read("abcdef", 64, 3);
  EXPECT_EQ(t.text, "abc");
  EXPECT_EQ(t.consumed, 3);
  t = Read("\"abc\\\"def\"", 64, 5);  // the limit falls after the escape
  EXPECT_EQ(t.text, "abc\\");
  EXPECT_EQ(t.consumed, 5);
}

TEST(StrReadToken, BoundedCopyStillConsumesWholeToken) {
  Token t = Read("\"long token\" next", 5);
  EXPECT_EQ(t.text, "long");
  EXPECT_EQ(t.consumed, 12);
  t = Read("gr\xC3\xBC\xC3\x9F x", 4);  // never half an "ü"
  EXPECT_EQ(t.text, "gr");
  EXPECT_EQ(t.consumed, 6);
  EXPECT_EQ(StrReadTokenA(nullptr, "skip me", 0, '\\', '"', -1), 4);
}

TEST(StrReadToken, QuoteAsItsOwnEscape) {
  Token t = Read("\"say \"\"hi\"\"\" x", 64, -1, '"', '"');
  EXPECT_EQ(t.text, "say \"\"hi\"\"");
  EXPECT_EQ(t.consumed, 12);
}

TEST(StrTrim, BlanksTabsAndLineBreaks) {
  char buf[32];
  EXPECT_EQ(StrTrimA(buf, " \t Mo 01.Jan.2024 \r\n"), 14);
  EXPECT_STREQ(buf, "Mo 01.Jan.2024");
  char same[32] = "  in place  ";
  EXPECT_EQ(StrTrimA(same, same), 8);
  EXPECT_STREQ(same, "in place");
  EXPECT_EQ(StrTrimA(buf, " \t\r\n"), 0);
  EXPECT_STREQ(buf, "");
}

std::string Unescape(const char* s, int size = 64) {
  char buf[64];
  StrUnescapeA(buf, s, size);
  return buf;
}

TEST(StrUnescape, Escapes) {
  EXPECT_EQ(Unescape("a\\tb\\nc\\r"), "a\tb\nc\r");
  EXPECT_EQ(Unescape("Version \\\"%s\\\""), "Version \"%s\"");
  EXPECT_EQ(Unescape("\"quoted part\" rest"), "quoted part rest");
  EXPECT_EQ(Unescape("\\x41\\x4a\\x4Z"), "AJ\x04Z");
  EXPECT_EQ(Unescape("\\101\\60\\0x"), "A0x");  // octal; a NUL is dropped
  EXPECT_EQ(Unescape("\\q\\x"), "\\q\\x");  // unknown escapes stay as written
  EXPECT_EQ(Unescape("end\\"), "end\\");
  char buf[5];
  EXPECT_EQ(StrUnescapeA(buf, "ab\\xC3\\xA4c", 4), 2);  // "ä" would not fit whole
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(StrUnescapeA(buf, "abc", 0), 0);
}

TEST(StrReplace, All) {
  char buf[32] = "%s - %s";
  EXPECT_EQ(StrReplaceAllA(buf, "%s", "2024", sizeof buf), 11);
  EXPECT_STREQ(buf, "2024 - 2024");
  char grow[32] = "aa";
  EXPECT_EQ(StrReplaceAllA(grow, "a", "aa", sizeof grow), 4);  // no re-scan of inserted text
  EXPECT_STREQ(grow, "aaaa");
  char cut[8] = "x%sx";
  EXPECT_EQ(StrReplaceAllA(cut, "%s", "12345678", sizeof cut), 7);
  EXPECT_STREQ(cut, "x123456");
  char none[8] = "abc";
  EXPECT_EQ(StrReplaceAllA(none, "", "z", sizeof none), 3);
}

TEST(StrReplace, Range) {
  char buf[16] = "abcdef";
  EXPECT_EQ(StrReplaceRangeA(buf, 2, 2, "XYZ", sizeof buf, -1), 7);
  EXPECT_STREQ(buf, "abXYZef");
  EXPECT_EQ(StrReplaceRangeA(buf, 5, 100, "!", sizeof buf, -1), 6);
  EXPECT_STREQ(buf, "abXYZ!");
  EXPECT_EQ(StrReplaceRangeA(buf, 100, 0, "end", sizeof buf, 2), 8);
  EXPECT_STREQ(buf, "abXYZ!en");
  char small[6] = "ab\xE2\x82\xAC";
  EXPECT_EQ(StrReplaceRangeA(small, 0, 0, "x", sizeof small, -1), 3);  // "€" would not fit whole
  EXPECT_STREQ(small, "xab");
}

}  // namespace
