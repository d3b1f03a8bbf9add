// Tests of the UTF-8, UTF-16, Latin-1 and Windows-1252 conversions, malformed input included.
#include <gtest/gtest.h>

#include <string>

#include "lib/text/enc.h"

namespace {

TEST(Utf8, DecodeValidAndMalformedSequences) {
  struct Case {
    const char* text;
    int length;
    u32 codePoint;
  } cases[] = {
      {"\xC3\xA4", 2, 0xE4},
      {"\xF0\x9F\x98\x80", 4, 0x1F600},
      // A malformed byte yields itself.
      {"\x80z", 1, 0x80},
      {"\xC0\xAF", 1, 0xC0},          // overlong "/"
      {"\xED\xA0\x80", 1, 0xED},      // UTF-16 surrogate
      {"\xF4\x90\x80\x80", 1, 0xF4},  // above U+10FFFF
      {"\xE2\x82", 1, 0xE2},          // cut short by the NUL
  };
  for (const Case& c : cases) {
    u32 cp = 0;
    EXPECT_EQ(c.length, EncUtf8Decode(c.text, &cp)) << c.text;
    EXPECT_EQ(c.codePoint, cp) << c.text;
  }
}

TEST(Utf8, EncodeRoundTripsAndReplacesNonCharacters) {
  for (u32 cp : {0x24u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    char buf[5] = {};
    const int n = EncUtf8Encode(buf, cp);
    u32 back = 0;
    EXPECT_EQ(n, EncUtf8Decode(buf, &back));
    EXPECT_EQ(cp, back);
  }
  char buf[5] = {};
  EXPECT_EQ(3, EncUtf8Encode(buf, 0xD800));
  EXPECT_STREQ("\xEF\xBF\xBD", buf);
}

TEST(Utf16, SurrogatesAndConversionFromUtf8) {
  WCHAR units[3] = {};
  EXPECT_EQ(2, EncUtf16Encode(units, 0x1F600));
  u32 cp = 0;
  EXPECT_EQ(2, EncUtf16Decode(units, &cp));
  EXPECT_EQ(0x1F600u, cp);
  const WCHAR lone[] = {0xD83D, u'x', 0};
  EXPECT_EQ(1, EncUtf16Decode(lone, &cp));
  EXPECT_EQ(0xD83Du, cp);
  WCHAR out[8];
  EXPECT_EQ(3, EncUtf8ToUtf16(out, "a\xC3\xA4\xE2\x82\xAC", 8));
  EXPECT_EQ(std::u16string(u"a\u00E4\u20AC"), std::u16string(out));
  // Room for "a" and one unit: the emoji's pair does not fit and is left out whole.
  EXPECT_EQ(1, EncUtf8ToUtf16(out, "a\xF0\x9F\x98\x80", 3));
  EXPECT_EQ(std::u16string(u"a"), std::u16string(out));
}

TEST(Latin1, BothDirectionsBoundedAndTerminated) {
  char utf8[8];
  EXPECT_EQ(6, EncLatin1ToUtf8A(utf8, "M\xE4r\xDF", sizeof utf8));
  EXPECT_STREQ("M\xC3\xA4r\xC3\x9F", utf8);
  char small[6];  // room for five bytes: the third "ä" would not fit whole
  EXPECT_EQ(4, EncLatin1ToUtf8A(small, "\xE4\xE4\xE4", sizeof small));
  char latin[8];
  EXPECT_EQ(4, EncUtf8ToLatin1A(latin, "M\xC3\xA4r\xE2\x82\xAC", sizeof latin));
  EXPECT_STREQ("M\xE4r\xFF", latin);  // the euro sign is above 255
  // A Latin-1 text passed by mistake comes through unchanged.
  EXPECT_EQ(3, EncUtf8ToLatin1A(latin, "\xE4\xF6\xFC", sizeof latin));
  // n counts source bytes; a sequence cut by n is taken byte by byte.
  EXPECT_EQ(2, EncUtf8ToLatin1NA(latin, "a\xC3\xA4", sizeof latin, 2));
  EXPECT_STREQ("a\xC3", latin);
}

TEST(WholeText, ValidityLengthsAndCutPoints) {
  EXPECT_TRUE(EncIsValidUtf8(std::string_view("a\0b", 3)));
  EXPECT_FALSE(EncIsValidUtf8("Gr\xFC\xDF"));
  EXPECT_FALSE(EncIsValidUtf8("ab\xC3"));
  const std::string_view text = "a\xC3\xA4\xE2\x82\xAC";  // 1 + 2 + 3 bytes
  EXPECT_EQ(3u, EncUtf8Length(text));
  EXPECT_EQ(3u, EncUtf8Prefix(text, 2));
  const std::size_t fits[][2] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {5, 3}, {6, 6}};
  for (const auto& f : fits) EXPECT_EQ(f[1], EncUtf8FitBytes(text, f[0])) << f[0];
  // Stray continuation bytes are characters of their own and may be cut between.
  EXPECT_EQ(2u, EncUtf8FitBytes("\x80\x80\x80", 2));
}

TEST(Cp1252, WritingRuleTakesWindows1252OnlyWhereItReadsBack) {
  // Every byte 1-255 goes back to itself, the five undefined ones through their C1 code points.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string back;
  ASSERT_TRUE(EncUtf8ToCp1252(EncCp1252ToUtf8(all), back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(EncToWindowsText(EncCp1252ToUtf8(all)), all);
  // A character Windows-1252 lacks (U+0080, U+0141, an emoji) or bytes that are no UTF-8: as they are.
  for (const char* text : {"\xC2\x80", "\xC5\x81", "\xC3\xA4 \xF0\x9F\x98\x80", "a\xFF"}) {
    EXPECT_FALSE(EncUtf8ToCp1252(text, back)) << text;
    EXPECT_EQ(EncToWindowsText(text), text);
  }
  // "Ã¼" in Windows-1252 is C3 BC, which reads as UTF-8 ("ü"): it stays UTF-8; beside another
  // umlaut the bytes are no UTF-8 and Windows-1252 is safe again.
  EXPECT_EQ(EncToWindowsText("\xC3\x83\xC2\xBC"), "\xC3\x83\xC2\xBC");
  EXPECT_EQ(EncToWindowsText("\xC3\x83\xC2\xBC \xC3\xBC"), "\xC3\xBC \xFC");
  for (const char* text : {"\xC3\x83\xC2\xBC", "\xC3\x83\xC2\xBC \xC3\xBC", "Fu\xC3\x9F"})
    EXPECT_EQ(EncToUtf8(EncToWindowsText(text)), text);
}

}  // namespace
