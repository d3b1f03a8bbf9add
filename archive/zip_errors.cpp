// German error texts of the zip archive, each naming the archive, and the error event.
#include "archive/zip_internal.h"

#include "lib/text/fmt.h"

#include <cerrno>

const char* ZipSystemText(int err) {
  switch (err) {
    case 0: return "unerwartetes Dateiende";
    case ENOENT: return "Datei oder Ordner nicht gefunden";
    case EACCES:
    case EPERM: return "Zugriff verweigert";
    case ENOSPC:
    case EDQUOT: return "Nicht genügend Speicherplatz auf dem Datenträger";
    case EIO: return "Ein-/Ausgabefehler";
    case EROFS: return "Der Datenträger ist schreibgeschützt";
    case ENOTDIR: return "Ein Teil des Pfades ist kein Ordner";
    case EISDIR: return "Ein Ordner hat diesen Namen";
    case ENAMETOOLONG: return "Der Name ist zu lang";
    case EMFILE:
    case ENFILE: return "Zu viele offene Dateien";
    case ENOMEM: return "Nicht genügend Arbeitsspeicher";
    case EEXIST: return "Der Name ist schon vergeben";
    case ELOOP: return "Eine symbolische Verknüpfung liegt im Weg";
    case EFBIG: return "Die Datei ist zu groß";
    case EBUSY:
    case ETXTBSY: return "Die Datei wird gerade benutzt";
    case EINVAL: return "Ungültiger Parameter";
    default: return "Systemfehler";
  }
}

std::string CZipFile::GetErrorText() const {
  const int code = m_lastError;
  if (code == ARC_OK) return {};
  const char* path = m_path.c_str();
  const Impl& s = *m_impl;
  const char* item = s.errItem.c_str();
  const std::string why = !s.errDetail.empty() ? s.errDetail : std::string(ZipSystemText(s.errSys));
  switch (code) {
    case ARC_ERR_OPEN:
      return FmtString("Das Archiv '%s' kann nicht geöffnet werden: %s.", path, why.c_str());
    case ARC_ERR_FORMAT:
      return FmtString("Die Datei '%s' ist kein Zip-Archiv oder ist beschädigt (%s).", path, why.c_str());
    case ARC_ERR_READ:
      return FmtString("Fehler beim Lesen des Archivs '%s': %s.", path, why.c_str());
    case ARC_ERR_WRITE:
      return FmtString("Fehler beim Schreiben des Archivs '%s': %s.", path, why.c_str());
    case ARC_ERR_METHOD:
      return FmtString("Der Eintrag '%s' im Archiv '%s' ist mit einem nicht unterstützten Verfahren (%s) gepackt "
                       "und wurde nicht entpackt.", item, path, why.c_str());
    case ARC_ERR_ENCRYPTED:
      return FmtString("Der Eintrag '%s' im Archiv '%s' ist verschlüsselt und wurde nicht entpackt.", item, path);
    case ARC_ERR_PASSWORD:
      return FmtString("Das Kennwort für den Eintrag '%s' im Archiv '%s' ist falsch; der Eintrag wurde nicht entpackt.",
                       item, path);
    case ARC_ERR_DATA:
      return FmtString("Der Eintrag '%s' im Archiv '%s' ist beschädigt (%s).", item, path, why.c_str());
    case ARC_ERR_UNSAFE_NAME:
      return FmtString("Der Eintrag '%s' im Archiv '%s' zeigt aus dem Zielordner heraus und wurde übersprungen.",
                       item, path);
    case ARC_ERR_LINK:
      return FmtString("Der Eintrag '%s' im Archiv '%s' ist eine symbolische Verknüpfung und wurde nicht angelegt.",
                       item, path);
    case ARC_ERR_CREATE:
      return FmtString("'%s' kann beim Entpacken des Archivs '%s' nicht geschrieben werden: %s.", item, path,
                       why.c_str());
    case ARC_ERR_SOURCE:
      return FmtString("Die Datei '%s' kann nicht in das Archiv '%s' gepackt werden: %s.", item, path, why.c_str());
    case ARC_ERR_NOT_OPEN:
      return FmtString("Das Archiv '%s' ist für diesen Vorgang nicht geöffnet.", path);
    case ARC_ERR_MULTIDISK:
      return FmtString("Das Archiv '%s' ist auf mehrere Teile verteilt; solche Archive werden nicht unterstützt.",
                       path);
    case ARC_ERR_COMMIT:
      return FmtString("Das Archiv '%s' kann nicht gespeichert werden: %s. Das bisherige Archiv bleibt erhalten.",
                       path, why.c_str());
    case ARC_ERR_NO_SOURCE:
      return FmtString("Die Quelle '%s' für das Archiv '%s' wurde nicht gefunden.", item, path);
    case ARC_ERR_LISTING:
      return FmtString("Der Ordner '%s' konnte nicht vollständig gelesen werden; im Archiv '%s' fehlen Dateien.",
                       item, path);
    case ARC_ERR_CHANGED:
      return FmtString("Die Datei '%s' hat sich beim Packen in das Archiv '%s' geändert und wurde ausgelassen.",
                       item, path);
    case ARC_ERR_NAME:
      return FmtString("Der Name kann nicht im Archiv '%s' stehen, die Datei wird übergangen: %s", path, item);
    case ARC_ERR_TOO_LARGE:
      return FmtString("Die Datei '%s' ist für das Archiv '%s' zu groß.", item, path);
    case ARC_ERR_USER_ABORT:
      return FmtString("Die Bearbeitung des Archivs '%s' wurde abgebrochen.", path);
    default:
      return FmtString("Fehler %i im Archiv '%s'.", code, path);
  }
}

int CZipFile::Impl::Fail(int code, std::string item, int sysErr, std::string detail) {
  self.SetError(code);
  errItem = std::move(item);
  errSys = sysErr;
  errDetail = std::move(detail);
  return code;
}

bool CZipFile::Impl::ReportError(int index) {
  const std::string text = self.GetErrorText();
  const int answer = self.Notify(ARC_EVENT_ERROR, index, text.c_str());
  if (answer == ARC_ANSWER_ABORT) {
    self.SetError(ARC_ERR_USER_ABORT);
    return true;
  }
  return false;
}

bool CZipFile::Impl::ProgressEvent(int event, int index, const std::string& name) {
  if (!self.IsEventEnabled(event)) return false;
  eventText.assign(1, event == ARC_EVENT_COMPRESS ? '+' : '-');
  eventText += name;
  const std::size_t slash = name.rfind('/');
  offsets.head = 0;
  offsets.middle = slash == std::string::npos ? 0 : static_cast<int>(slash + 1);
  offsets.keepTail = 1;
  if (self.Notify(event, index, eventText.c_str()) != 0) {
    self.SetError(ARC_ERR_USER_ABORT);
    return true;
  }
  return false;
}
