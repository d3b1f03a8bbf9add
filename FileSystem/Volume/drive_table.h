// The drive table of one disk connection and the disk I/O functions through which engines reach a medium.
#pragma once

#include "FileSystem/Media/partitions.h"
#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Media/sector_device.h"
#include "FileSystem/Volume/disk_cache.h"
#include "FileSystem/Volume/disk_volume.h"
#include "platform/win_types.h"

#include <array>
#include <memory>
#include <string>

inline constexpr int DISK_MAX_DRIVES = 8;
inline constexpr int DISK_MAX_NAMES = 64;

// Access of a drive entry; bit 0 set means read-only.
enum : u8 {
  DISK_ACCESS_FREE = 0,
  DISK_ACCESS_IMAGE_RW = 2,
  DISK_ACCESS_IMAGE_RO = 3,
  DISK_ACCESS_DISK_RW = 4,
  DISK_ACCESS_DISK_RO = 5,
};

// DiskAttach mode bits.
enum : u32 {
  DISK_ATTACH_READ_ONLY = 1,
  DISK_ATTACH_DROP_UNMOUNTABLE = 2,
  DISK_ATTACH_FIXED_DRIVE = 4,
  DISK_ATTACH_CLEAR = 8,
};

struct DiskDriveTable;

// A search of the drive list (volume file API): the pattern over volume names and the next drive.
struct DiskListSearch {
  bool used = false;
  std::string pattern;
  int next = 0;
};
inline constexpr int DISK_LIST_SLOTS = 8;

// How a table mounts the file system of a drive (types 3, 4 and 5).
class DiskEngines {
 public:
  virtual ~DiskEngines() = default;
  // The mounted engine object for the drive (read-only when the drive is), or null when the
  // volume does not mount.
  virtual std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) = 0;
};

// The program's own engines; each file-system engine adds its type here.
DiskEngines& DiskProgramEngines();

// The state of one disk connection: the attached images or disks (containers) and their
// partitions, up to eight drives. Detaches everything when it goes.
struct DiskDriveTable {
  DiskDriveTable() = default;
  ~DiskDriveTable();
  DiskDriveTable(const DiskDriveTable&) = delete;
  DiskDriveTable& operator=(const DiskDriveTable&) = delete;

  u32 driveCount = 0;
  u32 partitionCount = 0;
  u32 currentDrive = 0;  // 1-based; 0 = the drive list
  u32 fixedDrive = 0;    // 1-based; 0 = none
  std::string currentPath = "/";

  std::array<std::unique_ptr<DiskVolume>, DISK_MAX_DRIVES> fileSystem;
  // A container owns its medium and cache; its partitions point to them.
  std::array<std::unique_ptr<RawMedium>, DISK_MAX_DRIVES> ownedMedium;
  std::array<std::unique_ptr<DiskSectorCache>, DISK_MAX_DRIVES> ownedCache;
  std::array<RawMedium*, DISK_MAX_DRIVES> medium{};
  std::array<DiskSectorCache*, DISK_MAX_DRIVES> cache{};
  std::array<u8, DISK_MAX_DRIVES> fsType{};
  std::array<u8, DISK_MAX_DRIVES> nameIndex{};  // 1-based; 0 for containers
  std::array<u8, DISK_MAX_DRIVES> access{};
  std::array<u8, DISK_MAX_DRIVES> described{};
  std::array<u32, DISK_MAX_DRIVES> attachMode{};
  std::array<u32, DISK_MAX_DRIVES> link{};  // container: its partition count; partition: its container
  std::array<u64, DISK_MAX_DRIVES> startSector{};
  std::array<u64, DISK_MAX_DRIVES> sectorCount{};
  std::array<u8, DISK_MAX_NAMES> nameMap{};  // by name index - 1: drive index + 1
  std::array<DiskListSearch, DISK_LIST_SLOTS> listSearches;
  int lastListSlot = DISK_LIST_SLOTS - 1;

  // Mounts the file systems; null means the program's own engines.
  DiskEngines* engines = nullptr;
  // Why the last attach failed, in German for the user (empty after a successful one; when every
  // partition was dropped, why they did not mount, as far as their engines said).
  std::string message;
  // Per drive: why its file system did not mount, or what its engine found when it did, in German
  // (empty when nothing was said).
  std::array<std::string, DISK_MAX_DRIVES> note;
};

// The one-character volume name of a name index ("0"-"9", then "A"...).
inline char DiskVolumeName(u8 nameIndex) { return static_cast<char>('0' + nameIndex - 1); }

// 0 for a writable drive, 4 for a read-only one, 1 for a bad or free entry.
int DiskStatus(const DiskDriveTable& table, int drive);
int DiskInitialize(const DiskDriveTable& table, int drive);
// Sectors relative to the drive; sector + count may reach the drive's end, not pass it.
int DiskRead(DiskDriveTable& table, int drive, void* buffer, u64 sector, u32 count);
int DiskWrite(DiskDriveTable& table, int drive, const void* buffer, u64 sector, u32 count);
int DiskIoctl(DiskDriveTable& table, int drive, int command, void* out);

// The sectors of one drive, through which its engine reaches the medium: the disk I/O functions
// on that drive, and its note.
class DiskDriveDevice final : public DiskSectorDevice {
 public:
  DiskDriveDevice(DiskDriveTable& table, int drive) : m_table(&table), m_drive(drive) {}
  int Status() const override;
  u64 SectorCount() const override;
  int Read(void* buffer, u64 sector, u32 count) override;
  int Write(const void* buffer, u64 sector, u32 count) override;
  int Ioctl(int command, void* out) override;
  void Note(std::string text) override;
  bool ReadOnly() const;
  DiskDriveTable& Table() const { return *m_table; }
  int Drive() const { return m_drive; }

 private:
  DiskDriveTable* m_table;
  int m_drive;
};

// Attaches the image or block device named by its path: the number of drives entered (the
// container and its partitions), 0 on failure with the last error and table.message set.
// firstDrive receives -1, and the container's 1-based index on success. The selector is
// DISK_ALL_PARTITIONS or the ordinal of the one partition to register.
int DiskAttach(DiskDriveTable& table, const char* name, u32 mode, int* firstDrive, u32 partitionSelector);
// The same for a medium already open; name only goes into messages.
int DiskAttachMedium(DiskDriveTable& table, std::unique_ptr<RawMedium> medium, const char* name, u32 mode,
                     int* firstDrive, u32 partitionSelector);
// Detaches container n (1-based) with its partitions, or every container for 0: 1, or 0 when a
// medium would not close or a volume could not write out what it held.
int DiskDetach(DiskDriveTable& table, int containerNumber);
// Mounts the file system of a partition: 1 mounted, 0 not.
int DiskMountDrive(DiskDriveTable& table, int container, int drive);

// Registers the container's partitions as drives (DiskFindPartitions): the number registered; 0
// when sector 0 cannot be read or nothing was found.
int DiskScanPartitions(DiskDriveTable& table, int container, u32 partitionSelector, bool dropFlag,
                       const DiskPartitionRecord& record);

// Enters a partition of the container with the file-system type found at its start: 1 entered,
// 0 refused (outside the container, overlapping another, table full, or without a file system
// when dropFlag is set).
int DiskAddPartition(DiskDriveTable& table, int container, u64 start, u64 count, bool dropFlag,
                     bool describedFlag);
