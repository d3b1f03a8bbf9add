// The Qt message box, the prompter switch and the hand-over to the main thread.
#include "platform/gui/message_box.h"

#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// A box's lines wrap at about this many average characters.
constexpr int kMaxLineChars = 90;

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
  int iconWidth = 0;
  if (const auto icon = IconOf(type); icon != QStyle::SP_CustomBase) {
    auto iconLabel = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    iconLabel->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(side, side));
    iconLabel->setAlignment(Qt::AlignTop);
    body->addWidget(iconLabel);
    iconWidth = side + body->spacing();
  }
  // Read-only text that looks like a label, but wraps a long path anywhere and can be selected.
  text_ = new QTextEdit(this);
  text_->setObjectName(QStringLiteral("text"));
  text_->setReadOnly(true);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  text_->setFocusPolicy(Qt::ClickFocus);  // the keys go to the buttons, as in any box
  text_->setFrameShape(QFrame::NoFrame);
  text_->viewport()->setAutoFillBackground(false);
  text_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setPlainText(QString::fromStdString(text));
  body->addWidget(text_, 1);

  auto buttons = new QHBoxLayout;
  buttons->addStretch(1);
  bool first = true;
  QPushButton* defaultButton = nullptr;
  for (const int answer : BoxButtons(type)) {
    auto button = new QPushButton(QString::fromUtf8(BoxButtonText(answer)), this);
    button->setObjectName(QStringLiteral("button%1").arg(answer));
    button->setAutoDefault(false);
    if (first) {
      button->setDefault(true);  // Enter gives the first button, like Windows
      defaultButton = button;
    }
    first = false;
    connect(button, &QPushButton::clicked, this, [this, answer] { done(answer); });
    buttons->addWidget(button);
  }
  auto column = new QVBoxLayout(this);
  column->addLayout(body);
  column->addLayout(buttons);
  column->setSizeConstraint(QLayout::SetFixedSize);  // sized to its text, as a box is
  FitText(parent, iconWidth, buttons->sizeHint().height());
  if (defaultButton) defaultButton->setFocus();
}

void CMessageBoxDialog::FitText(QWidget* parent, int iconWidth, int buttonsHeight) {
  QScreen* screen = parent && parent->screen() ? parent->screen() : QGuiApplication::primaryScreen();
  const QRect room = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  const QMargins margins = layout()->contentsMargins();
  // What the window frame and title bar may take; the window system does not tell before it shows.
  const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 16;
  const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this) + frame;

  const QFontMetrics metrics(text_->font());
  // Measured on a document of its own: the field's follows the field's width, not known yet.
  QTextDocument measure;
  measure.setDefaultFont(text_->font());
  measure.setDocumentMargin(text_->document()->documentMargin());
  QTextOption wrap = measure.defaultTextOption();
  wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  measure.setDefaultTextOption(wrap);
  measure.setPlainText(text_->toPlainText());
  const int docMargins = static_cast<int>(2 * measure.documentMargin()) + 2;  // and the cursor
  const int widest = std::max(0, room.width() - margins.left() - margins.right() - iconWidth - frame);
  const int maxWidth = std::min(widest, metrics.averageCharWidth() * kMaxLineChars + docMargins);
  int natural = 0;
  for (const QString& line : measure.toPlainText().split(QLatin1Char('\n')))
    natural = std::max(natural, metrics.horizontalAdvance(line) + docMargins);
  const int width = std::min(natural, maxWidth);
  measure.setTextWidth(width);
  int height = static_cast<int>(std::ceil(measure.size().height()));
  const int maxHeight =
      std::max(metrics.height(), room.height() - margins.top() - margins.bottom() - layout()->spacing() -
                                     buttonsHeight - title);
  int extra = 0;
  if (height > maxHeight) {
    // Too many lines for the screen: they scroll, the buttons stay in reach.
    height = maxHeight;
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    extra = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, text_);
  }
  text_->setFixedSize(width + extra, height);
}

void CMessageBoxDialog::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    // As on Windows, the box's text goes to the clipboard; a selection in it, when there is one.
    const QTextCursor cursor = text_->textCursor();
    QGuiApplication::clipboard()->setText(cursor.hasSelection() ? cursor.selection().toPlainText()
                                                                : text_->toPlainText());
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CMessageBoxDialog::reject() {
  if (escapeAnswer_) done(escapeAnswer_);
}
