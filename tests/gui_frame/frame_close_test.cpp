// Closing the main window while a run works, on real folders: the run is cancelled first, the
// window waits for its end, then the save question comes ("Abbrechen" keeps the window); a start-up
// run ends the program itself with its status. And the run lock as the run reports to it.
#include "tests/gui_frame/frame_rig.h"

#include "jobs/progress/progress_dlg.h"

#include <atomic>
#include <thread>

namespace {

using namespace kpwframe;

const char kFilesCopiedHead[] = "Es wurden ";

TEST(FrameClose, CloseDuringARunCancelsItAsksAfterItAndAbbrechenKeepsTheWindow) {
  LargeRows f;
  Watchdog watchdog;
  ProgressWatch watch;
  // The run's closing note, the save question ("Abbrechen"), the save question again ("Nein").
  CScriptedPrompter prompter({IDOK, IDCANCEL, IDNO});
  Rig rig;
  bool closed = false, closedAgain = false;
  bool activeAtClose = false, dialogAtClose = false, visibleAfterClose = false, pendingAfterClose = false;
  std::size_t askedAtClose = 99;
  bool runOverAtQuestion = false;
  Poll poll([&] {
    if (!closed && f.Begun()) {
      activeAtClose = rig.app.RunLock().IsRunActive();
      dialogAtClose = rig.app.RunLock().ActiveDialog() != nullptr;
      askedAtClose = prompter.asked.size();
      closed = true;
      rig.frame.close();
      visibleAfterClose = rig.frame.isVisible();
      pendingAfterClose = rig.frame.IsClosePending();
    }
    if (closed && !closedAgain && prompter.asked.size() == 2 && !rig.frame.IsClosePending()) {
      runOverAtQuestion = !rig.app.RunLock().IsRunActive();
      if (!rig.frame.isVisible()) return;  // lost: the window went without "Nein"
      closedAgain = true;
      rig.frame.close();
    }
  });
  // An edit before the run, so that there is something to save; then F5.
  QTimer::singleShot(0, [&] {
    rig.frame.SendCommand(ID_NEW_ENTRY);
    rig.frame.SendCommand(ID_RUN);
  });
  const int status = rig.RunApp({f.file.c_str()});

  EXPECT_EQ(status, 0);
  ASSERT_TRUE(closed);
  EXPECT_TRUE(activeAtClose);
  EXPECT_TRUE(dialogAtClose);
  EXPECT_EQ(askedAtClose, 0u);  // nothing asked while the run worked
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_TRUE(pendingAfterClose);
  EXPECT_EQ(watch.answer, IDCANCEL);  // the progress window ended as cancelled
  EXPECT_TRUE(f.LastRowLeftOut());
  ASSERT_EQ(prompter.asked.size(), 3u);
  EXPECT_EQ(prompter.asked[0].text.rfind(kFilesCopiedHead, 0), 0u);
  EXPECT_EQ(prompter.asked[1].text, "Änderungen an " + f.file + " speichern?");
  EXPECT_TRUE(runOverAtQuestion);
  // "Abbrechen" kept the window; the second close with "Nein" ended the program.
  EXPECT_TRUE(closedAgain);
  EXPECT_EQ(prompter.asked[2].text, prompter.asked[1].text);
  EXPECT_FALSE(rig.frame.isVisible());
  EXPECT_FALSE(rig.app.RunLock().IsRunActive());
  EXPECT_EQ(rig.app.RunLock().ActiveDialog(), nullptr);
}

// A start-up run through the progress window (-S): the close cancels it; the program ends with
// the status of a stopped run, without a save question.
TEST(FrameClose, CloseDuringAStartupRunStopsItAndTheRunEndsTheProgram) {
  LargeRows f;
  Watchdog watchdog;
  ProgressWatch watch;
  CScriptedPrompter prompter({IDOK});
  Rig rig;
  bool closed = false, visibleAfterClose = false;
  Poll poll([&] {
    if (closed || !f.Begun()) return;
    closed = true;
    rig.frame.close();
    visibleAfterClose = rig.frame.isVisible();
  });
  const int status = rig.RunApp({f.file.c_str(), "-S"});
  EXPECT_EQ(status, KPW_EXIT_STOPPED);
  ASSERT_TRUE(closed);
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_EQ(watch.answer, IDCANCEL);
  EXPECT_TRUE(f.LastRowLeftOut());
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text.rfind(kFilesCopiedHead, 0), 0u);
  // A cancelled run keeps no last-run time.
  EXPECT_EQ(kpwtest::ReadFile(f.file).find("/LETZTE="), std::string::npos);
}

// Without a window (-S -N): the close stops the direct run on its thread, nothing is asked, and
// the program ends by itself once the tray icon has had its second. The icon's tip is the job
// file's name without folder and extension, cut to 63 characters.
TEST(FrameClose, CloseDuringAHiddenStartupRunStopsItAndTheRunEndsTheProgram) {
  LargeRows f(4, std::string(80, 'n'));
  Watchdog watchdog;
  CScriptedPrompter prompter;
  Rig rig;
  auto tray = std::make_unique<CFakeTray>();
  CFakeTray* fake = tray.get();
  rig.frame.SetTrayBackend(std::move(tray));
  bool closed = false;
  Poll poll([&] {
    if (closed || !f.Begun()) return;
    closed = true;
    rig.frame.close();
  });
  const int status = rig.RunApp({f.file.c_str(), "-S", "-N"});
  EXPECT_EQ(status, KPW_EXIT_STOPPED);
  ASSERT_TRUE(closed);
  EXPECT_TRUE(prompter.asked.empty());
  EXPECT_TRUE(f.LastRowLeftOut());
  const auto calls = fake->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].tip, std::optional<std::string>(std::string(63, 'n')));
  EXPECT_EQ(calls[1].op, "delete");
  EXPECT_TRUE(calls[1].inLoop);
}

// WM_RUN_PROGRESS_DLG sent from another thread: the frame holds the dialog when the send returns
// and lets it go with 0; a close meanwhile cancels that dialog and comes back after the 0.
TEST(FrameRunLock, TheDialogIsStoredBeforeTheSendReturnsAndACloseCancelsIt) {
  CScriptedPrompter prompter({IDCANCEL});
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.frame.SendCommand(ID_NEW_ENTRY);  // modified: the close will ask
  CProgressDlg dialog;
  std::atomic<bool> done{false};
  CProgressDlg* seenAfterSend = nullptr;
  CProgressDlg* seenAfterClear = &dialog;
  std::thread run([&] {
    rig.frame.SendMessage(WM_RUN_PROGRESS_DLG, 0, reinterpret_cast<LPARAM>(&dialog));
    seenAfterSend = rig.app.RunLock().ActiveDialog();
    done = true;
  });
  EXPECT_TRUE(kpwtest::PumpUntil([&] { return done.load(); })) << "the send of the dialog did not return";
  kpwtest::JoinWithin(run, "the send of the dialog");
  EXPECT_EQ(seenAfterSend, &dialog);
  EXPECT_TRUE(rig.app.RunLock().IsRunActive());

  // Closing now: the dialog is cancelled, the window stays, the close waits.
  rig.frame.show();
  rig.frame.close();
  EXPECT_TRUE(dialog.IsCancelled());
  EXPECT_TRUE(rig.frame.isVisible());
  EXPECT_TRUE(rig.frame.IsClosePending());

  done = false;
  std::thread end([&] {
    rig.frame.SendMessage(WM_RUN_PROGRESS_DLG, 0, 0);
    seenAfterClear = rig.app.RunLock().ActiveDialog();
    done = true;
  });
  EXPECT_TRUE(kpwtest::PumpUntil([&] { return done.load(); })) << "the send that lets the dialog go did not return";
  kpwtest::JoinWithin(end, "the send that lets the dialog go");
  EXPECT_EQ(seenAfterClear, nullptr);
  EXPECT_FALSE(rig.app.RunLock().IsRunActive());
  // The close that waited: its save question, whose "Abbrechen" keeps the window.
  rig.Settle();
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Änderungen an Unbenannt speichern?");
  EXPECT_TRUE(rig.frame.isVisible());
  EXPECT_FALSE(rig.frame.IsClosePending());
}

}  // namespace
