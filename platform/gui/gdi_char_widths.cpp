// Measuring a font's character widths once, on the main thread.
#include "platform/gui/gdi_char_widths.h"

#include <QApplication>
#include <QFont>
#include <QFontMetrics>

#include <algorithm>

namespace {

int Clamp(int width) {
  return std::clamp(width, 0, 255);
}

}  // namespace

void GdiCharWidthsFont(GdiWidthTable& table, const QFont& font) {
  const QFontMetrics metrics(font);
  int widest = 0;
  for (char32_t cp = 0; cp < 256; ++cp) {
    const int width = Clamp(metrics.horizontalAdvance(QChar(static_cast<char16_t>(cp))));
    table.widths[cp] = static_cast<u8>(width);
    widest = std::max(widest, width);
  }
  // Text outside Latin-1 is mostly wider; guessing too wide only shortens a path sooner.
  widest = std::max(widest, Clamp(metrics.horizontalAdvance(QChar(char16_t{0x6C34}))));
  table.otherWidth = std::max(widest, 1);
}

void GdiCharWidthsStock(GdiWidthTable& table, int /*stock*/) {
  GdiCharWidthsFont(table, QApplication::font());
}
