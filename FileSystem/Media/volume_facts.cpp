// What the first sectors of a volume say of its file system, label and identity; the search of a volume by its identity.
#include "FileSystem/Media/volume_facts.h"

#include "lib/system/sys_fdio.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

namespace {

u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
u64 Le64(const u8* p) { return u64{Le32(p)} | u64{Le32(p + 4)} << 32; }

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

DrvSectorReader FdReader(int fd) {
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

// The label entry of the exFAT root folder (its first cluster, at most 16 sectors of it).
std::string ExfatLabel(const u8* boot, const DrvSectorReader& read) {
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

bool IdentityMatches(const std::string& value, const std::string& pattern) {
  std::string lower = value;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !lower.empty() && StrWildcardCompareA(lower.c_str(), pattern.c_str()) == 0;
}

}  // namespace

DrvVolumeFacts DrvReadVolumeFacts(const u8* head, const DrvSectorReader& read) {
  DrvVolumeFacts f;
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

std::string DrvPartUuidText(const DiskTableEntry& e) {
  if (!e.found) return {};
  if (e.style == DISK_STYLE_GPT) return DiskGuidText(e.uniqueGuid);
  if (e.style == DISK_STYLE_MBR && e.diskSignature) return FmtString("%08x-%02x", e.diskSignature, e.number);
  return {};
}

bool DrvEntryOfPartition(const DrvBlockDevice& partition, DiskTableEntry* entry) {
  DrvBlockDevice disk;
  if (!DrvDescribeDevice(partition.disk, &disk)) return Fail(ERROR_DEV_NOT_EXIST);
  const SysFd fd = DrvOpenDeviceNode(disk);
  if (!fd) return Fail(ERROR_INVALID_DRIVE);
  return DiskFindTableEntry(FdReader(fd.Get()), disk.size, partition.start, entry);
}

namespace {

// The identity of a block device as read from it.
DrvVolumeIdentity DeviceIdentity(const DrvBlockDevice& d) {
  DrvVolumeIdentity id;
  const SysFd fd = DrvOpenDeviceNode(d);
  if (!fd) return id;
  u8 head[2048] = {};
  if (d.size >= 4 && SysPreadAll(fd.Get(), head, sizeof head, 0)) id.uuid = DrvReadVolumeFacts(head, FdReader(fd.Get())).uuid;
  DiskTableEntry entry;
  if (d.partition && DrvEntryOfPartition(d, &entry)) id.partUuid = DrvPartUuidText(entry);
  return id;
}

}  // namespace

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
