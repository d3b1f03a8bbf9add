// The progress dialog's window over Qt Widgets.
#include "app/gui/progress_wnd.h"

#include "app/app_texts.h"
#include "jobs/run_host.h"
#include "platform/gui/gdi_char_widths.h"
#include "platform/gui/main_thread.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <utility>

namespace {

constexpr int kLineChars = 60;  // width of the path lines, in average characters

// A box without a cancel answer cannot be closed by Esc or the title bar: the user picks a button.
class PlainBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;
  bool closable = true;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (!closable && event->key() == Qt::Key_Escape) return event->accept();
    QMessageBox::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    if (!closable) return event->ignore();
    QMessageBox::closeEvent(event);
  }
};

}  // namespace

int ShowPlainBox(QWidget* owner, const std::string& text, const std::string& caption, u32 type) {
  PlainBox box(owner);
  box.setWindowTitle(QString::fromStdString(caption.empty() ? std::string(kAppTitle) : caption));
  box.setText(QString::fromStdString(text));
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONEXCLAMATION:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      break;
  }
  struct Button {
    QMessageBox::StandardButton qt;
    int answer;
  };
  std::vector<Button> buttons;
  int escape = 0;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
      escape = IDCANCEL;
      break;
    case MB_ABORTRETRYIGNORE:
      buttons = {
          {QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
      escape = IDCANCEL;
      break;
    case MB_YESNO:
      buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
      break;
    case MB_RETRYCANCEL:
      buttons = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
      escape = IDCANCEL;
      break;
    default:
      buttons = {{QMessageBox::Ok, IDOK}};
      escape = IDOK;
      break;
  }
  QMessageBox::StandardButtons all;
  for (const Button& b : buttons) all |= b.qt;
  box.setStandardButtons(all);
  for (const Button& b : buttons)
    if (b.answer == escape) box.setEscapeButton(b.qt);
  box.closable = escape != 0;
  const int clicked = box.exec();
  for (const Button& b : buttons)
    if (b.qt == clicked) return b.answer;
  return escape != 0 ? escape : buttons.front().answer;
}

CProgressWnd::CProgressWnd(CProgressDlg& dialog, QWidget* parent)
    : QDialog(parent), m_dialog(dialog), m_token(std::make_shared<CProgressWnd*>(this)) {
  setWindowTitle(QString::fromUtf8(kpw::texts::kProgressCaption));
  setModal(true);
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QString::fromUtf8(kpw::texts::kProgressFrom), this), 0, 0);
  grid->addWidget(new QLabel(QString::fromUtf8(kpw::texts::kProgressTo), this), 1, 0);
  for (int i = 0; i < 3; ++i) {
    auto* line = new QLabel(this);
    line->setObjectName(QString::number(1023 + i));
    line->setTextFormat(Qt::PlainText);
    // A fixed width: long text is shortened by the dialog, never by growing the window.
    line->setFixedWidth(line->fontMetrics().averageCharWidth() * kLineChars);
    m_lines[static_cast<std::size_t>(i)] = line;
    if (i < 2)
      grid->addWidget(line, i, 1);
    else
      grid->addWidget(line, i, 0, 1, 2);
  }
  m_bar = new QProgressBar(this);
  m_bar->setObjectName(QStringLiteral("1022"));
  m_bar->setTextVisible(false);
  grid->addWidget(m_bar, 3, 0, 1, 2);
  m_cancel = new QPushButton(QString::fromUtf8(kpw::texts::kProgressCancel), this);
  m_cancel->setObjectName(QStringLiteral("2"));
  m_cancel->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_cancel);
  buttons->addStretch();
  grid->addLayout(buttons, 4, 0, 1, 2);
  connect(m_cancel, &QPushButton::clicked, this, [this] { m_dialog.OnCancel(); });

  m_pumpTimer = new QTimer(this);
  m_pumpTimer->setSingleShot(true);
  connect(m_pumpTimer, &QTimer::timeout, this, &CProgressWnd::PumpNow);

  // Here, on the main thread, once: the worker only ever reads the copy.
  GdiCharWidthsFont(m_widths, m_lines[0]->font());
  ++m_measurements;
}

CProgressWnd::~CProgressWnd() {
  *m_token = nullptr;
  m_dialog.SetWakeup({});
  if (!m_ended) m_dialog.Close();
}

int CProgressWnd::Run() {
  std::weak_ptr<CProgressWnd*> token = m_token;
  m_dialog.SetWakeup([token] {
    PostToMainThread([token] {
      if (const auto alive = token.lock(); alive && *alive) (*alive)->PumpNow();
    });
  });
  m_dialog.OnInitDialog(*this);
  QTimer::singleShot(0, this, &CProgressWnd::PumpNow);
  if (m_ended) return m_dialog.GetDialogResult();
  const int result = exec();
  m_dialog.SetWakeup({});
  return m_ended ? m_dialog.GetDialogResult() : result;
}

void CProgressWnd::PumpNow() {
  if (m_ended) return;
  const int wait = m_dialog.Pump();
  if (m_ended) return;
  if (wait < 0)
    m_pumpTimer->stop();
  else
    m_pumpTimer->start(wait);
}

void CProgressWnd::SetCaption(const std::string& text) {
  setWindowTitle(QString::fromStdString(text));
}

void CProgressWnd::SetLineText(int line, const std::string& text) {
  if (line >= 0 && line < 3) Line(line)->setText(QString::fromStdString(text));
}

void CProgressWnd::SetRange(int range) {
  m_bar->setRange(0, range);
}

void CProgressWnd::SetPos(int position) {
  m_bar->setValue(std::min(position, m_bar->maximum()));
}

void CProgressWnd::EnableCancel(bool enable) {
  m_cancel->setEnabled(enable);
}

int CProgressWnd::MessageBox(const std::string& text, const std::string& caption, u32 type) {
  return m_box ? m_box(this, text, caption, type) : ShowPlainBox(this, text, caption, type);
}

void CProgressWnd::EndDialog(int result) {
  m_ended = true;
  m_pumpTimer->stop();
  done(result);
}

int CProgressWnd::LineWidth() {
  return m_lines[0]->width();
}

void CProgressWnd::reject() {
  // Esc: the button's cancel; the window closes only when the worker has returned.
  if (!m_ended) m_dialog.OnCancel();
}

void CProgressWnd::closeEvent(QCloseEvent* event) {
  if (m_ended) return QDialog::closeEvent(event);
  event->ignore();
  m_dialog.OnCancel();
}

int RunProgressDialog(CProgressDlg& dialog, QWidget* parent, CProgressWnd::BoxFn box) {
  int result = IDCANCEL;
  CallOnMainThread([&] {
    CProgressWnd window(dialog, parent);
    window.setWindowModality(Qt::ApplicationModal);
    if (box) window.SetBoxFunction(std::move(box));
    result = window.Run();
  });
  return result;
}
