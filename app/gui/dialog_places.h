// The position memory of the job engine's dialogs: the last place of each dialog class.
#pragma once

#include <QRect>

#include <map>
#include <string>

class QWidget;

// Kept for the run of the program by whoever shows the dialogs.
class CDialogPlaces {
 public:
  // Before a dialog shows: back to the last place of its class when the screens allow it
  // (DialogRestorePlace), position only, and with withSize also the size when each side is more
  // than 16 pixels. Otherwise the dialog keeps its default place.
  void Restore(const std::string& dialogClass, QWidget& dialog, bool withSize) const;
  // When a dialog closes (OK or Cancel): its place on the screen, unless it is maximised.
  void Save(const std::string& dialogClass, const QWidget& dialog);
  bool Has(const std::string& dialogClass) const { return m_places.count(dialogClass) != 0; }

 private:
  struct Place {
    QRect frame;  // the window with its frame: the place
    QSize size;   // the client area: what is restored
  };
  std::map<std::string, Place> m_places;
};
