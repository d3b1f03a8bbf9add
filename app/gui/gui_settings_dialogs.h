// The special-settings, filter and schedule dialogs shown as windows.
#pragma once

#include "app/gui/dialog_places.h"
#include "app/settings_dialogs.h"

#include <functional>

class QWidget;

// Each call runs its dialog modally on the main thread, owned by the window that parent gives at
// that moment (null: none). The places of the dialogs are kept as long as this object lives.
class CGuiSettingsDialogs : public ISettingsDialogs {
 public:
  explicit CGuiSettingsDialogs(std::function<QWidget*()> parent = {});

  std::optional<std::string> EditSpecialSettings(kpw::view::SettingsDialog kind, const std::string& cell) override;
  std::optional<std::string> EditFilter(const kpw::view::FilterEditor& editor, const std::string& cell) override;
  bool EditSchedule(u32& word, i32& interval, u32 lastRun) override;

  CDialogPlaces& Places() { return m_places; }

 private:
  QWidget* Parent() const { return m_parent ? m_parent() : nullptr; }

  std::function<QWidget*()> m_parent;
  CDialogPlaces m_places;
};
