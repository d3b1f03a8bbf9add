// What the first sectors of a volume say of its file system, label and identity; the search of a volume by its identity.
#pragma once

#include "FileSystem/Media/partitions.h"
#include "FileSystem/Media/raw_devices.h"
#include "platform/win_types.h"

#include <functional>
#include <string>

// Reads one 512-byte sector; false when it cannot be read.
using DrvSectorReader = std::function<bool(u64 sector, u8* out)>;

// What the first sectors of a volume say of its file system.
struct DrvVolumeFacts {
  bool known = false;      // a file system that the program knows
  std::string fileSystem;  // "FAT", "FAT32", "exFAT", "ext2", "ext3", "ext4", "NTFS"
  std::string label;
  std::string uuid;        // as /dev/disk/by-uuid names the volume
  u32 serial = 0;
};
// head: the volume's first 2048 bytes; read: its sectors.
DrvVolumeFacts DrvReadVolumeFacts(const u8* head, const DrvSectorReader& read);

// The partition's own identity by its table entry: GPT the partition's GUID, MBR the disk
// signature and number ("1234abcd-05"); empty when there is none.
std::string DrvPartUuidText(const DiskTableEntry& entry);

// The table entry of a partition node, read from its disk. FALSE with the last error set.
bool DrvEntryOfPartition(const DrvBlockDevice& partition, DiskTableEntry* entry);

// The names under which /dev/disk/by-uuid and /dev/disk/by-partuuid know a volume: its file
// system's UUID (FAT and exFAT "XXXX-XXXX", NTFS 16 hexadecimal digits, ext4 the UUID) and its
// partition's (GPT the partition's GUID, MBR the disk signature and number, "1234abcd-05").
struct DrvVolumeIdentity {
  std::string uuid;
  std::string partUuid;
};

// Searches the block devices for volumes by identity: "/dev/disk/by-uuid/X",
// "/dev/disk/by-partuuid/X", "UUID=X", "PARTUUID=X", or X alone for either, X with "*" and "?",
// letters in any case. The links of /dev/disk are asked where they exist, and every device's
// identity is read besides (only root reads devices). The number of devices found, the first
// (by name) as its /dev node in device; 0 with last error ERROR_INVALID_DRIVE when none matches.
int DrvFindVolume(const char* identity, std::string* device);
