// Message boxes: answers through the scripted prompter, from workers, and Esc or close on each type.
#include "platform/gui/message_box.h"
#include "platform/gui/main_thread.h"
#include "tests/support/gui/scripted_prompter.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

struct BoxCase {
  u32 type;
  std::vector<int> buttons;
  int escape;  // 0: Esc and close leave the box open
};

const BoxCase kCases[] = {
    {MB_OK | MB_ICONHAND, {IDOK}, IDOK},
    {MB_OKCANCEL | MB_ICONQUESTION, {IDOK, IDCANCEL}, IDCANCEL},
    {MB_ABORTRETRYIGNORE | MB_ICONHAND, {IDABORT, IDRETRY, IDIGNORE}, 0},
    {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}, IDCANCEL},
    {MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO}, 0},
    {MB_RETRYCANCEL | MB_ICONEXCLAMATION, {IDRETRY, IDCANCEL}, IDCANCEL},
};

TEST(MessageBox, EscAndCloseGiveTheWindowsAnswers) {
  for (const BoxCase& c : kCases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(BoxButtons(c.type), c.buttons);
    EXPECT_EQ(BoxEscapeAnswer(c.type), c.escape);
    for (const bool byClose : {false, true}) {
      CMessageBoxDialog box(nullptr, "Frage", "", c.type);
      box.show();
      if (byClose) {
        box.close();
      } else {
        QTest::keyClick(&box, Qt::Key_Escape);
      }
      EXPECT_EQ(box.isVisible(), c.escape == 0);
      if (c.escape) {
        EXPECT_EQ(box.result(), c.escape);
      }
    }
    // Every button answers its own id.
    for (const int answer : c.buttons) {
      CMessageBoxDialog box(nullptr, "Frage", "Titel", c.type);
      box.show();
      auto button = box.findChild<QPushButton*>(QStringLiteral("button%1").arg(answer));
      ASSERT_NE(button, nullptr);
      button->click();
      EXPECT_FALSE(box.isVisible());
      EXPECT_EQ(box.result(), answer);
    }
  }
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Kopiwart"));  // as the application sets it
  CMessageBoxDialog box(nullptr, "x", "", MB_YESNO);
  EXPECT_EQ(box.windowTitle(), QStringLiteral("Kopiwart"));
  EXPECT_EQ(box.findChild<QPushButton*>(QStringLiteral("button7"))->text(), QStringLiteral("&Nein"));
}

TEST(MessageBox, AWorkersBoxIsAskedOnTheMainThreadAndBlocks) {
  CScriptedPrompter prompter({IDRETRY, IDIGNORE});
  std::atomic<bool> done{false};
  std::vector<int> answers;
  std::thread worker([&] {
    answers.push_back(KpwMessageBox(nullptr, "Datei gesperrt", "Fehler", MB_ABORTRETRYIGNORE));
    answers.push_back(KpwMessageBox(nullptr, "Noch einmal", "", MB_ABORTRETRYIGNORE));
    answers.push_back(KpwMessageBox(nullptr, "Script leer", "", MB_OKCANCEL));
    done = true;
  });
  QElapsedTimer watchdog;
  watchdog.start();
  while (!done && watchdog.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_TRUE(done);
  worker.join();
  EXPECT_EQ(answers, (std::vector<int>{IDRETRY, IDIGNORE, IDCANCEL}));
  ASSERT_EQ(prompter.asked.size(), 3u);
  EXPECT_TRUE(prompter.asked[0].onMainThread);
  EXPECT_EQ(prompter.asked[0].caption, "Fehler");
  EXPECT_EQ(prompter.asked[1].type, MB_ABORTRETRYIGNORE);
}

TEST(MessageBox, ThePrompterIsRestoredWhenTheScriptGoes) {
  IPrompter* real = &CurrentPrompter();
  {
    CScriptedPrompter prompter;
    EXPECT_EQ(&CurrentPrompter(), &prompter);
  }
  EXPECT_EQ(&CurrentPrompter(), real);
}

}  // namespace
