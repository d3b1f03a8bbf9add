// The schedule dialog: unit, interval with its range, the four options and the last run.
#include "app/gui/schedule_dlg.h"

#include "app/dialog_texts.h"
#include "platform/gui/gui_texts.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

constexpr int kOptionIds[4] = {IDC_OPTION_NEWER, IDC_OPTION_NO_OVERWRITE, IDC_OPTION_READONLY, IDC_OPTION_NO_TIME};

}  // namespace

CScheduleDlg::CScheduleDlg(QWidget* parent) : CDialog(parent) {
  namespace t = kpw::texts;
  setWindowTitle(QString::fromUtf8(t::kScheduleCaption));
  auto* body = new QVBoxLayout(this);

  auto* group = new QGroupBox(QString::fromUtf8(t::kScheduleGroup), this);
  auto* units = new QHBoxLayout(group);
  const char* unitTexts[] = {t::kUnitAlways, t::kUnitDays, t::kUnitWeeks, t::kUnitMonths};
  for (int i = 0; i < 4; ++i) {
    auto* radio = new QRadioButton(QString::fromUtf8(unitTexts[i]), group);
    SetDlgItem(IDC_UNIT_ALWAYS + i, radio);
    units->addWidget(radio);
    // A click only switches the interval on or off: a half-typed number is asked for at OK.
    connect(radio, &QRadioButton::clicked, this, [this, i] {
      m_fields.unit = i;
      GetDlgItem(IDC_INTERVAL)->setEnabled(i != 0);
    });
  }
  body->addWidget(group);

  auto* intervalRow = new QHBoxLayout;
  intervalRow->addWidget(new QLabel(QString::fromUtf8(t::kIntervalLabel), this));
  auto* interval = new QLineEdit(this);
  interval->setMaximumWidth(interval->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12);
  SetDlgItem(IDC_INTERVAL, interval);
  intervalRow->addWidget(interval);
  intervalRow->addStretch(1);
  body->addLayout(intervalRow);

  const char* optionTexts[] = {t::kOptionNewerOnly, t::kOptionNeverOverwrite, t::kOptionKeepReadOnly,
                               t::kOptionNoStoreTime};
  for (int i = 0; i < 4; ++i) {
    auto* box = new QCheckBox(QString::fromUtf8(optionTexts[i]), this);
    SetDlgItem(kOptionIds[i], box);
    body->addWidget(box);
  }

  auto* lastRow = new QHBoxLayout;
  lastRow->addWidget(new QLabel(QString::fromUtf8(t::kLastRunLabel), this));
  auto* last = new QLabel(QString::fromUtf8(t::kNeverRun), this);
  SetDlgItem(IDC_LAST_RUN, last);
  lastRow->addWidget(last, 1);
  body->addLayout(lastRow);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* ok = new QPushButton(QString::fromUtf8(gui_text::kOk), this);
  auto* cancel = new QPushButton(QString::fromUtf8(gui_text::kCancel), this);
  ok->setDefault(true);
  SetDlgItem(IDOK, ok);
  SetDlgItem(IDCANCEL, cancel);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  body->addLayout(buttons);
  body->setSizeConstraint(QLayout::SetFixedSize);
}

INT_PTR CScheduleDlg::Edit(u32* word, i32* count, u32 lastRun) {
  m_fields = kpw::settings::ScheduleFieldsOf(*word, *count);
  const int oldUnit = m_fields.unit;
  m_lastRun = lastRun;
  const INT_PTR result = DoModal();
  if (result != IDOK) return result;
  if (m_fields.unit < 0) m_fields.unit = oldUnit;  // an unknown unit that nobody replaced
  *word = kpw::settings::ScheduleWordOf(m_fields);
  *count = m_fields.interval;
  return result;
}

void CScheduleDlg::DoDataExchange(CDataExchange* pDX) {
  if (!m_lastRunShown) {
    m_lastRunShown = true;
    SetDlgItemText(IDC_LAST_RUN, kpw::settings::LastRunText(m_lastRun));
    LimitText(GetDlgItem(IDC_INTERVAL), kpw::settings::kIntervalMaxChars);
  }
  for (int i = 0; i < 4; ++i) DDX_Check(pDX, kOptionIds[i], m_fields.options[i]);
  DDX_Radio(pDX, IDC_UNIT_ALWAYS, m_fields.unit);
  if (pDX->m_bSaveAndValidate && m_fields.unit == 0) {
    // Under "Immer" the edit is off and nobody could mend it: what it shows counts when it is a
    // count the word can keep, else the count stays.
    int shown = 0;
    if (ParseDialogInt(GetDlgItemText(IDC_INTERVAL), shown) && shown >= 0 && shown <= 0x3FF)
      m_fields.interval = shown;
  } else {
    DDX_Text(pDX, IDC_INTERVAL, m_fields.interval);
    DDV_MinMaxInt(pDX, m_fields.interval, kpw::settings::kIntervalMin, kpw::settings::kIntervalMax);
  }
  GetDlgItem(IDC_INTERVAL)->setEnabled(m_fields.unit != 0);
}
