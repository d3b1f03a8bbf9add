// German texts of the application's own dialogs and of the progress window, as the user sees them.
#pragma once

namespace kpw::texts {

// The About box.
inline constexpr char kAboutCaption[] = "Info über Kopiwart";
inline constexpr char kAboutLine[] = "Kopiwart, Version 2.46";

// The command-line box.
inline constexpr char kProgramInfoCaption[] = "Programminfo";
inline constexpr char kProgramInfoGroup[] = "Parameter für den Programmaufruf";
inline constexpr char kSwitchS[] = "/S";
inline constexpr char kSwitchSLine1[] = "Kopiwart gleich beim Start ausführen ";
inline constexpr char kSwitchSLine2[] = "und Programm danach beenden.";
inline constexpr char kSwitchN[] = "/N";
inline constexpr char kSwitchNLine[] = "Keine Fenster anzeigen.";
inline constexpr char kSwitchA[] = "/A";
inline constexpr char kSwitchALine1[] = "Kopiwart immer ausführen egal";
inline constexpr char kSwitchALine2[] = "welche Zeitplan eingestellt ist.";

// The help page and the commands that show the boxes.
inline constexpr char kSyntaxInfo[] = "Syntaxinfo";
inline constexpr char kHelpPageName[] = "*Help.html";
inline constexpr char kConfigure[] = "Konfigurieren";  // its result boxes: app/kopiwart_app.h

// The progress window.
inline constexpr char kProgressCaption[] = "Kopieren";
inline constexpr char kProgressFrom[] = "Von:";
inline constexpr char kProgressTo[] = "Nach:";
inline constexpr char kProgressCancel[] = "Abbrechen";
inline constexpr char kProgressPercentLine[] = "Kopiere: (%i%%) ";

}  // namespace kpw::texts
