// The application's German user texts in one place: boxes, captions, menus, dialogs, messages.
#pragma once

// ---- Start-up and the command line (standard error) ----

// The message of a start that needs the window when none can be shown.
inline constexpr char kNoWindowText[] =
    "Das Fenster von Kopiwart kann hier nicht angezeigt werden (kein Bildschirm oder keine Oberfläche). "
    "Ohne Fenster laufen Aufträge mit: kopiwart DATEI.kpw -S -N";
// The note of a start with -S alone when no window can be shown.
inline constexpr char kRunsWithoutWindowText[] =
    "Kein Fenster verfügbar: die Aufträge laufen ohne Fenster, wie mit -N.";
// A display that is named (the variable, its value) but does not answer.
inline constexpr char kDisplayUnreachableFormat[] = "Die Anzeige %s=%s ist nicht erreichbar.";
// An argument of the command line that is neither a switch nor the job file.
inline constexpr char kUnusedArgumentFormat[] = "Kopiwart: Das Argument \"%s\" wird nicht verwendet.\n";
// A stop asked for (a signal) while a run goes on.
inline constexpr char kCancelRequestedText[] =
    "Kopiwart: Abbruch angefordert; der laufende Auftrag wird beendet.\n";

// ---- "Konfigurieren" ----

inline constexpr char kConfigureDoneText[] = "Konfigurieren abgeschlossen";
inline constexpr char kConfigureDoneCaption[] = "Meldung";
inline constexpr char kConfigureFailText[] = "Fehler beim Konfigurieren";
inline constexpr char kConfigureFailCaption[] = "Fehler";
// The command line that the shell registration runs a job file with (two blanks after the file).
inline constexpr char kConfigureOpenArguments[] = "\"%1\"  /S /A /N";
// The desktop's names of the two file types, and the verb that opens a job file for editing.
inline constexpr char kSsyTypeName[] = "Kopiwart Puffer";
inline constexpr char kKpwTypeName[] = "Kopiwart Datei";
inline constexpr char kEditVerb[] = "Bearbeiten";

// ---- The job file ----

// Caption of the boxes of a job file that cannot be read or saved.
inline constexpr char kErrorCaption[] = "Fehler";
// Path, then the error code.
inline constexpr char kJobFileOpenErrorFormat[] =
    "Die Kopiwart-Datei\n%s\nkonnte nicht geöffnet werden (Fehler %u).";
// A file that is no job file (a NUL byte, or no line the reader knows); the path.
inline constexpr char kJobFileRefusedFormat[] = "Die Datei %s kann nicht geöffnet werden.";
inline constexpr char kJobFileSaveErrorFormat[] =
    "Die Kopiwart-Datei\n%s\nkonnte nicht gespeichert werden (Fehler %u).";
// The file was changed (other rows, or gone) while a start-up run worked: it stays as it is.
inline constexpr char kJobFileChangedFormat[] =
    "Die Kopiwart-Datei\n%s\nwurde während des Laufs geändert; sie bleibt, wie sie ist, und die Zeit "
    "dieses Laufs wird nicht gespeichert.";

// ---- The job list and its runs ----

// Shown after a run through the progress dialog.
inline constexpr char kFilesCopiedFormat[] = "Es wurden %i Dateien kopiert!";
// The text shown when CheckEntry is asked to report a missing path.
inline constexpr char kMissingPathText[] = "Pfad/Datei existiert nicht !";

// ---- The status bar ----

// The indicator panes while Caps Lock, Num Lock and Scroll Lock are locked; empty otherwise.
inline constexpr char kIndicatorCapsText[] = "UF";
inline constexpr char kIndicatorNumText[] = "NUM";
inline constexpr char kIndicatorScrollText[] = "RF";

// ---- The window ----

namespace kpw::texts {

// What the empty cells of the filter bar show: the bar's row filters the list.
inline constexpr char kFilterBarPlaceholder[] = "Filter";

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
inline constexpr char kMissingHelpPage[] = "Die Seite ist nicht vorhanden: ";  // then the page's name
inline constexpr char kConfigure[] = "Konfigurieren";

// The main menu: popup titles, then their commands ("&" marks the mnemonic).
inline constexpr char kMenuFile[] = "&Datei";
inline constexpr char kMenuFileNew[] = "&Neu";
inline constexpr char kMenuFileOpen[] = "Ö&ffnen...";
inline constexpr char kMenuFileSave[] = "&Speichern";
inline constexpr char kMenuFileSaveAs[] = "Speichern &unter...";
inline constexpr char kMenuFileClose[] = "S&chließen";
inline constexpr char kMenuAppExit[] = "&Beenden";
inline constexpr char kMenuEdit[] = "&Bearbeiten";
inline constexpr char kMenuNewEntry[] = "Neuer Eintrag";
inline constexpr char kMenuDelete[] = "Löschen";
inline constexpr char kMenuUndo[] = "Wiederherstellen";  // brings deleted rows back
inline constexpr char kMenuSelectAll[] = "Alles auswählen";
inline constexpr char kMenuEditCell[] = "Feld bearbeiten";
inline constexpr char kMenuMoveUp[] = "Nach oben";
inline constexpr char kMenuMoveDown[] = "Nach unten";
inline constexpr char kMenuCppFilter[] = "C++ Filter einfügen";
inline constexpr char kMenuFilterBar[] = "Filterleiste ein/aus";
inline constexpr char kMenuKopiwart[] = "&Kopiwart";
inline constexpr char kMenuRun[] = "Kopiwart ausführen";
inline constexpr char kMenuSchedule[] = "Zeitplan";
inline constexpr char kMenuHelp[] = "&?";

// The file dialogs' filter of job files; the class library's "all files" follows.
inline constexpr char kJobFileFilter[] = "Kopiwart-Dateien (*.kpw);;";

// The tray icon's menu (the icon comes later): stop the run ("Abbechen", so spelt), or go on.
inline constexpr char kTrayStopRun[] = "Abbechen";
inline constexpr char kTrayContinueRun[] = "Weitermachen";

// The progress window.
inline constexpr char kProgressCaption[] = "Kopieren";
inline constexpr char kProgressFrom[] = "Von:";
inline constexpr char kProgressTo[] = "Nach:";
inline constexpr char kProgressCancel[] = "Abbrechen";
// The status line of an upload with a running percentage.
inline constexpr char kProgressPercentLine[] = "Kopiere: (%i%%) ";

// The view window's context menu and its path commands.
inline constexpr char kMenuCopyField[] = "Feld kopieren";
inline constexpr char kMenuCopyFullPath[] = "Vollen Pfad kopieren";
inline constexpr char kMenuMakeRelative[] = "Relativen Pfad erzeugen";
inline constexpr char kMenuOpenPath[] = "Pfad öffnen";
inline constexpr char kMenuSpecialSettings[] = "Spezialeinstellungen";
inline constexpr char kMenuEditFilter[] = "Filterstellungen";
inline constexpr char kNoFileNameText[] = "Die Kopiwart-Datei hat noch keinen Dateinamen !";
inline constexpr char kNotAbsoluteText[] = "Der gewählte Pfad ist kein absoluter Pfad !";
inline constexpr char kCannotConvertText[] = "Der gewählte Pfad konnte nicht konvertiert werden !";
inline constexpr char kPathErrorCaption[] = "Fehler";
// The filter editors: caption, then the line above the text.
inline constexpr char kPlusFilterCaption[] = "Plusfilter";
inline constexpr char kPlusFilterLabel[] = "Welche Dateien sollen kopiert werden :";
inline constexpr char kMinusFilterCaption[] = "Minusfilter";
inline constexpr char kMinusFilterLabel[] = "Welche Dateien sollen ignoriert werden :";

}  // namespace kpw::texts
