// A browser pane's settings in the registry store: its hidden parts, place, column widths and order.
#pragma once

#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The hidden-parts bit of the path bar.
inline constexpr DWORD kPaneHidePathBar = 4;

struct PaneSettings {
  DWORD hiddenParts = 0;
  std::string place;        // the folder or key shown; empty: the pane's own start
  std::vector<int> widths;  // column widths in pixels, as many as the pane has columns
  int sortColumn = 0;
  bool sortDescending = false;
  bool operator==(const PaneSettings&) const = default;
};

// The text a pane's value holds: "1;hidden;sort column;descending;w1,w2,...;place" (the place
// last, so that it may hold any character).
std::string PaneSettingsText(const PaneSettings& settings);
// nullopt for a text of another form.
std::optional<PaneSettings> ParsePaneSettingsText(std::string_view text);

// The value name (such as "FileList") under "Settings" of the application's key, as REG_SZ.
// Loading a value that is missing or of another form gives nullopt; saving creates the key.
std::optional<PaneSettings> LoadPaneSettings(const char* valueName);
BOOL SavePaneSettings(const char* valueName, const PaneSettings& settings);
