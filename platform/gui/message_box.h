// The message box with the MB_* types and ID* answers, asked through a replaceable prompter.
#pragma once

#include "platform/win_types.h"

#include <QDialog>

#include <string>
#include <vector>

class QKeyEvent;
class QTextEdit;
class QWidget;

// Whoever answers boxes: the real dialogs, or a script in tests. Called on the main thread only.
class IPrompter {
 public:
  virtual ~IPrompter() = default;
  virtual int MessageBox(QWidget* parent, const std::string& text, const std::string& caption, u32 type) = 0;
};

// The prompter in use (the real one unless replaced) and its replacement; null restores the real
// one. Returns the previous one. Main thread only.
IPrompter& CurrentPrompter();
IPrompter* SetPrompter(IPrompter* prompter);

// Shows a box and returns the answer; from any thread (another thread blocks until the main
// thread has asked). An empty caption means the application's title.
int KpwMessageBox(QWidget* parent, const std::string& text, const std::string& caption, u32 type);

// The buttons of a box type, in their order, as ID* answers (unknown types act as MB_OK).
std::vector<int> BoxButtons(u32 type);
// What Esc and the close button answer: the Cancel of the type, the OK of a lone OK, or 0 when the
// box can only be left by a button (Abort/Retry/Ignore, Yes/No).
int BoxEscapeAnswer(u32 type);
// German caption of the button for an answer.
const char* BoxButtonText(int answer);

// The real box: text, icon and the type's buttons; exec() returns the ID* answer. The text wraps
// (a long path anywhere) so that the box stays inside the screen's available area; lines that
// do not fit scroll. It can be selected, and Ctrl+C copies the selection or the whole text.
class CMessageBoxDialog : public QDialog {
 public:
  CMessageBoxDialog(QWidget* parent, const std::string& text, const std::string& caption, u32 type);
  // Esc and the close button come here; a box without an escape answer stays open.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FitText(QWidget* parent, int iconWidth, int buttonsHeight);

  int escapeAnswer_;
  QTextEdit* text_ = nullptr;
};
