// F5 in the window: a copy on real folders through the progress window, Esc in it, icons from a
// worker thread, and a "Puffer" row on a computer that its list does not know yet.
#include "tests/support/gui/gui_rig.h"
#include "tests/support/puffer_folders.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/sys_seams.h"

#include <QImage>
#include <QPixmap>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using namespace kpwgui;

// Fails the case on any warning Qt gives (a window touched from a worker thread among them).
class WarningTrap {
 public:
  WarningTrap() { previous_ = qInstallMessageHandler(&Handler); }
  ~WarningTrap() { qInstallMessageHandler(previous_); }
  static std::atomic<int> warnings;

 private:
  static void Handler(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    if (text.contains("propagateSizeHints")) return;  // the offscreen platform's own note
    ++warnings;
    ADD_FAILURE() << "Qt warning: " << text.toStdString();
  }
  QtMessageHandler previous_ = nullptr;
};
std::atomic<int> WarningTrap::warnings{0};

struct CopyFolders {
  CopyFolders() {
    kpwtest::WriteFile(src + "/a.txt", "eins");
    // Two files and the folder made for one of them: three copied.
    kpwtest::WriteFile(src + "/unter/b.bin", std::string(5000, 'b'));
  }
  kpwtest::TempDir dir{"gui-run"};
  std::string src = dir / "quelle", dst = dir / "ziel", file = dir / "jobs.kpw";
};

TEST(ViewRun, F5CopiesThroughTheProgressWindow) {
  CopyFolders f;
  kpwtest::WriteFile(f.file, JobRow(f.src, f.dst) + kAlways);
  WarningTrap trap;
  Watchdog watchdog;
  ProgressWatch watch;
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  ASSERT_TRUE(rig.Init({f.file.c_str()}));
  rig.Activate();
  rig.Key(Qt::Key_F5);

  EXPECT_EQ(watch.captions, std::vector<std::string>{"Kopieren"});
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Es wurden 3 Dateien kopiert!");
  EXPECT_EQ(kpwtest::System("diff -r '" + f.src + "' '" + f.dst + "' >/dev/null"), 0);
  EXPECT_EQ(WarningTrap::warnings.load(), 0);
}

// Esc while a large file is being copied: the run stops, the old target stays whole and no
// temporary file is left; the window waits for the worker and ends as cancelled.
TEST(ViewRun, EscDuringALargeCopyKeepsTheOldTarget) {
  kpwtest::TempDir dir{"gui-cancel"};
  const std::string src = dir / "quelle", dst = dir / "ziel", file = dir / "jobs.kpw";
  kpwtest::WriteFile(src + "/gross.bin", std::string(std::size_t{256} << 20, 'n'));
  kpwtest::WriteFile(dst + "/gross.bin", "alt");
  kpwtest::SetMTime(dst + "/gross.bin", 1000000000);  // older than the source: the row replaces it
  kpwtest::WriteFile(file, JobRow(src, dst) + kAlways);
  SysTestForceFallbacks(true);  // a named temporary beside the target, which the watch can see
  Watchdog watchdog;
  ProgressWatch watch;
  watch.escWhen = [&] { return kpwtest::Listing(dst) != "gross.bin"; };
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();
  rig.Key(Qt::Key_F5);
  SysTestForceFallbacks(false);

  ASSERT_TRUE(watch.escPressed);
  // The button is used up and the window waits for the worker, as after a click on it.
  EXPECT_FALSE(watch.cancelEnabledAfterEsc);
  EXPECT_TRUE(watch.visibleAfterEsc);
  EXPECT_EQ(watch.answer, IDCANCEL);
  EXPECT_EQ(kpwtest::ReadFile(dst + "/gross.bin"), "alt");
  EXPECT_EQ(kpwtest::Listing(dst), "gross.bin");
}

TEST(ViewRun, CopyFileRowGetsIconsFromItsWorkerWithoutQtWarnings) {
  CopyFolders f;
  kpwtest::WriteFile(f.file, JobRow(f.src + "/a.txt", f.dst + "/a.txt", "/COPY_FILE", "", false) + kAlways);
  WarningTrap trap;
  Watchdog watchdog;
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  ASSERT_TRUE(rig.Init({f.file.c_str()}));
  rig.Activate();
  rig.Key(Qt::Key_F5);
  EXPECT_EQ(kpwtest::ReadFile(f.dst + "/a.txt"), "eins");
  // The icon number names a key that a worker thread may compute.
  const int image = rig.View().List().GetItemImage(rig.View().List().GetItemOfRow(0));
  EXPECT_EQ(rig.frame.Icons().KeyOf(image), "text/plain");
  std::string fromThread;
  std::thread worker([&] {
    fromThread = rig.frame.Icons().KeyOf(rig.frame.GuiHost().FileIcon(f.src, FileIconKind::Existing));
  });
  kpwtest::JoinWithin(worker, "an icon asked for on another thread");
  EXPECT_EQ(fromThread, "folder");
  EXPECT_EQ(WarningTrap::warnings.load(), 0);
}

TEST(ViewRun, ScreenshotOfTheMainWindowWithAList) {
  CopyFolders f;
  std::string text;
  for (int i = 0; i < 5; ++i) text += JobRow(f.src, f.dst + std::to_string(i));
  kpwtest::WriteFile(f.file, text + kAlways);
  Rig rig;
  ASSERT_TRUE(rig.Init({f.file.c_str()}));
  rig.Activate();
  const QPixmap shot = rig.frame.grab();
  const std::string out = std::string(KPW_BUILD_DIR) + "/gui_main_window.png";
  ASSERT_TRUE(shot.save(QString::fromStdString(out)));
  const QImage image(QString::fromStdString(out));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), rig.frame.size() * rig.frame.devicePixelRatio());
  bool varied = false;
  const QRgb first = image.pixel(0, 0);
  for (int y = 0; y < image.height() && !varied; y += 3)
    for (int x = 0; x < image.width() && !varied; x += 3) varied = image.pixel(x, y) != first;
  EXPECT_TRUE(varied);
}

// ---- a "Puffer" row on a computer its list does not know -------------------------------------

std::string HostQuestion(const char* host) {
  return std::string("Der Host ") + host +
         " ist noch nicht in der Kopiwart-Liste\nSoll er eingefügt werden ?";
}

class PufferRun : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  // Runs the one-row list by F5 as this computer; returns the boxes asked.
  std::vector<CScriptedPrompter::Asked> F5(const char* host, const std::string& target,
                                           const std::string& extra, std::deque<int> answers) {
    const std::string file = root + "/jobs.kpw";
    kpwtest::WriteFile(file, JobRow(list, target, "/BUFFER", extra) + kAlways);
    JobEnvironment env = JobEnvironment::FromSystem();
    env.hostName = host;
    Watchdog watchdog;
    CScriptedPrompter prompter(std::move(answers));
    Rig rig(env);
    EXPECT_TRUE(rig.Init({file.c_str()}));
    rig.Activate();
    rig.Key(Qt::Key_F5);
    return prompter.asked;
  }
};

TEST_F(PufferRun, NewComputerIsEnteredOnlyWhenAnsweredYes) {
  kpwtest::WriteFile(src + "/a.txt", "a");
  F5("buero-pc.example.org", src, "BUERO-PC:0", {});
  ASSERT_TRUE(kpwtest::Exists(list));
  kpwtest::WriteFile(d2 + "/alt.txt", "alt");
  const std::string before = kpwtest::ReadFile(list);

  const auto no = F5("heim-pc", d2, "BUERO-PC", {IDNO, IDOK});
  ASSERT_GE(no.size(), 1u);
  EXPECT_EQ(no[0].text, HostQuestion("heim-pc"));
  EXPECT_EQ(kpwtest::ReadFile(list), before);

  const auto yes = F5("heim-pc", d2, "BUERO-PC", {IDYES, IDYES, IDOK});
  ASSERT_GE(yes.size(), 2u);
  EXPECT_EQ(yes[0].text, HostQuestion("heim-pc"));
  EXPECT_NE(yes[1].text.find("Trotzdem fortfahren ?"), std::string::npos);
  EXPECT_TRUE(yes[0].onMainThread && yes[1].onMainThread);
  EXPECT_NE(kpwtest::ReadFile(list).find("\"heim-pc\""), std::string::npos);
}

}  // namespace
