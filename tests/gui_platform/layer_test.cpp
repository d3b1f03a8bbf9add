// The window layer: command router and update-UI, messages across threads, timers, data exchange.
#include "platform/gui/cmd_router.h"
#include "platform/gui/dialog.h"
#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_shim.h"
#include "platform/gui/wnd_timers.h"
#include "tests/support/gui/scripted_prompter.h"

#include <gtest/gtest.h>
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QTimer>
#include <QToolBar>

#include <atomic>
#include <thread>

namespace {

// Pumps the main loop until done() holds or 10 s have passed (the watchdog).
template <class Pred>
bool PumpUntil(Pred done) {
  QElapsedTimer watchdog;
  watchdog.start();
  while (!done() && watchdog.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

TEST(CommandRouter, HandlersUpdateUiAndActions) {
  CCommandRouter router;
  int runs = 0, mruHit = 0;
  bool canRun = false;
  router.OnCommand(32778, [&] { ++runs; });
  router.OnUpdateCommandUI(32778, [&](CCmdUI& ui) {
    ui.Enable(canRun);
    ui.SetCheck(canRun ? 1 : 0);
  });
  router.OnCommandRange(57616, 57631, [&](UINT id) { mruHit = static_cast<int>(id); });

  EXPECT_FALSE(router.Query(40000).IsEnabled());  // nobody handles it: grey
  EXPECT_TRUE(router.Query(57620).IsEnabled());
  EXPECT_FALSE(router.Execute(32778));  // a grey command does not run
  EXPECT_EQ(runs, 0);
  canRun = true;
  EXPECT_TRUE(router.Execute(32778));
  EXPECT_TRUE(router.Execute(57620));
  EXPECT_EQ(mruHit, 57620);

  // A menu refreshes when shown; a visible toolbar on the idle tick; triggering routes the id.
  QMenu menu;
  QAction* inMenu = menu.addAction(QStringLiteral("Kopiwart ausführen"));
  QToolBar bar;
  QAction* onBar = bar.addAction(QStringLiteral("Run"));
  router.BindAction(inMenu, 32778);
  router.BindAction(onBar, 32778);
  EXPECT_EQ(CCommandRouter::CommandIdOf(onBar), 32778u);
  router.WatchMenu(&menu);
  router.WatchOnIdle(&bar);
  bar.show();
  canRun = false;
  emit menu.aboutToShow();
  EXPECT_FALSE(inMenu->isEnabled());
  EXPECT_TRUE(onBar->isEnabled());  // not yet ticked
  router.StartIdleTick(5);
  EXPECT_TRUE(PumpUntil([&] { return !onBar->isEnabled(); }));
  canRun = true;
  router.RunIdleUpdate();
  EXPECT_TRUE(onBar->isEnabled());
  EXPECT_TRUE(onBar->isChecked());
  onBar->trigger();
  EXPECT_EQ(runs, 2);
}

TEST(MessageShim, PostedAndSentFromAWorkerRunOnTheMainThread) {
  CMessageShim shim;
  std::vector<std::pair<UINT, WPARAM>> seen;
  bool allOnMain = true;
  for (const UINT msg : {0x5693u, 0x59A5u}) {
    shim.OnMessage(msg, [&, msg](WPARAM w, LPARAM l) -> LRESULT {
      allOnMain = allOnMain && IsMainThread();
      seen.emplace_back(msg, w);
      return static_cast<LRESULT>(w) + l;
    });
  }
  std::atomic<bool> done{false};
  LRESULT sent = 0, unhandled = -1;
  std::thread worker([&] {
    shim.PostMessage(0x59A5, 1);
    sent = shim.SendMessage(0x5693, 40, 2);  // blocks until handled; the post came first
    unhandled = shim.SendMessage(WM_USER + 7);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(sent, 42);
  EXPECT_EQ(unhandled, 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<UINT, WPARAM>{0x59A5, 1}));

  // On the main thread a send runs at once, a post waits for the loop; a post to a shim that has
  // gone is dropped.
  EXPECT_EQ(shim.SendMessage(0x5693, 1, 1), 2);
  auto doomed = std::make_unique<CMessageShim>();
  bool reached = false;
  doomed->OnMessage(0x524, [&](WPARAM, LPARAM) -> LRESULT { return reached = true; });
  doomed->PostMessage(0x524);
  doomed.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(reached);
}

TEST(WndTimers, FireWithTheirIdUntilKilled) {
  CWndTimers timers;
  std::vector<UINT_PTR> fired;
  timers.OnTimer([&](UINT_PTR id) {
    fired.push_back(id);
    if (id == 65287) timers.KillTimer(id);  // killing itself inside the callback
  });
  EXPECT_EQ(timers.SetTimer(14734, 1), 14734u);
  EXPECT_EQ(timers.SetTimer(65287, 1), 65287u);
  ASSERT_TRUE(PumpUntil([&] { return std::count(fired.begin(), fired.end(), UINT_PTR{14734}) >= 2; }));
  EXPECT_EQ(std::count(fired.begin(), fired.end(), UINT_PTR{65287}), 1);
  EXPECT_FALSE(timers.IsRunning(65287));
  EXPECT_TRUE(timers.KillTimer(14734));
  EXPECT_FALSE(timers.KillTimer(14734));
  const auto count = fired.size();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(fired.size(), count);
}

// A dialog with the schedule dialog's kind of controls.
class TestDlg : public CDialog {
 public:
  TestDlg() {
    for (int i = 0; i < 3; ++i) SetDlgItem(1007 + i, new QRadioButton(this));
    SetDlgItem(1001, new QLineEdit(this));
    SetDlgItem(1002, new QLineEdit(this));
    SetDlgItem(1011, new QCheckBox(this));
  }
  int unit = 0, interval = 0, check = 0;
  std::string host;

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Radio(pDX, 1007, unit);
    DDX_Check(pDX, 1011, check);
    DDX_Text(pDX, 1002, host);
    DDV_MaxChars(pDX, host, 3);
    DDX_Text(pDX, 1001, interval);
  }
};

QLineEdit* Edit(CDialog& dlg, int id) {
  return static_cast<QLineEdit*>(dlg.GetDlgItem(id));
}

TEST(DataExchange, RoundTripsAndRejectsABadInteger) {
  TestDlg dlg;
  dlg.unit = 2;
  dlg.interval = 476;
  dlg.check = 1;
  dlg.host = "Kö";
  ASSERT_TRUE(dlg.UpdateData(FALSE));
  EXPECT_TRUE(static_cast<QRadioButton*>(dlg.GetDlgItem(1009))->isChecked());
  EXPECT_EQ(dlg.GetDlgItemText(1001), "476");
  dlg.unit = dlg.interval = dlg.check = 0;
  dlg.host.clear();
  ASSERT_TRUE(dlg.UpdateData(TRUE));
  EXPECT_EQ(dlg.unit, 2);
  EXPECT_EQ(dlg.interval, 476);
  EXPECT_EQ(dlg.check, 1);
  EXPECT_EQ(dlg.host, "Kö");

  // The limit counts characters: "Kö" plus one more fits three, a fourth is refused.
  QLineEdit* host = Edit(dlg, 1002);
  host->setCursorPosition(2);
  host->insert(QStringLiteral("ß"));
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köß");
  host->insert(QStringLiteral("x"));
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köß");

  dlg.unit = -1;  // no button chosen
  dlg.UpdateData(FALSE);
  dlg.UpdateData(TRUE);
  EXPECT_EQ(dlg.unit, -1);

  for (const char* bad : {"12a", "", "abc", "99999999999"}) {
    CScriptedPrompter prompter({IDOK});
    dlg.SetDlgItemText(1001, bad);
    dlg.interval = 5;
    EXPECT_FALSE(dlg.UpdateData(TRUE)) << bad;
    ASSERT_EQ(prompter.asked.size(), 1u) << bad;
    EXPECT_EQ(prompter.asked[0].text, "Geben Sie bitte eine ganze Zahl ein.");
    EXPECT_EQ(prompter.asked[0].type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(dlg.focusWidget(), dlg.GetDlgItem(1001)) << bad;
  }
  int value = 0;
  EXPECT_TRUE(ParseDialogInt("  -17", value));
  EXPECT_EQ(value, -17);
  EXPECT_FALSE(ParseDialogInt("17 ", value));
}

TEST(DataExchange, ATextLongerThanTheLimitStaysWholeAndMayOnlyShrink) {
  TestDlg dlg;
  dlg.host = "Köln1";
  ASSERT_TRUE(dlg.UpdateData(FALSE));
  QLineEdit* host = Edit(dlg, 1002);
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köln1");
  host->end(false);
  host->insert(QStringLiteral("x"));
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köln1");
  host->backspace();
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köln");
  host->insert(QStringLiteral("x"));
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köln");
  host->backspace();
  host->insert(QStringLiteral("x"));  // back at the limit; nothing beyond it
  EXPECT_EQ(dlg.GetDlgItemText(1002), "Köl");
}

TEST(DataExchange, OkStaysOpenOnABadIntegerAndDoModalAnswersIdOk) {
  CScriptedPrompter prompter;
  TestDlg dlg;
  dlg.interval = 3;
  int rounds = 0;
  // The dialog's own loop: the first OK meets a bad number and stays, the second closes.
  QTimer::singleShot(0, &dlg, [&] {
    dlg.SetDlgItemText(1001, "x");
    dlg.accept();
    ++rounds;
    EXPECT_TRUE(dlg.isVisible());
    dlg.SetDlgItemText(1001, "12");
    dlg.accept();
  });
  QTimer::singleShot(10000, &dlg, [&] { dlg.done(99); });  // watchdog
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(dlg.interval, 12);
  EXPECT_EQ(prompter.asked.size(), 1u);
}

TEST(GuiTexts, FormatAndQtTranslation) {
  EXPECT_EQ(gui_text::Format(gui_text::kOpenFailed, "/a/b.kpw"),
            "Die Datei /a/b.kpw kann nicht geöffnet werden.");
  EXPECT_TRUE(LoadQtGermanTranslation(*QCoreApplication::instance()));
}

}  // namespace
