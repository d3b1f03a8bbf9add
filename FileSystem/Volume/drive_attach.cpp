// Drive table: attaching and detaching images and disks, their partitions and file systems.
#include "FileSystem/Volume/drive_table.h"

#include "FileSystem/Media/partitions.h"
#include "FileSystem/Media/raw_devices.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace {

void ClearEntry(DiskDriveTable& table, int d) {
  table.fileSystem[d].reset();
  table.ownedMedium[d].reset();
  table.ownedCache[d].reset();
  table.medium[d] = nullptr;
  table.cache[d] = nullptr;
  table.fsType[d] = DISK_TYPE_FREE;
  table.nameIndex[d] = 0;
  table.access[d] = DISK_ACCESS_FREE;
  table.described[d] = 0;
  table.attachMode[d] = 0;
  table.link[d] = 0;
  table.startSector[d] = 0;
  table.sectorCount[d] = 0;
}

// Forgets the table's references to a drive that goes.
void ForgetDrive(DiskDriveTable& table, int d) {
  if (table.nameIndex[d]) table.nameMap[table.nameIndex[d] - 1] = 0;
  if (table.currentDrive == static_cast<u32>(d + 1)) {
    table.currentDrive = 0;
    table.currentPath = "/";
  }
  if (table.fixedDrive == static_cast<u32>(d + 1)) table.fixedDrive = 0;
}

// Takes a partition entry back out of the table: false when its volume could not write out
// what it held.
bool RemovePartition(DiskDriveTable& table, int p) {
  const int container = static_cast<int>(table.link[p]);
  bool ok = true;
  if (table.fileSystem[p]) {
    table.fileSystem[p]->Unmount();
    ok = !table.fileSystem[p]->UnmountFailed();
  }
  ForgetDrive(table, p);
  ClearEntry(table, p);
  --table.driveCount;
  --table.partitionCount;
  --table.link[container];
  return ok;
}

bool IsContainer(const DiskDriveTable& table, int c) {
  return c >= 0 && c < DISK_MAX_DRIVES && table.access[c] != DISK_ACCESS_FREE &&
         table.fsType[c] == DISK_TYPE_CONTAINER;
}

int AttachFail(DiskDriveTable& table, DWORD code, std::string text) {
  table.message = std::move(text);
  SetLastError(code);
  return 0;
}

// Whether a partition of the container overlaps a partition of its disk that the system has
// mounted (or the disk is mounted whole).
bool OverlapsMounted(const DiskDriveTable& table, int container, u64 disk) {
  std::vector<DrvBlockDevice> mounted;
  const std::vector<DrvMount> mounts = DrvMounts();
  auto isMounted = [&](u64 device) {
    return std::any_of(mounts.begin(), mounts.end(), [&](const DrvMount& m) { return m.device == device; });
  };
  if (isMounted(disk)) return true;
  for (const DrvBlockDevice& part : DrvPartitionsOf(disk))
    if (isMounted(part.device)) mounted.push_back(part);
  for (int p = 0; p < DISK_MAX_DRIVES; ++p) {
    if (p == container || table.fsType[p] < DISK_TYPE_NO_FS || table.link[p] != static_cast<u32>(container)) continue;
    for (const DrvBlockDevice& m : mounted)
      if (table.startSector[p] < m.start + m.size && m.start < table.startSector[p] + table.sectorCount[p]) return true;
  }
  return false;
}

// A disk scanned read-only is opened again for writing: exclusively, unless its only partition
// is one that Partitions.txt described, which may be written beside the mounted partition that
// holds the file (never over a mounted one). The new medium replaces the old one in the
// container and its partitions; false with the table's message set when it cannot be opened.
bool ReopenForWriting(DiskDriveTable& table, int c, const char* name) {
  bool described = false;
  for (int p = 0; p < DISK_MAX_DRIVES; ++p)
    if (p != c && table.link[p] == static_cast<u32>(c) && table.fsType[p] >= DISK_TYPE_FAT && table.described[p])
      described = true;
  RawMedium* old = table.medium[c];
  const bool lock = table.link[c] >= 2 || !described || OverlapsMounted(table, c, old->Device());
  std::string why;
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ_WRITE, lock, &why);
  if (!medium) {
    table.message = std::move(why);
    return false;
  }
  if (medium->Device() != old->Device() || medium->ByteSize() != old->ByteSize()) {
    table.message = FmtString("Das Laufwerk %s hat sich beim Öffnen geändert.", name);
    SetLastError(ERROR_INVALID_DRIVE);
    return false;
  }
  for (int d = 0; d < DISK_MAX_DRIVES; ++d)
    if (table.medium[d] == old) table.medium[d] = medium.get();
  table.ownedMedium[c] = std::move(medium);
  // What was read before is read again through the new medium.
  if (table.cache[c]) DiskCacheInit(*table.cache[c]);
  return true;
}

// reopen: the medium is a disk opened read-only for a read/write attach.
int AttachOpened(DiskDriveTable& table, std::unique_ptr<RawMedium> medium, const char* name, u32 mode,
                 int* firstDrive, u32 partitionSelector, bool reopen) {
  if (!name) name = "";
  int slot = -1;
  for (int d = 0; d < DISK_MAX_DRIVES && slot < 0; ++d)
    if (table.access[d] == DISK_ACCESS_FREE) slot = d;
  if (slot < 0) return AttachFail(table, ERROR_TOO_MANY_OPEN_FILES, "Es sind schon acht Laufwerke angemeldet.");

  const bool readOnly = (mode & DISK_ATTACH_READ_ONLY) || (!reopen && medium->ReadOnly());
  u64 count = 0;
  if (!medium->IsDisk()) {
    if (medium->ByteSize() < 1024)
      return AttachFail(table, ERROR_INVALID_DRIVE, FmtString("Das Abbild %s ist kleiner als 1024 Bytes.", name));
    table.access[slot] = readOnly ? DISK_ACCESS_IMAGE_RO : DISK_ACCESS_IMAGE_RW;
    count = medium->ByteSize() / 512;
  } else {
    u32 sectorSize = 0;
    count = DrvGetSectorInfo(medium.get(), &sectorSize);
    if (sectorSize != 512)
      return AttachFail(table, ERROR_NOT_SUPPORTED,
                        FmtString("Das Laufwerk %s hat Sektoren zu %u Bytes; nur 512 Bytes werden unterstützt.",
                                  name, sectorSize));
    table.access[slot] = readOnly ? DISK_ACCESS_DISK_RO : DISK_ACCESS_DISK_RW;
    table.ownedCache[slot] = std::make_unique<DiskSectorCache>();
    DiskCacheInit(*table.ownedCache[slot]);
    table.cache[slot] = table.ownedCache[slot].get();
  }
  table.medium[slot] = medium.get();
  table.ownedMedium[slot] = std::move(medium);
  table.fsType[slot] = DISK_TYPE_CONTAINER;
  table.attachMode[slot] = mode;
  table.startSector[slot] = 0;
  table.sectorCount[slot] = count;
  ++table.driveCount;

  // Partitions that the table does not list may be described by Partitions.txt on a mounted
  // partition of the same disk.
  DiskPartitionRecord record;
  if (const u64 device = table.medium[slot]->Device()) DiskReadMountedPartitionsFile(device, record);
  const int found =
      DiskScanPartitions(table, slot, partitionSelector, (mode & DISK_ATTACH_DROP_UNMOUNTABLE) != 0, record);
  if (found == 0) {
    const DWORD code = GetLastError() == ERROR_READ_FAULT ? ERROR_READ_FAULT : ERROR_INVALID_DRIVE;
    DiskDetach(table, slot + 1);
    if (code == ERROR_READ_FAULT)
      return AttachFail(table, code, FmtString("Der Anfang von %s kann nicht gelesen werden.", name));
    return AttachFail(table, code, FmtString("Auf %s wurde keine Partition gefunden, die gelesen werden kann.", name));
  }

  if (reopen && !ReopenForWriting(table, slot, name)) {
    const DWORD code = GetLastError();
    std::string why = std::move(table.message);
    DiskDetach(table, slot + 1);
    return AttachFail(table, code, std::move(why));
  }

  std::string dropped;  // why the partitions dropped did not mount
  for (int p = 0; p < DISK_MAX_DRIVES; ++p) {
    if (p == slot || table.fsType[p] < DISK_TYPE_FAT || table.link[p] != static_cast<u32>(slot)) continue;
    table.attachMode[p] = mode;
    table.cache[p] = table.cache[slot];
    if (DiskMountDrive(table, slot, p)) continue;
    if (mode & DISK_ATTACH_DROP_UNMOUNTABLE) {
      if (!table.note[p].empty()) dropped += (dropped.empty() ? "" : " ") + table.note[p];
      RemovePartition(table, p);
    } else {
      table.fsType[p] = DISK_TYPE_NO_FS;
    }
  }

  if ((mode & DISK_ATTACH_FIXED_DRIVE) && table.driveCount <= 2 && table.partitionCount == 1) {
    for (int p = 0; p < DISK_MAX_DRIVES; ++p)
      if (table.fsType[p] > DISK_TYPE_NO_FS) {
        table.fixedDrive = static_cast<u32>(p + 1);
        break;
      }
  }
  if (firstDrive) *firstDrive = slot + 1;
  table.message.clear();
  if (table.link[slot] == 0) table.message = std::move(dropped);
  return 1 + static_cast<int>(table.link[slot]);
}

// Mode 8: a table in use is detached first, so that nothing stays open or unwritten.
void ClearTable(DiskDriveTable& table) {
  DiskDetach(table, 0);
  table.driveCount = 0;
  table.partitionCount = 0;
  table.currentDrive = 0;
  table.fixedDrive = 0;
  table.currentPath = "/";
  table.nameMap.fill(0);
}

}  // namespace

DiskDriveTable::~DiskDriveTable() { DiskDetach(*this, 0); }

int DiskAttach(DiskDriveTable& table, const char* name, u32 mode, int* firstDrive, u32 partitionSelector) {
  if (firstDrive) *firstDrive = -1;
  if (mode & DISK_ATTACH_CLEAR) ClearTable(table);
  if (!name || !*name)
    return AttachFail(table, ERROR_INVALID_DRIVE, "Es wurde kein Abbild und kein Laufwerk angegeben.");
  if (table.driveCount >= DISK_MAX_DRIVES)
    return AttachFail(table, ERROR_TOO_MANY_OPEN_FILES, "Es sind schon acht Laufwerke angemeldet.");
  std::string why;
  // A disk is scanned read-only and opened for writing once its partitions are known; an image
  // is opened as it will be used.
  const bool write = !(mode & DISK_ATTACH_READ_ONLY);
  struct stat st{};
  const bool device = ::stat(name, &st) == 0 && S_ISBLK(st.st_mode);
  auto medium = DrvOpenSlot(name, write && !device ? DRV_ACCESS_READ_WRITE : DRV_ACCESS_READ, false, &why);
  if (!medium) return AttachFail(table, GetLastError(), std::move(why));
  // (Also for a name that became a device after the look: nothing is written before the reopen.)
  const bool reopen = write && medium->IsDisk();
  return AttachOpened(table, std::move(medium), name, mode, firstDrive, partitionSelector, reopen);
}

int DiskAttachMedium(DiskDriveTable& table, std::unique_ptr<RawMedium> medium, const char* name, u32 mode,
                     int* firstDrive, u32 partitionSelector) {
  if (firstDrive) *firstDrive = -1;
  if (mode & DISK_ATTACH_CLEAR) ClearTable(table);
  if (!medium) return AttachFail(table, ERROR_INVALID_HANDLE, "Es wurde kein Abbild und kein Laufwerk angegeben.");
  return AttachOpened(table, std::move(medium), name, mode, firstDrive, partitionSelector, false);
}

int DiskDetach(DiskDriveTable& table, int containerNumber) {
  if (containerNumber == 0) {
    int ok = 1;
    for (int d = 0; d < DISK_MAX_DRIVES; ++d)
      if (table.fsType[d] == DISK_TYPE_CONTAINER && !DiskDetach(table, d + 1)) ok = 0;
    return ok;
  }
  const int c = containerNumber - 1;
  if (c < 0 || c >= DISK_MAX_DRIVES || table.fsType[c] != DISK_TYPE_CONTAINER) return 0;
  bool written = true;
  for (int p = 0; p < DISK_MAX_DRIVES; ++p)
    if (p != c && table.fsType[p] != DISK_TYPE_FREE && table.medium[p] == table.medium[c])
      written = RemovePartition(table, p) && written;
  const BOOL closed = (table.ownedMedium[c] ? DrvCloseSlot(table.ownedMedium[c], false) : TRUE) && written;
  ForgetDrive(table, c);
  ClearEntry(table, c);
  --table.driveCount;
  if (table.driveCount == 0) table.fixedDrive = 0;
  return closed ? 1 : 0;
}

int DiskMountDrive(DiskDriveTable& table, int container, int drive) {
  if (DiskStatus(table, drive) == DISK_ERROR || DiskStatus(table, container) == DISK_ERROR || table.fsType[drive] < DISK_TYPE_FAT ||
      table.fsType[drive] > DISK_TYPE_EXT4)
    return 0;
  DiskEngines& engines = table.engines ? *table.engines : DiskProgramEngines();
  auto volume = engines.Mount(table, drive);
  if (!volume) return 0;
  table.fileSystem[drive] = std::move(volume);
  return 1;
}

int DiskAddPartition(DiskDriveTable& table, int container, u64 start, u64 count, bool dropFlag,
                     bool describedFlag) {
  if (!IsContainer(table, container) || table.driveCount >= DISK_MAX_DRIVES) return 0;
  const u64 total = table.sectorCount[container];
  if (count == 0 || count > total || start > total - count) return 0;
  // Two engines must never write the same sectors.
  for (int p = 0; p < DISK_MAX_DRIVES; ++p) {
    if (p == container || table.fsType[p] == DISK_TYPE_FREE || table.medium[p] != table.medium[container]) continue;
    if (start < table.startSector[p] + table.sectorCount[p] && table.startSector[p] < start + count) return 0;
  }
  u8 head[2048] = {};
  const u32 readable = static_cast<u32>(std::min<u64>(count, 4));
  u8 type = DISK_TYPE_NO_FS;
  if (DiskRead(table, container, head, start, readable) == DISK_OK) type = DiskSniffFileSystem(head);
  if (type == DISK_TYPE_NO_FS && dropFlag) return 0;

  int slot = -1;
  for (int d = 0; d < DISK_MAX_DRIVES && slot < 0; ++d)
    if (table.access[d] == DISK_ACCESS_FREE) slot = d;
  if (slot < 0) return 0;
  u8 nameIndex = 0;
  for (u8 index = 1; index <= 43 && !nameIndex; ++index) {
    if (index == 11) index = 18;  // "0"-"9", then "A"-"Z"
    if (!table.nameMap[index - 1]) nameIndex = index;
  }
  if (!nameIndex) return 0;
  table.nameMap[nameIndex - 1] = static_cast<u8>(slot + 1);
  table.nameIndex[slot] = nameIndex;
  table.medium[slot] = table.medium[container];
  table.cache[slot] = table.cache[container];
  table.access[slot] = table.access[container];
  table.fsType[slot] = type;
  table.described[slot] = describedFlag ? 1 : 0;
  table.attachMode[slot] = table.attachMode[container];
  table.link[slot] = static_cast<u32>(container);
  table.startSector[slot] = table.startSector[container] + start;
  table.sectorCount[slot] = count;
  ++table.link[container];
  ++table.partitionCount;
  ++table.driveCount;
  return 1;
}

int DiskScanPartitions(DiskDriveTable& table, int container, u32 partitionSelector, bool dropFlag,
                       const DiskPartitionRecord& record) {
  if (!IsContainer(table, container)) return 0;
  const auto read = [&](u64 sector, u32 count, void* out) {
    return DiskRead(table, container, out, sector, count) == DISK_OK;
  };
  const auto add = [&](u64 start, u64 count, bool described) {
    return DiskAddPartition(table, container, start, count, dropFlag, described) != 0;
  };
  return DiskFindPartitions(read, table.sectorCount[container], partitionSelector, record, add);
}
