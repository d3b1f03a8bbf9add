// The one-field text dialog: both layouts, OK and Abbrechen, UTF-8 through the clipboard.
#include "controls/gui/template_text_dlg.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTimer>

namespace {

TEST(TemplateTextDlg, BothVariantsExchangeTheTextOnOkOnlyAndTheClipboardIsUtf8) {
  for (int variant : {0, 1}) {
    for (bool ok : {true, false}) {
      CTemplateTextDlg dlg(nullptr, variant);
      dlg.m_strText = "alt";
      // Answered from the dialog's own loop; no click is waited for.
      QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(dlg.Field()->text(), "alt");
        QApplication::clipboard()->setText(QString::fromUtf8("Größe €"));
        dlg.PasteClipboard();
        ok ? dlg.accept() : dlg.reject();
      });
      EXPECT_EQ(dlg.DoModal(), ok ? 1 : 2);
      EXPECT_EQ(dlg.m_strText, ok ? "Größe €" : "alt");
    }
  }
  CTemplateTextDlg dlg(nullptr, 0);
  dlg.Field()->setText("Maße");
  dlg.CopyToClipboard();
  EXPECT_EQ(QApplication::clipboard()->text().toUtf8().toStdString(), "Maße");
}

}  // namespace
