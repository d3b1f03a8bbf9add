// Volume queries by the name of an image or device: size and free room, file system, label and identity.
#include "FileSystem/Volume/volume_info.h"

#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "platform/last_error.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

namespace {

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

bool Mounted(u64 device) { return device && DrvOpenMountRoot(device).Valid(); }

// One volume of a name, attached read-only.
struct Volume {
  DiskDriveTable table;
  int container = -1;
  int drive = -1;
  DrvBlockDevice device;  // the container's block device (device 0 for an image)
  u64 mounted = 0;        // the device whose file system, mounted by the system, is this volume

  bool Read(u64 sector, u8* out) {
    if (sector >= table.sectorCount[static_cast<std::size_t>(drive)]) return Fail(ERROR_HANDLE_EOF);
    return DiskRead(table, drive, out, sector, 1) == DISK_OK || Fail(ERROR_READ_FAULT);
  }
  DrvSectorReader Reader() {
    return [this](u64 sector, u8* out) { return Read(sector, out); };
  }
  std::string Path() const {
    return std::string("/") + DiskVolumeName(table.nameIndex[static_cast<std::size_t>(drive)]);
  }
};

// 1 opened, 0 failure (last error set), -1 no volume on the medium.
int OpenVolume(const char* name, u32 partition, Volume& v) {
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ, false);
  if (!medium) return 0;
  if (const u64 device = medium->Device(); device && !DrvDescribeDevice(device, &v.device)) v.device.device = device;
  int first = -1;
  if (!DiskAttachMedium(v.table, std::move(medium), name, DISK_ATTACH_READ_ONLY, &first, partition))
    return GetLastError() == ERROR_INVALID_DRIVE ? -1 : 0;
  v.container = first - 1;
  for (std::size_t k = 0; k < v.table.nameMap.size() && v.drive < 0; ++k)
    if (v.table.nameMap[k]) v.drive = v.table.nameMap[k] - 1;
  if (v.drive < 0) return -1;
  const u64 start = v.table.startSector[static_cast<std::size_t>(v.drive)];
  if (start == 0 && Mounted(v.device.device)) {
    v.mounted = v.device.device;
  } else if (v.device.device && !v.device.partition) {
    for (const DrvBlockDevice& p : DrvPartitionsOf(v.device.device))
      if (p.start == start && Mounted(p.device)) v.mounted = p.device;
  }
  return 1;
}

}  // namespace

BOOL DrvGetVolumeGeometry(const char* name, u32 partition, DrvVolumeGeometry* geometry) {
  if (!geometry) return Fail(ERROR_INVALID_PARAMETER);
  *geometry = DrvVolumeGeometry{};
  Volume v;
  const int opened = OpenVolume(name, partition, v);
  if (opened <= 0) return opened < 0 ? Fail(ERROR_UNRECOGNIZED_VOLUME) : FALSE;
  if (v.mounted) {
    const SysFd root = DrvOpenMountRoot(v.mounted, nullptr, &geometry->mountPoint);
    struct statvfs st{};
    if (!root || ::fstatvfs(root.Get(), &st) != 0) return Fail(root ? Win32ErrorFromErrno(errno) : ERROR_NOT_READY);
    geometry->sectorsPerCluster = static_cast<u32>(std::max<u64>(st.f_frsize / 512, 1));
    geometry->totalClusters = st.f_blocks;
    geometry->freeClusters = st.f_bfree;
    geometry->availableClusters = st.f_bavail;
    return TRUE;
  }
  DiskSpace space;
  const int r = DiskGetFreeSpace(v.table, v.Path().c_str(), &space);
  if (r == SYS_ERR_PATH) return Fail(ERROR_UNRECOGNIZED_VOLUME);
  if (r < 0) return Fail(r == SYS_ERR_ACCESS ? ERROR_ACCESS_DENIED : ERROR_READ_FAULT);
  geometry->sectorsPerCluster = space.sectorsPerCluster;
  geometry->totalClusters = space.totalClusters;
  geometry->freeClusters = space.freeClusters;
  geometry->availableClusters = space.availableClusters;
  return TRUE;
}

int DrvGetVolumeInformation(const char* name, u32 partition, DrvVolumeInformation* info) {
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  *info = DrvVolumeInformation{};
  Volume v;
  const int opened = OpenVolume(name, partition, v);
  if (opened < 0) return 1;
  if (opened == 0) return 0;
  u8 head[2048] = {};
  const u64 count = std::min<u64>(v.table.sectorCount[static_cast<std::size_t>(v.drive)], 4);
  if (DiskRead(v.table, v.drive, head, 0, static_cast<u32>(count)) != DISK_OK) return Fail(ERROR_READ_FAULT);
  const DrvVolumeFacts facts = DrvReadVolumeFacts(head, v.Reader());
  info->maxComponentLength = 255;
  if (v.mounted) {
    std::string fsType;
    const SysFd root = DrvOpenMountRoot(v.mounted, &fsType, &info->mountPoint);
    struct statvfs st{};
    if (root && ::fstatvfs(root.Get(), &st) == 0) {
      info->maxComponentLength = static_cast<u32>(st.f_namemax);
      if (st.f_flag & ST_RDONLY) info->flags |= DRV_VOLUME_READ_ONLY;
    }
    info->fileSystem = fsType;
  } else if (!facts.known) {
    return 1;
  }
  if (facts.known) {
    info->fileSystem = facts.fileSystem;
    info->label = facts.label;
    info->serialNumber = facts.serial;
    info->uuid = facts.uuid;
  }
  SetLastError(ERROR_SUCCESS);
  return 2;
}

BOOL DrvGetVolumeIdentity(const char* name, u32 partition, DrvVolumeIdentity* identity) {
  if (!identity) return Fail(ERROR_INVALID_PARAMETER);
  *identity = DrvVolumeIdentity{};
  Volume v;
  const int opened = OpenVolume(name, partition, v);
  if (opened <= 0) return opened < 0 ? Fail(ERROR_UNRECOGNIZED_VOLUME) : FALSE;
  u8 head[2048] = {};
  const u64 count = std::min<u64>(v.table.sectorCount[static_cast<std::size_t>(v.drive)], 4);
  if (DiskRead(v.table, v.drive, head, 0, static_cast<u32>(count)) != DISK_OK) return Fail(ERROR_READ_FAULT);
  identity->uuid = DrvReadVolumeFacts(head, v.Reader()).uuid;
  DiskTableEntry entry;
  const u64 start = v.table.startSector[static_cast<std::size_t>(v.drive)];
  if (start != 0) {
    const DrvSectorReader read = [&v](u64 sector, u8* out) {
      return DiskRead(v.table, v.container, out, sector, 1) == DISK_OK || Fail(ERROR_READ_FAULT);
    };
    if (DiskFindTableEntry(read, v.table.sectorCount[static_cast<std::size_t>(v.container)], start, &entry))
      identity->partUuid = DrvPartUuidText(entry);
  } else if (v.device.partition && DrvEntryOfPartition(v.device, &entry)) {
    identity->partUuid = DrvPartUuidText(entry);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

