// The dialog base, its exchange run and the exchange helpers over Qt's controls.
#include "platform/gui/dialog.h"

#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_box.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QValidator>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

// Thrown by CDataExchange::Fail and caught by UpdateData, never beyond it.
struct ExchangeFailed {};

qsizetype CharsOf(const QString& text) {
  return text.toUcs4().size();
}

// Refuses input that would make the text longer than the limit in characters. A text that is
// already longer is never cut: it may only get shorter, down to the limit.
class CharLimit : public QValidator {
 public:
  CharLimit(int maxChars, QLineEdit* edit)
      : QValidator(edit), maxChars_(maxChars), allowed_(std::max(maxChars_, CharsOf(edit->text()))) {
    connect(edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { allowed_ = std::max(maxChars_, CharsOf(text)); });
  }
  State validate(QString& input, int&) const override {
    return CharsOf(input) <= allowed_ ? Acceptable : Invalid;
  }

 private:
  qsizetype maxChars_;
  qsizetype allowed_;
};

QLineEdit* LineEditOf(QWidget* w) {
  if (auto edit = qobject_cast<QLineEdit*>(w)) return edit;
  if (auto combo = qobject_cast<QComboBox*>(w)) return combo->lineEdit();
  return nullptr;
}

QString TextOf(const QWidget* w) {
  if (auto edit = qobject_cast<const QLineEdit*>(w)) return edit->text();
  if (auto combo = qobject_cast<const QComboBox*>(w)) return combo->currentText();
  if (auto plain = qobject_cast<const QPlainTextEdit*>(w)) return plain->toPlainText();
  if (auto label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  return w ? w->windowTitle() : QString();
}

void SetTextOf(QWidget* w, const QString& text) {
  if (auto edit = qobject_cast<QLineEdit*>(w)) return edit->setText(text);
  if (auto combo = qobject_cast<QComboBox*>(w)) return combo->setCurrentText(text);
  if (auto plain = qobject_cast<QPlainTextEdit*>(w)) return plain->setPlainText(text);
  if (auto label = qobject_cast<QLabel*>(w)) return label->setText(text);
  if (auto button = qobject_cast<QAbstractButton*>(w)) return button->setText(text);
  if (w) w->setWindowTitle(text);
}

void Prompt(CDataExchange* pDX, const std::string& text) {
  KpwMessageBox(pDX->m_pDlgWnd, text, "", MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

QWidget* CDataExchange::PrepareCtrl(int id) {
  m_idLastControl = id;
  return m_pDlgWnd->GetDlgItem(id);
}

void CDataExchange::Fail() {
  if (QWidget* control = m_pDlgWnd->GetDlgItem(m_idLastControl); control && m_bSaveAndValidate) {
    control->setFocus(Qt::OtherFocusReason);
    if (QLineEdit* edit = LineEditOf(control)) edit->selectAll();
  }
  throw ExchangeFailed{};
}

CDialog::CDialog(QWidget* parent) : QDialog(parent) {}

INT_PTR CDialog::DoModal() {
  INT_PTR result = IDCANCEL;
  CallOnMainThread([&] {
    setModal(true);
    if (!OnInitDialog()) return;
    result = exec();
  });
  return result;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate != FALSE);
  try {
    DoDataExchange(&dx);
  } catch (const ExchangeFailed&) {
    return FALSE;
  }
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;  // the prompt has been shown; the dialog stays open
  EndDialog(IDOK);
}

void CDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

void CDialog::SetDlgItem(int id, QWidget* control) {
  controls_[id] = control;
}

QWidget* CDialog::GetDlgItem(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  SetTextOf(GetDlgItem(id), QString::fromStdString(text));
}

std::string CDialog::GetDlgItemText(int id) const {
  return TextOf(GetDlgItem(id)).toStdString();
}

void DDX_Radio(CDataExchange* pDX, int firstId, int& value) {
  pDX->PrepareCtrl(firstId);
  // The group: the radio buttons at firstId and the ids following it without a gap.
  std::vector<QRadioButton*> group;
  for (int id = firstId;; ++id) {
    auto radio = qobject_cast<QRadioButton*>(pDX->m_pDlgWnd->GetDlgItem(id));
    if (!radio) break;
    group.push_back(radio);
  }
  if (pDX->m_bSaveAndValidate) {
    value = -1;
    for (std::size_t i = 0; i < group.size(); ++i)
      if (group[i]->isChecked()) value = static_cast<int>(i);
    return;
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    // Auto-exclusive buttons refuse to be all unchecked; -1 must clear them all.
    const bool exclusive = group[i]->autoExclusive();
    group[i]->setAutoExclusive(false);
    group[i]->setChecked(static_cast<int>(i) == value);
    group[i]->setAutoExclusive(exclusive);
  }
}

void DDX_Check(CDataExchange* pDX, int id, int& value) {
  auto box = qobject_cast<QCheckBox*>(pDX->PrepareCtrl(id));
  if (!box) return;
  if (pDX->m_bSaveAndValidate) {
    const Qt::CheckState state = box->checkState();
    value = state == Qt::Unchecked ? 0 : state == Qt::Checked ? 1 : 2;
    return;
  }
  if (value == 2) box->setTristate(true);
  box->setCheckState(value == 0 ? Qt::Unchecked : value == 1 ? Qt::Checked : Qt::PartiallyChecked);
}

bool ParseDialogInt(const std::string& text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const char* start = text.c_str() + i;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(start, &end, 10);
  if (end == start || *end != '\0' || errno == ERANGE) return false;
  if (*start != '-' && *start != '+' && (*start < '0' || *start > '9')) return false;
  if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
  value = static_cast<int>(parsed);
  return true;
}

void DDX_Text(CDataExchange* pDX, int id, int& value) {
  QWidget* control = pDX->PrepareCtrl(id);
  if (!pDX->m_bSaveAndValidate) {
    SetTextOf(control, QString::number(value));
    return;
  }
  if (!ParseDialogInt(TextOf(control).toStdString(), value)) {
    Prompt(pDX, gui_text::kParseInt);
    pDX->Fail();
  }
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
  QWidget* control = pDX->PrepareCtrl(id);
  if (pDX->m_bSaveAndValidate)
    value = TextOf(control).toStdString();
  else
    SetTextOf(control, QString::fromStdString(value));
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars) {
  if (!pDX->m_bSaveAndValidate) {
    LimitText(pDX->m_pDlgWnd->GetDlgItem(pDX->m_idLastControl), maxChars);
    return;
  }
  if (Utf8Chars(value) > static_cast<std::size_t>(maxChars)) {
    Prompt(pDX, gui_text::Format(gui_text::kMaxChars, std::to_string(maxChars)));
    pDX->Fail();
  }
}

void DDV_MinMaxInt(CDataExchange* pDX, int value, int minValue, int maxValue) {
  if (!pDX->m_bSaveAndValidate || (value >= minValue && value <= maxValue)) return;
  const std::string text =
      gui_text::Format(gui_text::Format(gui_text::kMinMaxInt, std::to_string(minValue)), std::to_string(maxValue));
  Prompt(pDX, text);
  pDX->Fail();
}

void LimitText(QWidget* edit, int maxChars) {
  QLineEdit* line = LineEditOf(edit);
  if (!line) return;
  if (auto old = line->validator(); old && dynamic_cast<const CharLimit*>(old)) delete old;
  line->setValidator(maxChars > 0 ? new CharLimit(maxChars, line) : nullptr);
}

std::size_t Utf8Chars(const std::string& text) {
  std::size_t count = 0;
  for (const unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;  // every byte but a continuation byte starts a character
  return count;
}
