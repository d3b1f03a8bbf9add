// A browser pane's settings in the registry store.
#include "panes/pane_settings.h"

#include "lib/system/registry.h"

#include <charconv>

namespace {

constexpr const char* kSettingsKey = "Settings";

template <class T>
bool Number(std::string_view s, T& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

std::string PaneSettingsText(const PaneSettings& s) {
  std::string text = "1;" + std::to_string(s.hiddenParts) + ";" + std::to_string(s.sortColumn) + ";" +
                     (s.sortDescending ? "1" : "0") + ";";
  for (std::size_t i = 0; i < s.widths.size(); ++i) {
    if (i) text += ',';
    text += std::to_string(s.widths[i]);
  }
  return text + ";" + s.place;
}

std::optional<PaneSettings> ParsePaneSettingsText(std::string_view text) {
  std::string_view fields[5];
  for (std::string_view& field : fields) {
    const std::size_t end = text.find(';');
    if (end == std::string_view::npos) return std::nullopt;
    field = text.substr(0, end);
    text.remove_prefix(end + 1);
  }
  PaneSettings s;
  int descending = 0;
  if (fields[0] != "1" || !Number(fields[1], s.hiddenParts) || !Number(fields[2], s.sortColumn) ||
      !Number(fields[3], descending)) {
    return std::nullopt;
  }
  s.sortDescending = descending != 0;
  for (std::string_view widths = fields[4]; !widths.empty();) {
    const std::size_t end = widths.find(',');
    int width = 0;
    if (!Number(widths.substr(0, end), width)) return std::nullopt;
    s.widths.push_back(width);
    widths = end == std::string_view::npos ? std::string_view{} : widths.substr(end + 1);
  }
  s.place = text;
  return s;
}

std::optional<PaneSettings> LoadPaneSettings(const char* valueName) {
  CRegistry reg;
  std::string text;
  if (!reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_READ) || !reg.OpenSub(kSettingsKey) ||
      !reg.GetString(valueName, text)) {
    return std::nullopt;
  }
  return ParsePaneSettingsText(text);
}

BOOL SavePaneSettings(const char* valueName, const PaneSettings& settings) {
  CRegistry reg;
  return reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE) && reg.OpenSub(kSettingsKey, REG_OPEN_CREATE) &&
         reg.SetString(valueName, PaneSettingsText(settings));
}
