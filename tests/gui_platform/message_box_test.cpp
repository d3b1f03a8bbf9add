// Message boxes: answers through the scripted prompter, from workers, and Esc or close on each type.
#include "platform/gui/message_box.h"
#include "platform/gui/main_thread.h"
#include "tests/support/gui/scripted_prompter.h"

#include <gtest/gtest.h>
#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

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

// A box with a long path, or with many lines, stays inside the screen with every button in reach;
// the path breaks anywhere and the text can be selected and copied.
TEST(MessageBox, LongTextsWrapInsideTheScreenAndCanBeCopied) {
  const std::string path = "/srv/sicherung/" + std::string(1200, 'x') + "/ordner/datei.txt";
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "Zeile " + std::to_string(i) + "\n";
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  for (const std::string& text : {"Die Datei\n" + path + "\nkann nicht gelesen werden.", lines}) {
    CMessageBoxDialog box(nullptr, text, "Fehler", MB_ABORTRETRYIGNORE | MB_ICONHAND);
    box.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(screen.contains(box.frameGeometry())) << box.frameGeometry().width() << "x"
                                                      << box.frameGeometry().height();
    for (const int answer : {IDABORT, IDRETRY, IDIGNORE}) {
      auto* button = box.findChild<QPushButton*>(QStringLiteral("button%1").arg(answer));
      ASSERT_NE(button, nullptr);
      EXPECT_TRUE(button->isVisible());
      EXPECT_TRUE(screen.contains(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())));
    }
    auto* shown = box.findChild<QTextEdit*>(QStringLiteral("text"));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->toPlainText().toStdString(), text);
    EXPECT_FALSE(shown->horizontalScrollBar()->isVisible());  // wrapped, never scrolled sideways
    EXPECT_TRUE(screen.contains(QRect(shown->mapToGlobal(QPoint(0, 0)), shown->size())));
  }

  // Ctrl+C in the box copies its whole text, or the part selected in it.
  CMessageBoxDialog box(nullptr, "Die Datei\n" + path + "\nfehlt.", "", MB_OK);
  box.show();
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "Die Datei\n" + path + "\nfehlt.");
  auto* shown = box.findChild<QTextEdit*>(QStringLiteral("text"));
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(shown->textInteractionFlags() & Qt::TextSelectableByMouse);
  QTextCursor cursor = shown->textCursor();
  cursor.setPosition(10);
  cursor.setPosition(10 + static_cast<int>(path.size()), QTextCursor::KeepAnchor);
  shown->setTextCursor(cursor);
  QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), path);
  // Enter still answers with the first button.
  QTest::keyClick(&box, Qt::Key_Return);
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.result(), IDOK);
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
