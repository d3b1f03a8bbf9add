// The Qt message box, the prompter switch and the hand-over to the main thread.
#include "platform/gui/message_box.h"

#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

class QtPrompter : public IPrompter {
 public:
  int MessageBox(QWidget* parent, const std::string& text, const std::string& caption, u32 type) override {
    CMessageBoxDialog box(parent, text, caption, type);
    return box.exec();
  }
};

QtPrompter& RealPrompter() {
  static QtPrompter real;
  return real;
}

IPrompter* g_prompter = nullptr;

QStyle::StandardPixmap IconOf(u32 type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
      return QStyle::SP_MessageBoxCritical;
    case MB_ICONQUESTION:
      return QStyle::SP_MessageBoxQuestion;
    case MB_ICONEXCLAMATION:
      return QStyle::SP_MessageBoxWarning;
    case MB_ICONINFORMATION:
      return QStyle::SP_MessageBoxInformation;
    default:
      return QStyle::SP_CustomBase;  // none
  }
}

}  // namespace

IPrompter& CurrentPrompter() {
  return g_prompter ? *g_prompter : RealPrompter();
}

IPrompter* SetPrompter(IPrompter* prompter) {
  IPrompter* old = g_prompter;
  g_prompter = prompter;
  return old;
}

int KpwMessageBox(QWidget* parent, const std::string& text, const std::string& caption, u32 type) {
  int answer = 0;
  CallOnMainThread([&] { answer = CurrentPrompter().MessageBox(parent, text, caption, type); });
  return answer;
}

std::vector<int> BoxButtons(u32 type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      return {IDOK};
  }
}

int BoxEscapeAnswer(u32 type) {
  switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE:
    case MB_YESNO:
      return 0;
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL:
      return IDCANCEL;
    default:
      return IDOK;
  }
}

const char* BoxButtonText(int answer) {
  switch (answer) {
    case IDOK:
      return gui_text::kOk;
    case IDCANCEL:
      return gui_text::kCancel;
    case IDABORT:
      return gui_text::kAbort;
    case IDRETRY:
      return gui_text::kRetry;
    case IDIGNORE:
      return gui_text::kIgnore;
    case IDYES:
      return gui_text::kYes;
    case IDNO:
      return gui_text::kNo;
    default:
      return "";
  }
}

CMessageBoxDialog::CMessageBoxDialog(QWidget* parent, const std::string& text, const std::string& caption,
                                     u32 type)
    : QDialog(parent), escapeAnswer_(BoxEscapeAnswer(type)) {
  // A box that names no caption carries the application's name.
  setWindowTitle(caption.empty() ? QGuiApplication::applicationDisplayName()
                                 : QString::fromStdString(caption));
  setModal(true);
  if (!escapeAnswer_) setWindowFlag(Qt::WindowCloseButtonHint, false);  // greyed, as on Windows

  auto body = new QHBoxLayout;
  if (const auto icon = IconOf(type); icon != QStyle::SP_CustomBase) {
    auto iconLabel = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    iconLabel->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(side, side));
    iconLabel->setAlignment(Qt::AlignTop);
    body->addWidget(iconLabel);
  }
  auto textLabel = new QLabel(QString::fromStdString(text), this);
  textLabel->setObjectName(QStringLiteral("text"));
  textLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  body->addWidget(textLabel, 1);

  auto buttons = new QHBoxLayout;
  buttons->addStretch(1);
  bool first = true;
  for (const int answer : BoxButtons(type)) {
    auto button = new QPushButton(QString::fromUtf8(BoxButtonText(answer)), this);
    button->setObjectName(QStringLiteral("button%1").arg(answer));
    button->setAutoDefault(false);
    if (first) button->setDefault(true);  // Enter gives the first button, like Windows
    first = false;
    connect(button, &QPushButton::clicked, this, [this, answer] { done(answer); });
    buttons->addWidget(button);
  }
  auto column = new QVBoxLayout(this);
  column->addLayout(body);
  column->addLayout(buttons);
}

void CMessageBoxDialog::reject() {
  if (escapeAnswer_) done(escapeAnswer_);
}
