// The variables table: expansion rules, size failures, predefined names, and many threads at once.
#include "lib/system/vars.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// True when text has the shape: "9" stands for any digit, other characters for themselves.
bool HasShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

TEST(Vars, ExpansionRules) {
  VarClear();
  ASSERT_TRUE(VarSet("KPW_PATH", "/home/anna/jobs", 0));
  ASSERT_TRUE(VarSet("LEER", "", 0));
  const char* plain = "/kein/dollar";
  EXPECT_EQ(VarExpand(plain, 1300), plain);  // the text itself
  EXPECT_STREQ(VarExpand("$(KPW_PATH)/a.zip", 1300), "/home/anna/jobs/a.zip");
  EXPECT_STREQ(VarExpand("a$(UNBEKANNT)b$(LEER)c", 1300), "abc");
  EXPECT_STREQ(VarExpand("$$(KPW_PATH) 5$ $x $(offen", 1300), "$(KPW_PATH) 5$ $x $(offen");
  EXPECT_STREQ(VarExpand("$(kpw_path)", 1300), "/home/anna/jobs");  // Windows job files
  // A value is not expanded again.
  ASSERT_TRUE(VarSet("SELBST", "$(SELBST)$(KPW_PATH)", 0));
  EXPECT_STREQ(VarExpand("$(SELBST)", 1300), "$(SELBST)$(KPW_PATH)");
  // The result of one call may be passed to the next.
  const char* first = VarExpand("$(KPW_PATH)/$$", 1300);
  EXPECT_STREQ(VarExpand(first, 1300), "/home/anna/jobs/$");
  EXPECT_EQ(VarExpandString("$(KPW_PATH)$$"), "/home/anna/jobs$");
  ASSERT_TRUE(VarSet("LEER", nullptr, 0));
  EXPECT_FALSE(VarGet("LEER").has_value());
  EXPECT_FALSE(VarSet("A(B", "x", 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(VarSet("", "x", 0));
}

TEST(Vars, ResultThatDoesNotFitFails) {
  VarClear();
  ASSERT_TRUE(VarSet("LANG_", std::string(1295, 'x').c_str(), 0));
  const char* ok = VarExpand("/ab/$(LANG_)", 1300);  // 1299 characters and the NUL fit
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(std::strlen(ok), 1299u);
  SetLastError(0);
  EXPECT_EQ(VarExpand("/abc/$(LANG_)", 1300), nullptr);  // never a shortened path
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_STREQ(VarExpand("$$$$", 3), "$$");
  EXPECT_EQ(VarExpand("$$$$$$", 3), nullptr);
  const std::string longPlain(1300, 'p');
  EXPECT_EQ(VarExpand(longPlain.c_str(), 1300), nullptr);
  EXPECT_EQ(VarExpand(nullptr, 1300), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Vars, StartupFillsEnvironmentAndPredefinedNames) {
  ::setenv("KPW_TEST_UMGEBUNG", "wert", 1);
  ::setenv("TMPDIR", "/var/tmp/", 1);
  VarSet("ALT", "x", 0);
  EXPECT_GT(VarInit(VAR_INIT_STARTUP), 20);
  EXPECT_FALSE(VarGet("ALT").has_value());  // start-up empties the table first
  EXPECT_EQ(VarGet("KPW_TEST_UMGEBUNG").value_or(""), "wert");
  EXPECT_EQ(VarGet("TEMP").value_or(""), "/var/tmp");
  EXPECT_EQ(VarGet("TMP").value_or(""), "/var/tmp");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  EXPECT_EQ(VarGet("USERPROFILE").value_or("?"), home);
  EXPECT_EQ(VarExpand("$(HOMEDRIVE)$(HOMEPATH)/x", 1300), home + "/x");
  EXPECT_EQ(VarGet("APPDATA"), VarGet("XDG_CONFIG_HOME"));
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::string shortHost = host;
  shortHost = shortHost.substr(0, shortHost.find('.'));
  EXPECT_EQ(VarGet("COMPUTERNAME").value_or(""), shortHost);
  EXPECT_FALSE(VarGet("USERNAME").value_or("").empty());
  EXPECT_TRUE(VarGet("DESKTOP").has_value());
  EXPECT_TRUE(VarGet("DOCUMENTS").has_value());
  EXPECT_TRUE(HasShape(VarGet("DATE").value_or(""), "9999-99-99"));
  EXPECT_TRUE(HasShape(VarGet("TIME").value_or(""), "99-99-99"));
  EXPECT_TRUE(HasShape(VarExpand("$(YEAR)$(MONTH)$(DAY)", 1300), "99999999"));
  // A name set by the program wins over a computed one.
  VarSet("DATE", "heute", 0);
  EXPECT_STREQ(VarExpand("$(DATE)", 1300), "heute");
  ::unsetenv("TMPDIR");
  ::unsetenv("KPW_TEST_UMGEBUNG");
}

TEST(Vars, UserDirsComeFromTheXdgFile) {
  const std::string config = std::string(std::getenv("XDG_CONFIG_HOME"));
  std::string cmd = "mkdir -p '" + config + "' && printf '%s\\n' '# kommentar' "
                    "'XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"' 'XDG_DOCUMENTS_DIR=\"/daten/Dokumente/\"' > '" +
                    config + "/user-dirs.dirs'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  VarInit(VAR_INIT_PREDEFINED);
  const std::string home = VarGet("HOME").value_or("");
  EXPECT_EQ(VarGet("DESKTOP").value_or(""), home + "/Schreibtisch");
  EXPECT_EQ(VarGet("XDG_DOCUMENTS_DIR").value_or(""), "/daten/Dokumente");
}

TEST(Vars, ManyThreadsExpandWhileTheTableChanges) {
  VarClear();
  VarSet("BASIS", "/srv/basis", 0);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::string own = "T" + std::to_string(t);
      const std::string text = "$(BASIS)/$(" + own + ")/$(WECHSEL)";
      for (int i = 0; i < 2000; ++i) {
        VarSet(own.c_str(), std::to_string(i).c_str(), 0);
        const char* r = VarExpand(text.c_str(), 1300);
        if (!r) {
          ++wrong;
          continue;
        }
        const std::string s = r;
        const std::string head = "/srv/basis/" + std::to_string(i) + "/";
        if (s.rfind(head, 0) != 0) ++wrong;
        const std::string tail = s.substr(head.size());
        if (!tail.empty() && tail != "a" && tail != "bb") ++wrong;
      }
    });
  }
  std::thread writer([&stop] {
    for (int i = 0; !stop; ++i) VarSet("WECHSEL", i % 3 == 0 ? nullptr : (i % 3 == 1 ? "a" : "bb"), 0);
  });
  for (auto& t : threads) t.join();
  stop = true;
  writer.join();
  EXPECT_EQ(wrong.load(), 0);
}
