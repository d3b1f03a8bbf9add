// The scripted dialogs: answers taken from the queue, every call recorded.
#include "tests/support/app/scripted_dialogs.h"

std::optional<std::string> ScriptedSettingsDialogs::EditSpecialSettings(kpw::view::SettingsDialog kind,
                                                                        const std::string& cell) {
  calls.push_back({"settings", kind, {}, cell});
  return Next();
}

std::optional<std::string> ScriptedSettingsDialogs::EditFilter(const kpw::view::FilterEditor& editor,
                                                               const std::string& cell) {
  calls.push_back({"filter", kpw::view::SettingsDialog::None, editor.caption, cell});
  return Next();
}

bool ScriptedSettingsDialogs::EditSchedule(u32&, i32&, u32) {
  calls.push_back({"schedule", kpw::view::SettingsDialog::None, {}, {}});
  return false;
}

std::optional<std::string> ScriptedSettingsDialogs::Next() {
  if (m_answers.empty()) return std::nullopt;
  std::optional<std::string> answer = std::move(m_answers.front());
  m_answers.pop_front();
  return answer;
}
