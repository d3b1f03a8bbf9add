// The sectors of one drive as a file-system engine reads and writes them, and what the engine tells of its volume.
#pragma once

#include "platform/win_types.h"

#include <string>

// Results of the disk I/O functions.
enum : int { DISK_OK = 0, DISK_ERROR = 1, DISK_WRITE_PROTECTED = 2, DISK_BAD_PARAMETER = 4 };

// DiskIoctl commands.
enum : int {
  DISK_IOCTL_SYNC = 0,
  DISK_IOCTL_SECTOR_COUNT = 1,  // u32, the low part
  DISK_IOCTL_SECTOR_SIZE = 2,   // u16
  DISK_IOCTL_BLOCK_SIZE = 3,    // u32
  DISK_IOCTL_SECTOR_COUNT64 = 7,
  DISK_IOCTL_READ_ONLY = 8,  // u32
};

// The medium of one volume: 512-byte sectors counted from the volume's start, moved in runs of
// any length in one call. Results as the disk I/O functions give them.
class DiskSectorDevice {
 public:
  virtual ~DiskSectorDevice() = default;
  // DISK_OK when the sectors may be written, DISK_BAD_PARAMETER when they may only be read,
  // DISK_ERROR when the medium is gone.
  virtual int Status() const = 0;
  virtual u64 SectorCount() const = 0;
  // A run may reach the end of the volume, not pass it.
  virtual int Read(void* buffer, u64 sector, u32 count) = 0;
  virtual int Write(const void* buffer, u64 sector, u32 count) = 0;
  // DISK_IOCTL_SYNC puts what was written on the medium.
  virtual int Ioctl(int command, void* out) = 0;
  // What the engine found of its volume that the user should hear (German; empty for nothing):
  // why it is only read, say. It replaces what was said before.
  virtual void Note(std::string text) = 0;
};
