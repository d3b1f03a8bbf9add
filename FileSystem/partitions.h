// Partition tables (MBR with extended partitions, GPT), whole volumes, and the Partitions.txt description.
#pragma once

#include "FileSystem/drive_table.h"
#include "platform/win_types.h"

#include <array>

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

// Registers the container's partitions: a whole FAT, exFAT or ext4 volume, else the GPT behind a
// protective MBR, else the MBR with its extended chain. The number registered; 0 when sector 0
// cannot be read or nothing was found.
int DiskScanPartitions(DiskDriveTable& table, int container, u32 partitionSelector, bool dropFlag,
                       const DiskPartitionRecord& record);

// Enters a partition of the container with the file-system type found at its start: 1 entered,
// 0 refused (outside the container, overlapping another, table full, or without a file system
// when dropFlag is set).
int DiskAddPartition(DiskDriveTable& table, int container, u64 start, u64 count, bool dropFlag,
                     bool describedFlag);

// The file-system type of a volume by its first four sectors (2048 bytes).
u8 DiskSniffFileSystem(const u8* sectors);

// Reads a Partitions.txt into the record (zeroed first in every case): 0 read, -1 no path, -2 no
// file.
int DiskReadPartitionsFile(const char* path, DiskPartitionRecord& record);
