// Date tags under a fixed clock and time zone, the blank rule and over-long results.
#include "tag_test_util.h"

#include "jobs/tags/path_tags.h"
#include "platform/last_error.h"
#include "tests/support/test_env.h"

#include <cstring>
#include <string>

using tagtest::FixedTime;
using tagtest::kCentralEurope;
using tagtest::kSaturdayNightUtc;

namespace {

std::string Expand(const std::string& text, int size = 1284) {
  std::string buf(static_cast<std::size_t>(size), '\x7f');
  const int n = ExpandDateTag(text.c_str(), buf.data(), size, kpwtest::TestEnv().Now());
  if (n < 0) return "<" + std::to_string(n) + ">";
  EXPECT_EQ(std::strlen(buf.c_str()), static_cast<std::size_t>(n));
  return buf.c_str();
}

TEST(DateTag, LocalDateAndWeekday) {
  {
    FixedTime t(kSaturdayNightUtc, kCentralEurope);  // Sunday 00:30 there
    EXPECT_EQ(Expand("backup/#D#.zip"), "backup/2026-12-06.zip");
    EXPECT_EQ(Expand("backup/#d#.zip"), "backup/2026-12-06 (So).zip");
  }
  {
    FixedTime t(kSaturdayNightUtc, "UTC0");  // still Saturday 23:30
    EXPECT_EQ(Expand("#D#_x"), "2026-12-05_x");
    EXPECT_EQ(Expand("#d#_x"), "2026-12-05 (Sa)_x");
  }
  {
    FixedTime t(kSaturdayNightUtc + 2 * 86400, kCentralEurope);  // Tuesday
    EXPECT_EQ(Expand("#d#.log"), "2026-12-08 (Di).log");
  }
}

// The blank rule, for date and version tags alike (see also the version tag tests): no blank
// before ".", "_", "0", a blank, or at the end of the text; one blank before anything else.
struct BlankCase {
  const char* after;
  const char* expected;  // with "D" for the date
};
const BlankCase kBlankRule[] = {
    {".zip", "D.zip"}, {"_x", "D_x"},   {"0", "D0"},     {" x", "D x"},  {"", "D"},
    {"x", "D x"},      {"1", "D 1"},    {"/x", "D /x"},  {"\\x", "D \\x"}, {"-x", "D -x"},
    {"#x", "D #x"},    {"(1)", "D (1)"},
};

TEST(DateTag, BlankRule) {
  FixedTime t(kSaturdayNightUtc, kCentralEurope);
  for (const auto& c : kBlankRule) {
    std::string expected = std::string("pre/") + c.expected;
    expected.replace(expected.find('D'), 1, "2026-12-06");
    EXPECT_EQ(Expand(std::string("pre/#D#") + c.after), expected) << "after: '" << c.after << "'";
  }
}

TEST(DateTag, OnlyTheFirstHashCounts) {
  FixedTime t(kSaturdayNightUtc, kCentralEurope);
  EXPECT_EQ(Expand("a#x#D#"), "a#x#D#");
  EXPECT_EQ(Expand("#D"), "#D");
  EXPECT_EQ(Expand("#Dx#"), "#Dx#");
  EXPECT_EQ(Expand("no tag"), "no tag");
  EXPECT_EQ(Expand(""), "");
  EXPECT_EQ(Expand("#D##D#"), "2026-12-06 #D#");  // only the first tag is replaced
}

TEST(DateTag, SameBufferAsSource) {
  FixedTime t(kSaturdayNightUtc, kCentralEurope);
  char buf[64] = "x/#d#/y";
  EXPECT_EQ(ExpandDateTag(buf, buf, sizeof buf, kpwtest::TestEnv().Now()), 20);
  EXPECT_STREQ(buf, "x/2026-12-06 (So) /y");
}

TEST(DateTag, OverLongResultFailsAndLeavesTheDestination) {
  FixedTime t(kSaturdayNightUtc, kCentralEurope);
  const std::string text = "a/#D#.zip";  // becomes 16 characters
  char buf[32];
  EXPECT_EQ(ExpandDateTag(text.c_str(), buf, 17, kpwtest::TestEnv().Now()), 16);
  EXPECT_STREQ(buf, "a/2026-12-06.zip");

  std::memset(buf, 'q', sizeof buf);
  SetLastError(0);
  EXPECT_EQ(ExpandDateTag(text.c_str(), buf, 16, kpwtest::TestEnv().Now()), -1);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(buf[0], 'q');  // untouched, not cut

  // The same buffer of the runner's size: a text near its end does not grow past it.
  std::string longText(1280, 'x');
  longText += "#D#";
  std::string big(longText);
  big.resize(1284, '\0');
  EXPECT_EQ(ExpandDateTag(big.data(), big.data(), 1284, kpwtest::TestEnv().Now()), -1);
  EXPECT_EQ(std::string(big.c_str()), longText);

  // A multi-byte character at the limit is never split.
  const std::string umlauts = "\xc3\xa4\xc3\xb6/#D#";
  EXPECT_EQ(ExpandDateTag(umlauts.c_str(), buf, 15, kpwtest::TestEnv().Now()), -1);
  EXPECT_EQ(ExpandDateTag(umlauts.c_str(), buf, 16, kpwtest::TestEnv().Now()), 15);
  EXPECT_STREQ(buf, "\xc3\xa4\xc3\xb6/2026-12-06");
}

TEST(DateTag, UnchangedTextMustFitToo) {
  char buf[4];
  EXPECT_EQ(ExpandDateTag("abc", buf, 4, kpwtest::TestEnv().Now()), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(ExpandDateTag("abcd", buf, 4, kpwtest::TestEnv().Now()), -1);
  EXPECT_EQ(ExpandDateTag("abc", nullptr, 4, kpwtest::TestEnv().Now()), -1);
  EXPECT_EQ(ExpandDateTag("abc", buf, 0, kpwtest::TestEnv().Now()), -1);
}

}  // namespace
