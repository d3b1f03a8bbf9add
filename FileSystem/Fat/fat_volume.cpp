// FAT volume: reading and checking the boot sector, the sector window and FSInfo, syncing and unmounting.
#include "FileSystem/Fat/fat_internal.h"

#include <array>
#include <cstring>

using namespace fat;

namespace {

constexpr u32 kFsinfoLead = 0x41615252;
constexpr u32 kFsinfoStruct = 0x61417272;
constexpr u32 kFsinfoTrail = 0xAA550000;

bool HasSignature(const u8* s) { return s[510] == 0x55 && s[511] == 0xAA; }

bool IsFatBoot(const u8* s) {
  return HasSignature(s) && (std::memcmp(s + 54, "FAT", 3) == 0 || std::memcmp(s + 82, "FAT", 3) == 0);
}

bool IsPowerOfTwo(u32 x) { return x && (x & (x - 1)) == 0; }

// Reads and checks the boot sector at base; fills the volume. FAT_NO_FILESYSTEM when it is none.
int ReadBootSector(FatFs& v, u64 base, const u8* s) {
  const u32 bytesPerSector = Le16(s + 11);
  const u32 clusterSectors = s[13];
  const u32 reserved = Le16(s + 14);
  const u32 fats = s[16];
  const u32 rootEntries = Le16(s + 17);
  u32 total = Le16(s + 19);
  if (total == 0) total = Le32(s + 32);
  u32 fatSize = Le16(s + 22);
  if (fatSize == 0) fatSize = Le32(s + 36);
  if (bytesPerSector != 512 || fatSize == 0 || (fats != 1 && fats != 2) || !IsPowerOfTwo(clusterSectors) ||
      rootEntries % 16 != 0 || reserved == 0)
    return FAT_NO_FILESYSTEM;
  const u64 rootSectors = rootEntries / 16;
  const u64 system = u64{reserved} + u64{fats} * fatSize + rootSectors;
  if (total < system) return FAT_NO_FILESYSTEM;
  const u64 clusters = (total - system) / clusterSectors;
  if (clusters == 0 || clusters > 0x0FFFFFF5) return FAT_NO_FILESYSTEM;
  // The published thresholds: fewer than 4085 clusters is FAT12, fewer than 65525 FAT16. A FAT32
  // layout (no fixed root, no 16-bit FAT size) with fewer clusters, as mkfs.fat makes on request,
  // has 32-bit entries all the same.
  const bool fat32Layout = rootEntries == 0 && Le16(s + 22) == 0;
  const u8 type = fat32Layout ? 3 : clusters < 4085 ? 1 : clusters < 65525 ? 2 : 3;
  if ((type == 3) != (rootEntries == 0)) return FAT_NO_FILESYSTEM;
  const u64 entries = clusters + 2;
  const u64 needed = type == 1 ? (entries * 3 + 1) / 2 : type == 2 ? entries * 2 : entries * 4;
  if (u64{fatSize} * 512 < needed) return FAT_NO_FILESYSTEM;
  // The volume must lie on the drive: what lies beyond could not be read or written.
  if (base + total > v.device->SectorCount()) return FAT_NO_FILESYSTEM;

  v.fsType = type;
  v.fatCount = static_cast<u8>(fats);
  v.clusterSectors = clusterSectors;
  v.rootEntries = static_cast<u16>(rootEntries);
  v.fatEntries = static_cast<u32>(entries);
  v.fatSectors = fatSize;
  v.baseSector = base;
  v.fatStart = base + reserved;
  v.rootStart = v.fatStart + u64{fats} * fatSize;
  v.dataStart = v.rootStart + rootSectors;
  v.lastCluster = FAT_UNKNOWN;
  v.freeCount = FAT_UNKNOWN;
  v.fsinfoSector = 0;
  v.rootCluster = 0;
  if (type == 3) {
    v.rootCluster = Le32(s + 44) & 0x0FFFFFFF;
    if (!IsCluster(v, v.rootCluster)) {
      v.fsType = 0;
      return FAT_NO_FILESYSTEM;
    }
    const u32 fsinfo = Le16(s + 48);
    if (fsinfo != 0 && fsinfo < reserved) v.fsinfoSector = base + fsinfo;
  }
  return FAT_OK;
}

int Mount(FatFs& v, bool write) {
  v.fsType = 0;
  v.windowSector = ~u64{0};
  v.windowDirty = false;
  v.fsinfoDirty = false;
  const int status = v.device->Status();
  if (status & 1) return FAT_NOT_READY;
  if (write && (status & 4)) return FAT_WRITE_PROTECTED;
  u8 s[512];
  if (v.device->Read(s, 0, 1) != DISK_OK) return FAT_DISK_ERR;
  u64 base = 0;
  if (!IsFatBoot(s)) {
    // A partition table in front of the volume: its first entry is tried once.
    if (!HasSignature(s)) return FAT_NO_FILESYSTEM;
    base = Le32(s + 446 + 8);
    if (base == 0 || base >= v.device->SectorCount()) return FAT_NO_FILESYSTEM;
    if (v.device->Read(s, base, 1) != DISK_OK) return FAT_DISK_ERR;
    if (!IsFatBoot(s)) return FAT_NO_FILESYSTEM;
  }
  if (const int r = ReadBootSector(v, base, s)) return r;

  if (v.fsinfoSector) {
    u8 info[512];
    if (v.device->Read(info, v.fsinfoSector, 1) != DISK_OK) {
      v.fsType = 0;
      return FAT_DISK_ERR;
    }
    if (HasSignature(info) && Le32(info) == kFsinfoLead && Le32(info + 484) == kFsinfoStruct) {
      // Values that cannot be right are taken as unknown.
      const u32 freeCount = Le32(info + 488);
      const u32 last = Le32(info + 492);
      if (freeCount <= v.fatEntries - 2) v.freeCount = freeCount;
      if (IsCluster(v, last)) v.lastCluster = last;
    } else {
      v.fsinfoSector = 0;
    }
  }
  v.mountId = ++v.mountCounter;
  if (v.mountId == 0) v.mountId = ++v.mountCounter;
  return FAT_OK;
}

}  // namespace

namespace fat {

bool Valid(const FatFs* v, u16 mountId) { return v && v->fsType != 0 && v->mountId == mountId; }

int SyncWindow(FatFs& v) {
  if (!v.windowDirty) return FAT_OK;
  const u64 sector = v.windowSector;
  if (v.device->Write(v.window.data(), sector, 1) != DISK_OK) return FAT_DISK_ERR;
  // A sector of the first FAT goes into the second as well.
  if (v.fatCount == 2 && sector >= v.fatStart && sector < v.fatStart + v.fatSectors &&
      v.device->Write(v.window.data(), sector + v.fatSectors, 1) != DISK_OK)
    return FAT_DISK_ERR;
  v.windowDirty = false;
  return FAT_OK;
}

int MoveWindow(FatFs& v, u64 sector) {
  if (sector == v.windowSector) return FAT_OK;
  if (const int r = SyncWindow(v)) return r;
  if (v.device->Read(v.window.data(), sector, 1) != DISK_OK) {
    v.windowSector = ~u64{0};
    return FAT_DISK_ERR;
  }
  v.windowSector = sector;
  return FAT_OK;
}

int ForgetWindow(FatFs& v, u64 first, u64 count) {
  if (v.windowSector < first || v.windowSector - first >= count) return FAT_OK;
  if (const int r = SyncWindow(v)) return r;
  v.windowSector = ~u64{0};
  return FAT_OK;
}

}  // namespace fat

FatFs::FatFs(DiskSectorDevice& d) : device(&d) {}

FatFs::~FatFs() = default;

int FatCheckVolume(FatFs& v, bool write) {
  if (v.fsType != 0) {
    const int status = v.device->Status();
    if (!(status & 1)) {
      if (write && (status & 4)) return FAT_WRITE_PROTECTED;
      return FAT_OK;
    }
  }
  return Mount(v, write);
}

int FatSyncVolume(FatFs& v) {
  if (const int r = SyncWindow(v)) return r;
  if (v.fsType == 3 && v.fsinfoDirty && v.fsinfoSector) {
    // Written whole from its fields, past the window, which keeps the folder or FAT sector the
    // next change needs.
    std::array<u8, 512> s{};
    Put32(s.data(), kFsinfoLead);
    Put32(s.data() + 484, kFsinfoStruct);
    Put32(s.data() + 488, v.freeCount);
    Put32(s.data() + 492, v.lastCluster);
    Put32(s.data() + 508, kFsinfoTrail);
    if (v.device->Write(s.data(), v.fsinfoSector, 1) != DISK_OK) return FAT_DISK_ERR;
    if (v.windowSector == v.fsinfoSector) v.window = s;
    v.fsinfoDirty = false;
  }
  if (v.device->Ioctl(DISK_IOCTL_SYNC, nullptr) != DISK_OK) return FAT_DISK_ERR;
  return FAT_OK;
}
