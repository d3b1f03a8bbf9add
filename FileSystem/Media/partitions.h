// Partition tables (MBR with extended partitions, GPT), whole volumes, and the Partitions.txt description.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <functional>
#include <string>

// File-system type of a volume, as a drive entry keeps it.
enum : u8 {
  DISK_TYPE_FREE = 0,
  DISK_TYPE_CONTAINER = 1,
  DISK_TYPE_NO_FS = 2,
  DISK_TYPE_FAT = 3,
  DISK_TYPE_EXFAT = 4,
  DISK_TYPE_EXT4 = 5,
};

inline constexpr u32 DISK_ALL_PARTITIONS = 0xFFFFFFFF;

// Partitions that a table does not list, described by Partitions.txt: each fills the empty table
// entry at byte position show.
struct DiskPartitionRecord {
  u64 drives = 0;
  std::array<u64, 4> start{};
  std::array<u64, 4> size{};
  std::array<u32, 4> show{};
};

// At most this many table sectors of an extended chain are read.
inline constexpr int DISK_MAX_TABLE_SECTORS = 32;
// At most this many GPT entries are looked at.
inline constexpr u32 DISK_MAX_GPT_ENTRIES = 16384;

// Reads count 512-byte sectors of a container; false when they cannot be read.
using DiskSectorsReader = std::function<bool(u64 sector, u32 count, void* out)>;
// Registers a partition that a scan found (sectors of the container): false when refused.
using DiskPartitionAdd = std::function<bool(u64 start, u64 count, bool described)>;

// Finds the partitions of a container of total sectors and hands each to add: a whole FAT, exFAT
// or ext4 volume, else the GPT behind a protective MBR, else the MBR with its extended chain. The
// selector is DISK_ALL_PARTITIONS or the ordinal of the one partition to register. The number
// registered; 0 (last error set) when sector 0 cannot be read or nothing was found.
int DiskFindPartitions(const DiskSectorsReader& read, u64 total, u32 partitionSelector,
                       const DiskPartitionRecord& record, const DiskPartitionAdd& add);

// The file-system type of a volume by its first four sectors (2048 bytes).
u8 DiskSniffFileSystem(const u8* sectors);

// Reads a Partitions.txt into the record (zeroed first in every case): 0 read, -1 no path, -2 no
// file.
int DiskReadPartitionsFile(const char* path, DiskPartitionRecord& record);

// Reads Partitions.txt from the root folder open as dirFd (the name in any case where the exact one
// is missing; a link, a folder or anything but a regular file counts as no file), as above.
int DiskReadPartitionsFileAt(int dirFd, DiskPartitionRecord& record);

// Reads Partitions.txt from a mounted partition of the whole disk (the device number of a block
// device): the first partition, by number, whose whole file system is mounted and holds the file.
// 0 read (with where, its path), -1 no partition of the disk is mounted, -2 none holds the file;
// the record is zeroed first in every case.
int DiskReadMountedPartitionsFile(u64 disk, DiskPartitionRecord& record, std::string* where = nullptr);

// Partition table styles, as the system reports them.
enum : u32 { DISK_STYLE_MBR = 0, DISK_STYLE_GPT = 1, DISK_STYLE_RAW = 2 };

// What a partition table says of a disk and of one of its partitions.
struct DiskTableEntry {
  u32 style = DISK_STYLE_RAW;
  u32 diskSignature = 0;           // MBR
  std::array<u8, 16> diskGuid{};   // GPT, as stored
  bool found = false;              // the entry below was found
  u32 number = 0;                  // as the system numbers partitions: 1-4 primary, 5 on logical; GPT index + 1
  u64 start = 0;                   // sectors
  u64 count = 0;
  u8 mbrType = 0;
  bool boot = false;
  std::array<u8, 16> typeGuid{};   // GPT, as stored
  std::array<u8, 16> uniqueGuid{};
  u64 attributes = 0;
  std::string name;                // GPT, UTF-8
};

// Reads a disk's table through read (one 512-byte sector; false when it cannot be read) and, when
// start is not 0, the entry of the partition that starts at that sector. A disk that holds one
// volume without a table, or nothing, is of style RAW. False when sector 0 cannot be read.
bool DiskFindTableEntry(const std::function<bool(u64 sector, u8* out)>& read, u64 total, u64 start,
                        DiskTableEntry* entry);

// A GUID as text ("0fc63daf-8483-4772-8e79-3d69d8477de4"), from its stored bytes.
std::string DiskGuidText(const std::array<u8, 16>& guid);

// UTF-16LE text of at most units units (up to a NUL) as UTF-8.
std::string DiskUtf16Text(const u8* le, int units);
