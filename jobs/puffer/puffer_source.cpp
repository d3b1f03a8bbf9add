// The source's side of an exchange: bring the list up to date and fill the buffer.
#include "jobs/puffer/puffer_internal.h"

#include "lib/system/dirlisting.h"
#include "lib/system/sys_file.h"
#include "lib/text/fmt.h"

#include <algorithm>
#include <cerrno>
#include <set>

namespace {

std::string ParentRel(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

}  // namespace

int PufferList::RunSource(Exchanger& ex) {
  m_report.slot = 0;
  int copied = 0;

  Call(PUFFER_PHASE, "Dateien suchen.");
  std::vector<PufferLocalFile> files;
  bool complete = true;
  const int seen = ex.ListData(files, complete);
  const int sourceCount = ex.SourceCount();
  // An unmounted or unreachable folder looks empty; taking it for "everything deleted" would
  // make every destination delete its copies.
  if (seen == 0 && sourceCount > 0) {
    Fail(FmtString("Das Verzeichnis %s enthält keine Dateien, die Liste aber %d; es ist wohl nicht erreichbar. "
                   "Es wird nichts geändert.",
                   ex.dataDir.c_str(), sourceCount));
    return PUFFER_FAILED;
  }
  if (!complete) {
    Fail(FmtString("Das Verzeichnis %s konnte nicht vollständig gelesen werden; keine Datei gilt als gelöscht.",
                   ex.dataDir.c_str()));
    // Files in the unread folders may lack records: no destination may delete on this list.
    ex.vouch = false;
  }
  std::set<std::string> listed;
  for (const PufferLocalFile& f : files) listed.insert(f.key);

  // Deletes the buffer copy of a path, if there is one; false when the callback says stop.
  auto dropBufferCopy = [&](const std::string& key) {
    const std::string rel = ex.BufferRel(PufferRelFromKey(key));
    const std::string path = ex.BufferPath(key);
    const int kind = PufferLookupIn(ex.carrierTree, rel, path.c_str());
    if (kind == -ELOOP) {
      // The copy may still lie in the folder that the link displaced; it is not reached now.
      Fail(FmtString("Die Pufferdatei %s kann nicht gelöscht werden (%s).", path.c_str(),
                     PufferErrorText(PUFFER_ERR_LINK).c_str()));
      return true;
    }
    if (kind != 0) return true;
    if (Call(PUFFER_DELETE, path.c_str())) return false;
    if (const int err = PufferDeleteIn(ex.carrierTree, rel); err && err != PUFFER_ERR_NOT_REGULAR)
      Fail(FmtString("Die Pufferdatei %s kann nicht gelöscht werden.", path.c_str()));
    return true;
  };

  // Records without a source record go; a source record goes only when its file is known to be
  // gone: the listing was complete and the lookup says "not found".
  for (auto it = ex.index.begin(); it != ex.index.end();) {
    const std::string data = ex.DataPath(it->first);
    if (Call(PUFFER_POLL, data.c_str())) return PUFFER_STOPPED;
    if (!it->second.Has(0)) {
      it = ex.index.erase(it);
      ex.changed = true;
      continue;
    }
    if (!complete || listed.count(it->first)) {
      ++it;
      continue;
    }
    const int kind = PufferLookupIn(ex.dataTree, PufferRelFromKey(it->first), data.c_str());
    if (kind == 0 || kind == 2) {  // still there, outside the patterns or no plain file now
      ++it;
      continue;
    }
    if (kind < 0 && kind != -ENOENT && kind != -ENOTDIR) {
      // A link on the way is never followed: whether the file is still there is not known.
      const int err = kind == -ELOOP ? PUFFER_ERR_LINK : -kind;
      Fail(FmtString("Die Datei %s kann nicht geprüft werden (%s).", data.c_str(), PufferErrorText(err).c_str()));
      ++it;
      continue;
    }
    if (!dropBufferCopy(it->first)) return PUFFER_STOPPED;
    it = ex.index.erase(it);
    ex.changed = true;
  }

  // New and changed files. A quick look at time and size decides whether a file is read.
  for (const PufferLocalFile& f : files) {
    const std::string data = ex.DataPath(f.key);
    if (Call(PUFFER_POLL, data.c_str())) return PUFFER_STOPPED;
    const auto it = ex.index.find(f.key);
    const bool known = it != ex.index.end() && it->second.Has(0);
    if (known && it->second.Get(0).time == SysFindTime(&f.info) && it->second.Get(0).size == f.info.qwSize) continue;
    if (Call(PUFFER_CHECKSUM, data.c_str())) return PUFFER_STOPPED;
    PufferFileState state;
    const int err = PufferChecksumIn(ex.dataTree, PufferRelFromKey(f.key), data.c_str(), &state);
    if (err == PUFFER_ERR_NOT_REGULAR) continue;
    if (err) {
      Fail(FmtString("Die Datei %s kann nicht gelesen werden (%s).", data.c_str(), PufferErrorText(err).c_str()));
      // A known file keeps its record; a new one has none, so no destination may delete on this list.
      if (!known) ex.vouch = false;
      continue;
    }
    const PufferRecord rec{0, state.checksum, state.time, state.size};
    if (known) {
      const PufferRecord& old = it->second.Get(0);
      // A buffer copy of the former contents must never reach a destination as the new ones.
      if ((old.checksum != rec.checksum || old.size != rec.size) && !dropBufferCopy(f.key)) return PUFFER_STOPPED;
    }
    ex.index[f.key].Set(0, rec);
    ex.changed = true;
  }

  // The buffer: what nobody needs any more, what no record names and what is not the source's
  // present version goes; the rest is the buffer's total.
  Call(PUFFER_PHASE, "Puffer durchsuchen.");
  u64 total = 0;
  std::set<std::string> buffered;
  bool bufferKnown = true;
  const int bufferKind = PufferLookupIn(ex.carrierTree, ex.bufferName, ex.bufferDir.c_str());
  if (bufferKind == -ENOENT) {
    if (ex.carrierTree.MakeFolders(ex.bufferName) < 0) {
      Fail(FmtString("Der Puffer %s kann nicht angelegt werden.", ex.bufferDir.c_str()));
      bufferKnown = false;
    }
  } else if (bufferKind != 1) {
    Fail(FmtString("Der Puffer %s ist kein Verzeichnis.", ex.bufferDir.c_str()));
    bufferKnown = false;
  } else {
    CDirListing listing;
    listing.Read((ex.bufferDir + '/').c_str(), CDirListing::DL_SUBDIRS | CDirListing::DL_READ_ALL, nullptr, nullptr);
    if (listing.GetReadState() == 2) {
      Fail(FmtString("Der Puffer %s konnte nicht vollständig gelesen werden; es wird nichts hineinkopiert.",
                     ex.bufferDir.c_str()));
      bufferKnown = false;
    }
    for (int i = 0; i < listing.GetCount(); ++i) {
      const CDirListing::Entry* e = listing.GetEntry(i);
      if (e->IsFolder()) continue;
      int length = 0;
      const char* relText = listing.GetPath(i, &length, CDirListing::DL_PATH_RELATIVE);
      const std::string rel(relText, static_cast<std::size_t>(length));
      const std::string path = ex.bufferDir + '/' + rel;
      if (Call(PUFFER_POLL, path.c_str())) return PUFFER_STOPPED;
      const u64 size = e->info.qwSize;
      if (!(e->info.dwAttr & SYS_ATTR_LINK) && PufferNameHoldable(rel)) {
        const std::string key = PufferKeyFromRel(rel);
        const auto it = ex.index.find(key);
        if (it != ex.index.end() && it->second.Has(0) && ex.Lacks(it->second) && it->second.Get(0).size == size) {
          buffered.insert(key);
          total += size;
          continue;
        }
      }
      if (Call(PUFFER_DELETE, path.c_str())) return PUFFER_STOPPED;
      // By name in its folder: a link there goes itself, a folder on the way that is a link is
      // never deleted beneath.
      std::string name;
      const int dir = PufferFolderOf(ex.carrierTree, ex.BufferRel(rel), false, &name);
      if (dir < 0 || !SysDeleteAt(dir, name.c_str())) {
        Fail(FmtString("Die Pufferdatei %s kann nicht gelöscht werden.", path.c_str()));
        total += size;
      }
    }
  }

  // Filling the buffer with what some destination lacks, while there is room.
  const u64 room = ex.file.room ? ex.file.room : kPufferDefaultRoom;
  std::string lastPath = ex.listPath;
  if (bufferKnown) {
    for (const auto& [key, slots] : ex.index) {
      const std::string data = ex.DataPath(key);
      lastPath = data;
      if (Call(PUFFER_POLL, data.c_str())) return PUFFER_STOPPED;
      if (!slots.Has(0) || !ex.Lacks(slots) || buffered.count(key)) continue;
      // Sizes are 64-bit, and a buffer may hold more than the room (files it could not delete):
      // no sum may wrap. Empty files need no room.
      const PufferRecord& src = slots.Get(0);
      if (total > room || src.size > room - total) continue;
      const std::string rel = PufferRelFromKey(key);
      const std::string path = ex.BufferPath(key);
      if (Call(PUFFER_COPY, path.c_str())) return PUFFER_STOPPED;
      bool wayBlocked = false;
      const int err =
          PufferCopyIn(ex.dataTree, rel, data.c_str(), ex.carrierTree, ex.BufferRel(rel), src, nullptr, &wayBlocked);
      if (wayBlocked) {
        Fail(FmtString("Der Weg zu %s führt über einen Verweis; es wird nicht in den Puffer kopiert.", path.c_str()));
        continue;
      }
      if (err) {
        Fail(FmtString("Die Datei %s kann nicht in den Puffer kopiert werden (%s).", data.c_str(),
                       PufferErrorText(err).c_str()));
        continue;
      }
      total += src.size;
      ++copied;
    }
  }

  // The list: written when something changed, or to give it (or take away) its END line.
  if (ex.changed || ex.readWhole != ex.vouch) {
    if (Call(PUFFER_POLL, lastPath.c_str())) return PUFFER_STOPPED;
    if (const int err = ex.WriteList(ex.vouch)) {
      Fail(FmtString("Die Liste %s kann nicht geschrieben werden (%s).", ex.listPath.c_str(), PufferErrorText(err).c_str()));
      m_report.copied = copied;
      return PUFFER_FAILED;
    }
  }
  m_report.copied = copied;

  // Emptied buffer folders go, the deepest first; this only reports and cannot be stopped.
  CDirListing folders;
  folders.Read((ex.bufferDir + '/').c_str(),
               CDirListing::DL_SUBDIRS | CDirListing::DL_READ_ALL | CDirListing::DL_FOLDERS, nullptr, nullptr);
  if (folders.GetReadState() != 2) {
    std::map<std::string, int> children;
    std::vector<std::string> empty;
    for (int i = 0; i < folders.GetCount(); ++i) {
      const CDirListing::Entry* e = folders.GetEntry(i);
      int length = 0;
      const char* relText = folders.GetPath(i, &length, CDirListing::DL_PATH_RELATIVE);
      const std::string rel(relText, static_cast<std::size_t>(length));
      ++children[ParentRel(rel)];
      if (e->IsFolder() && !(e->info.dwAttr & SYS_ATTR_LINK)) {
        children.emplace(rel, 0);
        empty.push_back(rel);
      }
    }
    std::sort(empty.begin(), empty.end(), [](const std::string& a, const std::string& b) {
      return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& rel : empty) {
      if (children[rel] != 0) continue;
      const std::string path = ex.bufferDir + '/' + rel;
      Call(PUFFER_DELETE, path.c_str());
      // By name in its parent, opened without following links: a folder swapped for a link is
      // never removed beneath.
      std::string name;
      const int dir = PufferFolderOf(ex.carrierTree, ex.BufferRel(rel), false, &name);
      if (dir >= 0 && SysRmdirAt(dir, name.c_str())) --children[ParentRel(rel)];
    }
  }
  return copied;
}
