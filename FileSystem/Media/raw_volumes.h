// Partition information of an image, a disk or a partition node, as the system and the partition table tell.
#pragma once

#include "FileSystem/Media/partitions.h"
#include "FileSystem/Media/raw_disk.h"
#include "platform/win_types.h"

#include <string>

// A partition, or a whole disk or image (number 0), as the system and the partition table tell.
struct DrvPartitionInfo {
  u32 style = DISK_STYLE_RAW;  // of the disk's table
  u64 startingOffset = 0;      // bytes
  u64 length = 0;              // bytes
  u32 number = 0;
  DiskTableEntry table;  // the disk's table and, when found, the partition's entry
};
// Of the image or device named, or of an open medium. FALSE with the last error set.
BOOL DrvGetPartitionInfoEx(const char* name, DrvPartitionInfo* info);
BOOL DrvGetPartitionInfoEx(RawMedium* medium, DrvPartitionInfo* info);
