// The help page, the application's boxes and the measured character widths.
#include "app/gui/app_dialogs.h"
#include "app/gui/help_page.h"
#include "app/gui/info_dlg.h"
#include "platform/gui/gdi_char_widths.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QTextBrowser>

#include <algorithm>
#include <string>

namespace {

TEST(HelpPage, NamesEveryModeSwitchTagAndCommandLineSwitchInTheInfoDialog) {
  const char* page = FindHelpPage("*Help.html");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(FindHelpPage("Help.html"), page);
  EXPECT_EQ(FindHelpPage("*Other.html"), nullptr);
  const std::string html = page;
  const char* modes[][2] = {{"Copy", "(keiner)"},    {"Copy Del", "/COPY_DEL"}, {"Copy File", "/COPY_FILE"},
                            {"Zip", "/ZIP"},         {"Zip Add", "/ZIP_ADD"},   {"Reg", "/REG"},
                            {"Reg Add", "/REG_ADD"}, {"Move", "/MOVE"},         {"Del", "/DEL"},
                            {"Ftp", "/FTP"},         {"Ftp Del", "/FTP_DEL"},   {"Synch", "/SYNCH"},
                            {"Puffer", "/BUFFER"},   {"Update", "/UPDATE"},     {"Version", "/VERSION"},
                            {"Shrink", "/SHRINK"},   {"Kopiwart", "/KOPIWART"}};
  for (const auto& [mode, word] : modes) {
    const std::string row = std::string("<tr><td>") + mode + "</td><td>" + word + "</td>";
    EXPECT_NE(html.find(row), std::string::npos) << mode;
  }
  for (const char* needle : {"#D#", "#d#", "#@#", "#@0#", "#1#", "#5#", "$(KPW_PATH)", "[EINTRAG]",
                             "/ZEITPLAN=", "/LETZTE=", "<code>-S</code>", "<code>-A</code>",
                             "<code>-N</code>", "Plus Filter", "Minus Filter", "Zusatz", "/UNTER"})
    EXPECT_NE(html.find(needle), std::string::npos) << needle;
  // What the runner does: a "Del" row without a target is refused, as is an over-long cell.
  EXPECT_EQ(html.find("Braucht kein Ziel"), std::string::npos);
  for (const char* needle : {"muss aber angegeben sein", "höchstens 1283 Zeichen"})
    EXPECT_NE(html.find(needle), std::string::npos) << needle;

  CInfoDlg dialog;
  dialog.m_pageName = "*Help.html";
  ASSERT_TRUE(dialog.LoadPage());
  EXPECT_TRUE(dialog.Browser()->toPlainText().contains(QStringLiteral("Die siebzehn Modi")));
  dialog.m_pageName = "*Nichts.html";
  EXPECT_FALSE(dialog.LoadPage());
}

QStringList Labels(const QObject& dialog) {
  QStringList texts;
  for (const QLabel* label : dialog.findChildren<QLabel*>())
    if (!label->text().isEmpty()) texts << label->text();
  return texts;
}

TEST(AppBoxes, CarryTheirTexts) {
  const auto about = MakeAboutDialog();
  EXPECT_EQ(about->windowTitle(), QStringLiteral("Info über Kopiwart"));
  EXPECT_EQ(Labels(*about), QStringList{QStringLiteral("Kopiwart, Version 2.46")});

  const auto info = MakeProgramInfoDialog();
  EXPECT_EQ(info->windowTitle(), QStringLiteral("Programminfo"));
  const auto groups = info->findChildren<QGroupBox*>();
  ASSERT_EQ(groups.size(), 1);
  EXPECT_EQ(groups[0]->title(), QStringLiteral("Parameter für den Programmaufruf"));
  const QStringList expected = {QStringLiteral("/S"),
                                QStringLiteral("Kopiwart gleich beim Start ausführen "),
                                QStringLiteral("und Programm danach beenden."),
                                QStringLiteral("/N"),
                                QStringLiteral("Keine Fenster anzeigen."),
                                QStringLiteral("/A"),
                                QStringLiteral("Kopiwart immer ausführen egal"),
                                QStringLiteral("welche Zeitplan eingestellt ist.")};
  EXPECT_EQ(Labels(*info), expected);
}

TEST(CharWidths, PerCodePointFromTheFont) {
  QFont font = QApplication::font();
  font.setPointSize(14);
  GdiWidthTable table;
  GdiCharWidthsFont(table, font);
  const QFontMetrics metrics(font);
  int widest = 0;
  for (char32_t cp : {U' ', U'A', U'i', U'W', U'\u00E4', U'\u00DF'}) {
    const int expected = std::min(metrics.horizontalAdvance(QChar(static_cast<char16_t>(cp))), 255);
    EXPECT_EQ(table.Width(cp), expected) << static_cast<int>(cp);
    widest = std::max(widest, expected);
  }
  EXPECT_GE(table.Width(U'\u6C34'), widest);

  GdiWidthTable stock, general;
  GdiCharWidthsStock(stock, -1);
  GdiCharWidthsFont(general, QApplication::font());
  EXPECT_EQ(stock.widths, general.widths);
  EXPECT_GT(stock.Width(U'A'), 0);
}

}  // namespace
