// The frame's flat menus over the application's style.
#include "app/gui/flat_menu_style.h"

#include <QPainter>
#include <QStyleOptionMenuItem>

#include <algorithm>

MenuColor FromQColor(const QColor& color) {
  return static_cast<MenuColor>(color.red()) | static_cast<MenuColor>(color.green()) << 8 |
         static_cast<MenuColor>(color.blue()) << 16;
}

QColor ToQColor(MenuColor color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

MenuPalette MenuPaletteOf(const QPalette& palette) {
  return {FromQColor(palette.color(QPalette::Window)), FromQColor(palette.color(QPalette::Highlight)),
          FromQColor(palette.color(QPalette::Base)),
          FromQColor(palette.color(QPalette::Disabled, QPalette::Text)),
          FromQColor(palette.color(QPalette::WindowText))};
}

int CFlatMenuStyle::ImageColumn(int maxIconWidth, const QWidget* widget) const {
  return std::max(maxIconWidth, pixelMetric(PM_SmallIconSize, nullptr, widget)) + 2;
}

int CFlatMenuStyle::LabelLeft(const QRect& item, int maxIconWidth, const QWidget* widget) const {
  return item.left() + ImageColumn(maxIconWidth, widget) + 4 + (m_menuMode ? 3 : 0);
}

void CFlatMenuStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
  if (element != PE_PanelMenu) return QProxyStyle::drawPrimitive(element, option, painter, widget);
  const MenuColors c = ColorsFor(option->palette);
  painter->fillRect(option->rect, ToQColor(c.background));
  painter->setPen(ToQColor(c.imageDark));
  painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
}

QSize CFlatMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                       const QWidget* widget) const {
  QSize s = QProxyStyle::sizeFromContents(type, option, size, widget);
  // Room for the label's shift, and MenuMode's two pixels.
  if (type == CT_MenuItem) s.rwidth() += m_menuMode ? 5 : 0;
  return s;
}

void CFlatMenuStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
  const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (element == CE_MenuEmptyArea && item) {
    painter->fillRect(option->rect, ToQColor(ColorsFor(option->palette).background));
    return;
  }
  if (element != CE_MenuItem || !item) return QProxyStyle::drawControl(element, option, painter, widget);

  const MenuColors c = ColorsFor(item->palette);
  const QRect r = item->rect;
  const int column = ImageColumn(item->maxIconWidth, widget);
  const int icon = pixelMetric(PM_SmallIconSize, option, widget);
  const bool enabled = (item->state & State_Enabled) != 0;
  const bool selected = enabled && (item->state & State_Selected) != 0;
  painter->save();
  painter->fillRect(r, ToQColor(c.background));
  painter->fillRect(QRect(r.left(), r.top(), column, r.height()), ToQColor(c.imageLight));

  if (item->menuItemType == QStyleOptionMenuItem::Separator) {
    const int y = r.center().y();
    const int left = r.left() + column + 4;
    painter->setPen(ToQColor(c.grayText));
    painter->drawLine(left, y, r.right() - 2, y);
    if (m_menuMode) {
      painter->setPen(item->palette.color(QPalette::Light));
      painter->drawLine(left, y + 1, r.right() - 2, y + 1);
    }
    painter->restore();
    return;
  }

  if (selected) {
    painter->fillRect(r, ToQColor(c.highlight));
    painter->setPen(ToQColor(c.highlightFrame));
    painter->drawRect(r.adjusted(0, 0, -1, -1));
  }

  const QRect imageRect(r.left() + 1, r.top() + (r.height() - icon) / 2, icon, icon);
  const bool checked = item->checkType != QStyleOptionMenuItem::NotCheckable && item->checked;
  if (!item->icon.isNull()) {
    if (checked) {
      painter->fillRect(imageRect.adjusted(-1, -1, 0, 0), ToQColor(c.highlight));
      painter->setPen(ToQColor(c.highlightFrame));
      painter->drawRect(imageRect.adjusted(-1, -1, 0, 0));
    }
    const QPixmap pixmap =
        item->icon.pixmap(QSize(icon, icon), painter->device()->devicePixelRatio(),
                          enabled ? QIcon::Normal : QIcon::Disabled, checked ? QIcon::On : QIcon::Off);
    painter->drawPixmap(imageRect.topLeft(), pixmap);
  } else if (checked) {
    // A check mark in the image column.
    QPen pen(enabled ? ToQColor(c.text) : ToQColor(c.grayText));
    pen.setWidth(2);
    painter->setPen(pen);
    painter->setRenderHint(QPainter::Antialiasing);
    const QPointF o = imageRect.topLeft();
    const QPointF mark[] = {o + QPointF(3.5, icon / 2.0), o + QPointF(icon * 0.42, icon - 4.0),
                            o + QPointF(icon - 3.0, 3.5)};
    painter->drawPolyline(mark, 3);
    painter->setRenderHint(QPainter::Antialiasing, false);
  }

  // The label before the tab, the shortcut behind it in its own column.
  const qsizetype tab = item->text.indexOf(QLatin1Char('\t'));
  const QString label = tab < 0 ? item->text : item->text.left(tab);
  const QString shortcut = tab < 0 ? QString() : item->text.mid(tab + 1);
  const int left = LabelLeft(r, item->maxIconWidth, widget);
  const int shortcutWidth = std::max(item->reservedShortcutWidth, 0);
  const QRect labelRect(left, r.top(), std::max(0, r.right() - 4 - shortcutWidth - left), r.height());
  const QRect shortcutRect(r.right() - 4 - shortcutWidth, r.top(), shortcutWidth, r.height());
  int flags = Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;
  if (!proxy()->styleHint(SH_UnderlineShortcut, item, widget)) flags |= Qt::TextHideMnemonic;
  painter->setFont(item->font);
  auto drawTexts = [&](const QColor& color, int offset) {
    painter->setPen(color);
    painter->drawText(labelRect.translated(offset, offset), flags | Qt::AlignLeft, label);
    if (!shortcut.isEmpty())
      painter->drawText(shortcutRect.translated(offset, offset), flags | Qt::AlignLeft, shortcut);
  };
  if (!enabled) {
    // Engraved: a light copy one pixel down and right, the grey text on top.
    drawTexts(item->palette.color(QPalette::Light), 1);
    drawTexts(ToQColor(c.grayText), 0);
  } else {
    const QColor text =
        selected && !m_menuMode ? item->palette.color(QPalette::HighlightedText) : ToQColor(c.text);
    drawTexts(text, 0);
  }

  if (item->menuItemType == QStyleOptionMenuItem::SubMenu) {
    QStyleOption arrow = *option;
    const int size = r.height() / 2;
    arrow.rect = QRect(r.right() - size - 2, r.top() + (r.height() - size) / 2, size, size);
    arrow.palette.setColor(QPalette::ButtonText, enabled ? ToQColor(c.text) : ToQColor(c.grayText));
    proxy()->drawPrimitive(PE_IndicatorArrowRight, &arrow, painter, widget);
  }
  painter->restore();
}
