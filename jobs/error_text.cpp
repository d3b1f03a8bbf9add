// German texts for the Windows error codes that workers and connections report.
#include "jobs/error_text.h"

#include "platform/last_error.h"

#include <algorithm>
#include <iterator>

namespace {

struct ErrorText {
  DWORD code;
  const char* text;
};

// Sorted by code. The texts are the program's own, kept exactly as users know them.
constexpr ErrorText kErrorTexts[] = {
    {ERROR_FILE_NOT_FOUND, "Eine Datei wurde nicht gefunden"},
    {ERROR_PATH_NOT_FOUND, "Der Pfad wurde nicht gefunden"},
    {ERROR_ACCESS_DENIED, "Der Zugriff wurde verweigert"},
    {ERROR_INVALID_HANDLE, "Falsches Handle"},
    {ERROR_OUTOFMEMORY, "Zuwenig Speicher"},
    {ERROR_CRC, "CRC Fehler"},
    {ERROR_WRITE_FAULT, "Es gab eine Fehler beim Schreiben"},
    {ERROR_READ_FAULT, "Es gab einen Fehler beim Lesen"},
    {ERROR_HANDLE_EOF, "Das Ende der Datei wurde erreicht"},
    {ERROR_BAD_NETPATH, "Der Hostnamen ist ungültig"},
    {ERROR_TOO_MANY_SESS, "Es sind zuviele Instanzen offen"},
    {ERROR_REQ_NOT_ACCEP, "Die Anfrage wurde nicht akzeptiert"},
    {ERROR_CANNOT_MAKE, "Die lokale Datei konnte nicht erzeugt werden"},
    {ERROR_ALREADY_ASSIGNED, "Die Verbindung ist noch aktiv"},
    {ERROR_INVALID_PARAMETER, "Fehlerhafter Parameter"},
    {ERROR_NET_WRITE_FAULT, "Die Daten konnten nicht zum Host versand werden"},
    {ERROR_OPEN_FAILED, "Fehler beim Öffnen der Datei"},
    {ERROR_DISK_FULL, "Die  Festplatte ist voll"},
    {ERROR_CALL_NOT_IMPLEMENTED, "Die Funktion ist nicht implementiert"},
    {ERROR_MOD_NOT_FOUND, "Eine DLL wurde nicht gedunden."},
    {ERROR_BUSY, "Das Gerät ist beschäftigt"},
    {ERROR_OPERATION_ABORTED, "Es gab einen User-Abbruch"},
    {ERROR_SERVICE_REQUEST_TIMEOUT, "Timeout beim Request"},
    {ERROR_INVALID_DLL, "Die DLL konnte nicht geladen werden."},
    {ERROR_DEVICE_REINITIALIZATION_NEEDED, "Das Gerät ist nicht initialisliert"},
    {ERROR_DEVICE_NOT_CONNECTED, "Dar Gerät ist nicht verbunden"},
    {ERROR_CANCELLED, "Benutzerabbruch"},
    {ERROR_REQUEST_ABORTED, "Die Verbindung wurde abgebrochen"},
    {ERROR_NETWORK_UNREACHABLE, "Das Netzwerk ist heruntergefahren"},
    {ERROR_HOST_UNREACHABLE, "Der Host ist nicht erreichbar"},
    {ERROR_PROTOCOL_UNREACHABLE, "Die Datenverbindung konnte nicht geöffnet werden"},
    {ERROR_CONTINUE, "Der Vorgang ist noch aktiv"},
    {ERROR_WRONG_PASSWORD, "Falsches Passwort"},
    {ERROR_LOGON_FAILURE, "Es gab einen Fehler bein Login"},
    {ERROR_INTERNAL_ERROR, "Interner Fehler"},
    {ERROR_TIMEOUT, "Es gab einen Timeout"},
    {ERROR_INVALID_TIME, "Falsche Zeitangabe"},
    {ERROR_NOT_CONNECTED, "Es ist keine Verbindung vorhanden"},
    {ERROR_RESOURCE_DISABLED, "Das Gerät ist ist blockiert"},
};

static_assert(std::size(kErrorTexts) == 39);

}  // namespace

const char* Win32ErrorText(DWORD code, const char* defaultText) {
  const auto* end = std::end(kErrorTexts);
  const auto* it = std::lower_bound(std::begin(kErrorTexts), end, code,
                                    [](const ErrorText& e, DWORD c) { return e.code < c; });
  return (it != end && it->code == code) ? it->text : defaultText;
}
