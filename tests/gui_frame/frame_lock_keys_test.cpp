// The status bar's lock-key panes in the window, over a fake source (offscreen has none of its own).
#include "app/gui/lock_key_watch.h"
#include "tests/gui_frame/frame_rig.h"
#include "tests/support/gui/fake_lock_keys.h"

#include <QLabel>
#include <QWindow>

#include <chrono>

namespace {

using namespace kpwframe;
using Texts = std::vector<std::string>;

// What the three indicator labels show.
Texts Indicators(CMainFrame& frame) {
  const int n = frame.StatusPaneCount();
  Texts texts;
  for (int i = n - 3; i < n; ++i) texts.push_back(frame.StatusPaneLabel(i)->text().toStdString());
  return texts;
}

// Runs the main loop until the indicators show want, for at most five seconds.
bool WaitForIndicators(Rig& rig, const Texts& want) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Indicators(rig.frame) != want && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return Indicators(rig.frame) == want;
}

TEST(FrameLockKeys, OffscreenAndWaylandShowNothing) {
  EXPECT_EQ(MakeLockKeySource("offscreen"), nullptr);
  EXPECT_EQ(MakeLockKeySource("wayland"), nullptr);
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.Activate();
  EXPECT_FALSE(rig.frame.LockKeys().HasSource());
  EXPECT_EQ(Indicators(rig.frame), (Texts{"", "", ""}));
}

TEST(FrameLockKeys, PanesFollowTheSourceByTimerAndByLockKeys) {
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.Activate();
  auto state = std::make_shared<kpwtest::FakeLockKeys::State>();
  state->keys = LockKeyState{true, false, false};
  rig.frame.LockKeys().SetSource(std::make_unique<kpwtest::FakeLockKeys>(state));
  // Read at once.
  EXPECT_EQ(state->reads, 1);
  EXPECT_TRUE(WaitForIndicators(rig, {"UF", "", ""}));

  // A key locked elsewhere shows at the next reading.
  state->keys = LockKeyState{false, true, true};
  EXPECT_TRUE(WaitForIndicators(rig, {"", "NUM", "RF"}));

  // A lock key that reaches the window is read at once, before anything else runs.
  state->keys = LockKeyState{true, true, true};
  const int reads = state->reads;
  QTest::keyPress(rig.frame.windowHandle(), Qt::Key_CapsLock);
  EXPECT_EQ(state->reads, reads + 1);
  EXPECT_EQ(rig.frame.StatusPanes().Panes().back().text, "RF");
  EXPECT_EQ(rig.frame.StatusPanes().Panes()[rig.frame.StatusPanes().Panes().size() - 3].text, "UF");
  QTest::keyRelease(rig.frame.windowHandle(), Qt::Key_CapsLock);
  EXPECT_EQ(state->reads, reads + 2);
  QTest::keyClick(rig.frame.windowHandle(), Qt::Key_A);
  EXPECT_EQ(state->reads, reads + 2);  // other keys are not the lock keys' business

  // The view's own panes and a group come before the indicators, which keep their texts.
  const char* texts[] = {"Zeile 1", "Spalte 1"};
  ASSERT_EQ(rig.frame.SetStatusPanes(texts, nullptr, 2), 2);
  ASSERT_NE(rig.frame.StatusPanes().AddStatusPanes(texts, nullptr, 1), -1);
  rig.Settle();
  EXPECT_EQ(rig.frame.StatusPaneCount(), 7);
  EXPECT_EQ(Indicators(rig.frame), (Texts{"UF", "NUM", "RF"}));

  // States that cannot be read, or no source at all, leave the panes empty.
  state->keys.reset();
  EXPECT_TRUE(WaitForIndicators(rig, {"", "", ""}));
  state->keys = LockKeyState{true, true, true};
  EXPECT_TRUE(WaitForIndicators(rig, {"UF", "NUM", "RF"}));
  rig.frame.LockKeys().SetSource(nullptr);
  EXPECT_TRUE(WaitForIndicators(rig, {"", "", ""}));
}

}  // namespace
