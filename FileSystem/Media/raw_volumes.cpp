// Partition information of an image, a disk or a partition node, as the system and the partition table tell.
#include "FileSystem/Media/raw_volumes.h"

#include "FileSystem/Media/volume_facts.h"
#include "platform/last_error.h"

namespace {

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

BOOL DrvGetPartitionInfoEx(RawMedium* medium, DrvPartitionInfo* info) {
  if (!medium) return Fail(ERROR_INVALID_HANDLE);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  *info = DrvPartitionInfo{};
  DrvBlockDevice self;
  if (medium->Device() && DrvDescribeDevice(medium->Device(), &self) && self.partition) {
    if (!DrvEntryOfPartition(self, &info->table)) return FALSE;
    info->startingOffset = self.start * 512;
    info->length = self.size * 512;
    info->number = self.partition;
  } else {
    const DrvSectorReader read = [medium](u64 sector, u8* out) { return medium->ReadAt(sector * 512, out, 512); };
    if (!DiskFindTableEntry(read, medium->ByteSize() / 512, 0, &info->table)) return FALSE;
    info->length = medium->ByteSize();
  }
  info->style = info->table.style;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DrvGetPartitionInfoEx(const char* name, DrvPartitionInfo* info) {
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ, false);
  if (!medium) return FALSE;
  return DrvGetPartitionInfoEx(medium.get(), info);
}

