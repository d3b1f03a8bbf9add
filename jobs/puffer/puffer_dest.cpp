// A destination's side of an exchange: delete what the source dropped, record, take from the buffer.
#include "jobs/puffer/puffer_internal.h"

#include "lib/system/sys_file.h"
#include "lib/text/fmt.h"

#include <cerrno>
#include <set>

int PufferList::RunDestination(Exchanger& ex) {
  // Own slot: the one with this computer's name, else the first free one.
  int own = -1;
  for (int k = 1; k < kPufferSlots && own < 0; ++k)
    if (ex.HostIsSlot(k, ex.localHost)) own = k;
  for (int k = 1; k < kPufferSlots && own < 0; ++k) {
    if (ex.file.hosts[static_cast<std::size_t>(k)].empty()) {
      ex.file.hosts[static_cast<std::size_t>(k)] = ex.localHost;
      own = k;
      ex.changed = true;
    }
  }
  if (own < 0) {
    Fail(FmtString("In der Liste %s ist kein Platz für einen weiteren Host frei.", ex.listPath.c_str()));
    return PUFFER_FAILED;
  }
  m_report.slot = own;
  int copied = 0;

  const int sourceCount = ex.SourceCount();
  Call(PUFFER_PHASE, "Dateien suchen.");
  std::vector<PufferLocalFile> files;
  bool complete = true;
  ex.ListData(files, complete);
  if (!complete)
    Fail(FmtString("Das Verzeichnis %s konnte nicht vollständig gelesen werden; es wird nichts gelöscht.",
                   ex.dataDir.c_str()));
  // Deletions only on a list that is known to be whole and a listing that saw everything.
  const bool mayDelete = ex.readWhole && complete && sourceCount > 0;

  std::set<std::string> examined;
  std::map<std::string, bool> keep;  // files that must not be replaced; true: already reported
  for (const PufferLocalFile& f : files) {
    const std::string data = ex.DataPath(f.key);
    if (Call(PUFFER_POLL, data.c_str())) return PUFFER_STOPPED;
    examined.insert(f.key);
    const auto it = ex.index.find(f.key);
    const bool hasSource = it != ex.index.end() && it->second.Has(0);
    if (!hasSource && sourceCount > 0) {
      // The source does not list the path: the local file goes.
      if (!mayDelete) {
        m_report.deletionsWithheld = true;
        continue;
      }
      if (Call(PUFFER_DELETE, data.c_str())) return PUFFER_STOPPED;
      // By name in its folder, opened without following links; what is no longer a plain file
      // stays.
      if (const int err = PufferDeleteIn(ex.dataTree, PufferRelFromKey(f.key))) {
        if (err == PUFFER_ERR_LINK)
          Fail(FmtString("Der Weg zu %s führt über einen Verweis; es wird nicht gelöscht.", data.c_str()));
        else
          Fail(FmtString("Die Datei %s kann nicht gelöscht werden.", data.c_str()));
        continue;
      }
      ++m_report.deleted;
      if (it != ex.index.end() && it->second.Has(own)) {
        it->second.Clear(own);
        if (it->second.present == 0) ex.index.erase(it);
        ex.changed = true;
      }
      continue;
    }
    if (it == ex.index.end()) continue;  // no source record at all: neither deleted nor recorded
    PufferSlots& slots = it->second;
    if (slots.Has(own) && slots.Get(own).time == SysFindTime(&f.info) && slots.Get(own).size == f.info.qwSize)
      continue;
    if (Call(PUFFER_CHECKSUM, data.c_str())) return PUFFER_STOPPED;
    PufferFileState state;
    const int err = PufferChecksumIn(ex.dataTree, PufferRelFromKey(f.key), data.c_str(), &state);
    if (err) {
      // What could not be examined is neither recorded nor replaced.
      if (err != PUFFER_ERR_NOT_REGULAR)
        Fail(FmtString("Die Datei %s kann nicht gelesen werden (%s).", data.c_str(), PufferErrorText(err).c_str()));
      keep[f.key] = err != PUFFER_ERR_NOT_REGULAR;
      continue;
    }
    slots.Set(own, PufferRecord{0, state.checksum, state.time, state.size});
    ex.changed = true;
  }
  if (m_report.deletionsWithheld && !ex.readWhole)
    Note(FmtString("Die Liste %s ist nicht vollständig (ohne gültige END-Zeile oder mit fehlerhaften Einträgen); "
                   "es wurde nichts gelöscht.",
                   ex.listPath.c_str()));

  // Taking from the buffer what differs from the source's version.
  for (auto& [key, slots] : ex.index) {
    if (!slots.Has(0)) continue;
    const std::string data = ex.DataPath(key);
    if (Call(PUFFER_POLL, data.c_str())) return PUFFER_STOPPED;
    if (slots.HasSourceVersion(own)) continue;
    const std::string rel = PufferRelFromKey(key);
    const std::string buffer = ex.BufferPath(key);
    if (PufferLookupIn(ex.carrierTree, ex.BufferRel(rel), buffer.c_str()) != 0) continue;  // not (yet) there
    if (const auto k = keep.find(key); k != keep.end()) {
      if (!k->second) Fail(FmtString("Die Datei %s ist keine gewöhnliche Datei und wird nicht ersetzt.", data.c_str()));
      continue;
    }
    if (!examined.count(key)) {
      const int kind = PufferLookupIn(ex.dataTree, rel, data.c_str());
      if (kind != -ENOENT && kind != -ENOTDIR && kind != -ELOOP) {
        Fail(FmtString("%s wurde nicht geprüft und wird nicht ersetzt.", data.c_str()));
        continue;
      }
    }
    if (Call(PUFFER_COPY, data.c_str())) return PUFFER_STOPPED;
    // By name in folders opened without following links: a folder swapped for a link meanwhile
    // is left alone.
    PufferFileState state;
    const PufferRecord& src = slots.Get(0);
    bool wayBlocked = false;
    const int err = PufferCopyIn(ex.carrierTree, ex.BufferRel(rel), buffer.c_str(), ex.dataTree, rel, src, &state,
                                 &wayBlocked);
    if (wayBlocked) {
      Fail(FmtString("Der Weg zu %s führt über einen Verweis oder eine Datei; es wird nicht geschrieben.", data.c_str()));
      continue;
    }
    if (err == PUFFER_ERR_MISMATCH) {
      // A copy that is not the source's version helps nobody; the source fills in a fresh one.
      Fail(FmtString("Die Pufferdatei %s stimmt nicht mit der Liste überein und wird verworfen.", buffer.c_str()));
      if (Call(PUFFER_DELETE, buffer.c_str())) return PUFFER_STOPPED;
      PufferDeleteIn(ex.carrierTree, ex.BufferRel(rel));
      continue;
    }
    if (err) {
      Fail(FmtString("Die Datei %s kann nicht aus dem Puffer kopiert werden (%s).", data.c_str(),
                     PufferErrorText(err).c_str()));
      continue;
    }
    slots.Set(own, PufferRecord{0, src.checksum, state.time, src.size});
    ex.changed = true;
    ++copied;
  }

  m_report.copied = copied;
  if (ex.changed) {
    if (Call(PUFFER_POLL, ex.listPath.c_str())) return PUFFER_STOPPED;
    // A list that was not whole stays so: this side cannot vouch for the source's records.
    if (const int err = ex.WriteList(ex.readWhole)) {
      Fail(FmtString("Die Liste %s kann nicht geschrieben werden (%s).", ex.listPath.c_str(), PufferErrorText(err).c_str()));
      return PUFFER_FAILED;
    }
  }
  return copied;
}
