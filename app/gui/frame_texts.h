// German texts of the main frame's own words: the view menu, the look commands, the toolbar's tips.
#pragma once

namespace kpw::texts {

// The view menu ("&" marks the mnemonic).
inline constexpr char kMenuView[] = "&Ansicht";
inline constexpr char kMenuToolbar[] = "&Symbolleiste";
inline constexpr char kMenuStatusBar[] = "S&tatusleiste";
inline constexpr char kMenuFlatToolbar[] = "&Flache Symbolleiste";
inline constexpr char kMenuMenuMode[] = "Menümodus";

// The idle text of the status bar's message pane.
inline constexpr char kStatusReady[] = "Bereit";

// Tool tips of the toolbar buttons whose commands have no item in the main menu.
inline constexpr char kTipRegistry[] = "Registry";
inline constexpr char kTipPathBars[] = "Pfadleisten";
inline constexpr char kTipParentFolder[] = "Übergeordneter Ordner";
inline constexpr char kTipInsertFiles[] = "Einfügen";

}  // namespace kpw::texts
