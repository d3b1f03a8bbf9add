// The one-field text dialog: both layouts, OK and Abbrechen, UTF-8 through the clipboard.
#include "controls/gui/template_text_dlg.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTimer>

namespace {

TEST(TemplateTextDlg, BothVariantsExchangeTheirTextOnOkOnly) {
  for (int variant : {0, 1}) {
    for (bool ok : {true, false}) {
      CTemplateTextDlg dlg(nullptr, variant);
      EXPECT_EQ(dlg.Variant(), variant);
      dlg.m_strText = "alt";
      dlg.m_strPrompt = "Name:";
      // Answered from the loop the dialog runs; no click is waited for.
      QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(dlg.Field()->text(), "alt");
        dlg.Field()->setText("Grüße");
        ok ? dlg.accept() : dlg.reject();
      });
      EXPECT_EQ(dlg.DoModal(), ok ? 1 : 2);
      EXPECT_EQ(dlg.m_strText, ok ? "Grüße" : "alt");
    }
  }
}

TEST(TemplateTextDlg, TheClipboardCarriesUtf8) {
  CTemplateTextDlg dlg(nullptr, 0);
  dlg.Field()->setText("Größe €");
  dlg.CopyToClipboard();
  EXPECT_EQ(QApplication::clipboard()->text().toUtf8().toStdString(), "Größe €");
  QApplication::clipboard()->setText(QString::fromUtf8("Maße"));
  dlg.PasteClipboard();
  dlg.UpdateData(true);
  EXPECT_EQ(dlg.m_strText, "Maße");
}

}  // namespace
