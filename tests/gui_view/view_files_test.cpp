// The window's job files: a file that is no job file, "Speichern unter" with a name without extension.
#include "tests/support/gui/gui_rig.h"

#include <QFileDialog>

#include <algorithm>

namespace {

using namespace kpwgui;

bool IsRecent(Rig& rig, const std::string& path) {
  const auto& files = rig.app.RecentFiles().Files();
  return std::find(files.begin(), files.end(), path) != files.end();
}

TEST(ViewFiles, AFileThatIsNoJobFileIsRefusedAndNeitherShownNorRemembered) {
  kpwtest::TempDir dir("gui-refuse");
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, JobRow("/daten/a", "/sicherung/a") + kAlways);
  std::string noise;
  for (int i = 0; i < 2048; ++i) noise += static_cast<char>((i * 7919 + 13) % 256);
  const std::string bad = dir / "zufall.kpw";
  kpwtest::WriteFile(bad, noise);
  CScriptedPrompter prompter;
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.frame.SetFileChooser([&](bool, const std::string&) { return bad; });
  rig.Activate();
  const QString title = rig.frame.windowTitle();

  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_OPEN));
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Die Datei " + bad + " kann nicht geöffnet werden.");
  EXPECT_EQ(prompter.asked[0].caption, "Fehler");
  EXPECT_EQ(rig.frame.windowTitle(), title);
  EXPECT_EQ(rig.View().List().GetRowCount(), 1);
  EXPECT_EQ(rig.app.GetDocument()->GetPathName(), file);
  EXPECT_FALSE(IsRecent(rig, bad));
  // A save goes to the list's own file; the other one keeps its bytes.
  EXPECT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE));
  EXPECT_EQ(kpwtest::ReadFile(bad), noise);
}

TEST(ViewFiles, SaveAsAddsTheExtensionToANameWithoutOne) {
  kpwtest::TempDir dir("gui-saveas");
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, JobRow("/daten/a", "/sicherung/a") + kAlways);
  CScriptedPrompter prompter;
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();

  // The dialog itself: the name typed without extension comes back with it.
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Speichern unter"));
    dialog->setDirectory(QString::fromStdString(dir.path()));
    dialog->selectFile(QStringLiteral("woche"));
    QMetaObject::invokeMethod(dialog, "accept");
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE_AS));
  EXPECT_EQ(rig.app.GetDocument()->GetPathName(), dir / "woche.kpw");
  EXPECT_TRUE(std::filesystem::exists(dir / "woche.kpw"));
  EXPECT_FALSE(std::filesystem::exists(dir / "woche"));

  // Whatever chose the name: ".kpw" is added, a name with an extension is kept.
  std::string chosen = dir / "monat";
  rig.frame.SetFileChooser([&](bool save, const std::string&) { return save ? chosen : std::string(); });
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE_AS));
  EXPECT_EQ(rig.app.GetDocument()->GetPathName(), dir / "monat.kpw");
  EXPECT_EQ(rig.frame.windowTitle(), QStringLiteral("monat.kpw - Kopiwart"));
  EXPECT_TRUE(IsRecent(rig, dir / "monat.kpw"));
  chosen = dir / "jahr.txt";
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE_AS));
  EXPECT_EQ(rig.app.GetDocument()->GetPathName(), dir / "jahr.txt");
  EXPECT_TRUE(prompter.asked.empty());
}

}  // namespace
