// FAT operations by path: status, folders made and removed, rename, attributes, folder listings; unmounting.
#include "FileSystem/Fat/fat_internal.h"

#include <algorithm>
#include <cstring>

using namespace fat;

namespace {

u32 FolderStart(const FatFs& v, u32 cluster) { return v.fsType == 3 && cluster == v.rootCluster ? 0 : cluster; }

void DotEntry(const FatFs& v, u8* e, const char* name, u32 cluster, u32 now) {
  std::memset(e, 0, 32);
  std::memset(e, ' ', 11);
  std::memcpy(e, name, std::strlen(name));
  e[DIR_ATTR] = FAT_ATTR_DIRECTORY;
  Put16(e + DIR_CREATE_TIME, static_cast<u16>(now));
  Put16(e + DIR_CREATE_DATE, static_cast<u16>(now >> 16));
  Put16(e + DIR_ACCESS_DATE, static_cast<u16>(now >> 16));
  Put16(e + DIR_WRITE_TIME, static_cast<u16>(now));
  Put16(e + DIR_WRITE_DATE, static_cast<u16>(now >> 16));
  SetEntryCluster(v, e, cluster);
}

bool SameEntry(const FatEntryInfo& a, const FatEntryInfo& b) {
  return a.entry.sector == b.entry.sector && a.entry.index == b.entry.index;
}

u32 EntryOffset(const FatEntryInfo& info) { return (info.entry.index % 16) * 32; }

}  // namespace

int FatStat(FatFs& v, std::u16string_view path, FatEntryInfo& info) {
  if (const int r = FatCheckVolume(v, false)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (!place.found) return FAT_NO_FILE;
  info = place.info;
  return FAT_OK;
}

int FatMkdir(FatFs& v, std::u16string_view path) {
  if (const int r = FatCheckVolume(v, true)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (place.found) return FAT_EXIST;
  u32 c = 0;
  if (const int r = CreateChain(v, 0, &c)) return r;
  const auto undo = [&](int r) {
    RemoveChain(v, c);
    FatSyncVolume(v);
    return r;
  };
  if (const int r = ZeroCluster(v, c)) return undo(r);
  const u32 now = NowDos();
  if (const int r = MoveWindow(v, ClusterSector(v, c))) return undo(r);
  DotEntry(v, v.window.data(), ".", c, now);
  // ".." of a folder in the root says 0, on FAT32 too.
  DotEntry(v, v.window.data() + 32, "..", place.parent, now);
  v.windowDirty = true;
  NewEntry entry;
  entry.attributes = FAT_ATTR_DIRECTORY;
  entry.cluster = c;
  entry.createTime = entry.writeTime = static_cast<u16>(now);
  entry.createDate = entry.writeDate = static_cast<u16>(now >> 16);
  if (const int r = RegisterEntry(v, place.parent, place.name, entry, nullptr, nullptr)) return undo(r);
  return FatSyncVolume(v);
}

int FatUnlink(FatFs& v, std::u16string_view path) {
  if (const int r = FatCheckVolume(v, true)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (place.info.isRoot) return FAT_INVALID_NAME;
  if (!place.found) return FAT_NO_FILE;
  const FatEntryInfo& info = place.info;
  if (info.attributes & FAT_ATTR_READ_ONLY) return FAT_DENIED;
  if (FatEntryIsOpen(v, info.entry.sector, EntryOffset(info), false)) return FAT_DENIED;
  if (info.attributes & FAT_ATTR_DIRECTORY) {
    if (info.firstCluster < 2) return FAT_INT_ERR;
    bool empty = false;
    if (const int r = DirIsEmpty(v, FolderStart(v, info.firstCluster), empty)) return r;
    if (!empty) return FAT_DENIED;
  } else if (IsCluster(v, info.firstCluster)) {
    // A chain that loops or runs into free clusters is not freed: what it reaches may be another's.
    if (const int r = CheckChain(v, info.firstCluster, 0, true)) return r;
  }
  if (const int r = RemoveEntries(v, info)) return r;
  if (IsCluster(v, info.firstCluster))
    if (const int r = RemoveChain(v, info.firstCluster)) return r;
  return FatSyncVolume(v);
}

int FatRename(FatFs& v, std::u16string_view from, std::u16string_view to) {
  if (const int r = FatCheckVolume(v, true)) return r;
  PathPlace a, b;
  if (const int r = FollowPath(v, from, a)) return r;
  if (a.info.isRoot) return FAT_INVALID_NAME;
  if (!a.found) return FAT_NO_FILE;
  if (const int r = FollowPath(v, to, b)) return r;
  if (b.info.isRoot) return FAT_INVALID_NAME;
  // Finding the source itself is a change of case, which rewrites its names.
  const bool sameEntry = b.found && SameEntry(a.info, b.info);
  if (b.found && !sameEntry) return FAT_EXIST;
  if (FatEntryIsOpen(v, a.info.entry.sector, EntryOffset(a.info), false)) return FAT_DENIED;
  const bool folder = a.info.attributes & FAT_ATTR_DIRECTORY;
  const u32 start = folder ? FolderStart(v, a.info.firstCluster) : 0;
  if (folder && std::find(b.folders.begin(), b.folders.end(), start) != b.folders.end())
    return FAT_INVALID_PARAMETER;  // into its own subtree

  // In its own folder the entry changes within its sector when the new name fits there.
  bool done = false;
  FatDirCursor at;
  if (b.parent == a.parent)
    if (const int r = RenameInSector(v, a.info, b.name, &done, &at)) return r;
  if (!done) {
    // Elsewhere the new entry comes first and the old one goes after it: the clusters always
    // have an entry.
    u8 old[32];
    {
      u8* e = nullptr;
      if (const int r = DirEntry(v, a.info.entry, &e)) return r;
      std::memcpy(old, e, 32);
    }
    if (const int r = RegisterEntry(v, b.parent, b.name, NewEntry{}, sameEntry ? &a.info.entry : nullptr, &at, old))
      return r;
    if (const int r = RemoveEntries(v, a.info)) return r;
  }
  if (folder && start != 0 && b.parent != a.parent) {
    FatDirCursor cur;
    if (DirRewind(v, cur, start) == FAT_OK && DirNext(v, cur, false) == FAT_OK) {
      u8* e = nullptr;
      if (const int r = DirEntry(v, cur, &e)) return r;
      if (e[0] == '.' && e[1] == '.') {
        SetEntryCluster(v, e, b.parent);
        v.windowDirty = true;
      }
    }
  }
  return FatSyncVolume(v);
}

int FatReplace(FatFs& v, std::u16string_view from, std::u16string_view to) {
  if (const int r = FatCheckVolume(v, true)) return r;
  PathPlace a, b;
  if (const int r = FollowPath(v, from, a)) return r;
  if (const int r = FollowPath(v, to, b)) return r;
  if (!a.found || !b.found) return FAT_NO_FILE;
  if (a.info.isRoot || b.info.isRoot || SameEntry(a.info, b.info)) return FAT_INVALID_NAME;
  if ((a.info.attributes | b.info.attributes) & FAT_ATTR_DIRECTORY) return FAT_NO_FILE;
  if (b.info.attributes & FAT_ATTR_READ_ONLY) return FAT_DENIED;
  if (FatEntryIsOpen(v, a.info.entry.sector, EntryOffset(a.info), false) ||
      FatEntryIsOpen(v, b.info.entry.sector, EntryOffset(b.info), false))
    return FAT_DENIED;
  const u32 oldChain = IsCluster(v, b.info.firstCluster) ? b.info.firstCluster : 0;
  if (oldChain)
    if (const int r = CheckChain(v, oldChain, 0, true)) return r;
  u8 source[32];
  {
    u8* e = nullptr;
    if (const int r = DirEntry(v, a.info.entry, &e)) return r;
    std::memcpy(source, e, 32);
  }
  // The source's entries go first (its clusters then have no entry for a moment), then the
  // target's short entry takes them over in one write (with the name as given, when its case
  // differs and it fits the sector), and only then is the old chain freed.
  if (const int r = RemoveEntries(v, a.info)) return r;
  bool renamed = false;
  if (b.info.Name() != b.name)
    if (const int r = RenameInSector(v, b.info, b.name, &renamed, nullptr, source)) return r;
  if (!renamed) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, b.info.entry, &e)) return r;
    const u8 caseFlags = e[DIR_CASE];
    std::memcpy(e + DIR_ATTR, source + DIR_ATTR, 32 - DIR_ATTR);
    e[DIR_CASE] = caseFlags;
    v.windowDirty = true;
  }
  if (const int r = SyncWindow(v)) return r;
  if (oldChain)
    if (const int r = RemoveChain(v, oldChain)) return r;
  return FatSyncVolume(v);
}

int FatChmod(FatFs& v, std::u16string_view path, u8 value, u8 mask) {
  if (const int r = FatCheckVolume(v, true)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (place.info.isRoot) return FAT_INVALID_NAME;
  if (!place.found) return FAT_NO_FILE;
  mask &= FAT_ATTR_READ_ONLY | FAT_ATTR_HIDDEN | FAT_ATTR_SYSTEM | FAT_ATTR_ARCHIVE;
  u8* e = nullptr;
  if (const int r = DirEntry(v, place.info.entry, &e)) return r;
  e[DIR_ATTR] = static_cast<u8>((e[DIR_ATTR] & ~mask) | (value & mask));
  v.windowDirty = true;
  return FatSyncVolume(v);
}

int FatOpenDir(FatFs& v, FatDir& dir, std::u16string_view path) {
  dir = FatDir{};
  if (const int r = FatCheckVolume(v, false)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (!place.found || !(place.info.attributes & FAT_ATTR_DIRECTORY)) return FAT_NO_PATH;
  u32 start = 0;
  if (!place.info.isRoot) {
    if (place.info.firstCluster < 2) return FAT_INT_ERR;
    start = FolderStart(v, place.info.firstCluster);
  }
  if (const int r = DirRewind(v, dir.cursor, start)) return r;
  dir.volume = &v;
  dir.mountId = v.mountId;
  return FAT_OK;
}

int FatReadDir(FatDir& dir, FatEntryInfo& info) {
  if (!Valid(dir.volume, dir.mountId)) return FAT_INVALID_OBJECT;
  if (dir.ended) return FAT_NO_FILE;
  const int r = DirRead(*dir.volume, dir.cursor, info, false);
  if (r == FAT_NO_FILE) dir.ended = true;
  return r;
}

int FatCloseDir(FatDir& dir) {
  if (!Valid(dir.volume, dir.mountId)) return FAT_INVALID_OBJECT;
  dir.volume = nullptr;
  dir.mountId = 0;
  return FAT_OK;
}

void FatUnmount(FatFs& v) {
  for (auto& file : v.files) {
    if (file) FatClose(*file);
    file.reset();
  }
  for (auto& dir : v.dirs) {
    if (dir) FatCloseDir(dir->dir);
    dir.reset();
  }
  if (v.fsType) FatSyncVolume(v);
  v.fsType = 0;
}
