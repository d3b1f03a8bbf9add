// The special-settings, filter and schedule dialogs as the view asks for them, and the row commands over them.
#pragma once

#include "app/view_commands.h"
#include "controls/treelist_types.h"
#include "platform/win_types.h"

#include <optional>
#include <string>

class CKopiwartView;

// Whoever shows the dialogs: the windows, or a script in tests. Main thread only.
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

// "Spezialeinstellungen" on the row of item: the mode, source and target choose the dialog; a
// text that differs from the cell is written and the list marked modified. True when the cell
// changed. The filter-bar row and modes without a dialog do nothing.
bool EditRowSpecialSettings(CKopiwartView& view, HTREEITEM item, ISettingsDialogs& dialogs);
// "Filterstellungen" on the plus (2) or minus (3) cell of the row of item, as above.
bool EditRowFilter(CKopiwartView& view, HTREEITEM item, int column, ISettingsDialogs& dialogs);
