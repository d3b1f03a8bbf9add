// PufferList: host names, path guards, the lock, creating a list and the common part of an exchange.
#include "jobs/puffer/puffer_internal.h"

#include "jobs/error_text.h"
#include "jobs/job_extra.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

bool Inside(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

std::string Resolve(const char* path) {
  char buffer[PATH_MAX];
  return ::realpath(path, buffer) ? std::string(buffer) : std::string();
}

// Patterns stand in quotes in the list, written as they are.
bool QuotableText(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"') return false;
  }
  return text.empty() || text.back() != '\\';
}

}  // namespace

// ---- names and texts --------------------------------------------------------------------------

std::string PufferErrorText(int err) {
  switch (err) {
    case PUFFER_ERR_NOT_REGULAR: return "keine gewöhnliche Datei";
    case PUFFER_ERR_CHANGED: return "die Datei wurde beim Lesen geändert";
    case PUFFER_ERR_MISMATCH: return "die Kopie stimmt nicht mit der Liste überein";
    case PUFFER_ERR_LINK: return "der Weg führt über einen Verweis";
    default: break;
  }
  const DWORD code = err <= PUFFER_ERR_WIN32 ? static_cast<DWORD>(PUFFER_ERR_WIN32 - err) : Win32ErrorFromErrno(err);
  if (const char* text = Win32ErrorText(code, nullptr)) return text;
  return FmtString("Fehler %u", code);
}

std::string PufferShowName(std::string_view name) {
  std::string text = EncToUtf8(name);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

std::string PufferList::ShortHostName(std::string_view hostName) {
  std::string name(hostName);
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

bool PufferList::HostEqual(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return false;
  return HostNameMatches(a, b) || HostNameMatches(b, a);
}

std::string PufferList::BufferFolder(const char* listPath) {
  const std::string path = listPath ? listPath : "";
  const std::size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return folder + "SsyTemp_" + name;
}

// ---- the object -------------------------------------------------------------------------------

PufferList::PufferList(std::string hostName, std::function<i64()> clock)
    : m_hostName(ShortHostName(hostName)), m_clock(std::move(clock)) {}

void PufferList::SetProgress(void* context, PufferProgressFn callback) {
  m_context = context;
  m_callback = callback;
}

int PufferList::Call(int code, const char* text) {
  m_lastAnswer = m_callback ? m_callback(m_context, code, text ? text : "") : 0;
  return m_lastAnswer;
}

int PufferList::Poll(void* self, int code, const char* text) { return static_cast<PufferList*>(self)->Call(code, text); }

void PufferList::Note(std::string line) {
  if (static_cast<int>(m_report.lines.size()) < PufferReport::kMaxLines) m_report.lines.push_back(std::move(line));
  else ++m_report.linesDropped;
}

void PufferList::Fail(std::string line) {
  ++m_report.failures;
  Note(std::move(line));
}

// ---- the exchange's state ---------------------------------------------------------------------

std::string PufferList::Exchanger::DataPath(const std::string& key) const {
  return dataDir + '/' + PufferRelFromKey(key);
}

std::string PufferList::Exchanger::BufferPath(const std::string& key) const {
  return bufferDir + '/' + PufferRelFromKey(key);
}

std::string PufferList::Exchanger::BufferRel(std::string_view rel) const {
  return rel.empty() ? bufferName : bufferName + '/' + std::string(rel);
}

bool PufferList::Exchanger::HostIsSlot(int slot, std::string_view name) const {
  return HostEqual(file.hosts[static_cast<std::size_t>(slot)], name);
}

int PufferList::Exchanger::SourceCount() const {
  int n = 0;
  for (const auto& entry : index) n += entry.second.Has(0) ? 1 : 0;
  return n;
}

bool PufferList::Exchanger::Lacks(const PufferSlots& slots) const {
  for (int k = 1; k < kPufferSlots; ++k) {
    if (!file.hosts[static_cast<std::size_t>(k)].empty() && !slots.HasSourceVersion(k)) return true;
  }
  return false;
}

int PufferList::Exchanger::ListData(std::vector<PufferLocalFile>& files, bool& complete) {
  files.clear();
  int seen = 0;
  CDirListing listing;
  // The trailing separator makes the listing take the folder whole, whatever its name holds.
  listing.Read((dataDir + '/').c_str(), CDirListing::DL_SUBDIRS | CDirListing::DL_READ_ALL, file.plus.c_str(),
               file.minus.c_str());
  complete = listing.GetReadState() != 2;
  for (int i = 0; i < listing.GetCount(); ++i) {
    const CDirListing::Entry* e = listing.GetEntry(i);
    if (e->IsFolder()) continue;
    ++seen;
    if (e->info.dwAttr & SYS_ATTR_LINK) continue;  // links are not carried
    int length = 0;
    const char* rel = listing.GetPath(i, &length, CDirListing::DL_PATH_RELATIVE);
    const std::string_view relView(rel, static_cast<std::size_t>(length));
    if (!PufferNameHoldable(relView)) {
      owner->Fail(FmtString("Der Name kann nicht in der Liste stehen, die Datei wird übergangen: %s/%s", dataDir.c_str(),
                            PufferShowName(relView).c_str()));
      continue;
    }
    files.push_back(PufferLocalFile{PufferKeyFromRel(relView), e->info});
  }
  return seen;
}

int PufferList::Exchanger::WriteList(bool withEnd) {
  PufferListFile out;
  out.plus = file.plus;
  out.minus = file.minus;
  out.hosts = file.hosts;
  out.room = file.room;
  for (const auto& [key, slots] : index) {
    for (int n = 0; n < kPufferSlots; ++n)
      if (slots.Has(n)) PufferAddRecord(out.records, key, slots.Get(n));
  }
  return PufferWriteFileAtomic(listPath, PufferFormatList(out, withEnd));
}

// ---- preparing a call -------------------------------------------------------------------------

bool PufferList::Prepare(Exchanger& ex, const char* listPath, const char* dataFolder) {
  ex.owner = this;
  if (!listPath || !*listPath || !dataFolder || !*dataFolder) {
    Fail("Die Liste oder das Verzeichnis ist nicht angegeben.");
    return false;
  }
  const SysOsPath list(listPath);
  const SysOsPath data(dataFolder);
  if (!list.ok() || !data.ok()) {
    Fail(FmtString("Der Pfad %s oder %s kann hier nicht benutzt werden.", listPath, dataFolder));
    return false;
  }
  ex.dataDir = Resolve(data.c_str());
  const int dataKind = ex.dataDir.empty() ? 0 : SysFileExist(ex.dataDir.c_str());
  if (dataKind != 2 && dataKind != 3) {
    Fail(FmtString("Das Verzeichnis:\n%s\nexistiert nicht !", dataFolder));
    return false;
  }
  std::string listText = list.c_str();
  const std::size_t slash = listText.rfind('/');
  const std::string name = slash == std::string::npos ? listText : listText.substr(slash + 1);
  const std::string folder = slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : listText.substr(0, slash));
  const std::string listDir = Resolve(folder.c_str());
  if (listDir.empty() || name.empty() || name == "." || name == "..") {
    Fail(FmtString("Die Liste %s kann nicht angelegt oder gelesen werden.", listPath));
    return false;
  }
  ex.listPath = (listDir == "/" ? std::string() : listDir) + '/' + name;
  ex.bufferDir = BufferFolder(ex.listPath.c_str());
  ex.bufferName = ex.bufferDir.substr(ex.bufferDir.rfind('/') + 1);
  ex.dataTree.SetRoot(ex.dataDir);
  ex.carrierTree.SetRoot(listDir);
  // A list or buffer inside the data folder would be scanned as data, and a data folder inside
  // the buffer would be emptied with it.
  if (Inside(listDir, ex.dataDir) || Inside(ex.dataDir, ex.bufferDir)) {
    Fail(FmtString("Die Liste %s und ihr Puffer dürfen nicht im Verzeichnis %s liegen und es nicht enthalten.",
                   ex.listPath.c_str(), ex.dataDir.c_str()));
    return false;
  }
  const int bufferKind = PufferLookup(ex.bufferDir.c_str());
  if (bufferKind != 1 && bufferKind != -ENOENT) {
    Fail(FmtString("Der Puffer %s ist kein Verzeichnis.", ex.bufferDir.c_str()));
    return false;
  }
  // Both roots are held from here on; what lies below them is reached through these handles.
  if (ex.dataTree.OpenRoot(false) != 0 || ex.carrierTree.OpenRoot(false) != 0) {
    Fail(FmtString("Das Verzeichnis:\n%s\nexistiert nicht !", ex.dataTree.RootFd() < 0 ? dataFolder : listDir.c_str()));
    return false;
  }
  ex.localHost = HostName();
  if (ex.localHost.empty() || !QuotableText(ex.localHost)) {
    Fail("Der Name dieses Computers ist unbekannt oder kann nicht in die Liste geschrieben werden.");
    return false;
  }
  return true;
}

bool PufferList::Begin(Exchanger& ex, PufferLock& lock, const char* listPath, const char* dataFolder) {
  m_report = PufferReport();
  m_lastAnswer = 0;
  if (!Prepare(ex, listPath, dataFolder)) return false;
  std::string why;
  const i64 now = m_clock ? m_clock() : static_cast<i64>(std::time(nullptr));
  if (!lock.Acquire(ex.listPath + ".lock", ex.localHost, now, &why)) {
    Fail(why);
    return false;
  }
  return true;
}

// ---- Save -------------------------------------------------------------------------------------

int PufferList::Save(const char* listPath, const char* dataFolder, const char* plus, const char* minus, u64 room) {
  Exchanger ex;
  PufferLock lock;
  if (!Begin(ex, lock, listPath, dataFolder)) return PUFFER_FAILED;
  return SaveLocked(ex, plus, minus, room);
}

int PufferList::SaveLocked(Exchanger& ex, const char* plus, const char* minus, u64 room) {
  m_report.slot = 0;
  ex.file = PufferListFile();
  ex.file.plus = plus ? plus : "";
  ex.file.minus = minus ? minus : "";
  ex.file.hosts[0] = ex.localHost;
  ex.file.room = room ? room : kPufferDefaultRoom;
  ex.index.clear();
  if (!QuotableText(ex.file.plus) || !QuotableText(ex.file.minus)) {
    Fail("Die Filter können nicht in die Liste geschrieben werden (Anführungszeichen, Steuerzeichen oder \\ am Ende).");
    return PUFFER_FAILED;
  }
  // The callback's answers are not tested here: creating a list cannot be stopped.
  Call(PUFFER_PHASE, "Suche Dateien.");
  std::vector<PufferLocalFile> files;
  bool complete = true;
  ex.ListData(files, complete);
  if (!complete) {
    Fail(FmtString("Das Verzeichnis %s konnte nicht vollständig gelesen werden.", ex.dataDir.c_str()));
    return PUFFER_FAILED;
  }
  bool unreadable = false;
  for (const PufferLocalFile& f : files) {
    const std::string path = ex.DataPath(f.key);
    Call(PUFFER_CHECKSUM, path.c_str());
    PufferFileState state;
    const int err = PufferChecksumIn(ex.dataTree, PufferRelFromKey(f.key), path.c_str(), &state);
    if (err == PUFFER_ERR_NOT_REGULAR) continue;
    if (err) {
      Fail(FmtString("Die Datei %s kann nicht gelesen werden (%s).", path.c_str(), PufferErrorText(err).c_str()));
      unreadable = true;
      continue;
    }
    ex.index[f.key].Set(0, PufferRecord{0, state.checksum, state.time, state.size});
  }
  // A list without a file that could not be read would make the destinations delete their copy.
  if (unreadable) return PUFFER_FAILED;
  Call(PUFFER_PHASE, "Speichere die Liste.");
  if (const int err = ex.WriteList(true)) {
    Fail(FmtString("Die Liste %s kann nicht geschrieben werden (%s).", ex.listPath.c_str(), PufferErrorText(err).c_str()));
    return PUFFER_FAILED;
  }
  // The buffer goes by name in the list's folder: a link in its place is removed itself, and
  // nothing below it is removed through a link.
  const int carrier = ex.carrierTree.Folder("");
  struct stat st {};
  if (carrier < 0 || (::fstatat(carrier, ex.bufferName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      !SysRmdirTreeAt(carrier, ex.bufferName.c_str(), 0)))
    Fail(FmtString("Der Puffer %s kann nicht geleert werden.", ex.bufferDir.c_str()));
  if (ex.carrierTree.MakeFolders(ex.bufferName) < 0)
    Fail(FmtString("Der Puffer %s kann nicht angelegt werden.", ex.bufferDir.c_str()));
  return static_cast<int>(ex.index.size());
}

// ---- Exchange ---------------------------------------------------------------------------------

int PufferList::Exchange(const char* listPath, const char* dataFolder, const char* hostName, int mustBeRegistered) {
  Exchanger ex;
  PufferLock lock;
  if (!Begin(ex, lock, listPath, dataFolder)) return PUFFER_FAILED;
  return ExchangeLocked(ex, hostName, mustBeRegistered, 0);
}

int PufferList::ExchangeLocked(Exchanger& ex, const char* hostName, int mustBeRegistered, int depth) {
  m_lastAnswer = 0;
  Call(PUFFER_PHASE, "Öffne die Liste.");
  std::string text;
  if (const int err = PufferReadWhole(ex.listPath, text)) {
    Fail(FmtString("Die Liste %s kann nicht gelesen werden (%s).", ex.listPath.c_str(), PufferErrorText(err).c_str()));
    return PUFFER_FAILED;
  }
  PufferListFile parsed;
  if (PufferParseList(text, parsed, &PufferList::Poll, this) == PUFFER_STOPPED) return PUFFER_STOPPED;
  text.clear();
  parsed.records.Sort(0, -1, &PufferList::CompareEntries);
  if (Stopped()) return PUFFER_STOPPED;
  for (const std::string& line : parsed.rejected) Fail(line);

  // Into the index; of two records with one number and path the first stays.
  ex.index.clear();
  ex.changed = false;
  ex.vouch = true;
  for (int i = 0; i < parsed.records.Count(); ++i) {
    const PufferRecord rec = PufferGetRecord(parsed.records, i);
    PufferSlots& slots = ex.index[std::string(parsed.records.Text(i), static_cast<std::size_t>(parsed.records.TextLength(i)))];
    if (slots.Has(static_cast<int>(rec.number))) ex.changed = true;
    else slots.Set(static_cast<int>(rec.number), rec);
  }
  parsed.records.RemoveAll();
  ex.file = std::move(parsed);
  ex.readWhole = ex.file.Whole();

  if (hostName) {
    if (mustBeRegistered) {
      bool registered = false;
      for (int k = 1; k < kPufferSlots && !registered; ++k) registered = ex.HostIsSlot(k, hostName);
      if (!registered) return PUFFER_NOT_REGISTERED;
    } else if (!ex.HostIsSlot(0, hostName)) {
      if (depth > 0) {
        Fail(FmtString("Die Liste %s kann nicht für diesen Computer angelegt werden.", ex.listPath.c_str()));
        return PUFFER_FAILED;
      }
      // The list belongs to another source: it is created anew for this one.
      m_report.tookOver = true;
      m_report.formerSource = ex.file.hosts[0];
      Note(FmtString("Die Liste %s gehörte dem Host \"%s\"; sie wird für %s neu angelegt.", ex.listPath.c_str(),
                     ex.file.hosts[0].c_str(), ex.localHost.c_str()));
      const std::string plus = ex.file.plus, minus = ex.file.minus;
      const int saved = SaveLocked(ex, plus.c_str(), minus.c_str(), ex.file.room);
      if (saved < 0) return saved;
      return ExchangeLocked(ex, nullptr, 0, depth + 1);
    }
  }
  return ex.HostIsSlot(0, ex.localHost) ? RunSource(ex) : RunDestination(ex);
}
