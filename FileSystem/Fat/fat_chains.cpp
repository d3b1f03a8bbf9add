// FAT entries of the three widths, cluster allocation with FSInfo counts, and chains.
#include "FileSystem/Fat/fat_internal.h"

#include "FileSystem/Media/chain_marks.h"

#include <cstring>

namespace fat {

bool IsEndOfChain(const FatFs& v, u32 value) {
  switch (v.fsType) {
    case 1: return value >= 0xFF8;
    case 2: return value >= 0xFFF8;
    default: return value >= 0x0FFFFFF8;
  }
}

u32 EndOfChain(const FatFs& v) {
  switch (v.fsType) {
    case 1: return 0xFFF;
    case 2: return 0xFFFF;
    default: return 0x0FFFFFFF;
  }
}

int GetFat(FatFs& v, u32 c, u32* value) {
  if (c < 2 || c >= v.fatEntries) return FAT_INT_ERR;
  switch (v.fsType) {
    case 1: {
      // 12-bit entries may straddle two sectors.
      const u64 byte = c + c / 2;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      const u32 low = v.window[byte % 512];
      if (const int r = MoveWindow(v, v.fatStart + (byte + 1) / 512)) return r;
      const u32 word = low | u32{v.window[(byte + 1) % 512]} << 8;
      *value = (c & 1) ? word >> 4 : word & 0xFFF;
      return FAT_OK;
    }
    case 2: {
      const u64 byte = u64{c} * 2;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      *value = Le16(v.window.data() + byte % 512);
      return FAT_OK;
    }
    case 3: {
      const u64 byte = u64{c} * 4;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      *value = Le32(v.window.data() + byte % 512) & 0x0FFFFFFF;
      return FAT_OK;
    }
    default:
      return FAT_INT_ERR;
  }
}

int PutFat(FatFs& v, u32 c, u32 value) {
  if (c < 2 || c >= v.fatEntries) return FAT_INT_ERR;
  switch (v.fsType) {
    case 1: {
      const u64 byte = c + c / 2;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      u8* p = &v.window[byte % 512];
      *p = (c & 1) ? static_cast<u8>((*p & 0x0F) | (value << 4)) : static_cast<u8>(value);
      v.windowDirty = true;
      if (const int r = MoveWindow(v, v.fatStart + (byte + 1) / 512)) return r;
      p = &v.window[(byte + 1) % 512];
      *p = (c & 1) ? static_cast<u8>(value >> 4) : static_cast<u8>((*p & 0xF0) | ((value >> 8) & 0x0F));
      v.windowDirty = true;
      return FAT_OK;
    }
    case 2: {
      const u64 byte = u64{c} * 2;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      Put16(v.window.data() + byte % 512, static_cast<u16>(value));
      v.windowDirty = true;
      return FAT_OK;
    }
    case 3: {
      const u64 byte = u64{c} * 4;
      if (const int r = MoveWindow(v, v.fatStart + byte / 512)) return r;
      u8* p = v.window.data() + byte % 512;
      // The upper four bits belong to the medium, not to the chain.
      Put32(p, (Le32(p) & 0xF0000000) | (value & 0x0FFFFFFF));
      v.windowDirty = true;
      return FAT_OK;
    }
    default:
      return FAT_INT_ERR;
  }
}

int CreateChain(FatFs& v, u32 prev, u32* created) {
  *created = 0;
  const u32 clusters = v.fatEntries - 2;
  // From the cluster allocated last onwards, wrapping once.
  u32 start = IsCluster(v, v.lastCluster) ? v.lastCluster : 1;
  if (prev && IsCluster(v, prev)) start = prev;
  u32 c = start;
  for (u32 tried = 0;; ++tried) {
    if (tried >= clusters) return FAT_DISK_FULL;
    ++c;
    if (c >= v.fatEntries) c = 2;
    u32 value = 0;
    if (const int r = GetFat(v, c, &value)) return r;
    if (value == 0) break;
  }
  if (const int r = PutFat(v, c, EndOfChain(v))) return r;
  if (prev && IsCluster(v, prev))
    if (const int r = PutFat(v, prev, c)) return r;
  v.lastCluster = c;
  if (v.freeCount != FAT_UNKNOWN && v.freeCount > 0) --v.freeCount;
  v.fsinfoDirty = true;
  *created = c;
  return FAT_OK;
}

int RemoveChain(FatFs& v, u32 c) {
  DropIndex(v, v.fsType == 3 && c == v.rootCluster ? 0 : c);
  // Each freed cluster reads 0 afterwards, so a chain that loops ends at its first repeat.
  while (IsCluster(v, c)) {
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (next == 0) break;
    if (const int r = PutFat(v, c, 0)) return r;
    if (v.freeCount != FAT_UNKNOWN && v.freeCount < v.fatEntries - 2) ++v.freeCount;
    v.fsinfoDirty = true;
    if (IsEndOfChain(v, next)) break;
    c = next;
  }
  return FAT_OK;
}

int CheckChain(FatFs& v, u32 first, u64 clusters, bool toEnd, u64 limit) {
  ChainWalk walk(v.chainMarks, v.fatEntries);
  u32 c = first;
  for (u64 i = 0; i < limit; ++i) {
    if (!IsCluster(v, c) || !walk.Visit(c)) return FAT_INT_ERR;
    if (i + 1 >= clusters && !toEnd) return FAT_OK;
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (IsEndOfChain(v, next)) return i + 1 >= clusters ? FAT_OK : FAT_INT_ERR;
    c = next;
  }
  return FAT_OK;
}

int ZeroCluster(FatFs& v, u32 c) {
  if (!IsCluster(v, c)) return FAT_INT_ERR;
  const u64 first = ClusterSector(v, c);
  if (const int r = ForgetWindow(v, first, v.clusterSectors)) return r;
  static const u8 zeros[16 * 512] = {};
  for (u32 done = 0; done < v.clusterSectors;) {
    const u32 n = std::min<u32>(16, v.clusterSectors - done);
    if (v.device->Write(zeros, first + done, n) != DISK_OK) return FAT_DISK_ERR;
    done += n;
  }
  return FAT_OK;
}

}  // namespace fat

int FatFreeClusters(FatFs& v, u32* free) {
  if (const int r = FatCheckVolume(v, false)) return r;
  if (v.freeCount == FAT_UNKNOWN) {
    u32 count = 0;
    for (u32 c = 2; c < v.fatEntries; ++c) {
      u32 value = 0;
      if (const int r = fat::GetFat(v, c, &value)) return r;
      if (value == 0) ++count;
    }
    v.freeCount = count;
  }
  *free = v.freeCount;
  return FAT_OK;
}
