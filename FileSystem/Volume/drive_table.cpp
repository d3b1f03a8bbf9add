// Drive table: sector I/O of its drives through the cache, and the sector device of each drive.
#include "FileSystem/Volume/drive_table.h"

#include <cstring>

namespace {

bool InUse(const DiskDriveTable& table, int drive) {
  return drive >= 0 && drive < DISK_MAX_DRIVES && table.access[drive] != DISK_ACCESS_FREE;
}

bool IsImage(u8 access) { return access == DISK_ACCESS_IMAGE_RW || access == DISK_ACCESS_IMAGE_RO; }
bool IsReadOnly(u8 access) { return (access & 1) != 0; }

// Sector + count within the drive, without wrapping.
bool InsideDrive(const DiskDriveTable& table, int drive, u64 sector, u32 count) {
  const u64 total = table.sectorCount[drive];
  return count <= total && sector <= total - count;
}

int DiskReadCached(DiskDriveTable& table, int drive, u8* out, u64 sector, u32 count) {
  RawMedium* medium = table.medium[drive];
  DiskSectorCache* cache = table.cache[drive];
  if (!cache) return DrvReadSectors(medium, sector, count, out) ? DISK_OK : DISK_ERROR;
  // Every sector but the last: cached ones from the cache, runs of the others from the disk.
  while (count > 1) {
    u32 run = DiskCacheLookup(*cache, sector, count - 1);
    if (run == 0) {
      if (DiskCacheGet(*cache, sector, out)) {
        ++sector;
        out += 512;
        --count;
        continue;
      }
      run = 1;
    }
    if (!DrvReadSectors(medium, sector, run, out)) return DISK_ERROR;
    // Long runs bypass the cache, so that a big file does not flush it.
    if (run <= 16)
      for (u32 i = 0; i < run; ++i) DiskCacheInsert(*cache, sector + i, out + i * 512);
    sector += run;
    out += u64{run} * 512;
    count -= run;
  }
  if (count == 0 || DiskCacheGet(*cache, sector, out)) return DISK_OK;
  // Engines read metadata a sector at a time: an aligned single sector brings its seven
  // neighbours along.
  if (sector % 8 == 0) {
    u8 ahead[8 * 512];
    if (DrvReadSectors(medium, sector, 8, ahead)) {
      std::memcpy(out, ahead, 512);
      for (u32 i = 0; i < 8; ++i) DiskCacheInsert(*cache, sector + i, ahead + i * 512);
      return DISK_OK;
    }
  }
  if (!DrvReadSectors(medium, sector, 1, out)) return DISK_ERROR;
  DiskCacheInsert(*cache, sector, out);
  return DISK_OK;
}

}  // namespace

int DiskStatus(const DiskDriveTable& table, int drive) {
  if (!InUse(table, drive)) return DISK_ERROR;
  return IsReadOnly(table.access[drive]) ? DISK_BAD_PARAMETER : DISK_OK;
}

int DiskInitialize(const DiskDriveTable& table, int drive) { return DiskStatus(table, drive); }

int DiskRead(DiskDriveTable& table, int drive, void* buffer, u64 sector, u32 count) {
  if (!InUse(table, drive) || !InsideDrive(table, drive, sector, count)) return DISK_ERROR;
  if (count == 0) return DISK_OK;
  if (!buffer) return DISK_BAD_PARAMETER;
  const u64 absolute = table.startSector[drive] + sector;
  if (IsImage(table.access[drive]))
    return table.medium[drive]->ReadAt(absolute * 512, buffer, std::size_t{count} * 512) ? DISK_OK : DISK_ERROR;
  return DiskReadCached(table, drive, static_cast<u8*>(buffer), absolute, count);
}

int DiskWrite(DiskDriveTable& table, int drive, const void* buffer, u64 sector, u32 count) {
  if (!InUse(table, drive)) return DISK_ERROR;
  if (IsReadOnly(table.access[drive])) return DISK_WRITE_PROTECTED;
  if (!InsideDrive(table, drive, sector, count)) return DISK_ERROR;
  if (count == 0) return DISK_OK;
  if (!buffer) return DISK_BAD_PARAMETER;
  const u64 absolute = table.startSector[drive] + sector;
  if (IsImage(table.access[drive]))
    return table.medium[drive]->WriteAt(absolute * 512, buffer, std::size_t{count} * 512) ? DISK_OK : DISK_ERROR;
  DiskSectorCache* cache = table.cache[drive];
  const u8* data = static_cast<const u8*>(buffer);
  // The cache learns a write only once the disk has it; after a failure the disk may hold old,
  // new or torn sectors, so the run's copies are forgotten.
  if (!DrvWriteSectors(table.medium[drive], absolute, count, data)) {
    if (cache)
      for (u32 i = 0; i < count; ++i) DiskCacheDrop(*cache, absolute + i);
    return DISK_ERROR;
  }
  if (cache) {
    for (u32 i = 0; i < count; ++i) {
      if (count <= 16) DiskCacheInsert(*cache, absolute + i, data + u64{i} * 512);
      else DiskCacheUpdate(*cache, absolute + i, data + u64{i} * 512);
    }
  }
  return DISK_OK;
}

int DiskIoctl(DiskDriveTable& table, int drive, int command, void* out) {
  if (!InUse(table, drive)) return DISK_ERROR;
  if (command < 0 || command > DISK_IOCTL_READ_ONLY) return DISK_BAD_PARAMETER;
  switch (command) {
    case DISK_IOCTL_SYNC:
      if (IsReadOnly(table.access[drive])) return DISK_OK;
      return table.medium[drive]->Flush() ? DISK_OK : DISK_ERROR;
    case 4:
    case 5:
    case 6: return DISK_OK;
    default: break;
  }
  if (!out) return DISK_BAD_PARAMETER;
  switch (command) {
    case DISK_IOCTL_SECTOR_COUNT: {
      const u32 low = static_cast<u32>(table.sectorCount[drive]);
      std::memcpy(out, &low, sizeof low);
      break;
    }
    case DISK_IOCTL_SECTOR_SIZE: {
      const u16 size = 512;
      std::memcpy(out, &size, sizeof size);
      break;
    }
    case DISK_IOCTL_BLOCK_SIZE: {
      const u32 one = 1;
      std::memcpy(out, &one, sizeof one);
      break;
    }
    case DISK_IOCTL_SECTOR_COUNT64: std::memcpy(out, &table.sectorCount[drive], sizeof(u64)); break;
    case DISK_IOCTL_READ_ONLY: {
      const u32 flag = IsReadOnly(table.access[drive]) && table.fsType[drive] >= DISK_TYPE_NO_FS ? 1 : 0;
      std::memcpy(out, &flag, sizeof flag);
      break;
    }
  }
  return DISK_OK;
}


int DiskDriveDevice::Status() const { return DiskStatus(*m_table, m_drive); }

u64 DiskDriveDevice::SectorCount() const {
  return InUse(*m_table, m_drive) ? m_table->sectorCount[static_cast<std::size_t>(m_drive)] : 0;
}

int DiskDriveDevice::Read(void* buffer, u64 sector, u32 count) { return DiskRead(*m_table, m_drive, buffer, sector, count); }

int DiskDriveDevice::Write(const void* buffer, u64 sector, u32 count) {
  return DiskWrite(*m_table, m_drive, buffer, sector, count);
}

int DiskDriveDevice::Ioctl(int command, void* out) { return DiskIoctl(*m_table, m_drive, command, out); }

void DiskDriveDevice::Note(std::string text) { m_table->note[static_cast<std::size_t>(m_drive)] = std::move(text); }

bool DiskDriveDevice::ReadOnly() const { return IsReadOnly(m_table->access[static_cast<std::size_t>(m_drive)]); }
