// Tests of the printf-style engine against the C library and of its bounded outputs.
#include "lib/text/fmt.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Formats with both engines and reports the format on a difference.
template <typename... Args>
void ExpectSame(const std::string& format, Args... args) {
  char ours[512];
  char libc[512];
  int n1 = FmtSnprintfA(ours, sizeof ours, format.c_str(), args...);
  int n2 = std::snprintf(libc, sizeof libc, format.c_str(), args...);
  ASSERT_EQ(n2, n1) << "format \"" << format << "\"";
  ASSERT_STREQ(libc, ours) << "format \"" << format << "\"";
}

// Every combination of flags, width and precision around one conversion.
std::vector<std::string> Specs(char conv, bool withAlt, bool withSign) {
  std::vector<std::string> out;
  const char* widths[] = {"", "1", "6", "14"};
  const char* precisions[] = {"", ".", ".0", ".1", ".4", ".12"};
  for (int mask = 0; mask < 32; ++mask) {
    std::string flags;
    if (mask & 1) flags += '-';
    if ((mask & 2) && withSign) flags += '+';
    if ((mask & 4) && withSign) flags += ' ';
    if (mask & 8) flags += '0';
    if ((mask & 16) && withAlt) flags += '#';
    for (const char* w : widths)
      for (const char* p : precisions) out.push_back("[%" + flags + w + p + conv + "]");
  }
  return out;
}

TEST(FmtIntegers, FlagsWidthsAndPrecisionsMatchLibc) {
  for (char conv : {'d', 'i'})
    for (const std::string& f : Specs(conv, false, true))
      for (int v : {0, 1, -1, -42, 1234567, INT_MAX, INT_MIN}) ExpectSame(f, v);
  for (char conv : {'u', 'x', 'X', 'o'})
    for (const std::string& f : Specs(conv, true, false))
      for (unsigned v : {0u, 1u, 255u, 0xDEADBEEFu, UINT_MAX}) ExpectSame(f, v);
  for (int w : {-8, -1, 0, 3, 9})
    for (int p : {-3, 0, 2, 6}) {
      ExpectSame("[%*.*d]", w, p, 42);
      ExpectSame("[%0*.*x]", w, p, 0xBEEFu);
      ExpectSame("[%*.*s]", w, p, "Kopiwart");
    }
}

TEST(FmtIntegers, LengthModifiersMatchLibc) {
  ExpectSame("%hhd|%hhd|%#hhx|%hi|%ho", 300, -300, 0x1234u, 70000, 65536u);  // wrap to the short types
  ExpectSame("%ld|%lu|%+lld|%#llX", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX);
  ExpectSame("%zd|%zu|%jd|%ju|%td|%tu", std::ptrdiff_t{-5}, SIZE_MAX, INTMAX_MIN, UINTMAX_MAX, PTRDIFF_MIN,
             std::size_t{7});
}

TEST(FmtText, StringsCharactersPointersAndFloats) {
  for (const std::string& f : Specs('s', false, false))
    for (const char* v : {"", "a", "Zeichenkette mit Leerzeichen"}) {
      if (f.find('0') != std::string::npos) continue;  // the zero flag is undefined for %s
      ExpectSame(f, v);
    }
  ExpectSame("[%c|%3c|%-3c] 100%%", 'x', 'y', 'z');
  int local = 0;
  ExpectSame("%p|[%20p]|[%-20p]", static_cast<void*>(&local), static_cast<void*>(&local),
             static_cast<void*>(&local));
  for (const char* f : {"[%f]", "[%.2f]", "[%10.3f]", "[%-+9.1f]", "[%08.2f]", "[%e]", "[%.3E]", "[%g]",
                        "[%.3g]", "[% G]", "[%#.0f]", "[%#.0e]"})
    for (double v : {0.0, 1.5, -2.25, 1e10, 0.000123, -0.0}) ExpectSame(f, v);
  const char* volatile none = nullptr;  // hidden from the compiler's format check
  EXPECT_EQ("(null)|(null)  ", FmtString("%s|%-8s", none, none));
  EXPECT_EQ("\xE2\x82\xAC|\xC3\xA4", FmtString("%lc|%ls", static_cast<std::wint_t>(0x20AC), L"\u00E4"));
}

TEST(FmtText, PrecisionNeverCutsUtf8) {
  const char* text = "a\xC3\xA4\xE2\x82\xAC";  // a, a-umlaut, euro sign
  EXPECT_EQ("a\xC3\xA4", FmtString("%.5s", text));
  // A counted text without terminator is read only up to the precision.
  const char unterminated[3] = {'x', '\xC3', '\xA4'};
  EXPECT_EQ("x\xC3\xA4", FmtString("%.3s", unterminated));
}

TEST(FmtBounded, TruncatesWholeSequencesAndReturnsFullLength) {
  char buf[8];
  EXPECT_EQ(11, FmtSnprintfA(buf, sizeof buf, "%s", "Hallo Welt!"));
  EXPECT_STREQ("Hallo W", buf);
  EXPECT_EQ(300u, FmtString("%300d", 5).size());  // padding longer than any internal block
  // "ä" is two bytes, "€" three: "ä€" needs 5 bytes, room is 4.
  char five[5];
  EXPECT_EQ(5, FmtSnprintfA(five, sizeof five, "%s", "\xC3\xA4\xE2\x82\xAC"));
  EXPECT_STREQ("\xC3\xA4", five);
  char three[3];
  FmtSnprintfA(three, sizeof three, "\xC3\xA4x");  // a cut right after a whole sequence keeps it
  EXPECT_STREQ("\xC3\xA4", three);
}

TEST(FmtBounded, SprintfTemplateIsBoundedByItsArray) {
  struct {
    char text[6];
    char guard[4];
  } block = {{}, {'G', 'G', 'G', 0}};
  EXPECT_EQ(12, FmtSprintfA(block.text, "%s-%i", "Zeile", 123456));
  EXPECT_STREQ("Zeile", block.text);
  EXPECT_STREQ("GGG", block.guard);
}

}  // namespace
