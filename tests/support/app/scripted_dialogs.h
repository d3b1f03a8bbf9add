// A stand-in for the special-settings, filter and schedule dialogs: answers from a queue, calls recorded.
#pragma once

#include "app/settings_dialogs.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

class ScriptedSettingsDialogs : public ISettingsDialogs {
 public:
  struct Call {
    std::string what;  // "settings", "filter", "schedule"
    kpw::view::SettingsDialog kind = kpw::view::SettingsDialog::None;
    std::string caption;  // the filter editor's
    std::string cell;
  };

  // The next dialog's answer: a text (OK) or nothing (Cancel). An empty queue cancels.
  void Queue(std::optional<std::string> answer) { m_answers.push_back(std::move(answer)); }

  std::optional<std::string> EditSpecialSettings(kpw::view::SettingsDialog kind, const std::string& cell) override;
  std::optional<std::string> EditFilter(const kpw::view::FilterEditor& editor, const std::string& cell) override;
  // Cancelled, always.
  bool EditSchedule(u32& word, i32& interval, u32 lastRun) override;

  std::vector<Call> calls;

 private:
  std::optional<std::string> Next();
  std::deque<std::optional<std::string>> m_answers;
};
