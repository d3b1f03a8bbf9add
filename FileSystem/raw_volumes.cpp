// Partition information, volume geometry and information, identities and the search by identity.
#include "FileSystem/raw_volumes.h"

#include "FileSystem/drive_table.h"
#include "FileSystem/raw_devices.h"
#include "FileSystem/volume_api.h"
#include "lib/system/sys_fdio.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

namespace {

using SectorReader = std::function<bool(u64 sector, u8* out)>;

u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
u64 Le64(const u8* p) { return u64{Le32(p)} | u64{Le32(p + 4)} << 32; }

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

SectorReader FdReader(int fd) {
  return [fd](u64 sector, u8* out) {
    if (SysPreadAll(fd, out, 512, sector * 512)) return true;
    SetLastError(errno ? Win32ErrorFromErrno(errno) : ERROR_HANDLE_EOF);
    return false;
  };
}

// Text of a fixed field: up to a NUL, trailing blanks dropped.
std::string FieldText(const u8* p, std::size_t length) {
  std::string text(reinterpret_cast<const char*>(p), length);
  text.resize(std::strlen(text.c_str()));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// What the first sectors of a volume say of its file system.
struct FsFacts {
  bool known = false;
  std::string fileSystem, label, uuid;
  u32 serial = 0;
};

// The label entry of the exFAT root folder (its first cluster, at most 16 sectors of it).
std::string ExfatLabel(const u8* boot, const SectorReader& read) {
  const u32 sectorShift = boot[108], clusterShift = boot[109];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return {};
  const u32 root = Le32(boot + 96);
  if (root < 2) return {};
  const u64 first = (u64{Le32(boot + 88)} << sectorShift) / 512 + (u64{root - 2} << (sectorShift + clusterShift)) / 512;
  const u64 sectors = std::min<u64>(u64{1} << (sectorShift + clusterShift - 9), 16);
  u8 sector[512];
  for (u64 s = 0; s < sectors; ++s) {
    if (!read(first + s, sector)) return {};
    for (int e = 0; e < 512; e += 32) {
      if (sector[e] == 0x00) return {};
      if (sector[e] == 0x83) return DiskUtf16Text(sector + e + 2, std::min<int>(sector[e + 1], 11));
    }
  }
  return {};
}

std::string Ext4Kind(const u8* sb) {
  const u32 compat = Le32(sb + 0x5C), incompat = Le32(sb + 0x60), roCompat = Le32(sb + 0x64);
  // Extents, 64-bit, flex_bg; huge files, group checksums, dir_nlink, extra isize, metadata checksums.
  if ((incompat & (0x40 | 0x80 | 0x200)) || (roCompat & (0x08 | 0x10 | 0x20 | 0x40 | 0x400))) return "ext4";
  return (compat & 0x04) ? "ext3" : "ext2";
}

// head: the volume's first 2048 bytes; read: its sectors.
FsFacts ReadFacts(const u8* head, const SectorReader& read) {
  FsFacts f;
  switch (DiskSniffFileSystem(head)) {
    case DISK_TYPE_FAT: {
      const bool fat32 = Le16(head + 22) == 0;
      const u8* ext = head + (fat32 ? 64 : 36);  // drive number, reserved, signature, serial, label
      f.fileSystem = fat32 ? "FAT32" : "FAT";
      if (ext[2] == 0x28 || ext[2] == 0x29) {
        f.serial = Le32(ext + 3);
        f.uuid = FmtString("%04X-%04X", f.serial >> 16, f.serial & 0xFFFF);
      }
      if (ext[2] == 0x29) f.label = FieldText(ext + 7, 11);
      if (f.label == "NO NAME") f.label.clear();
      break;
    }
    case DISK_TYPE_EXFAT:
      f.fileSystem = "exFAT";
      f.serial = Le32(head + 100);
      f.uuid = FmtString("%04X-%04X", f.serial >> 16, f.serial & 0xFFFF);
      f.label = ExfatLabel(head, read);
      break;
    case DISK_TYPE_EXT4: {
      const u8* sb = head + 1024;
      const u8* u = sb + 0x68;
      f.fileSystem = Ext4Kind(sb);
      f.serial = u32{u[0]} << 24 | u32{u[1]} << 16 | u32{u[2]} << 8 | u[3];
      f.uuid = FmtString("%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1], u[2],
                         u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
      f.label = FieldText(sb + 0x78, 16);
      break;
    }
    default:
      if (std::memcmp(head + 3, "NTFS    ", 8) == 0) {
        f.fileSystem = "NTFS";
        f.serial = Le32(head + 0x48);
        f.uuid = FmtString("%016llX", static_cast<unsigned long long>(Le64(head + 0x48)));
        break;
      }
      return f;
  }
  f.known = true;
  return f;
}

std::string PartUuidText(const DiskTableEntry& e) {
  if (!e.found) return {};
  if (e.style == DISK_STYLE_GPT) return DiskGuidText(e.uniqueGuid);
  if (e.style == DISK_STYLE_MBR && e.diskSignature) return FmtString("%08x-%02x", e.diskSignature, e.number);
  return {};
}

// The table entry of a partition node, read from its disk.
bool EntryOfPartition(const DrvBlockDevice& partition, DiskTableEntry* entry) {
  DrvBlockDevice disk;
  if (!DrvDescribeDevice(partition.disk, &disk)) return Fail(ERROR_DEV_NOT_EXIST);
  const SysFd fd = DrvOpenDeviceNode(disk);
  if (!fd) return Fail(ERROR_INVALID_DRIVE);
  return DiskFindTableEntry(FdReader(fd.Get()), disk.size, partition.start, entry);
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
  SectorReader Reader() {
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

bool IdentityMatches(const std::string& value, const std::string& pattern) {
  std::string lower = value;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !lower.empty() && StrWildcardCompareA(lower.c_str(), pattern.c_str()) == 0;
}

// The identity of a block device as read from it.
DrvVolumeIdentity DeviceIdentity(const DrvBlockDevice& d) {
  DrvVolumeIdentity id;
  const SysFd fd = DrvOpenDeviceNode(d);
  if (!fd) return id;
  u8 head[2048] = {};
  if (d.size >= 4 && SysPreadAll(fd.Get(), head, sizeof head, 0)) id.uuid = ReadFacts(head, FdReader(fd.Get())).uuid;
  DiskTableEntry entry;
  if (d.partition && EntryOfPartition(d, &entry)) id.partUuid = PartUuidText(entry);
  return id;
}

}  // namespace

BOOL DrvGetPartitionInfoEx(RawMedium* medium, DrvPartitionInfo* info) {
  if (!medium) return Fail(ERROR_INVALID_HANDLE);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  *info = DrvPartitionInfo{};
  DrvBlockDevice self;
  if (medium->Device() && DrvDescribeDevice(medium->Device(), &self) && self.partition) {
    if (!EntryOfPartition(self, &info->table)) return FALSE;
    info->startingOffset = self.start * 512;
    info->length = self.size * 512;
    info->number = self.partition;
  } else {
    const SectorReader read = [medium](u64 sector, u8* out) { return medium->ReadAt(sector * 512, out, 512); };
    if (!DiskFindTableEntry(read, medium->ByteSize() / 512, 0, &info->table)) return FALSE;
    info->length = medium->ByteSize();
  }
  info->style = info->table.style;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DrvGetPartitionInfoEx(const char* name, DrvPartitionInfo* info) {
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ, false);
  if (!medium) return FALSE;
  return DrvGetPartitionInfoEx(medium.get(), info);
}

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
  const FsFacts facts = ReadFacts(head, v.Reader());
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
  identity->uuid = ReadFacts(head, v.Reader()).uuid;
  DiskTableEntry entry;
  const u64 start = v.table.startSector[static_cast<std::size_t>(v.drive)];
  if (start != 0) {
    const SectorReader read = [&v](u64 sector, u8* out) {
      return DiskRead(v.table, v.container, out, sector, 1) == DISK_OK || Fail(ERROR_READ_FAULT);
    };
    if (DiskFindTableEntry(read, v.table.sectorCount[static_cast<std::size_t>(v.container)], start, &entry))
      identity->partUuid = PartUuidText(entry);
  } else if (v.device.partition && EntryOfPartition(v.device, &entry)) {
    identity->partUuid = PartUuidText(entry);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

int DrvFindVolume(const char* identity, std::string* device) {
  if (device) device->clear();
  if (!identity) return Fail(ERROR_INVALID_PARAMETER);
  std::string text = identity;
  bool byUuid = true, byPartUuid = true;
  for (const auto& [prefix, uuid] : {std::pair<const char*, bool>{"/dev/disk/by-uuid/", true},
                                     {"/dev/disk/by-partuuid/", false}, {"UUID=", true}, {"PARTUUID=", false}}) {
    if (text.rfind(prefix, 0) == 0) {
      text.erase(0, std::strlen(prefix));
      byUuid = uuid;
      byPartUuid = !uuid;
      break;
    }
  }
  if (text.empty() || text.find('/') != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  std::map<std::string, DrvBlockDevice> found;  // by kernel name
  for (const auto& [folder, wanted] : {std::pair<const char*, bool>{"/dev/disk/by-uuid", byUuid},
                                      {"/dev/disk/by-partuuid", byPartUuid}}) {
    if (!wanted) continue;
    for (const std::string& link : DrvFolderEntries(folder)) {
      struct stat st{};
      DrvBlockDevice d;
      if (IdentityMatches(link, text) && ::stat((std::string(folder) + "/" + link).c_str(), &st) == 0 &&
          S_ISBLK(st.st_mode) && DrvDescribeDevice(st.st_rdev, &d))
        found.emplace(d.name, d);
    }
  }
  for (const DrvBlockDevice& d : DrvBlockDevices()) {
    if (found.count(d.name)) continue;
    const DrvVolumeIdentity id = DeviceIdentity(d);
    if ((byUuid && IdentityMatches(id.uuid, text)) || (byPartUuid && IdentityMatches(id.partUuid, text)))
      found.emplace(d.name, d);
  }
  if (found.empty()) return Fail(ERROR_INVALID_DRIVE);
  if (device) *device = DrvDeviceNode(found.begin()->second);
  SetLastError(ERROR_SUCCESS);
  return static_cast<int>(found.size());
}
