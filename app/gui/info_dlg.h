// The information dialog: an HTML page stored in the program, shown in a browser field.
#pragma once

#include <QDialog>

#include <string>

class QTextBrowser;

class CInfoDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CInfoDlg(QWidget* parent = nullptr);

  // Loads the page named by m_pageName and runs the dialog modally.
  int DoModal();
  // Puts the named page into the browser; false (and a short note shown) when the program has
  // no page of that name.
  bool LoadPage();
  QTextBrowser* Browser() const { return m_browser; }

  std::string m_pageName;

 private:
  QTextBrowser* m_browser = nullptr;
};
