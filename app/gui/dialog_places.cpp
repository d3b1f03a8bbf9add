// Saving a dialog's place when it closes and restoring it on the screen that holds it.
#include "app/gui/dialog_places.h"

#include "app/dialog_place.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {

PlaceRect ToPlace(const QRect& r) { return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()}; }

}  // namespace

void CDialogPlaces::Restore(const std::string& dialogClass, QWidget& dialog, bool withSize) const {
  const auto it = m_places.find(dialogClass);
  if (it == m_places.end()) return;
  std::vector<PlaceRect> screens;
  std::size_t primary = 0;
  const QList<QScreen*> all = QGuiApplication::screens();
  for (QScreen* screen : all) {
    if (screen == QGuiApplication::primaryScreen()) primary = screens.size();
    screens.push_back(ToPlace(screen->geometry()));
  }
  const std::optional<PlacePoint> at = DialogRestorePlace(ToPlace(it->second.frame), screens, primary);
  if (!at) return;
  if (withSize && it->second.frame.width() > 16 && it->second.frame.height() > 16) dialog.resize(it->second.size);
  dialog.move(at->x, at->y);
}

void CDialogPlaces::Save(const std::string& dialogClass, const QWidget& dialog) {
  if (dialog.isMaximized()) return;
  m_places[dialogClass] = {dialog.frameGeometry(), dialog.size()};
}
