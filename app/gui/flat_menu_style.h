// The frame's flat menus: items drawn in the colours that "MenuMode" chooses, with the toolbar images.
#pragma once

#include "app/frame_settings.h"

#include <QColor>
#include <QProxyStyle>

class QPalette;

// The palette colours a menu is drawn from: menu = Window, highlight = Highlight, window = Base,
// grey text = the disabled Text, menu text = WindowText.
MenuPalette MenuPaletteOf(const QPalette& palette);
QColor ToQColor(MenuColor color);
MenuColor FromQColor(const QColor& color);

// Set on each popup menu of the frame (QWidget::setStyle); it must outlive them. Reads the mode at
// every paint, so a change shows at the next opening of a menu. The image column is one image
// wide plus a pixel on either side; the label starts 4 pixels behind it (3 more with MenuMode).
class CFlatMenuStyle : public QProxyStyle {
 public:
  explicit CFlatMenuStyle(const int& menuMode) : m_menuMode(menuMode) {}

  // The colours in use for a palette.
  MenuColors ColorsFor(const QPalette& palette) const {
    return MenuColorsFor(m_menuMode, MenuPaletteOf(palette));
  }

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;

 private:
  int ImageColumn(int maxIconWidth, const QWidget* widget) const;
  // Where the label of an item of this rectangle starts.
  int LabelLeft(const QRect& item, int maxIconWidth, const QWidget* widget) const;

  const int& m_menuMode;
};
