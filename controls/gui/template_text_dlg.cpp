// CTemplateTextDlg: one line of text asked for in one of two layouts.
#include "controls/gui/template_text_dlg.h"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

CTemplateTextDlg::CTemplateTextDlg(QWidget* parent, int variant)
    : QDialog(parent), m_variant(variant ? 1 : 0) {
  m_label = new QLabel(this);
  m_edit = new QLineEdit(this);
  m_label->setBuddy(m_edit);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText("OK");
  buttons->button(QDialogButtonBox::Cancel)->setText("Abbrechen");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* outer = new QVBoxLayout(this);
  if (m_variant == 0) {
    auto* row = new QHBoxLayout;
    row->addWidget(m_label);
    row->addWidget(m_edit, 1);
    outer->addLayout(row);
  } else {
    outer->addWidget(m_label);
    outer->addWidget(m_edit);
    m_edit->setMinimumWidth(m_edit->fontMetrics().averageCharWidth() * 60);
  }
  outer->addWidget(buttons);
}

CTemplateTextDlg::~CTemplateTextDlg() = default;

void CTemplateTextDlg::UpdateData(bool save) {
  if (save) {
    m_strText = m_edit->text().toStdString();
  } else {
    m_edit->setText(QString::fromStdString(m_strText));
    m_label->setText(QString::fromStdString(m_strPrompt));
    m_label->setVisible(!m_strPrompt.empty());
    if (!m_strCaption.empty()) setWindowTitle(QString::fromStdString(m_strCaption));
  }
}

int CTemplateTextDlg::DoModal() {
  UpdateData(false);
  m_edit->selectAll();
  m_edit->setFocus();
  if (exec() != QDialog::Accepted) return 2;
  UpdateData(true);
  return 1;
}

void CTemplateTextDlg::PasteClipboard() {
  m_edit->setText(QApplication::clipboard()->text());
}

void CTemplateTextDlg::CopyToClipboard() const {
  QApplication::clipboard()->setText(m_edit->text());
}
