// Tests of the printf-style engine against the C library and of its bounded and file outputs.
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
std::vector<std::string> Specs(const char* length, char conv, bool withAlt, bool withSign) {
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
      for (const char* p : precisions) out.push_back("[%" + flags + w + p + length + conv + "]");
  }
  return out;
}

TEST(FmtIntegers, SignedMatchesLibc) {
  const int values[] = {0, 1, -1, 7, -42, 1234567, INT_MAX, INT_MIN};
  for (char conv : {'d', 'i'})
    for (const std::string& f : Specs("", conv, false, true))
      for (int v : values) ExpectSame(f, v);
}

TEST(FmtIntegers, UnsignedMatchesLibc) {
  const unsigned values[] = {0u, 1u, 8u, 255u, 0x7FFFu, 0xDEADBEEFu, UINT_MAX};
  for (char conv : {'u', 'x', 'X', 'o'})
    for (const std::string& f : Specs("", conv, true, false))
      for (unsigned v : values) ExpectSame(f, v);
}

TEST(FmtIntegers, LengthModifiersMatchLibc) {
  for (const std::string& f : Specs("hh", 'd', false, true))
    for (int v : {0, 127, -128, 300, -300}) ExpectSame(f, v);  // wraps to signed char
  for (const std::string& f : Specs("hh", 'x', true, false))
    for (unsigned v : {0u, 255u, 0x1234u}) ExpectSame(f, v);
  for (const std::string& f : Specs("h", 'i', false, true))
    for (int v : {-32768, 32767, 70000}) ExpectSame(f, v);
  for (const std::string& f : Specs("h", 'o', true, false))
    for (unsigned v : {0u, 65535u, 65536u}) ExpectSame(f, v);
  for (const std::string& f : Specs("l", 'd', false, true))
    for (long v : {0L, LONG_MIN, LONG_MAX}) ExpectSame(f, v);
  for (const std::string& f : Specs("ll", 'X', true, false))
    for (unsigned long long v : {0ULL, ULLONG_MAX, 0x123456789ABCULL}) ExpectSame(f, v);
  for (const std::string& f : Specs("ll", 'i', false, true))
    for (long long v : {LLONG_MIN, -1LL, LLONG_MAX}) ExpectSame(f, v);
  for (const std::string& f : Specs("z", 'u', false, false))
    for (std::size_t v : {std::size_t{0}, SIZE_MAX}) ExpectSame(f, v);
  for (const std::string& f : Specs("j", 'd', false, true))
    for (std::intmax_t v : {INTMAX_MIN, INTMAX_MAX}) ExpectSame(f, v);
  for (const std::string& f : Specs("t", 'd', false, true))
    for (std::ptrdiff_t v : {PTRDIFF_MIN, std::ptrdiff_t{-5}}) ExpectSame(f, v);
}

TEST(FmtIntegers, FormsTheProgramUses) {
  ExpectSame("%i Dateien", 17);
  ExpectSame("%02u.%02u.%04u", 3u, 12u, 2026u);
  ExpectSame("%08i|%08i", 1234, -1234);
  ExpectSame("%.2s", "abcdef");
}

TEST(FmtIntegers, StarWidthAndPrecision) {
  for (int w : {-8, -1, 0, 3, 9})
    for (int p : {-3, 0, 2, 6}) {
      ExpectSame("[%*.*d]", w, p, 42);
      ExpectSame("[%0*.*x]", w, p, 0xBEEFu);
      ExpectSame("[%*.*s]", w, p, "Kopiwart");
    }
}

TEST(FmtText, StringsAndCharactersMatchLibc) {
  for (const std::string& f : Specs("", 's', false, false))
    for (const char* v : {"", "a", "Hallo", "Zeichenkette mit Leerzeichen"}) {
      if (f.find('0') != std::string::npos) continue;  // the zero flag is undefined for %s
      ExpectSame(f, v);
    }
  for (const char* f : {"[%c]", "[%3c]", "[%-3c]", "[%c%c%c]"}) ExpectSame(f, 'x', 'y', 'z');
  ExpectSame("100%% sicher, %s", "ja");
}

TEST(FmtText, PointerMatchesLibc) {
  int local = 0;
  for (const char* f : {"%p", "[%20p]", "[%-20p]"}) ExpectSame(f, static_cast<void*>(&local));
}

TEST(FmtText, NullStringPrintsNullWord) {
  const char* volatile none = nullptr;  // hidden from the compiler's format check
  EXPECT_EQ("(null)|(null)  ", FmtString("%s|%-8s", none, none));
}

TEST(FmtText, PrecisionNeverCutsUtf8) {
  const char* text = "a\xC3\xA4\xE2\x82\xAC";  // a, a-umlaut, euro sign
  EXPECT_EQ("a", FmtString("%.2s", text));
  EXPECT_EQ("a\xC3\xA4", FmtString("%.3s", text));
  EXPECT_EQ("a\xC3\xA4", FmtString("%.5s", text));
  EXPECT_EQ(text, FmtString("%.6s", text));
  // A counted text without terminator is read only up to the precision.
  const char unterminated[3] = {'x', '\xC3', '\xA4'};
  EXPECT_EQ("x\xC3\xA4", FmtString("%.3s", unterminated));
}

TEST(FmtText, WideArguments) {
  EXPECT_EQ("\xE2\x82\xAC|\xC3\xA4", FmtString("%lc|%ls", static_cast<std::wint_t>(0x20AC), L"\u00E4"));
}

TEST(FmtBounded, TruncatesTerminatesAndReturnsFullLength) {
  char buf[8];
  EXPECT_EQ(11, FmtSnprintfA(buf, sizeof buf, "%s", "Hallo Welt!"));
  EXPECT_STREQ("Hallo W", buf);
  EXPECT_EQ(5, FmtSnprintfA(nullptr, 0, "%05d", 1));
  buf[0] = 'q';
  EXPECT_EQ(3, FmtSnprintfA(buf, 1, "abc"));
  EXPECT_STREQ("", buf);
  // Padding longer than any internal block.
  std::string wide = FmtString("%300d", 5);
  EXPECT_EQ(300u, wide.size());
  EXPECT_EQ('5', wide.back());
}

TEST(FmtBounded, NeverCutsInsideUtf8) {
  char buf[5];
  // "ä" is two bytes, "€" three: "ä€" needs 5 bytes, room is 4.
  EXPECT_EQ(5, FmtSnprintfA(buf, sizeof buf, "%s", "\xC3\xA4\xE2\x82\xAC"));
  EXPECT_STREQ("\xC3\xA4", buf);
  char small[2];
  EXPECT_EQ(2, FmtSnprintfA(small, sizeof small, "\xC3\xA4"));
  EXPECT_STREQ("", small);
  // A cut right after a complete sequence keeps it.
  char exact[3];
  FmtSnprintfA(exact, sizeof exact, "\xC3\xA4x");
  EXPECT_STREQ("\xC3\xA4", exact);
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

TEST(FmtSinks, FilePrintWritesEverything) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(11, FmtFprintfA(f, "%s=%04X\n%c", "Wert", 0xABu, '!'));
  std::rewind(f);
  char back[32] = {};
  EXPECT_EQ(11u, std::fread(back, 1, sizeof back, f));
  EXPECT_STREQ("Wert=00AB\n!", back);
  std::fclose(f);
}

bool StopAfterFirst(void* context, const char*, std::size_t) {
  ++*static_cast<int*>(context);
  return false;
}

int CallOutput(FmtSinkFn sink, void* context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FmtOutputA(sink, context, format, args);
  va_end(args);
  return n;
}

TEST(FmtSinks, SinkThatStopsIsNotCalledAgain) {
  int calls = 0;
  EXPECT_EQ(8, CallOutput(StopAfterFirst, &calls, "a%sb%dc", "xyz", 42));
  EXPECT_EQ(1, calls);
}

}  // namespace

namespace {

TEST(FmtFloat, CommonFormsMatchLibc) {
  for (const char* f : {"[%f]", "[%.2f]", "[%10.3f]", "[%-+9.1f]", "[%08.2f]", "[%e]", "[%.3E]", "[%g]",
                        "[%.3g]", "[% G]", "[%#.0f]", "[%#.0e]"})
    for (double v : {0.0, 1.5, -2.25, 1e10, 123.456, 0.000123, -0.0}) ExpectSame(f, v);
}

}  // namespace
