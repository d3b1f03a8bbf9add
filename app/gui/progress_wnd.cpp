// The progress dialog's window over Qt Widgets.
#include "app/gui/progress_wnd.h"

#include "app/app_texts.h"
#include "jobs/run_host.h"
#include "platform/gui/gdi_char_widths.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_box.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace {

constexpr int kLineChars = 60;  // width of the path lines, in average characters

}  // namespace

int ShowPlainBox(QWidget* owner, const std::string& text, const std::string& caption, u32 type) {
  // The same box as everywhere: it wraps long paths and stays inside the screen.
  CMessageBoxDialog box(owner, text, caption.empty() ? std::string(kAppTitle) : caption, type);
  return static_cast<int>(box.exec());
}

int ShowPasswordBox(QWidget* owner, const std::string& text, const std::string& caption, std::string& password) {
  QDialog box(owner);
  box.setWindowTitle(QString::fromUtf8(caption.empty() ? kAppTitle : caption.c_str()));
  auto* layout = new QVBoxLayout(&box);
  auto* label = new QLabel(QString::fromUtf8(text.c_str()), &box);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  layout->addWidget(label);
  auto* field = new QLineEdit(&box);
  field->setObjectName(QStringLiteral("password"));
  // The input is never shown, nor offered to other programs.
  field->setEchoMode(QLineEdit::Password);
  field->setContextMenuPolicy(Qt::NoContextMenu);
  layout->addWidget(field);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Abbrechen"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  layout->addWidget(buttons);
  field->setFocus();
  const bool ok = box.exec() == QDialog::Accepted;
  if (ok) password = field->text().toStdString();
  field->clear();
  return ok ? IDOK : IDCANCEL;
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

int CProgressWnd::AskPassword(const std::string& text, const std::string& caption, std::string& password) {
  return ShowPasswordBox(this, text, caption, password);
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
