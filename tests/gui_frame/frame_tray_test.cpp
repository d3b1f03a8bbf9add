// The tray icon of a run without a window (-S -N) and the hidden start: the popup's "Abbechen"
// stops a real run, the icon stays at least a second and goes before the quit; without a tray the
// run still works and ends; the window stays hidden except while a worker's box is open.
#include "tests/gui_frame/frame_rig.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace kpwframe;
using std::chrono::milliseconds;

// Counts how often a widget was shown.
class ShowCounter : public QObject {
 public:
  explicit ShowCounter(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show) ++shows;
    return false;
  }
  int shows = 0;
};

QMenu* OpenPopup() {
  return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

// Picks the popup's item with this text by keys, as a user would.
void Choose(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions())
    if (action->text() == text) menu->setActiveAction(action);
  QTest::keyClick(menu, Qt::Key_Return);
}

TEST(FrameTray, AbbechenStopsAHiddenRunAndTheIconStaysASecondAndGoesBeforeTheQuit) {
  LargeRows f;
  Watchdog watchdog;
  CScriptedPrompter prompter;
  Rig rig;
  auto tray = std::make_unique<CFakeTray>();
  CFakeTray* fake = tray.get();
  rig.frame.SetTrayBackend(std::move(tray));
  ShowCounter shows(&rig.frame);
  std::vector<std::string> texts;
  bool cancelledAfterContinue = true;
  int step = 0;
  Poll poll([&] {
    switch (step) {
      case 0:  // a right click once the run copies
        if (!f.Begun()) return;
        fake->Click(WM_RBUTTONDOWN);
        ++step;
        return;
      case 1:
        if (QMenu* menu = OpenPopup()) {
          for (QAction* action : menu->actions()) texts.push_back(action->text().toStdString());
          Choose(menu, QStringLiteral("Weitermachen"));
          cancelledAfterContinue = rig.View().RunState().IsCancelled();
          ++step;
        }
        return;
      case 2:  // then a left click, and "Abbechen"
        if (OpenPopup()) return;
        fake->Click(WM_LBUTTONDOWN);
        ++step;
        return;
      case 3:
        if (QMenu* menu = OpenPopup()) {
          Choose(menu, QStringLiteral("Abbechen"));
          ++step;
        }
        return;
    }
  });
  const int status = rig.RunApp({f.file.c_str(), "-S", "-N"});

  EXPECT_EQ(step, 4);
  EXPECT_EQ(texts, (std::vector<std::string>{"Abbechen", "Weitermachen"}));
  EXPECT_FALSE(cancelledAfterContinue);
  EXPECT_EQ(status, KPW_EXIT_STOPPED);
  EXPECT_TRUE(f.LastRowLeftOut());
  EXPECT_TRUE(prompter.asked.empty());
  EXPECT_EQ(shows.shows, 0);
  const auto calls = fake->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, "add");
  EXPECT_EQ(calls[0].icon, 128u);
  EXPECT_EQ(calls[0].tip, std::optional<std::string>("jobs"));
  EXPECT_TRUE(calls[0].done);
  EXPECT_EQ(calls[1].op, "delete");
  EXPECT_TRUE(calls[1].done);
  EXPECT_TRUE(calls[1].inLoop);  // before the quit, from the main loop
  EXPECT_GE(calls[1].at - calls[0].at, milliseconds(1000));
  EXPECT_FALSE(fake->Shown());
}

// Offscreen there is no system tray: the icon cannot be added, and the run works and ends anyway.
TEST(FrameTray, WithoutATrayAHiddenRunStillWorksAndEndsByItself) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  kpwtest::TempDir dir("gui-notray");
  const std::string src = dir / "quelle", dst = dir / "ziel", file = dir / "jobs.kpw";
  kpwtest::WriteFile(src + "/a.txt", "eins");
  kpwtest::WriteFile(file, JobRow(src, dst) + kAlways);
  Watchdog watchdog;
  CScriptedPrompter prompter;
  Rig rig;
  ShowCounter shows(&rig.frame);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.RunApp({file.c_str(), "-S", "-N"}), KPW_EXIT_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, milliseconds(1000));
  EXPECT_EQ(kpwtest::ReadFile(dst + "/a.txt"), "eins");
  EXPECT_EQ(shows.shows, 0);
  EXPECT_TRUE(prompter.asked.empty());
  EXPECT_TRUE(rig.frame.findChildren<QSystemTrayIcon*>().isEmpty());
}

// Answers a box from a script, and meanwhile lets the test look at the window.
class BoxPrompter : public IPrompter {
 public:
  explicit BoxPrompter(std::function<void()> whileOpen) : whileOpen_(std::move(whileOpen)) {
    previous_ = SetPrompter(this);
  }
  ~BoxPrompter() override { SetPrompter(previous_); }
  int MessageBox(QWidget*, const std::string&, const std::string&, u32) override {
    whileOpen_();
    return IDOK;
  }

 private:
  std::function<void()> whileOpen_;
  IPrompter* previous_;
};

TEST(FrameHiddenStart, TheWindowStaysHiddenExceptWhileAWorkerBoxIsOpen) {
  Watchdog watchdog;
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.Settle();
  ASSERT_TRUE(rig.frame.isVisible());
  rig.frame.PostHiddenStart();
  rig.Settle();
  EXPECT_FALSE(rig.frame.isVisible());
  EXPECT_TRUE(rig.frame.IsHiddenStart());
  // Shown by anything: hidden again within the timer's period.
  rig.frame.show();
  QTest::qWait(kHiddenStartTimerMs + 150);
  EXPECT_FALSE(rig.frame.isVisible());

  bool visibleWhileOpen = false;
  BoxPrompter box([&] {
    rig.frame.show();
    QTest::qWait(kHiddenStartTimerMs + 150);
    visibleWhileOpen = rig.frame.isVisible();
  });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    rig.View().WorkerMessageBox("Frage", nullptr, MB_OK);
    done = true;
  });
  EXPECT_TRUE(kpwtest::PumpUntil([&] { return done.load(); })) << "the worker's box did not return";
  kpwtest::JoinWithin(worker, "a worker's message box");
  EXPECT_TRUE(visibleWhileOpen);
  QTest::qWait(kHiddenStartTimerMs + 150);
  EXPECT_FALSE(rig.frame.isVisible());
}

}  // namespace
