// File-type registration in a private XDG_DATA_HOME, checked by the desktop tools, and shares.
#include "lib/system/shell.h"

#include "platform/last_error.h"
#include "reg_test_util.h"
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using kpwtest::HaveTool;

// desktop-file-validate finds no error in the file (true when the tool is missing).
void ExpectValid(const std::string& path) {
  if (!HaveTool("desktop-file-validate")) return;
  int status = -1;
  const std::string output =
      kpwtest::Shell("desktop-file-validate " + kpwtest::Quote(path) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << path << "\n" << output;
  EXPECT_EQ(output.find("error"), std::string::npos) << output;
}

TEST(Shell, RegistersBothTypesAndTheVerbsAsTheConfigureCommandDoes) {
  const std::string data = std::getenv("XDG_DATA_HOME");
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  const char* exe = "/opt/Kopi wart/bin/Kopiwart";
  ASSERT_TRUE(SysRegisterFileType(".ssy", exe, 4, "Kopiwart Puffer", nullptr));
  ASSERT_TRUE(SysRegisterFileType(".kpw", exe, 0, "Kopiwart Datei & mehr", nullptr));
  ASSERT_TRUE(SysRegisterFileVerb(".kpw", exe, "open", "\"%1\"  /S /A /N"));
  ASSERT_TRUE(SysRegisterFileVerb(".kpw", exe, "Bearbeiten", nullptr));
  ASSERT_TRUE(SysShellRefresh(".kpw"));

  const std::string xml = ReadFile(data + "/mime/packages/kopiwart-kpw.xml");
  for (const char* part : {"<mime-type type=\"application/x-kopiwart-kpw\">",
                           "<comment>Kopiwart Datei &amp; mehr</comment>", "<glob pattern=\"*.kpw\"/>"})
    EXPECT_NE(xml.find(part), std::string::npos) << xml;
  const std::string open = data + "/applications/kopiwart-kpw-open.desktop";
  const std::string edit = data + "/applications/kopiwart-kpw-bearbeiten.desktop";
  EXPECT_NE(ReadFile(open).find("Exec=\"/opt/Kopi wart/bin/Kopiwart\" %f /S /A /N\n"), std::string::npos);
  EXPECT_NE(ReadFile(edit).find("Exec=\"/opt/Kopi wart/bin/Kopiwart\" %f\n"), std::string::npos);
  EXPECT_NE(ReadFile(config + "/mimeapps.list")
                .find("[Default Applications]\napplication/x-kopiwart-kpw=kopiwart-kpw-open.desktop;\n"),
            std::string::npos);
  ExpectValid(open);
  ExpectValid(edit);
  // The tools took the registration in: the MIME database knows the type and its glob.
  if (HaveTool("update-mime-database")) {
    EXPECT_NE(ReadFile(data + "/mime/globs2").find("application/x-kopiwart-kpw:*.kpw"), std::string::npos);
  }
  if (HaveTool("update-desktop-database")) {
    EXPECT_NE(ReadFile(data + "/applications/mimeinfo.cache").find("application/x-kopiwart-kpw="),
              std::string::npos);
  }
}

TEST(Shell, ExecLinesQuoteWhatTheDesktopRulesReserve) {
  const std::string data = std::getenv("XDG_DATA_HOME");
  ASSERT_TRUE(SysRegisterFileVerb("txt", "/usr/bin/kpw", "druck", "/P \"%1\" \"a b\" 50% $x \\y"));
  const std::string file = data + "/applications/kpw-txt-druck.desktop";
  // In the file every backslash of the Exec value is doubled once more.
  EXPECT_NE(ReadFile(file).find("Exec=/usr/bin/kpw /P %f \"a b\" 50%% \"\\\\$x\" \"\\\\\\\\y\"\n"),
            std::string::npos)
      << ReadFile(file);
  ExpectValid(file);
  // An existing mimeapps.list keeps its other lines.
  const std::string list = std::string(std::getenv("XDG_CONFIG_HOME")) + "/mimeapps.list";
  WriteFile(list,
            "[Added Associations]\ntext/plain=x.desktop;\n\n[Default Applications]\ntext/html=b.desktop;\n"
            "application/x-kpw-txt=alt.desktop;\n");
  ASSERT_TRUE(SysRegisterFileVerb("txt", "/usr/bin/kpw", "open", nullptr));
  EXPECT_EQ(ReadFile(list),
            "[Added Associations]\ntext/plain=x.desktop;\n\n[Default Applications]\ntext/html=b.desktop;\n"
            "application/x-kpw-txt=kpw-txt-open.desktop;\n");

  EXPECT_FALSE(SysRegisterFileType("", "/usr/bin/kpw", 0, "x", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SysRegisterFileVerb(".kpw", "/usr/bin/kpw", "open", "--datei=%1"));
}

TEST(Shell, SharesOfAWindowsServerHaveNoLocalMeaning) {
  SetLastError(0);
  EXPECT_EQ(SysShareFindFirst("\\\\server"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  char name[32] = "x";
  EXPECT_FALSE(SysShareFindNext(nullptr, name, sizeof name));
  EXPECT_STREQ(name, "");
  SysShareFindClose(nullptr);
}

}  // namespace
