// German texts of the window layer's own words (buttons, prompts, file dialogs) in one place.
#pragma once

#include <string>
#include <string_view>

class QCoreApplication;

namespace gui_text {

// Buttons of the message box and the dialogs; "&" marks the mnemonic.
inline constexpr char kOk[] = "OK";
inline constexpr char kCancel[] = "Abbrechen";
inline constexpr char kAbort[] = "Ab&brechen";
inline constexpr char kRetry[] = "&Wiederholen";
inline constexpr char kIgnore[] = "&Ignorieren";
inline constexpr char kYes[] = "&Ja";
inline constexpr char kNo[] = "&Nein";

// Prompts of the dialog data exchange.
inline constexpr char kParseInt[] = "Geben Sie bitte eine ganze Zahl ein.";
inline constexpr char kMaxChars[] = "Geben Sie bitte höchstens %d Zeichen ein.";
inline constexpr char kMinMaxInt[] = "Geben Sie bitte eine ganze Zahl zwischen %d und %d ein.";

// Document words: the name of a list never saved, the save question, open and save errors.
inline constexpr char kUntitled[] = "Unbenannt";
inline constexpr char kSaveChanges[] = "Änderungen an %s speichern?";
inline constexpr char kOpenFailed[] = "Die Datei %s kann nicht geöffnet werden.";
inline constexpr char kSaveFailed[] = "Die Datei %s kann nicht gespeichert werden.";
inline constexpr char kFileNotFound[] = "Die Datei %s wurde nicht gefunden.";

// File dialogs.
inline constexpr char kOpenCaption[] = "Öffnen";
inline constexpr char kSaveAsCaption[] = "Speichern unter";
inline constexpr char kAllFilesFilter[] = "Alle Dateien (*)";

// The pattern with its one "%s" (or "%d") replaced by arg.
std::string Format(std::string_view pattern, std::string_view arg);

}  // namespace gui_text

// Loads Qt's own German texts (its dialogs, context menus, key names) into the application; the
// application calls it once at start. False when the translation is not installed.
bool LoadQtGermanTranslation(QCoreApplication& app);
