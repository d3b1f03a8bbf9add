// German texts for the Windows error codes that workers and connections report.
#include "jobs/error_text.h"

#include <algorithm>
#include <iterator>

namespace {

struct ErrorText {
  DWORD code;
  const char* text;
};

// Sorted by code. The texts are the program's own, kept exactly as users know them.
constexpr ErrorText kErrorTexts[] = {
    {2, "Eine Datei wurde nicht gefunden"},
    {3, "Der Pfad wurde nicht gefunden"},
    {5, "Der Zugriff wurde verweigert"},
    {6, "Falsches Handle"},
    {14, "Zuwenig Speicher"},
    {23, "CRC Fehler"},
    {29, "Es gab eine Fehler beim Schreiben"},
    {30, "Es gab einen Fehler beim Lesen"},
    {38, "Das Ende der Datei wurde erreicht"},
    {53, "Der Hostnamen ist ungültig"},
    {69, "Es sind zuviele Instanzen offen"},
    {71, "Die Anfrage wurde nicht akzeptiert"},
    {82, "Die lokale Datei konnte nicht erzeugt werden"},
    {85, "Die Verbindung ist noch aktiv"},
    {87, "Fehlerhafter Parameter"},
    {88, "Die Daten konnten nicht zum Host versand werden"},
    {110, "Fehler beim Öffnen der Datei"},
    {112, "Die  Festplatte ist voll"},
    {120, "Die Funktion ist nicht implementiert"},
    {126, "Eine DLL wurde nicht gedunden."},
    {170, "Das Gerät ist beschäftigt"},
    {995, "Es gab einen User-Abbruch"},
    {1053, "Timeout beim Request"},
    {1154, "Die DLL konnte nicht geladen werden."},
    {1164, "Das Gerät ist nicht initialisliert"},
    {1167, "Dar Gerät ist nicht verbunden"},
    {1223, "Benutzerabbruch"},
    {1226, "Die Verbindung wurde abgebrochen"},
    {1231, "Das Netzwerk ist heruntergefahren"},
    {1232, "Der Host ist nicht erreichbar"},
    {1233, "Die Datenverbindung konnte nicht geöffnet werden"},
    {1246, "Der Vorgang ist noch aktiv"},
    {1323, "Falsches Passwort"},
    {1326, "Es gab einen Fehler bein Login"},
    {1359, "Interner Fehler"},
    {1460, "Es gab einen Timeout"},
    {1901, "Falsche Zeitangabe"},
    {2250, "Es ist keine Verbindung vorhanden"},
    {4309, "Das Gerät ist ist blockiert"},
};

static_assert(std::size(kErrorTexts) == 39);

}  // namespace

const char* Win32ErrorText(DWORD code, const char* defaultText) {
  const auto* end = std::end(kErrorTexts);
  const auto* it = std::lower_bound(std::begin(kErrorTexts), end, code,
                                    [](const ErrorText& e, DWORD c) { return e.code < c; });
  return (it != end && it->code == code) ? it->text : defaultText;
}
