// The size and free room of a volume from each engine's own counts.
#include "FileSystem/exfat_internal.h"
#include "FileSystem/fat_internal.h"
#include "FileSystem/volume_internal.h"

namespace {

int FatSpace(FatVolume& v, DiskSpace& space) {
  if (const int r = FatCheckVolume(v, false)) return disk::MapFat(r);
  if (v.freeCount == FAT_UNKNOWN) {
    u32 free = 0;
    for (u32 c = 2; c < v.fatEntries; ++c) {
      u32 value = 0;
      if (const int r = fat::GetFat(v, c, &value)) return disk::MapFat(r);
      if (value == 0) ++free;
    }
    // Kept for the allocations to come, as a count read from FSInfo is.
    v.freeCount = free;
  }
  space.sectorsPerCluster = v.clusterSectors;
  space.totalClusters = v.fatEntries - 2;
  space.freeClusters = space.availableClusters = v.freeCount;
  return SYS_OK;
}

int ExfatSpace(ExfatVolume& v, DiskSpace& space) {
  u64 used = 0;
  if (const int r = exfat::UsedClusters(v, &used)) return disk::MapExfat(r);
  space.sectorsPerCluster = v.clusterBytes / 512;
  space.totalClusters = v.clusterCount;
  space.freeClusters = space.availableClusters = used < v.clusterCount ? v.clusterCount - used : 0;
  return SYS_OK;
}

int Ext4Space(const Ext4Fs& fs, DiskSpace& space) {
  const u8* sb = fs.sb.data();
  const bool wide = (fs.incompat & EXT4_INCOMPAT_64BIT) != 0;
  const u64 free = Ext4Le32(sb + 0x0C) | (wide ? u64{Ext4Le32(sb + 0x158)} << 32 : 0);
  const u64 reserved = Ext4Le32(sb + 0x08) | (wide ? u64{Ext4Le32(sb + 0x154)} << 32 : 0);
  space.sectorsPerCluster = fs.blockSize / 512;
  space.totalClusters = fs.blocksCount;
  space.freeClusters = std::min(free, fs.blocksCount);
  space.availableClusters = space.freeClusters > reserved ? space.freeClusters - reserved : 0;
  return SYS_OK;
}

}  // namespace

int DiskGetFreeSpace(DiskDriveTable& table, const char* path, DiskSpace* space) {
  if (!space) return SYS_ERR_INVALID;
  *space = DiskSpace{};
  std::string inside;
  const int drive = disk::Resolve(table, path, inside);
  if (drive < 0) return drive;
  if (drive == 0) return SYS_ERR_PATH;
  if (FatVolume* f = disk::Fat(table, drive - 1)) return FatSpace(*f, *space);
  if (ExfatVolume* x = disk::Exfat(table, drive - 1)) return ExfatSpace(*x, *space);
  if (Ext4DriveVolume* e = disk::Ext4Of(table, drive - 1); e && e->volume()) return Ext4Space(e->volume()->fs, *space);
  return SYS_ERR_PATH;
}
