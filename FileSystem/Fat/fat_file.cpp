// FAT files: open with create modes, reading and writing through one sector buffer, seeking, truncating, syncing.
#include "FileSystem/Fat/fat_internal.h"

#include <algorithm>
#include <cstring>

using namespace fat;

namespace {

constexpr u32 kMaxSize = 0xFFFFFFFF;

int Failed(FatFile& f, int r) {
  if (r == FAT_DISK_ERR || r == FAT_INT_ERR) f.flags |= FAT_FILE_ERROR;
  return r;
}

int CheckFile(const FatFile& f) {
  if (!Valid(f.volume, f.mountId)) return FAT_INVALID_OBJECT;
  if (f.flags & FAT_FILE_ERROR) return FAT_INT_ERR;
  return FAT_OK;
}

int FlushBuffer(FatFile& f) {
  if (!(f.flags & FAT_FILE_BUFFER_DIRTY)) return FAT_OK;
  FatFs& v = *f.volume;
  if (v.device->Write(f.buffer.data(), f.bufferSector, 1) != DISK_OK) return FAT_DISK_ERR;
  f.flags &= static_cast<u8>(~FAT_FILE_BUFFER_DIRTY);
  return FAT_OK;
}

// Brings a sector into the file's buffer; fresh: it holds nothing of the file yet, so zeros do.
int LoadBuffer(FatFile& f, u64 sector, bool fresh) {
  if (f.bufferSector == sector) return FAT_OK;
  if (const int r = FlushBuffer(f)) return r;
  FatFs& v = *f.volume;
  if (fresh) {
    f.buffer.fill(0);
  } else if (v.device->Read(f.buffer.data(), sector, 1) != DISK_OK) {
    f.bufferSector = ~u64{0};
    return FAT_DISK_ERR;
  }
  f.bufferSector = sector;
  return FAT_OK;
}

// The cluster of cluster index ci; with grow the chain is extended (FAT_DISK_FULL when it cannot).
int ClusterAt(FatFile& f, u32 ci, bool grow, u32* out) {
  FatFs& v = *f.volume;
  if (f.cluster && ci == f.clusterIndex) {
    *out = f.cluster;
    return FAT_OK;
  }
  u32 c, k;
  if (f.cluster && ci > f.clusterIndex) {
    c = f.cluster;
    k = f.clusterIndex;
  } else {
    c = f.firstCluster;
    k = 0;
    if (c == 0) {
      if (!grow) return FAT_INT_ERR;
      if (const int r = CreateChain(v, 0, &c)) return r;
      f.firstCluster = c;
      f.flags |= FAT_FILE_MODIFIED;
    } else if (!IsCluster(v, c)) {
      return FAT_INT_ERR;
    }
  }
  while (k < ci) {
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (IsEndOfChain(v, next)) {
      if (!grow) return FAT_INT_ERR;
      if (const int r = CreateChain(v, c, &next)) return r;
    } else if (!IsCluster(v, next)) {
      return FAT_INT_ERR;
    }
    c = next;
    ++k;
  }
  f.cluster = c;
  f.clusterIndex = ci;
  *out = c;
  return FAT_OK;
}

// Writes from the position on; zeros when data is null.
int WriteFromPosition(FatFile& f, const u8* data, u32 length, u32* done) {
  FatFs& v = *f.volume;
  const u32 clusterBytes = ClusterBytes(v);
  *done = 0;
  while (*done < length) {
    u32 c = 0;
    const int r = ClusterAt(f, f.position / clusterBytes, true, &c);
    if (r == FAT_DISK_FULL) break;  // the bytes written so far count
    if (r) return Failed(f, r);
    const u32 inCluster = f.position % clusterBytes;
    const u64 sector = ClusterSector(v, c) + inCluster / 512;
    const u32 offset = f.position % 512;
    const u32 remaining = length - *done;
    u32 n;
    if (offset == 0 && remaining >= 512) {
      // Whole sectors bypass the buffer, up to the end of the cluster.
      const u32 sectors = std::min(remaining / 512, v.clusterSectors - inCluster / 512);
      if (f.bufferSector >= sector && f.bufferSector - sector < sectors) {
        f.bufferSector = ~u64{0};
        f.flags &= static_cast<u8>(~FAT_FILE_BUFFER_DIRTY);
      }
      if (const int w = ForgetWindow(v, sector, sectors)) return Failed(f, w);
      n = sectors * 512;
      int w;
      if (data) {
        w = v.device->Write(data + *done, sector, sectors);
      } else {
        static const u8 zeros[16 * 512] = {};
        w = DISK_OK;
        for (u32 s = 0; s < sectors && w == DISK_OK; s += 16)
          w = v.device->Write(zeros, sector + s, std::min<u32>(16, sectors - s));
      }
      if (w != DISK_OK) return Failed(f, FAT_DISK_ERR);
    } else {
      // Nothing of the file lies in a sector that starts at or beyond its size.
      const bool fresh = f.position - offset >= f.size;
      if (const int l = LoadBuffer(f, sector, fresh)) return Failed(f, l);
      n = std::min(512 - offset, remaining);
      if (data) std::memcpy(f.buffer.data() + offset, data + *done, n);
      else std::memset(f.buffer.data() + offset, 0, n);
      f.flags |= FAT_FILE_BUFFER_DIRTY;
    }
    *done += n;
    f.position += n;
    if (f.position > f.size) f.size = f.position;
    f.flags |= FAT_FILE_MODIFIED;
  }
  return FAT_OK;
}

}  // namespace

bool FatEntryIsOpen(const FatFs& v, u64 sector, u32 offset, bool writersOnly) {
  for (const auto& file : v.files) {
    if (!file || !Valid(file->volume, file->mountId)) continue;
    if (file->entrySector == sector && file->entryOffset == offset && (!writersOnly || (file->flags & FAT_WRITE)))
      return true;
  }
  return false;
}

int FatOpen(FatFs& v, FatFile& f, std::u16string_view path, u8 mode) {
  f = FatFile{};
  const bool write = mode & (FAT_WRITE | FAT_CREATE_NEW | FAT_CREATE_ALWAYS);
  if (const int r = FatCheckVolume(v, write)) return r;
  PathPlace place;
  if (const int r = FollowPath(v, path, place)) return r;
  if (place.info.isRoot) return FAT_INVALID_NAME;
  FatEntryInfo& info = place.info;
  const u32 offset = (info.entry.index % 16) * 32;

  if (mode & (FAT_CREATE_NEW | FAT_CREATE_ALWAYS)) {
    if (!place.found) {
      const u32 now = NowDos();
      NewEntry entry;
      entry.attributes = FAT_ATTR_ARCHIVE;
      entry.createDate = entry.writeDate = static_cast<u16>(now >> 16);
      entry.createTime = entry.writeTime = static_cast<u16>(now);
      if (const int r = RegisterEntry(v, place.parent, place.name, entry, nullptr, &info.entry)) return r;
      info.attributes = FAT_ATTR_ARCHIVE;
      info.size = 0;
      info.firstCluster = 0;
      mode |= FAT_CREATE_ALWAYS;
    } else {
      if (info.attributes & (FAT_ATTR_READ_ONLY | FAT_ATTR_DIRECTORY)) return FAT_DENIED;
      if (mode & FAT_CREATE_NEW) return FAT_EXIST;
      if (FatEntryIsOpen(v, info.entry.sector, offset, false)) return FAT_DENIED;
      // A chain that cannot be freed whole is left as it is.
      if (IsCluster(v, info.firstCluster))
        if (const int r = CheckChain(v, info.firstCluster, 0, true)) return r;
      // Emptied: a new creation time, no attributes, no clusters.
      u8* e = nullptr;
      if (const int r = DirEntry(v, info.entry, &e)) return r;
      const u32 now = NowDos();
      Put16(e + DIR_CREATE_TIME, static_cast<u16>(now));
      Put16(e + DIR_CREATE_DATE, static_cast<u16>(now >> 16));
      e[DIR_CREATE_TENTH] = 0;
      e[DIR_ATTR] = 0;
      SetEntryCluster(v, e, 0);
      Put32(e + DIR_SIZE, 0);
      v.windowDirty = true;
      if (const int r = SyncWindow(v)) return r;
      if (IsCluster(v, info.firstCluster))
        if (const int r = RemoveChain(v, info.firstCluster)) return r;
      info.size = 0;
      info.firstCluster = 0;
      f.flags |= FAT_FILE_MODIFIED;
    }
  } else {
    if (!place.found) return FAT_NO_FILE;
    if (info.attributes & FAT_ATTR_DIRECTORY) return FAT_NO_FILE;
    if ((mode & FAT_WRITE) && (info.attributes & FAT_ATTR_READ_ONLY)) return FAT_DENIED;
    // The clusters of the file's size, each once (a writer follows the chain to its end): a chain
    // that loops back would give some of its bytes twice and others never.
    if (info.size != 0 || ((mode & FAT_WRITE) && IsCluster(v, info.firstCluster))) {
      const u64 clusters = (u64{info.size} + ClusterBytes(v) - 1) / ClusterBytes(v);
      if (const int r = CheckChain(v, info.firstCluster, clusters, (mode & FAT_WRITE) != 0)) return r;
    }
  }
  // A file open for writing is open nowhere else.
  if (FatEntryIsOpen(v, info.entry.sector, (info.entry.index % 16) * 32, !write)) return FAT_DENIED;

  f.volume = &v;
  f.mountId = v.mountId;
  f.flags |= static_cast<u8>(mode & (FAT_READ | FAT_WRITE | FAT_CREATE_ALWAYS));
  if (mode & FAT_CREATE_NEW) f.flags |= FAT_WRITE;
  f.position = 0;
  f.size = info.size;
  f.firstCluster = IsCluster(v, info.firstCluster) ? info.firstCluster : 0;
  f.entrySector = info.entry.sector;
  f.entryOffset = (info.entry.index % 16) * 32;
  return FAT_OK;
}

int FatRead(FatFile& f, void* buffer, u32 length, u32* done) {
  *done = 0;
  if (const int r = CheckFile(f)) return r;
  if (!(f.flags & FAT_READ)) return FAT_DENIED;
  FatFs& v = *f.volume;
  length = std::min(length, f.size - std::min(f.position, f.size));
  u8* out = static_cast<u8*>(buffer);
  const u32 clusterBytes = ClusterBytes(v);
  while (*done < length) {
    u32 c = 0;
    if (const int r = ClusterAt(f, f.position / clusterBytes, false, &c)) return Failed(f, r);
    const u32 inCluster = f.position % clusterBytes;
    const u64 sector = ClusterSector(v, c) + inCluster / 512;
    const u32 offset = f.position % 512;
    const u32 remaining = length - *done;
    u32 n;
    if (offset == 0 && remaining >= 512) {
      const u32 sectors = std::min(remaining / 512, v.clusterSectors - inCluster / 512);
      if (f.bufferSector >= sector && f.bufferSector - sector < sectors)
        if (const int r = FlushBuffer(f)) return Failed(f, r);
      if (v.device->Read(out + *done, sector, sectors) != DISK_OK) return Failed(f, FAT_DISK_ERR);
      n = sectors * 512;
    } else {
      if (const int r = LoadBuffer(f, sector, false)) return Failed(f, r);
      n = std::min(512 - offset, remaining);
      std::memcpy(out + *done, f.buffer.data() + offset, n);
    }
    *done += n;
    f.position += n;
  }
  return FAT_OK;
}

int FatWrite(FatFile& f, const void* buffer, u32 length, u32* done) {
  *done = 0;
  if (const int r = CheckFile(f)) return r;
  if (!(f.flags & FAT_WRITE)) return FAT_DENIED;
  if (length == 0) return FAT_OK;
  // What counts is where the write ends, not how much the file grows.
  if (u64{f.position} + length > kMaxSize) return FAT_TOO_BIG;
  if (f.position > f.size) {
    // Never left with old bytes of deleted files in between.
    const u32 target = f.position;
    f.position = f.size;
    u32 filled = 0;
    if (const int r = WriteFromPosition(f, nullptr, target - f.size, &filled)) return r;
    if (f.position != target) return FAT_OK;  // the volume ran full before the data
  }
  return WriteFromPosition(f, static_cast<const u8*>(buffer), length, done);
}

int FatSeek(FatFile& f, u32 position) {
  if (const int r = CheckFile(f)) return r;
  if (position > f.size) {
    if (!(f.flags & FAT_WRITE)) {
      position = f.size;
    } else {
      f.position = f.size;
      u32 filled = 0;
      if (const int r = WriteFromPosition(f, nullptr, position - f.size, &filled)) return r;
      return f.position == position ? FAT_OK : FAT_DISK_FULL;
    }
  }
  f.position = position;
  return FAT_OK;
}

int FatTruncate(FatFile& f) {
  if (const int r = CheckFile(f)) return r;
  if (!(f.flags & FAT_WRITE)) return FAT_DENIED;
  if (f.position >= f.size) return FAT_OK;
  FatFs& v = *f.volume;
  // The buffered sector may lie in a cluster about to be freed: written now, never later.
  if (const int r = FlushBuffer(f)) return Failed(f, r);
  f.bufferSector = ~u64{0};
  if (f.position == 0) {
    if (f.firstCluster)
      if (const int r = RemoveChain(v, f.firstCluster)) return Failed(f, r);
    f.firstCluster = 0;
  } else {
    u32 c = 0;
    if (const int r = ClusterAt(f, (f.position - 1) / ClusterBytes(v), false, &c)) return Failed(f, r);
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return Failed(f, r);
    if (const int r = PutFat(v, c, EndOfChain(v))) return Failed(f, r);
    if (!IsEndOfChain(v, next) && IsCluster(v, next))
      if (const int r = RemoveChain(v, next)) return Failed(f, r);
  }
  f.cluster = 0;
  f.size = f.position;
  f.flags |= FAT_FILE_MODIFIED;
  return FAT_OK;
}

int FatSync(FatFile& f) {
  if (const int r = CheckFile(f)) return r;
  if (!(f.flags & FAT_FILE_MODIFIED)) return FAT_OK;
  FatFs& v = *f.volume;
  if (const int r = FlushBuffer(f)) return Failed(f, r);
  if (const int r = MoveWindow(v, f.entrySector)) return Failed(f, r);
  u8* e = v.window.data() + f.entryOffset;
  e[DIR_ATTR] |= FAT_ATTR_ARCHIVE;
  SetEntryCluster(v, e, f.firstCluster);
  Put32(e + DIR_SIZE, f.size);
  const u32 write = f.storedWrite ? f.storedWrite : NowDos();
  Put16(e + DIR_WRITE_TIME, static_cast<u16>(write));
  Put16(e + DIR_WRITE_DATE, static_cast<u16>(write >> 16));
  Put16(e + DIR_ACCESS_DATE, static_cast<u16>(write >> 16));
  if (f.storedCreate) {
    Put16(e + DIR_CREATE_TIME, static_cast<u16>(f.storedCreate));
    Put16(e + DIR_CREATE_DATE, static_cast<u16>(f.storedCreate >> 16));
    e[DIR_CREATE_TENTH] = 0;
  }
  v.windowDirty = true;
  f.flags &= static_cast<u8>(~FAT_FILE_MODIFIED);
  return FatSyncVolume(v);
}

int FatClose(FatFile& f) {
  const int r = FatSync(f);
  if (r == FAT_OK || r == FAT_INT_ERR || r == FAT_DISK_ERR) {
    f.volume = nullptr;
    f.mountId = 0;
  }
  return r;
}

int FatFileEntry(FatFile& f, FatEntryInfo& info) {
  if (const int r = CheckFile(f)) return r;
  FatFs& v = *f.volume;
  if (const int r = MoveWindow(v, f.entrySector)) return r;
  const u8* e = v.window.data() + f.entryOffset;
  info = FatEntryInfo{};
  info.shortName = FatShortNameText(e, 0);
  info.attributes = e[DIR_ATTR];
  info.size = f.size;
  info.firstCluster = f.firstCluster;
  info.writeTime = Le16(e + DIR_WRITE_TIME);
  info.writeDate = Le16(e + DIR_WRITE_DATE);
  info.createTime = Le16(e + DIR_CREATE_TIME);
  info.createDate = Le16(e + DIR_CREATE_DATE);
  const u8 sum = FatShortNameChecksum(e);
  // The long name from the entries before the short one, within the same sector run backwards.
  std::u16string name;
  u64 sector = f.entrySector;
  int index = static_cast<int>(f.entryOffset / 32);
  for (int order = 1; order <= kMaxLongEntries; ++order) {
    if (--index < 0) {
      // The previous sector of the same cluster (or of the fixed root) only.
      if (sector == 0 || (sector >= v.dataStart && (sector - v.dataStart) % v.clusterSectors == 0) ||
          sector == v.rootStart)
        break;
      --sector;
      index = 15;
    }
    if (const int r = MoveWindow(v, sector)) return r;
    const u8* l = v.window.data() + index * 32;
    if ((l[DIR_ATTR] & 0x3F) != FAT_ATTR_LONG_NAME || l[LFN_CHECKSUM] != sum || (l[0] & 0x3F) != order) break;
    static constexpr int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    bool ended = false;
    for (int i = 0; i < 13 && !ended; ++i) {
      const char16_t c = static_cast<char16_t>(Le16(l + offsets[i]));
      if (c == 0) ended = true;
      else name += c;
    }
    if (l[0] & LFN_LAST) {
      if (name.size() <= FAT_MAX_NAME) info.longName = name;
      break;
    }
  }
  return FAT_OK;
}
