// The local workers through the program itself: one job file with a row of each mode, run with
// "kopiwart FILE -S -A -N" as cron would; skipped while the program cannot run rows.
#include "lw_test_util.h"

#include "lib/system/registry.h"

namespace {

using namespace lwtest;

const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";

struct Row {
  std::string mode, source, target, plus, minus, extra;
  bool subdirs = true;
};

void WriteJobFile(const std::string& path, const std::vector<Row>& rows) {
  std::string text;
  for (const Row& r : rows) {
    text += "[EINTRAG]\r\n";
    for (const auto& [key, cell] : {std::pair{'Q', r.source}, {'Z', r.target}, {'P', r.plus}, {'M', r.minus},
                                    {'X', r.extra}})
      if (!cell.empty()) text += std::string("\t") + key + ":" + cell + "\r\n";
    if (r.subdirs) text += "\t/UNTER\r\n";
    text += "\t/" + r.mode + "\r\n";
  }
  text += "/ZEITPLAN=0x0,1\r\n";
  Write(path, text);
}

// UTF-16LE text (without its byte order mark) as UTF-8; the keys and values here stay in the BMP.
std::string Utf16LeText(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit < 0x80) {
      text += static_cast<char>(unit);
    } else if (unit < 0x800) {
      text += static_cast<char>(0xC0 | unit >> 6);
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      text += static_cast<char>(0xE0 | unit >> 12);
      text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return text;
}

// The program's exit status for a job file; -1 when it did not end normally.
int RunProgram(const std::string& jobFile) {
  const std::string command = "'" + kProgram + "' '" + jobFile + "' -S -A -N 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kProgram.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built";
    // The program keeps its recent files in the store: a store of the test's own. The rows stay
    // out of HKEY_LOCAL_MACHINE, which the program keeps in the system's file.
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    // A row the program can run at all?
    Write(dir_ / "probe/x.tmp", "x");
    WriteJobFile(dir_ / "probe.kpw", {{"DEL", dir_ / "probe", "-", "*.tmp", "", ""}});
    if (RunProgram(dir_ / "probe.kpw") != 0 || Exists(dir_ / "probe/x.tmp"))
      GTEST_SKIP() << "the program does not run rows yet";
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
  Scratch dir_;
};

TEST_F(EndToEnd, ARowOfEachMode) {
  Write(dir_ / "move/a.txt", "bewegt");
  Write(dir_ / "del/a.tmp", "a");
  Write(dir_ / "del/keep.txt", "k");
  WriteAt(dir_ / "s/new-here", "s", kT + 100);
  WriteAt(dir_ / "t/new-here", "t", kT);
  WriteAt(dir_ / "t/only-there", "o", kT);
  {
    CRegistry reg;
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\E2E", REG_OPEN_CREATE));
    ASSERT_TRUE(reg.SetString("Wert", "aus dem Speicher"));
    CRegistry add;
    ASSERT_TRUE(add.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\E2EAdd", REG_OPEN_CREATE));
    ASSERT_TRUE(add.SetString("Zusatz", "angehängt"));
  }
  Write(dir_ / "imp/set.reg",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tavrin\\E2EImport]\n\"Ort\"=\"$(CURRENT_PATH)\"\n");
  Write(dir_ / "version.h", "#define V \"<v></v>\"\n");
  fs::create_directories(dir_ / "out");  // an export makes no folders
  const std::string fixtures = (fs::path(KPW_TEST_DATA).parent_path().parent_path() / "jobs_tags/data").string();

  WriteJobFile(dir_ / "jobs.kpw",
               {
                   {"MOVE", dir_ / "move/a.txt", dir_ / "moved/b.txt", "", "", ""},
                   {"DEL", dir_ / "del", "-", "*.tmp", "", ""},  // the runner wants a target, Del ignores it
                   {"SYNCH", dir_ / "s", dir_ / "t", "", "", ""},
                   {"REG", "HKEY_CURRENT_USER\\Software\\Tavrin\\E2E", dir_ / "out/e2e.reg", "", "", ""},
                   {"REG_ADD", "HKEY_CURRENT_USER\\Software\\Tavrin\\E2EAdd", dir_ / "out/e2e.reg", "", "", ""},
                   {"REG", dir_ / "imp/set.reg", "", "", "", ""},
                   {"VERSION", fixtures + "/v1.2.3.4-pe64.dll", dir_ / "version.h", "", "\"<v>\" \"</v>\"", ""},
               });
  EXPECT_EQ(RunProgram(dir_ / "jobs.kpw"), 0);

  EXPECT_FALSE(Exists(dir_ / "move/a.txt"));
  EXPECT_EQ(Read(dir_ / "moved/b.txt"), "bewegt");
  EXPECT_EQ(Tree(dir_ / "del"), (std::map<std::string, std::string>{{"keep.txt", "k"}}));
  EXPECT_EQ(Tree(dir_ / "s"), (std::map<std::string, std::string>{{"new-here", "s"}, {"only-there", "o"}}));
  EXPECT_EQ(Tree(dir_ / "t"), (std::map<std::string, std::string>{{"new-here", "s"}, {"only-there", "o"}}));
  // The export and the Reg Add row's append share one file: one header, then both keys.
  const std::string reg = Read(dir_ / "out/e2e.reg");
  EXPECT_EQ(reg.compare(0, 2, "\xFF\xFE"), 0);
  const std::string text = Utf16LeText(reg.substr(2));
  const auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Windows Registry Editor Version 5.00"), 1u) << text;
  const std::size_t exported = text.find("[HKEY_CURRENT_USER\\Software\\Tavrin\\E2E]");
  const std::size_t appended = text.find("[HKEY_CURRENT_USER\\Software\\Tavrin\\E2EAdd]");
  ASSERT_NE(exported, std::string::npos) << text;
  ASSERT_NE(appended, std::string::npos) << text;
  EXPECT_LT(exported, appended);
  EXPECT_NE(text.find("\"Wert\"=\"aus dem Speicher\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Zusatz\"=\"angehängt\""), std::string::npos) << text;
  {
    CRegistry key;
    std::string value;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\E2EImport", REG_OPEN_READ));
    ASSERT_TRUE(key.GetString("Ort", value));
    EXPECT_EQ(value, dir_ / "imp");
  }
  EXPECT_EQ(Read(dir_ / "version.h"), "#define V \"<v>1.2.3.4</v>\"\n");
}

TEST_F(EndToEnd, AFailingRowGivesStatusOneAndLeavesTheRest) {
  Write(dir_ / "a.txt", "neu");
  Write(dir_ / "b.txt", "alt");
  Write(dir_ / "del/x.tmp", "x");
  WriteJobFile(dir_ / "jobs.kpw", {
                                      {"MOVE", dir_ / "a.txt", dir_ / "b.txt", "", "", ""},  // refused: b exists
                                      {"DEL", dir_ / "del", "-", "", "", ""},
                                  });
  EXPECT_EQ(RunProgram(dir_ / "jobs.kpw"), 1);
  EXPECT_EQ(Read(dir_ / "a.txt"), "neu");
  EXPECT_EQ(Read(dir_ / "b.txt"), "alt");
  EXPECT_FALSE(Exists(dir_ / "del"));
}

}  // namespace
