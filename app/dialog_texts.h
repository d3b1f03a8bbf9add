// German texts of the special-settings dialogs and the schedule dialog.
#pragma once

namespace kpw::texts {

// Every special-settings dialog.
inline constexpr char kSettingsCaption[] = "Spezialeinstellungen";
inline constexpr char kWhenGroup[] = "Wann ausführen";
inline constexpr char kWhenAlways[] = "Immer kopieren";
inline constexpr char kWhenTargetExists[] = "Nur wenn das Ziel existiert";
inline constexpr char kWhenSourceExists[] = "Nur wenn die Quelle existiert";  // "Kopiwart" rows
inline constexpr char kWhenHost[] = "Nur am Host";
inline constexpr char kFolderColumn[] = "Verzeichnisse";
inline constexpr char kExcludedFoldersLabel[] = "Unterverzeichnisse die nicht kopiert werden sollen: (mit / * ?)";
inline constexpr char kPufferHostLabel[] = "Host mit den Quell-Daten :";
inline constexpr char kPufferSizeLabel[] = "Größe des Zwischenpuffers in Byte :";
inline constexpr char kZipFolderLabel[] = "Unterverzeichnis in ZIP-Datei :";
// The pair list of "Shrink" (thinning) and of "Kopiwart" (sizes).
inline constexpr char kThinningLabel[] = "Abstände für die Verdünnung in Tage :";
inline constexpr char kThinningColumn1[] = "Begin des Bereiches";
inline constexpr char kThinningColumn2[] = "Raster für Dateien";
inline constexpr char kSizesLabel[] = "Anzahl der Kopien je Dateigröße (0=DEL nach X Tagen):";
inline constexpr char kSizesColumn1[] = "Größe der Datei in kB";
inline constexpr char kSizesColumn2[] = "Anzahl der Kopien";
// Behind a size of 0: its count is the days a vanished file is kept.
inline constexpr char kDelMark[] = "  <DEL>";

// What the dialogs refuse to write (the dialog stays open).
inline constexpr char kSettingsTooLongFormat[] =
    "Die Einstellungen sind %d Zeichen lang; ein Feld fasst höchstens %d Zeichen !";
inline constexpr char kCharNotAllowedFormat[] = "Das Zeichen \"%s\" ist in diesem Feld nicht erlaubt !";
inline constexpr char kRoomNotNumber[] = "Die Größe des Zwischenpuffers ist keine Zahl !";
inline constexpr char kPairNotNumberFormat[] = "\"%s\" ist keine ganze Zahl !";

// The schedule dialog.
inline constexpr char kScheduleCaption[] = "Zeitplan";
inline constexpr char kScheduleGroup[] = "Abstand";
inline constexpr char kUnitAlways[] = "Immer";
inline constexpr char kUnitDays[] = "Tage";
inline constexpr char kUnitWeeks[] = "Wochen";
inline constexpr char kUnitMonths[] = "Monate";
inline constexpr char kIntervalLabel[] = "Kopiwart ausfühern alle :";  // so spelt
inline constexpr char kOptionNewerOnly[] = "Nur neuere Dateien kopieren";
inline constexpr char kOptionNeverOverwrite[] = "Dateien nie überschreiben";
inline constexpr char kOptionKeepReadOnly[] = "Schreibgeschützte Dateien nicht überschreiben";
inline constexpr char kOptionNoStoreTime[] = "Kopiwart-Zeit nicht speichern";
inline constexpr char kLastRunLabel[] = "Letztes Kopiwart:";
inline constexpr char kNeverRun[] = "noch nie";

}  // namespace kpw::texts
