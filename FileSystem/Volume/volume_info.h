// Volume queries by the name of an image or device: size and free room, file system, label and identity.
#pragma once

#include "FileSystem/Media/volume_facts.h"
#include "platform/win_types.h"

#include <string>

// Volume queries name an image or a device and pick one volume on it: the partition of the
// ordinal (as the attach's selector), or with DISK_ALL_PARTITIONS the first one found. A volume
// whose file system the system has mounted is asked through the system, others are read by the
// program's own engines, read-only.

// The geometry with free room; FALSE with the last error set.
struct DrvVolumeGeometry {
  u32 bytesPerSector = 512;
  u32 sectorsPerCluster = 0;
  u64 totalClusters = 0;
  u64 freeClusters = 0;
  u64 availableClusters = 0;  // free to an ordinary user
  std::string mountPoint;     // where the system has it mounted, if it has
};
BOOL DrvGetVolumeGeometry(const char* name, u32 partition, DrvVolumeGeometry* geometry);

inline constexpr u32 DRV_VOLUME_READ_ONLY = 0x00080000;

struct DrvVolumeInformation {
  std::string label;
  u32 serialNumber = 0;
  std::string uuid;  // as /dev/disk/by-uuid names the volume
  u32 maxComponentLength = 0;
  u32 flags = 0;           // DRV_VOLUME_READ_ONLY
  std::string fileSystem;  // "FAT", "FAT32", "exFAT", "ext2", "ext3", "ext4", "NTFS", or the system's name
  std::string mountPoint;
};
// 2 a volume with a file system (info filled), 1 an unformatted one (no file system that the
// program or the system knows), 0 when the medium cannot be opened or read (last error set:
// ERROR_NOT_READY for a drive without a medium).
int DrvGetVolumeInformation(const char* name, u32 partition, DrvVolumeInformation* info);

BOOL DrvGetVolumeIdentity(const char* name, u32 partition, DrvVolumeIdentity* identity);
