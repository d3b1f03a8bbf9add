// The progress dialog's protocol with a scripted view: bar scaling, the line throttle, questions,
// cancel, closing while a worker waits, teardown, the worker's timer.
#include "jobs/progress/progress_dlg.h"

#include "jobs/run_host.h"
#include "tests/support/deadline.h"
#include "tests/support/scripted_progress_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(ProgressBar, SixtyFourBitTotalsScaleToTheBar) {
  const struct {
    i64 total;
    int range, shift;
  } cases[] = {{0, 1, 0}, {1025, 1029, 0}, {40000, 10039, 2}};
  for (const auto& c : cases) {
    CProgressDlg dlg;
    dlg.SetTotal(c.total);
    EXPECT_EQ(dlg.GetRange(), c.range) << c.total;
    EXPECT_EQ(dlg.GetShift(), c.shift) << c.total;
  }
  for (i64 total : {i64{1} << 47, INT64_MAX}) {
    CProgressDlg dlg;
    dlg.SetTotal(total);
    EXPECT_LE(dlg.GetRange(), kProgressRangeMax) << total;
    dlg.SetPos(total / 2);
    EXPECT_NEAR(dlg.GetPos(), dlg.GetRange() / 2, dlg.GetRange() / 100 + 1) << total;
  }
}

// A dialog whose worker waits until the test lets it go, pumped by hand with a fake clock.
class Pumped : public ::testing::Test {
 protected:
  void SetUp() override {
    dlg_.SetClock([this] { return now_.load(); });
    dlg_.SetWorker([this](CProgressDlg&) {
      EXPECT_TRUE(kpwtest::WaitUntil([this] { return released_.load(); })) << "the test kept the worker";
      return 7;
    });
  }
  void TearDown() override {
    released_ = true;
  }
  void PumpUntilEnded() {
    for (int i = 0; i < 1000 && !dlg_.IsEnded(); ++i) {
      dlg_.Pump();
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(dlg_.IsEnded());
  }
  std::atomic<u64> now_{1000};
  std::atomic<bool> released_{false};
  ScriptedProgressView view_{30};
  CProgressDlg dlg_;
};

TEST_F(Pumped, CommandsReachTheViewAndTheThrottleHoldsLinesBack) {
  std::atomic<int> wakeups{0};
  dlg_.SetWakeup([&] { ++wakeups; });
  dlg_.SetLine(nullptr, "vorher", 1);
  dlg_.OnInitDialog(view_);
  EXPECT_EQ(view_.LineText(1), "vorher");
  EXPECT_EQ(dlg_.Pump(), 200);  // the line timer
  view_.Clear();
  dlg_.SetCaption("Archiv");
  dlg_.SetTotal(40000);
  dlg_.SetPos(8000);
  dlg_.Step();
  dlg_.SetLine(nullptr, "a", 0);
  EXPECT_GE(wakeups.load(), 5);
  dlg_.Pump();
  EXPECT_EQ(view_.CallsOf("Caption").back().text, "Archiv");
  EXPECT_EQ(view_.CallsOf("Range").back().value, 10039);
  EXPECT_EQ(view_.CallsOf("Pos").back().value, 2001);
  EXPECT_EQ(view_.LineText(0), "a");

  now_ = 1050;
  dlg_.SetLine(nullptr, "b", 0);
  now_ = 1100;
  dlg_.SetLine(nullptr, "c", 0);  // 50 ms after "b": the stamp moves with every call
  dlg_.SetLine(nullptr, "x", 2);  // another line has its own stamp
  dlg_.Pump();
  EXPECT_EQ(view_.LineText(0), "a");
  EXPECT_EQ(view_.LineText(2), "x");
  now_ = 1200;  // the 200 ms timer
  dlg_.Pump();
  EXPECT_EQ(view_.LineText(0), "c");
  // The end shows a line the throttle still held back.
  now_ = 1400;
  dlg_.SetLine(nullptr, "Suche Dateien", 0);
  now_ = 1410;
  dlg_.SetLine(nullptr, "fertig", 0);
  EXPECT_TRUE(dlg_.IsLineDirty(0));
  released_ = true;
  PumpUntilEnded();
  EXPECT_EQ(view_.LineText(0), "fertig");
}

void Count(std::atomic<int>* calls) {
  ++*calls;
}

TEST_F(Pumped, CancelCallsTheCallbackOnceOnTheLoopAndTheDialogEndsWithTheWorker) {
  std::atomic<int> calls{0};
  dlg_.SetCancelCallback(&Count, &calls);
  dlg_.OnInitDialog(view_);
  std::thread finisher([&] { dlg_.Finish(); });  // a worker's cancel acts as the button
  kpwtest::JoinWithin(finisher, "a worker's cancel");
  EXPECT_TRUE(dlg_.IsCancelled());
  EXPECT_EQ(calls.load(), 0);  // the callback runs on the loop
  dlg_.Pump();
  dlg_.OnCancel();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(view_.CallsOf("EnableCancel")[0].value, 0);
  EXPECT_FALSE(dlg_.IsEnded());
  released_ = true;
  PumpUntilEnded();
  EXPECT_EQ(dlg_.GetDialogResult(), IDCANCEL);
  EXPECT_EQ(dlg_.GetWorkerResult(), 7);
}

TEST(ProgressLine, CompositionAndWholeCharacters) {
  CProgressDlg dlg;
  ScriptedProgressView view(34);
  dlg.OnInitDialog(view);  // no worker: the line width is measured all the same
  dlg.SetLine("Von: ", "/home/user/projects/deep/file.txt", 0, 5, -1, 0);
  EXPECT_EQ(dlg.GetLine(0), "Von: /home/.../deep/file.txt");
  std::string u;
  for (int i = 0; i < 300; ++i) u += "ä";
  dlg.SetLine("a", u.c_str(), 0);  // 1 + 600 bytes
  EXPECT_EQ(dlg.GetLine(0).size(), 255u);
  EXPECT_EQ(dlg.GetLine(0).back(), '\xa4');  // ends on a whole "ä"
  dlg.SetCaption(u.c_str());
  EXPECT_EQ(dlg.GetCaption().size(), 254u);
}

// The dialog runs its modal loop on this thread; the worker asks questions on its own.
TEST(ProgressAsk, QuestionsInSequenceWaitForTheirAnswers) {
  CProgressDlg dlg;
  ScriptedProgressView view;
  view.QueueAnswer(IDOK);
  view.QueueAnswer(IDRETRY);
  std::vector<int> answers;
  dlg.SetWorker([&](CProgressDlg& d) {
    answers.push_back(d.Ask("eins", nullptr, MB_OKCANCEL | MB_ICONHAND));
    answers.push_back(d.Ask("zwei", "Titel", MB_ABORTRETRYIGNORE));
    return -1;
  });
  EXPECT_EQ(dlg.DoModal(view), IDOK);
  EXPECT_EQ(answers, (std::vector<int>{IDOK, IDRETRY}));
  const auto boxes = view.CallsOf("Box");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].value, 0x11);
  CProgressDlg closed;
  EXPECT_EQ(closed.Ask("nie gezeigt", nullptr, MB_OKCANCEL), IDCANCEL);  // no window, no question
}

// Password questions travel the same way; the answer's password reaches only the asker.
TEST(ProgressAsk, PasswordQuestionsGiveThePasswordOrCancel) {
  CProgressDlg dlg;
  ScriptedProgressView view;
  view.QueuePassword("geheim");
  view.QueuePassword(std::nullopt);
  std::vector<std::pair<int, std::string>> answers;
  dlg.SetWorker([&](CProgressDlg& d) {
    for (int i = 0; i < 2; ++i) {
      std::string password;
      const int answer = d.AskPassword("Kennwort für x:", "Kennwort", password);
      answers.emplace_back(answer, password);
    }
    return 0;
  });
  EXPECT_EQ(dlg.DoModal(view), IDOK);
  EXPECT_EQ(answers, (std::vector<std::pair<int, std::string>>{{IDOK, "geheim"}, {IDCANCEL, ""}}));
  EXPECT_EQ(view.CallsOf("Password").size(), 2u);
  CProgressDlg closed;
  std::string none;
  EXPECT_EQ(closed.AskPassword("nie gezeigt", nullptr, none), IDCANCEL);
}

TEST(ProgressAsk, ClosingReleasesTheWaiterAndLaterQuestionsGetCancel) {
  CProgressDlg dlg;
  ScriptedProgressView view;
  // The window goes away while its box is still open: the worker must not wait for that box.
  view.SetAnswerFunction([&](const std::string&, u32) {
    dlg.Close();
    return IDRETRY;
  });
  std::vector<int> answers;
  dlg.SetWorker([&](CProgressDlg& d) {
    answers.push_back(d.Ask("eins", nullptr, MB_ABORTRETRYIGNORE));
    answers.push_back(d.Ask("zwei", nullptr, MB_ABORTRETRYIGNORE));
    return 0;
  });
  EXPECT_EQ(dlg.DoModal(view), IDCANCEL);
  for (int i = 0; i < 500 && dlg.IsWorkerRunning(); ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(answers, (std::vector<int>{IDCANCEL, IDCANCEL}));
  EXPECT_EQ(view.CallsOf("Box").size(), 1u);
}

// A window closed from outside ends its loop first; the run waits for the worker itself.
TEST(ProgressWorker, WaitingEndsWhenTheWorkerReturnsAlsoAfterTheWindowClosed) {
  CProgressDlg never;
  never.WaitForWorker();  // never started: at once
  CProgressDlg dlg;
  ScriptedProgressView view;
  std::atomic<bool> returned{false};
  dlg.SetWorker([&](CProgressDlg& d) {
    EXPECT_TRUE(kpwtest::WaitUntil([&] { return d.IsCancelled(); })) << "closing did not cancel the worker";
    std::this_thread::sleep_for(20ms);
    returned = true;
    return 5;
  });
  dlg.OnInitDialog(view);
  dlg.Close();  // cancels the worker, which still takes its time
  dlg.WaitForWorker();
  EXPECT_TRUE(returned.load());
  EXPECT_FALSE(dlg.IsWorkerRunning());
  EXPECT_EQ(dlg.GetWorkerResult(), 5);
}

TEST(ProgressTeardown, DestroyingTheDialogReleasesAWaitingWorker) {
  std::atomic<int> first{0}, second{0};
  {
    const kpwtest::Deadline deadline("destroying a dialog whose worker waits for an answer");
    CProgressDlg dlg;
    ScriptedProgressView view;
    dlg.SetWorker([&](CProgressDlg& d) {
      first = d.Ask("wartet", nullptr, MB_OKCANCEL);  // nobody pumps: only closing answers
      second = d.Ask("danach", nullptr, MB_OKCANCEL);
      return 0;
    });
    dlg.OnInitDialog(view);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(first.load(), IDCANCEL);
  EXPECT_EQ(second.load(), IDCANCEL);
}

TEST(ProgressTimer, RunsOnTheLoopAndStopsForGood) {
  CProgressDlg dlg;
  ScriptedProgressView view;
  std::atomic<int> calls{0};
  std::atomic<int> callsAfterStop{-1};
  const std::thread::id loopThread = std::this_thread::get_id();
  std::atomic<bool> wrongThread{false};
  dlg.SetWorker([&](CProgressDlg& d) {
    d.SetTimerCallback(
        [&](CProgressDlg&) {
          if (std::this_thread::get_id() != loopThread) wrongThread = true;
          ++calls;
        },
        5);
    EXPECT_TRUE(kpwtest::WaitUntil([&] { return calls.load() >= 3; })) << "the timer did not run";
    d.SetTimerCallback(nullptr, 0);
    const int at = calls.load();
    std::this_thread::sleep_for(30ms);
    callsAfterStop = calls.load() - at;
    return 0;
  });
  EXPECT_EQ(dlg.DoModal(view), IDOK);
  EXPECT_EQ(callsAfterStop.load(), 0);
  EXPECT_FALSE(wrongThread.load());
}

}  // namespace
