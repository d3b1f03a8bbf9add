// Start-up with a window: -S through the progress window, -S -N hidden with the tray seam, -N
// minimised, and a later File → Open that runs nothing.
#include "tests/support/gui/gui_rig.h"

#include <chrono>

namespace {

using namespace kpwgui;

struct StartFolders {
  explicit StartFolders(int files = 2) {
    for (int i = 0; i < files; ++i) kpwtest::WriteFile(src + "/f" + std::to_string(i) + ".txt", "x");
    kpwtest::WriteFile(file, JobRow(src, dst) + kAlways);
  }
  kpwtest::TempDir dir{"gui-start"};
  std::string src = dir / "quelle", dst = dir / "ziel", file = dir / "jobs.kpw";
};

TEST(GuiStartup, StartAtOnceRunsInTheDialogSavesAndQuits) {
  StartFolders f;
  Watchdog watchdog;
  ProgressWatch watch;
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  const int status = rig.RunApp({f.file.c_str(), "-S"});
  EXPECT_EQ(status, KPW_EXIT_OK);
  EXPECT_EQ(watch.captions, std::vector<std::string>{"Kopieren"});
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Es wurden 2 Dateien kopiert!");
  EXPECT_TRUE(kpwtest::Exists(f.dst + "/f1.txt"));
  // The last-run time went into the file.
  EXPECT_NE(kpwtest::ReadFile(f.file).find("/LETZTE="), std::string::npos);
}

TEST(GuiStartup, StartAtOnceWithoutWindowUsesTheTrayAndQuitsByItself) {
  StartFolders f;
  Watchdog watchdog;
  ProgressWatch watch;
  CScriptedPrompter prompter;
  Rig rig;
  const auto begin = std::chrono::steady_clock::now();
  const int status = rig.RunApp({f.file.c_str(), "-S", "-N"});
  const auto passed = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(status, KPW_EXIT_OK);
  EXPECT_GE(passed, std::chrono::milliseconds(1000));  // the tray icon's least time
  EXPECT_FALSE(rig.frame.isVisible());
  EXPECT_TRUE(watch.captions.empty());
  EXPECT_TRUE(prompter.asked.empty());
  const CGuiSeamLog log = rig.frame.GuiHost().SeamLog();
  EXPECT_EQ(log.trayAdds, 1);
  EXPECT_EQ(log.trayDeletes, 1);
  EXPECT_EQ(log.trayIconId, 128u);
  EXPECT_EQ(log.trayTip, "jobs");
  EXPECT_TRUE(kpwtest::Exists(f.dst + "/f0.txt"));
}

TEST(GuiStartup, NoWindowAloneShowsMinimisedAndRunsNothing) {
  StartFolders f;
  ProgressWatch watch;
  CScriptedPrompter prompter;
  Rig rig;
  ASSERT_TRUE(rig.Init({f.file.c_str(), "-N"}));
  rig.Settle();
  EXPECT_TRUE(rig.frame.isVisible());
  EXPECT_TRUE(rig.frame.isMinimized());
  EXPECT_FALSE(rig.frame.GuiHost().IsViewVisible());
  EXPECT_EQ(rig.View().List().GetRowCount(), 1);
  EXPECT_TRUE(watch.captions.empty());
  EXPECT_FALSE(kpwtest::Exists(f.dst));
  // A later show keeps the window minimised.
  rig.frame.ShowMainWindow(SW_SHOW);
  EXPECT_TRUE(rig.frame.isMinimized());
}

TEST(GuiStartup, OpeningASecondFileAfterAStartAtOnceRunsNothing) {
  StartFolders f;
  kpwtest::TempDir other("gui-second");
  const std::string secondFile = other / "zwei.kpw";
  kpwtest::WriteFile(secondFile, JobRow(other / "quelle", other / "ziel") + kAlways);
  kpwtest::WriteFile(other / "quelle/x.txt", "x");
  Watchdog watchdog;
  ProgressWatch watch;
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  EXPECT_EQ(rig.RunApp({f.file.c_str(), "-S"}), KPW_EXIT_OK);
  ASSERT_EQ(watch.captions.size(), 1u);

  rig.frame.SetFileChooser([&](bool save, const std::string&) { return save ? std::string() : secondFile; });
  EXPECT_TRUE(rig.frame.SendCommand(ID_FILE_OPEN));
  rig.Settle();
  EXPECT_EQ(rig.app.GetDocument()->GetPathName(), secondFile);
  EXPECT_EQ(watch.captions.size(), 1u);
  EXPECT_EQ(prompter.asked.size(), 1u);
  EXPECT_FALSE(kpwtest::Exists(other / "ziel"));
  EXPECT_FALSE(rig.app.StartAtOnce());
}

}  // namespace
