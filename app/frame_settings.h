// The main frame's look settings "FlatMode" and "MenuMode" and the menu colours that MenuMode gives.
#pragma once

#include "platform/win_types.h"

// A colour 0x00BBGGRR.
using MenuColor = DWORD;

struct FrameSettings {
  int flatMode = 1;  // toolbar buttons drawn flat
  int menuMode = 1;  // menus in the mixed flat colours
};

// Reads both values from "Settings" under the application's key, which is created when missing;
// a value that is missing or not a REG_DWORD keeps its default 1.
FrameSettings LoadFrameSettings();
// Writes both as REG_DWORD; FALSE when the store cannot be written.
BOOL SaveFrameSettings(const FrameSettings& settings);

// The palette colours that menus are drawn from.
struct MenuPalette {
  MenuColor menu, highlight, window, grayText, menuText;
};

// The colours a menu is drawn in.
struct MenuColors {
  MenuColor background;      // item background
  MenuColor highlight;       // selected item
  MenuColor highlightFrame;  // frame around the selected item
  MenuColor imageLight;      // image column, and the light separator line
  MenuColor imageDark;       // image column edge, and the dark separator line
  MenuColor grayText;        // disabled text
  MenuColor text;
};

// Per channel: (a * (4 - quarters) + b * quarters) / 4.
MenuColor MixColor(MenuColor a, MenuColor b, int quarters);
// With menuMode 0 the palette's own colours; else the mixes of window, highlight and grey text.
MenuColors MenuColorsFor(int menuMode, const MenuPalette& palette);
