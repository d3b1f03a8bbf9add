// Running the special-settings, filter and schedule dialogs for the view.
#include "app/gui/gui_settings_dialogs.h"

#include "app/gui/schedule_dlg.h"
#include "app/gui/settings_dlg.h"
#include "platform/gui/main_thread.h"

CGuiSettingsDialogs::CGuiSettingsDialogs(std::function<QWidget*()> parent) : m_parent(std::move(parent)) {}

std::optional<std::string> CGuiSettingsDialogs::EditSpecialSettings(kpw::view::SettingsDialog kind,
                                                                    const std::string& cell) {
  std::optional<std::string> result;
  CallOnMainThread([&] {
    const std::unique_ptr<CSettingsDlg> dialog = MakeSettingsDialog(kind, Parent(), &m_places);
    if (!dialog) return;
    std::string text = cell;
    dialog->SetText(&text);
    if (dialog->DoModal() == IDOK) result = std::move(text);
  });
  return result;
}

std::optional<std::string> CGuiSettingsDialogs::EditFilter(const kpw::view::FilterEditor& editor,
                                                           const std::string& cell) {
  std::optional<std::string> result;
  CallOnMainThread([&] {
    CSubdirSettingsDlg dialog(Parent(), &m_places);
    dialog.m_caption = editor.caption;
    dialog.m_label = editor.label;
    std::string text = cell;
    dialog.SetText(&text);
    if (dialog.DoModal() == IDOK) result = std::move(text);
  });
  return result;
}

bool CGuiSettingsDialogs::EditSchedule(u32& word, i32& interval, u32 lastRun) {
  bool done = false;
  CallOnMainThread([&] {
    CScheduleDlg dialog(Parent());
    done = dialog.Edit(&word, &interval, lastRun) == IDOK;
  });
  return done;
}
