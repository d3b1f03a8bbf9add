// The information dialog over a QTextBrowser.
#include "app/gui/info_dlg.h"

#include "app/app_texts.h"
#include "app/gui/help_page.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>

CInfoDlg::CInfoDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kpw::texts::kSyntaxInfo));
  auto* layout = new QVBoxLayout(this);
  m_browser = new QTextBrowser(this);
  // Links of the page lead out of the program: the desktop's browser opens them.
  m_browser->setOpenExternalLinks(true);
  layout->addWidget(m_browser);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  const QFontMetrics metrics(font());
  resize(metrics.averageCharWidth() * 90, metrics.height() * 36);
}

bool CInfoDlg::LoadPage() {
  const char* page = FindHelpPage(m_pageName);
  if (!page) {
    m_browser->setPlainText(QString::fromUtf8(kpw::texts::kMissingHelpPage) +
                            QString::fromStdString(m_pageName));
    return false;
  }
  m_browser->setHtml(QString::fromUtf8(page));
  return true;
}

int CInfoDlg::DoModal() {
  LoadPage();
  return exec();
}
