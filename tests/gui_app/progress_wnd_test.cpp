// The progress window driven by a worker thread through the progress dialog, and the password box.
#include "app/gui/progress_wnd.h"
#include "lib/text/compact_path.h"
#include "jobs/run_host.h"
#include "platform/gui/main_thread.h"
#include "tests/support/deadline.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QLineEdit>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr int kWatchdogMs = 30000;  // only ends a hung case; nothing is measured against it

// A door the worker waits at until the test (or the watchdog) opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }
  void Wait() {
    std::unique_lock lock(m_mutex);
    EXPECT_TRUE(m_cv.wait_for(lock, std::chrono::milliseconds(kWatchdogMs), [&] { return m_open; }))
        << "the gate stayed shut";
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = false;
};

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

TEST(ProgressWindow, ShowsTheWorkerAndEscCancelsOnceWhileTheWorkerRuns) {
  CProgressDlg dialog;
  std::atomic<int> callbacks{0};
  dialog.SetCancelCallback([&] { ++callbacks; });
  Gate release;
  const std::string longPath = "/home/anna/" + std::string(300, 'q') + "/projekt/quelle/datei.txt";
  dialog.SetWorker([&](CProgressDlg& d) {
    d.SetCaption("Kopieren");
    d.SetLine(nullptr, longPath.c_str(), 0, 0, -1, 0);
    d.SetLine(nullptr, "/ziel/datei.txt", 1);
    d.SetLine("Datei ", "3 von 10", 2);
    d.SetTotal(1000);
    d.SetPos(400);
    release.Wait();
    return 0;
  });

  CProgressWnd window(dialog);
  EXPECT_EQ(window.windowTitle(), Q("Kopieren"));
  EXPECT_EQ(window.CancelButton()->text(), Q("Abbrechen"));
  bool watchdogFired = false;
  bool drawn = false, disabledAfterEsc = false, openAfterEsc = false, openAfterClose = false;
  int callbacksAfterEsc = -1;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    if (drawn) return;
    if (window.Line(1)->text() != Q("/ziel/datei.txt") || window.Line(2)->text() != Q("Datei 3 von 10") ||
        window.Line(0)->text().isEmpty() || window.Bar()->maximum() != 1000 || window.Bar()->value() != 400)
      return;
    drawn = true;
    QTest::keyClick(&window, Qt::Key_Escape);
    disabledAfterEsc = !window.CancelButton()->isEnabled();
    openAfterEsc = window.isVisible();
    QTest::keyClick(&window, Qt::Key_Escape);
    window.close();
    openAfterClose = window.isVisible();
    callbacksAfterEsc = callbacks.load();
    release.Open();
  });
  driver.start(5);
  QTimer::singleShot(kWatchdogMs, &window, [&] {
    watchdogFired = true;
    release.Open();
    dialog.Finish();
  });

  const int result = window.Run();
  ASSERT_FALSE(watchdogFired);
  EXPECT_TRUE(drawn);
  EXPECT_TRUE(disabledAfterEsc);
  EXPECT_TRUE(openAfterEsc);
  EXPECT_TRUE(openAfterClose);
  EXPECT_EQ(callbacksAfterEsc, 1);
  EXPECT_EQ(callbacks.load(), 1);
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(dialog.GetWorkerResult(), 0);
  EXPECT_FALSE(window.isVisible());

  // The long path was shortened with the widths measured once, here, to fit the line.
  const std::string shown = window.Line(0)->text().toStdString();
  EXPECT_NE(shown.find("..."), std::string::npos) << shown;
  EXPECT_LE(GdiTextWidth(shown, window.CharWidths()), window.LineWidth() - 4);
  EXPECT_EQ(window.WidthMeasurements(), 1);
}

TEST(ProgressWindow, RunFromAnotherThreadAsksOnTheMainThread) {
  CProgressDlg dialog;
  std::atomic<int> answer{0};
  dialog.SetWorker([&](CProgressDlg& d) {
    d.SetLine(nullptr, "/quelle", 0);
    answer = d.Ask("Datei ist schreibgeschützt", "Fehler", MB_ABORTRETRYIGNORE | MB_ICONHAND);
    return 0;
  });
  std::atomic<bool> boxOnMainThread{false};
  std::string boxText;
  std::atomic<int> result{0};
  std::atomic<bool> done{false};
  std::thread startup([&] {
    result = RunProgressDialog(dialog, nullptr,
                               [&](QWidget*, const std::string& text, const std::string&, u32 type) {
                                 boxOnMainThread = IsMainThread();
                                 boxText = text + "|" + std::to_string(type);
                                 return IDRETRY;
                               });
    done = true;
  });
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done) loop.quit();
  });
  poll.start(5);
  bool watchdogFired = false;
  QTimer::singleShot(kWatchdogMs, &loop, [&] {
    watchdogFired = true;
    dialog.Finish();
  });
  if (!done) loop.exec();
  kpwtest::JoinWithin(startup, "the progress dialog run from another thread");
  ASSERT_FALSE(watchdogFired);
  EXPECT_EQ(result.load(), IDOK);
  EXPECT_EQ(answer.load(), IDRETRY);
  EXPECT_TRUE(boxOnMainThread.load());
  EXPECT_EQ(boxText, "Datei ist schreibgeschützt|18");
}

// The password box shows no input; OK gives what was typed, "Abbrechen" nothing.
TEST(PasswordBox, HidesTheInputAndAnswersOkOrCancel) {
  for (const bool ok : {true, false}) {
    bool seen = false, hidden = false, cancelText = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      auto* field = box ? box->findChild<QLineEdit*>(QStringLiteral("password")) : nullptr;
      if (!field) return;
      seen = box->windowTitle() == Q("Kennwort");
      hidden = field->echoMode() == QLineEdit::Password;
      for (auto* button : box->findChildren<QPushButton*>()) cancelText |= button->text() == Q("Abbrechen");
      QTest::keyClicks(field, Q("geh"));
      field->insert(Q("äim"));  // typed keys are ASCII only
      if (ok) QTest::keyClick(field, Qt::Key_Return);
      else box->reject();
    });
    std::string password = "vorher";
    const int answer = ShowPasswordBox(nullptr, "Kennwort für 'a.txt':", "Kennwort", password);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(cancelText);
    EXPECT_EQ(answer, ok ? IDOK : IDCANCEL);
    EXPECT_EQ(password, ok ? "gehäim" : "vorher");
  }
}

}  // namespace
