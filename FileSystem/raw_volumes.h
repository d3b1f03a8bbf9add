// Queries of disks and volumes by name: partition information, size and free room, file system,
// label and identity, and the search of a volume by its identity.
#pragma once

#include "FileSystem/partitions.h"
#include "FileSystem/raw_disk.h"
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
// program or the system knows), 0 when the medium cannot be opened or read (last error set: 21
// for a drive without a medium).
int DrvGetVolumeInformation(const char* name, u32 partition, DrvVolumeInformation* info);

// The names under which /dev/disk/by-uuid and /dev/disk/by-partuuid know a volume: its file
// system's UUID (FAT and exFAT "XXXX-XXXX", NTFS 16 hexadecimal digits, ext4 the UUID) and its
// partition's (GPT the partition's GUID, MBR the disk signature and number, "1234abcd-05").
struct DrvVolumeIdentity {
  std::string uuid;
  std::string partUuid;
};
BOOL DrvGetVolumeIdentity(const char* name, u32 partition, DrvVolumeIdentity* identity);

// Searches the block devices for volumes by identity: "/dev/disk/by-uuid/X",
// "/dev/disk/by-partuuid/X", "UUID=X", "PARTUUID=X", or X alone for either, X with "*" and "?",
// letters in any case. The links of /dev/disk are asked where they exist, and every device's
// identity is read besides (only root reads devices). The number of devices found, the first
// (by name) as its /dev node in device; 0 with last error 15 when none matches.
int DrvFindVolume(const char* identity, std::string* device);
