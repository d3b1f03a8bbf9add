// The variables table: expansion rules, size failures, predefined names.
#include "lib/system/vars.h"

#include "platform/last_error.h"
#include "reg_test_util.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

TEST(Vars, ExpansionRulesAndResultsThatDoNotFit) {
  VarClear();
  ASSERT_TRUE(VarSet("KPW_PATH", "/home/anna/jobs", 0));
  ASSERT_TRUE(VarSet("LEER", "", 0));
  const char* plain = "/kein/dollar";
  EXPECT_EQ(VarExpand(plain, 1300), plain);  // the text itself
  EXPECT_STREQ(VarExpand("$(KPW_PATH)/a.zip", 1300), "/home/anna/jobs/a.zip");
  EXPECT_STREQ(VarExpand("a$(UNBEKANNT)b$(LEER)c", 1300), "abc");
  EXPECT_STREQ(VarExpand("$$(KPW_PATH) 5$ $x $(offen", 1300), "$(KPW_PATH) 5$ $x $(offen");
  EXPECT_STREQ(VarExpand("$(kpw_path)", 1300), "/home/anna/jobs");  // job files written on Windows
  // A value is not expanded again; the result of one call may be passed to the next.
  ASSERT_TRUE(VarSet("SELBST", "$(SELBST)$(KPW_PATH)", 0));
  EXPECT_STREQ(VarExpand("$(SELBST)", 1300), "$(SELBST)$(KPW_PATH)");
  EXPECT_STREQ(VarExpand(VarExpand("$(KPW_PATH)/$$", 1300), 1300), "/home/anna/jobs/$");
  EXPECT_EQ(VarExpandString("$(KPW_PATH)$$"), "/home/anna/jobs$");
  ASSERT_TRUE(VarSet("LEER", nullptr, 0));
  EXPECT_FALSE(VarGet("LEER").has_value());
  EXPECT_FALSE(VarSet("A(B", "x", 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(VarSet("", "x", 0));

  ASSERT_TRUE(VarSet("LANG_", std::string(1295, 'x').c_str(), 0));
  EXPECT_EQ(std::strlen(VarExpand("/ab/$(LANG_)", 1300)), 1299u);  // 1299 characters and the NUL fit
  SetLastError(0);
  EXPECT_EQ(VarExpand("/abc/$(LANG_)", 1300), nullptr);  // never a shortened path
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(VarExpand("$$$$$$", 3), nullptr);
  EXPECT_EQ(VarExpand(std::string(1300, 'p').c_str(), 1300), nullptr);
  EXPECT_EQ(VarExpand(nullptr, 1300), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // An unclosed "$(" is text, and "$$" after it still one "$"; a cell of a million of them is
  // not searched to its end for each one.
  EXPECT_EQ(VarExpandString("$(KPW_PATH)/$(x/$$/$(y"), "/home/anna/jobs/$(x/$/$(y");
  std::string open;
  while (open.size() < 2'000'000) open += "$(";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VarExpandString(open), open);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Vars, StartupFillsEnvironmentPredefinedNamesAndUserDirs) {
  ::setenv("KPW_TEST_UMGEBUNG", "wert", 1);
  ::setenv("TMPDIR", "/var/tmp/", 1);
  WriteFile(std::string(std::getenv("XDG_CONFIG_HOME")) + "/user-dirs.dirs",
            "# kommentar\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"/daten/Dokumente/\"\n");
  VarSet("ALT", "x", 0);
  EXPECT_GT(VarInit(VAR_INIT_STARTUP), 20);
  ::unsetenv("TMPDIR");
  ::unsetenv("KPW_TEST_UMGEBUNG");
  EXPECT_FALSE(VarGet("ALT").has_value());  // start-up empties the table first
  EXPECT_EQ(VarGet("KPW_TEST_UMGEBUNG").value_or(""), "wert");
  EXPECT_EQ(VarGet("TEMP").value_or(""), "/var/tmp");
  const std::string home = VarGet("HOME").value_or("");
  EXPECT_EQ(VarGet("USERPROFILE").value_or("?"), home);
  EXPECT_EQ(VarExpand("$(HOMEDRIVE)$(HOMEPATH)/x", 1300), home + "/x");
  EXPECT_EQ(VarGet("DESKTOP").value_or(""), home + "/Schreibtisch");
  EXPECT_EQ(VarGet("XDG_DOCUMENTS_DIR").value_or(""), "/daten/Dokumente");
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_EQ(VarGet("COMPUTERNAME").value_or(""), std::string(host).substr(0, std::string(host).find('.')));
  const std::regex date("\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d \\d{8}");
  EXPECT_TRUE(std::regex_match(VarExpandString("$(DATE) $(TIME) $(YEAR)$(MONTH)$(DAY)"), date));
  // A name set by the program wins over a computed one.
  VarSet("DATE", "heute", 0);
  EXPECT_STREQ(VarExpand("$(DATE)", 1300), "heute");
}

TEST(Vars, TimeNamesGiveTheTimeOfTheCallersClock) {
  VarClear();
  const kpwtest::ScopedTimeZone utc("UTC");
  const i64 now = 1'750'000'000;  // Sunday, 2025-06-15 15:06:40
  EXPECT_EQ(VarExpandString("$(DATE) $(TIME) $(WEEKDAY)", now), "2025-06-15 15-06-40 So");
  EXPECT_EQ(VarExpandString("$(YEAR)$(MONTH)$(DAY)$(HOUR)$(MINUTE)$(SECOND)", now), "20250615150640");
  EXPECT_EQ(VarGet("Year", now).value_or(""), "2025");
}

}  // namespace
