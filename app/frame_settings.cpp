// The main frame's look settings in the registry store and the menu colours of MenuMode.
#include "app/frame_settings.h"

#include "lib/system/registry.h"

namespace {

constexpr const char* kSettingsKey = "Settings";

BOOL OpenSettings(CRegistry& reg) {
  return reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE) && reg.OpenSub(kSettingsKey, REG_OPEN_CREATE);
}

}  // namespace

FrameSettings LoadFrameSettings() {
  FrameSettings settings;
  CRegistry reg;
  if (!OpenSettings(reg)) return settings;
  DWORD value = 0;
  if (reg.GetDword("FlatMode", value)) settings.flatMode = static_cast<int>(value);
  if (reg.GetDword("MenuMode", value)) settings.menuMode = static_cast<int>(value);
  return settings;
}

BOOL SaveFrameSettings(const FrameSettings& settings) {
  CRegistry reg;
  return OpenSettings(reg) && reg.SetDword("FlatMode", static_cast<DWORD>(settings.flatMode)) &&
         reg.SetDword("MenuMode", static_cast<DWORD>(settings.menuMode));
}

MenuColor MixColor(MenuColor a, MenuColor b, int quarters) {
  MenuColor mixed = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const MenuColor ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
    const auto q = static_cast<MenuColor>(quarters);
    mixed |= ((ca * (4 - q) + cb * q) / 4) << shift;
  }
  return mixed;
}

MenuColors MenuColorsFor(int menuMode, const MenuPalette& p) {
  if (!menuMode) return {p.menu, p.highlight, p.highlight, p.window, p.grayText, p.grayText, p.menuText};
  return {p.menu,
          MixColor(p.window, p.highlight, 2),
          MixColor(p.window, p.highlight, 3),
          MixColor(p.window, p.grayText, 1),
          MixColor(p.window, p.grayText, 3),
          p.grayText,
          p.menuText};
}
