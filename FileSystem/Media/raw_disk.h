// Raw sector access to disk images and block devices, and the open/read/write/close operations over it.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <memory>
#include <string>

// One opened medium: an image file, a whole disk or a partition node. Transfers are all or
// nothing: a short read or write is a failure. Failures leave the Windows last error set.
class RawMedium {
 public:
  virtual ~RawMedium() = default;
  RawMedium() = default;
  RawMedium(const RawMedium&) = delete;
  RawMedium& operator=(const RawMedium&) = delete;

  virtual bool ReadAt(u64 offset, void* data, std::size_t length) = 0;
  virtual bool WriteAt(u64 offset, const void* data, std::size_t length) = 0;
  // Puts written data on the medium itself: a disk's at once, an image's when it is closed.
  virtual bool Flush() = 0;
  // Flushes what was written and lets the medium go; the medium is unusable afterwards.
  virtual bool Close() = 0;
  virtual u64 ByteSize() const = 0;
  virtual u32 SectorSize() const = 0;
  // A disk or partition (read through the sector cache), as against an image file.
  virtual bool IsDisk() const = 0;
  virtual bool ReadOnly() const = 0;
  // The device number of a block device; 0 for an image.
  virtual u64 Device() const { return 0; }
};

// Access modes of DrvOpenSlot.
enum : int { DRV_ACCESS_QUERY = 0, DRV_ACCESS_READ = 1, DRV_ACCESS_READ_WRITE = 2 };

// Tries of every sector transfer.
inline constexpr int DRV_TRIES = 5;

// Opens the image file or block device named by its path (a /dev node or a /dev/disk/by-* link).
// The lock opens a block device exclusively: that fails while the kernel has it or one of its
// partitions mounted, or another program holds it so. Read/write access also keeps out every
// other writer of this program. An image is locked shared for reading and exclusively for
// read/write. Null on failure with the last error set (ERROR_INVALID_DRIVE for a Windows drive
// name or a name that names nothing, ERROR_SHARING_VIOLATION for a medium in use,
// ERROR_INVALID_PARAMETER for a bad access mode) and, with why, a German sentence for the user.
std::unique_ptr<RawMedium> DrvOpenSlot(const char* name, int access, bool lock, std::string* why = nullptr);

// The count of sectors and, with sectorSize, their size; 0 with last error ERROR_INVALID_HANDLE
// without a medium.
u64 DrvGetSectorInfo(const RawMedium* medium, u32* sectorSize);

// Moves count 512-byte sectors from the sector on, trying up to DRV_TRIES times; a transfer that
// lies beyond the medium's end fails at once (ERROR_INVALID_PARAMETER). Without a medium: 0 with
// last error ERROR_INVALID_HANDLE.
BOOL DrvReadSectors(RawMedium* medium, u64 sector, u32 count, void* buffer);
BOOL DrvWriteSectors(RawMedium* medium, u64 sector, u32 count, const void* buffer);

// Flushes and closes the medium (keep is accepted for the callers' sake: nothing is given back
// to the system here, as nothing was taken away). The result of closing; 0 with last error
// ERROR_INVALID_HANDLE without a medium.
BOOL DrvCloseSlot(std::unique_ptr<RawMedium>& medium, bool keep);

// Transfers in one call on the image or device named: open, move count 512-byte sectors, close.
// Reading shares the medium; writing holds it alone, a device exclusively, so that nothing is
// written under a mounted file system (ERROR_SHARING_VIOLATION while one is). FALSE with the last
// error set.
BOOL DrvReadTargetSectors(const char* name, u64 sector, u32 count, void* buffer);
BOOL DrvWriteTargetSectors(const char* name, u64 sector, u32 count, const void* buffer);

// Whether a name is one of the Windows forms of a disk or volume ("\\.\PhysicalDrive0",
// "Physical1", "PhysicalE", "E:", "\\.\E:"), which name nothing here.
bool DrvIsWindowsDiskName(const char* name);
