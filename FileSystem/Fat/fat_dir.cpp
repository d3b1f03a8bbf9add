// FAT folders: walking entries, long names, lookups along a path, entering and removing names.
#include "FileSystem/Fat/fat_internal.h"

#include <cstring>
#include <set>

namespace fat {

namespace {

// Where the 13 UTF-16 units of a long-name entry lie.
constexpr int kLongOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool IsLongEntry(const u8* e) { return (e[DIR_ATTR] & 0x3F) == FAT_ATTR_LONG_NAME; }


// The first cluster of a folder entry as a start for DirRewind: the root is 0.
u32 FolderStart(const FatFs& v, u32 cluster) { return v.fsType == 3 && cluster == v.rootCluster ? 0 : cluster; }

}  // namespace

void FillInfo(const FatFs& v, const u8* e, FatEntryInfo& info) {
  info.shortName = FatShortNameText(e, e[DIR_CASE]);
  info.attributes = e[DIR_ATTR];
  info.caseFlags = e[DIR_CASE];
  info.size = Le32(e + DIR_SIZE);
  info.firstCluster = EntryCluster(v, e);
  info.writeTime = Le16(e + DIR_WRITE_TIME);
  info.writeDate = Le16(e + DIR_WRITE_DATE);
  info.createTime = Le16(e + DIR_CREATE_TIME);
  info.createDate = Le16(e + DIR_CREATE_DATE);
  info.isRoot = false;
}

int DirRewind(FatFs& v, FatDirCursor& cur, u32 start) {
  cur = FatDirCursor{};
  cur.start = start;
  u32 c = start;
  if (c == 0 && v.fsType == 3) c = v.rootCluster;
  if (c == 0) {
    cur.cluster = 0;
    cur.sector = v.rootStart;
    return FAT_OK;
  }
  // A folder whose chain loops would list its names again and again: it is not read at all.
  const u64 longest = u64{kMaxEntries} * 32 / ClusterBytes(v) + 1;
  if (const int r = CheckChain(v, c, 1, true, longest)) return r;
  cur.cluster = c;
  cur.sector = ClusterSector(v, c);
  return FAT_OK;
}

int DirNext(FatFs& v, FatDirCursor& cur, bool stretch) {
  const u32 next = cur.index + 1;
  if (next >= kMaxEntries || (cur.cluster == 0 && next >= v.rootEntries)) return stretch ? FAT_DENIED : FAT_NO_FILE;
  u64 sector = cur.sector;
  u32 cluster = cur.cluster;
  if (next % 16 == 0) {
    ++sector;
    if (cluster != 0 && (next / 16) % v.clusterSectors == 0) {
      u32 n = 0;
      if (const int r = GetFat(v, cluster, &n)) return r;
      if (IsEndOfChain(v, n)) {
        if (!stretch) return FAT_NO_FILE;
        if (const int r = CreateChain(v, cluster, &n)) return r;
        if (const int r = ZeroCluster(v, n)) return r;
      } else if (!IsCluster(v, n)) {
        return FAT_INT_ERR;
      }
      cluster = n;
      sector = ClusterSector(v, n);
    }
  }
  cur.index = next;
  cur.cluster = cluster;
  cur.sector = sector;
  return FAT_OK;
}

int DirEntry(FatFs& v, const FatDirCursor& cur, u8** entry) {
  if (const int r = MoveWindow(v, cur.sector)) return r;
  *entry = v.window.data() + (cur.index % 16) * 32;
  return FAT_OK;
}

int DirRead(FatFs& v, FatDirCursor& cur, FatEntryInfo& info, bool withDots) {
  if (cur.atEnd) return FAT_NO_FILE;
  bool started = false;
  int expect = 0;
  u8 sum = 0;
  FatDirCursor first;
  char16_t units[kMaxLongEntries * 13];
  int count = 0;
  for (;;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    const u8 b0 = e[0];
    if (b0 == 0) {
      cur.atEnd = true;
      return FAT_NO_FILE;
    }
    const FatDirCursor here = cur;
    bool report = false;
    if (b0 == kDeleted) {
      started = false;
    } else if (IsLongEntry(e)) {
      const int order = b0 & 0x3F;
      if (b0 & LFN_LAST) {
        started = order >= 1 && order <= kMaxLongEntries;
        if (started) {
          count = expect = order;
          sum = e[LFN_CHECKSUM];
          first = here;
        }
      }
      if (started && order == expect && e[LFN_CHECKSUM] == sum && Le16(e + DIR_CLUSTER_LOW) == 0) {
        for (int i = 0; i < 13; ++i) units[(expect - 1) * 13 + i] = static_cast<char16_t>(Le16(e + kLongOffsets[i]));
        --expect;
      } else {
        started = false;
      }
    } else if ((e[DIR_ATTR] & FAT_ATTR_VOLUME) || (b0 == '.' && !withDots)) {
      started = false;  // volume labels, and "." and ".." by their raw first byte
    } else {
      FillInfo(v, e, info);
      info.longName.clear();
      if (started && expect == 0 && sum == FatShortNameChecksum(e)) {
        int length = 0;
        while (length < count * 13 && units[length] != 0) ++length;
        info.longName.assign(units, static_cast<std::size_t>(length));
      }
      info.first = info.longName.empty() ? here : first;
      info.entry = here;
      report = true;
    }
    const int r = DirNext(v, cur, false);
    if (r == FAT_NO_FILE) cur.atEnd = true;
    else if (r) return r;
    if (report) return FAT_OK;
    if (cur.atEnd) return FAT_NO_FILE;
  }
}

int SplitPath(std::u16string_view path, std::vector<std::u16string>& names) {
  names.clear();
  std::size_t at = 0;
  while (at < path.size()) {
    if (path[at] == u'/' || path[at] == u'\\') {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < path.size() && path[end] != u'/' && path[end] != u'\\') ++end;
    std::u16string name(path.substr(at, end - at));
    if (const int r = FatCheckName(name)) return r;
    names.push_back(std::move(name));
    at = end;
  }
  return FAT_OK;
}

int FindInDir(FatFs& v, u32 start, std::u16string_view name, FatEntryInfo& info, bool& found) {
  found = false;
  int r = FAT_OK;
  DirIndex* index = IndexOf(v, start, r);
  if (!index) return r;
  const auto it = index->byName.find(Upper(name));
  if (it == index->byName.end()) return FAT_OK;
  const DirIndex::Entry& e = index->entries[it->second];
  u8* raw = nullptr;
  if (const int d = DirEntry(v, e.entry, &raw)) return d;
  if (raw[0] == 0 || raw[0] == kDeleted || IsLongEntry(raw)) {
    // Not what the index says (a volume damaged under it): read the folder again.
    DropIndex(v, start);
    return FindInDir(v, start, name, info, found);
  }
  FillInfo(v, raw, info);
  info.longName = e.longName;
  info.shortName = e.shortName;
  info.first = e.first;
  info.entry = e.entry;
  found = true;
  return FAT_OK;
}

int FollowPath(FatFs& v, std::u16string_view path, PathPlace& place) {
  std::vector<std::u16string> names;
  if (const int r = SplitPath(path, names)) return r;
  place = PathPlace{};
  place.folders.push_back(0);
  if (names.empty()) {
    place.found = true;
    place.info = FatEntryInfo{};
    place.info.isRoot = true;
    place.info.attributes = FAT_ATTR_DIRECTORY;
    return FAT_OK;
  }
  u32 dir = 0;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    int r = FAT_OK;
    DirIndex* index = IndexOf(v, dir, r);
    if (!index) return r;
    const auto it = index->byName.find(Upper(names[i]));
    if (it == index->byName.end() || !index->entries[it->second].folder) return FAT_NO_PATH;
    dir = FolderStart(v, index->entries[it->second].cluster);
    place.folders.push_back(dir);
  }
  place.parent = dir;
  place.name = names.back();
  return FindInDir(v, dir, place.name, place.info, place.found);
}

namespace {

// The names a new entry takes in a folder: its short name (an alias when the plain one is lossy
// or taken; own: the short name of an entry that gives way, which does not count as taken) and
// how many long-name entries go before it.
struct EntryNames {
  FatShortForm form;
  FatShortName shortName{};
  int longEntries = 0;
  int Needed() const { return longEntries + 1; }
};

int NamesFor(FatFs& v, u32 dir, std::u16string_view name, const FatDirCursor* ownEntry, EntryNames& out) {
  out.form = FatMakeShortName(name);
  // The short names in use, to keep the new one apart from them.
  int indexed = FAT_OK;
  DirIndex* index = IndexOf(v, dir, indexed);
  if (!index) return indexed;
  FatShortName own{};
  if (ownEntry) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, *ownEntry, &e)) return r;
    std::memcpy(own.data(), e, 11);
  }
  const auto taken = [&](const FatShortName& n) { return index->shorts.count(n) && !(ownEntry && n == own); };
  out.shortName = out.form.name;
  if (out.form.lossy || taken(out.shortName)) {
    out.form.needsLong = true;
    out.form.caseFlags = 0;
    int n = 1;
    for (; n <= 99; ++n) {
      out.shortName = FatAliasName(out.form, name, n);
      if (!taken(out.shortName)) break;
    }
    if (n > 99) return FAT_DENIED;
  }
  out.longEntries = out.form.needsLong ? static_cast<int>((name.size() + 12) / 13) : 0;
  return FAT_OK;
}

// Writes the entries of a name from run on (free entries, in one sector when they fit one);
// entry gives the short entry's fields, or copy its bytes from the attributes on.
int WriteEntries(FatFs& v, u32 dir, const FatDirCursor& run, std::u16string_view name, const EntryNames& names,
                 const NewEntry& entry, const u8* copy, bool afterEnd, FatDirCursor* at) {
  FatDirCursor cur = run;
  const u8 sum = FatShortNameChecksum(names.shortName.data());
  const int longEntries = names.longEntries;
  for (int k = longEntries; k >= 1; --k) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    std::memset(e, 0, 32);
    e[LFN_ORDER] = static_cast<u8>(k | (k == longEntries ? LFN_LAST : 0));
    e[DIR_ATTR] = FAT_ATTR_LONG_NAME;
    e[LFN_CHECKSUM] = sum;
    for (int i = 0; i < 13; ++i) {
      const std::size_t idx = static_cast<std::size_t>((k - 1) * 13 + i);
      const u16 unit = idx < name.size() ? name[idx] : idx == name.size() ? 0x0000 : 0xFFFF;
      Put16(e + kLongOffsets[i], unit);
    }
    v.windowDirty = true;
    if (const int r = DirNext(v, cur, false)) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
  }
  u8* e = nullptr;
  if (const int r = DirEntry(v, cur, &e)) return r;
  if (copy) {
    std::memcpy(e + DIR_ATTR, copy + DIR_ATTR, 32 - DIR_ATTR);
  } else {
    std::memset(e, 0, 32);
    e[DIR_ATTR] = entry.attributes;
    e[DIR_CREATE_TENTH] = entry.createTenth;
    Put16(e + DIR_CREATE_TIME, entry.createTime);
    Put16(e + DIR_CREATE_DATE, entry.createDate);
    Put16(e + DIR_ACCESS_DATE, entry.writeDate);
    Put16(e + DIR_WRITE_TIME, entry.writeTime);
    Put16(e + DIR_WRITE_DATE, entry.writeDate);
    SetEntryCluster(v, e, entry.cluster);
    Put32(e + DIR_SIZE, entry.size);
  }
  std::memcpy(e, names.shortName.data(), 11);
  e[DIR_CASE] = names.form.caseFlags;
  v.windowDirty = true;
  if (at) *at = cur;

  // The index learns the new names; no free entry lies before the run's end any more.
  if (DirIndex* kept = KeptIndex(v, dir)) {
    const u8 attributes = e[DIR_ATTR];
    DirIndex::Entry added{run,
                          cur,
                          longEntries ? std::u16string(name) : std::u16string(),
                          FatShortNameText(names.shortName.data(), names.form.caseFlags),
                          (attributes & FAT_ATTR_DIRECTORY) != 0,
                          EntryCluster(v, e)};
    const u32 slot = static_cast<u32>(kept->entries.size());
    // The new entry wins over an old one of the same name (a change of case, about to go).
    if (!added.longName.empty()) kept->byName[Upper(added.longName)] = slot;
    kept->byName[Upper(added.shortName)] = slot;
    kept->shorts.insert(names.shortName);
    kept->entries.push_back(std::move(added));
    if (!kept->hintValid || kept->hint.index <= cur.index) {
      kept->hint = cur;
      kept->hintValid = true;
      kept->hintInclusive = false;
    }
  }

  // What lay behind the end marker stays behind it.
  if (afterEnd) {
    FatDirCursor next = cur;
    if (DirNext(v, next, false) == FAT_OK) {
      u8* n = nullptr;
      if (const int r = DirEntry(v, next, &n)) return r;
      if (n[0] != 0) {
        n[0] = 0;
        v.windowDirty = true;
      }
    }
  }
  return FAT_OK;
}

}  // namespace

int RegisterEntry(FatFs& v, u32 dir, std::u16string_view name, const NewEntry& entry,
                  const FatDirCursor* ignore, FatDirCursor* at, const u8* copy) {
  EntryNames names;
  if (const int r = NamesFor(v, dir, name, ignore, names)) return r;
  const int needed = names.Needed();
  const bool oneSector = needed <= 16;

  // A run of free entries, inside one sector when it fits one (one write then makes or changes
  // it whole); past the end marker every entry counts as free.
  int indexed = FAT_OK;
  DirIndex* index = IndexOf(v, dir, indexed);
  if (!index) return indexed;
  FatDirCursor cur, run, end;
  int runLength = 0;
  bool afterEnd = false;
  if (index->hintValid) {
    cur = index->hint;
    cur.atEnd = false;
    if (!index->hintInclusive)
      if (const int r = DirNext(v, cur, true)) return r;
  } else if (const int r = DirRewind(v, cur, dir)) {
    return r;
  }
  for (;;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    if (e[0] == 0 && !afterEnd) {
      afterEnd = true;
      end = cur;
    }
    if (afterEnd || e[0] == kDeleted) {
      if (runLength && oneSector && cur.index % 16 == 0) runLength = 0;
      if (runLength == 0) run = cur;
      if (++runLength == needed) break;
    } else {
      runLength = 0;
    }
    if (const int r = DirNext(v, cur, true)) return r;
  }
  // End markers passed over before the run would hide the new name: they become deleted entries.
  for (FatDirCursor fill = end; afterEnd && fill.index < run.index;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, fill, &e)) return r;
    e[0] = kDeleted;
    v.windowDirty = true;
    if (const int r = DirNext(v, fill, false)) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
  }
  return WriteEntries(v, dir, run, name, names, entry, copy, afterEnd, at);
}

int RenameInSector(FatFs& v, const FatEntryInfo& info, std::u16string_view name, bool* done, FatDirCursor* at,
                   const u8* fields) {
  *done = false;
  const u32 dir = info.entry.start;
  const FatDirCursor& first = info.first.index <= info.entry.index ? info.first : info.entry;
  if (first.sector != info.entry.sector) return FAT_OK;
  EntryNames names;
  if (const int r = NamesFor(v, dir, name, &info.entry, names)) return r;
  const u32 needed = static_cast<u32>(names.Needed());
  if (needed > 16) return FAT_OK;
  u8* sector = nullptr;
  if (const int r = DirEntry(v, info.entry, &sector)) return r;
  sector -= (info.entry.index % 16) * 32;
  u8 old[32];
  std::memcpy(old, sector + (info.entry.index % 16) * 32, 32);
  // What may be taken: the entry's own places and free ones, none behind an end marker.
  const u32 base = info.entry.index / 16 * 16;
  const u32 ownFrom = first.index - base, ownTo = info.entry.index - base;
  u32 end = 16;
  for (u32 k = 0; k < 16; ++k)
    if ((k < ownFrom || k > ownTo) && sector[k * 32] == 0) {
      end = k;
      break;
    }
  const auto fits = [&](u32 s) {
    if (s > end || s + needed > 16) return false;
    for (u32 k = s; k < s + needed; ++k)
      if ((k < ownFrom || k > ownTo) && sector[k * 32] != 0 && sector[k * 32] != kDeleted) return false;
    return true;
  };
  u32 s = fits(ownFrom) ? ownFrom : 16;
  for (u32 k = 0; k < 16 && s == 16; ++k)
    if (fits(k)) s = k;
  if (s == 16) return FAT_OK;
  // Both changes land in the window's one sector, which goes to the medium in one write.
  if (const int r = RemoveEntries(v, info)) return r;
  FatDirCursor run = info.entry;
  run.index = base + s;
  run.atEnd = false;
  if (const int r = WriteEntries(v, dir, run, name, names, NewEntry{}, fields ? fields : old, s + needed > end, at))
    return r;
  *done = true;
  return FAT_OK;
}

int RemoveEntries(FatFs& v, const FatEntryInfo& info) {
  FatDirCursor cur = info.first.index <= info.entry.index ? info.first : info.entry;
  cur.atEnd = false;
  if (DirIndex* index = KeptIndex(v, info.entry.start)) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, info.entry, &e)) return r;
    FatShortName own;
    std::memcpy(own.data(), e, 11);
    index->shorts.erase(own);
    for (const std::u16string* n : {&info.longName, &info.shortName}) {
      const auto it = n->empty() ? index->byName.end() : index->byName.find(Upper(*n));
      if (it != index->byName.end() && index->entries[it->second].entry.index == info.entry.index)
        index->byName.erase(it);
    }
    if (!index->hintValid || cur.index < index->hint.index + (index->hintInclusive ? 0 : 1)) {
      index->hint = cur;
      index->hintValid = true;
      index->hintInclusive = true;
    }
  }
  for (;;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    e[0] = kDeleted;
    v.windowDirty = true;
    if (cur.index >= info.entry.index) return FAT_OK;
    if (const int r = DirNext(v, cur, false)) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
  }
}

int DirIsEmpty(FatFs& v, u32 start, bool& empty) {
  empty = true;
  FatDirCursor cur;
  if (const int r = DirRewind(v, cur, start)) return r;
  for (;;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    if (e[0] == 0) return FAT_OK;
    // Only "." and ".." by their raw first byte: ".gitignore" has a long name and counts.
    if (e[0] != kDeleted && (e[0] != '.' || IsLongEntry(e))) {
      empty = false;
      return FAT_OK;
    }
    const int r = DirNext(v, cur, false);
    if (r == FAT_NO_FILE) return FAT_OK;
    if (r) return r;
  }
}

}  // namespace fat
