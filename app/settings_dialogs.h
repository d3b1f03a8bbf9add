// The special-settings, filter and schedule dialogs as the view window asks for them.
#pragma once

#include "app/view_commands.h"
#include "platform/win_types.h"

#include <optional>
#include <string>

// Whoever shows the dialogs: the windows, or a stand-in in tests. Main thread only. The dialogs
// get cells whole and give back whole texts, never cut ones.
class ISettingsDialogs {
 public:
  virtual ~ISettingsDialogs() = default;
  // The special-settings dialog of kind on an extra cell: the text to store after OK, nothing
  // after Cancel (the cell is then left as it is).
  virtual std::optional<std::string> EditSpecialSettings(kpw::view::SettingsDialog kind, const std::string& cell) = 0;
  // The pattern editor of a plus or minus filter cell, under its caption and label.
  virtual std::optional<std::string> EditFilter(const kpw::view::FilterEditor& editor, const std::string& cell) = 0;
  // The schedule dialog: edits word and count in place; true when it ended with OK.
  virtual bool EditSchedule(u32& word, i32& interval, u32 lastRun) = 0;
};
