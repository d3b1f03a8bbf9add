// Volume files: handles and their slots, opens, reads and writes, times and sizes, operations by path.
#include "FileSystem/fat_time.h"
#include "FileSystem/volume_internal.h"

#include <cstring>

using namespace disk;

namespace {

constexpr u32 kFatMax = 0xFFFFFFFF;

struct Parts {
  u32 slot;
  int drive;
  int type;
};

Parts Split(DiskHandle h) { return {h >> 16, static_cast<int>((h >> 8) & 0xFF), static_cast<int>(h & 0xFF)}; }

// The open FAT file of a handle, or null.
FatFile* FatFileOf(DiskDriveTable& table, DiskHandle h) {
  const Parts p = Split(h);
  if (p.drive >= DISK_MAX_DRIVES || p.type != DISK_TYPE_FAT || p.slot >= FAT_FILE_SLOTS) return nullptr;
  FatVolume* v = Fat(table, p.drive);
  return v ? v->files[p.slot].get() : nullptr;
}

// A path resolved into a drive with a file system: the FAT object, or a SysError in result.
struct Target {
  int drive = -1;  // 0-based
  FatVolume* fat = nullptr;
  std::string inside;
  int result = SYS_OK;
};

Target Locate(DiskDriveTable& table, const char* path, int missingDrive) {
  Target t;
  const int drive = Resolve(table, path, t.inside);
  if (drive < 0) {
    t.result = drive;
  } else if (drive == 0) {
    t.result = missingDrive;
  } else {
    t.drive = drive - 1;
    t.fat = Fat(table, t.drive);
    if (!t.fat) t.result = SYS_ERR_OTHER;  // no engine serves the drive
  }
  return t;
}

bool ReadOnlyDrive(const DiskDriveTable& table, int drive) { return (table.access[drive] & 1) != 0; }

}  // namespace

namespace disk {

u32 FatAttributeWord(u8 a) {
  u32 word = DISK_ATTR_READABLE;
  if (!(a & FAT_ATTR_READ_ONLY)) word |= DISK_ATTR_WRITABLE;
  if (a & FAT_ATTR_DIRECTORY) word |= DISK_ATTR_FOLDER;
  if (a & FAT_ATTR_HIDDEN) word |= DISK_ATTR_HIDDEN;
  if (a & FAT_ATTR_ARCHIVE) word |= DISK_ATTR_ARCHIVE;
  if (a & FAT_ATTR_SYSTEM) word |= DISK_ATTR_SYSTEM;
  return word;
}

void FatRecord(const FatEntryInfo& info, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = info.isRoot ? DISK_ATTR_FOLDER : FatAttributeWord(info.attributes);
  record.size = (info.attributes & FAT_ATTR_DIRECTORY) ? 0 : info.size;
  record.creation = static_cast<u32>(FatTimeToUtc(info.createDate, info.createTime));
  record.write = static_cast<u32>(FatTimeToUtc(info.writeDate, info.writeTime));
  const std::string name = ToUtf8(info.Name());
  std::memcpy(record.name, name.c_str(), std::min(name.size() + 1, sizeof record.name));
  record.name[sizeof record.name - 1] = '\0';
}

}  // namespace disk

DiskHandle DiskFileOpen(DiskDriveTable& table, const char* path, int mode, int* err) {
  int dummy = 0;
  if (!err) err = &dummy;
  *err = SYS_OK;
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) {
    *err = t.result;
    return 0;
  }
  if ((mode & (DISK_OPEN_WRITE | DISK_OPEN_CREATE)) && ReadOnlyDrive(table, t.drive)) {
    *err = SYS_ERR_ACCESS;
    return 0;
  }
  FatVolume& v = *t.fat;
  const int slot = TakeSlot(v.files, v.lastFileSlot, [](const auto& f) { return f != nullptr; });
  if (slot < 0) {
    *err = SYS_ERR_TOO_MANY_OPEN;
    return 0;
  }
  u8 engineMode = 0;
  if (mode & DISK_OPEN_READ) engineMode |= FAT_READ;
  if (mode & DISK_OPEN_WRITE) engineMode |= FAT_WRITE;
  if (((mode & DISK_OPEN_WRITE) && (mode & DISK_OPEN_TRUNCATE)) || (mode & DISK_OPEN_CREATE))
    engineMode |= FAT_CREATE_ALWAYS;
  auto file = std::make_unique<FatFile>();
  if (const int r = FatOpen(v, *file, ToUtf16(t.inside), engineMode)) {
    *err = MapFat(r);
    return 0;
  }
  v.files[static_cast<std::size_t>(slot)] = std::move(file);
  return static_cast<u32>(slot) << 16 | static_cast<u32>(t.drive) << 8 | DISK_TYPE_FAT;
}

int DiskFileClose(DiskDriveTable& table, DiskHandle handle) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  const int r = FatClose(*f);
  Fat(table, Split(handle).drive)->files[Split(handle).slot].reset();
  return MapFat(r);
}

int DiskFileRead(DiskDriveTable& table, DiskHandle handle, void* buffer, int length) {
  FatFile* f = FatFileOf(table, handle);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatRead(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

int DiskFileWrite(DiskDriveTable& table, DiskHandle handle, const void* buffer, int length) {
  FatFile* f = FatFileOf(table, handle);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatWrite(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

i64 DiskFileSeek(DiskDriveTable& table, DiskHandle handle, i64 offset, int whence) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  i64 base;
  switch (whence) {
    case 0: base = 0; break;
    case 1: base = f->position; break;
    case 2: base = f->size; break;
    default: return SYS_ERR_INVALID;
  }
  if (offset < -static_cast<i64>(kFatMax) || offset > static_cast<i64>(kFatMax)) return SYS_ERR_INVALID;
  const i64 target = base + offset;
  if (target < 0 || target > static_cast<i64>(kFatMax)) return SYS_ERR_INVALID;
  if (const int r = FatSeek(*f, static_cast<u32>(target))) return MapFat(r);
  return f->position;
}

i64 DiskFileTell(DiskDriveTable& table, DiskHandle handle) {
  FatFile* f = FatFileOf(table, handle);
  return f ? static_cast<i64>(f->position) : static_cast<i64>(SYS_ERR_INVALID);
}

int DiskFileFlush(DiskDriveTable& table, DiskHandle handle) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  if (const int r = FatSync(*f)) return MapFat(r);
  return DiskIoctl(table, Split(handle).drive, DISK_IOCTL_SYNC, nullptr) == DISK_OK ? SYS_OK : SYS_ERR_OTHER;
}

int DiskGetFileTime(DiskDriveTable& table, DiskHandle handle, u32* write, u32* creation, u32* access) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  const u32 w = f->storedWrite;
  const u32 c = f->storedCreate;
  if (write)
    *write = static_cast<u32>(w ? FatTimeToUtc(static_cast<u16>(w >> 16), static_cast<u16>(w))
                                : FatTimeToUtc(info.writeDate, info.writeTime));
  if (creation)
    *creation = static_cast<u32>(c ? FatTimeToUtc(static_cast<u16>(c >> 16), static_cast<u16>(c))
                                   : FatTimeToUtc(info.createDate, info.createTime));
  if (access) *access = 0;
  return SYS_OK;
}

int DiskSetFileTime(DiskDriveTable& table, DiskHandle handle, u32 write, u32 creation, u32) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  if (!(f->flags & FAT_WRITE)) return SYS_ERR_ACCESS;
  if (write)
    if (const u32 t = UtcToFatTime(write)) {
      f->storedWrite = t;
      f->flags |= FAT_FILE_MODIFIED;
    }
  if (creation)
    if (const u32 t = UtcToFatTime(creation)) {
      f->storedCreate = t;
      f->flags |= FAT_FILE_MODIFIED;
    }
  return SYS_OK;
}

i64 DiskGetFileSize(DiskDriveTable& table, DiskHandle handle) {
  FatFile* f = FatFileOf(table, handle);
  return f ? static_cast<i64>(f->size) : -1;
}

int DiskSetFileSize(DiskDriveTable& table, DiskHandle handle, u64 size) {
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  if (!(f->flags & FAT_WRITE)) return SYS_ERR_ACCESS;
  if (size > kFatMax) return SYS_ERR_DISK_FULL;
  const u32 old = f->position;
  if (const int r = FatSeek(*f, static_cast<u32>(size))) return MapFat(r);
  if (const int r = FatTruncate(*f)) return MapFat(r);
  // A position beyond the new end is kept; the next write fills the gap with zeros.
  f->position = old;
  return SYS_OK;
}

int DiskReadDirEntry(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record) {
  FatFile* f = FatFileOf(table, handle);
  if (!f || !record) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  FatRecord(info, *record);
  return SYS_OK;
}

// ---- by path -------------------------------------------------------------------------------------

namespace {

// Status of a path: SYS_OK with the entry (the root too), or a SysError. A path ending in "/"
// must name a folder.
int StatPath(DiskDriveTable& table, const char* path, FatEntryInfo& info, bool& list) {
  list = false;
  Target t = Locate(table, path, SYS_OK);
  if (t.result) return t.result;
  if (t.drive < 0) {
    list = true;
    return SYS_OK;
  }
  if (const int r = FatStat(*t.fat, ToUtf16(t.inside), info)) return MapFat(r);
  const std::size_t length = path ? std::strlen(path) : 0;
  if (length && (path[length - 1] == '/' || path[length - 1] == '\\') && !(info.attributes & FAT_ATTR_DIRECTORY) &&
      !info.isRoot)
    return SYS_ERR_NOT_FOUND;
  return SYS_OK;
}

}  // namespace

i64 DiskGetFileSizeByPath(DiskDriveTable& table, const char* path) {
  FatEntryInfo info;
  bool list = false;
  if (const int r = StatPath(table, path, info, list)) return r;
  return list || (info.attributes & FAT_ATTR_DIRECTORY) ? 0 : static_cast<i64>(info.size);
}

int DiskPathKind(DiskDriveTable& table, const char* path) {
  FatEntryInfo info;
  bool list = false;
  if (StatPath(table, path, info, list) != SYS_OK) return 0;
  return list || info.isRoot || (info.attributes & FAT_ATTR_DIRECTORY) ? 2 : 1;
}

int DiskFileInfo(DiskDriveTable& table, const char* path) {
  FatEntryInfo info;
  bool list = false;
  if (const int r = StatPath(table, path, info, list)) return r;
  if (list || info.isRoot) return DISK_ATTR_FOLDER;
  return static_cast<int>(FatAttributeWord(info.attributes));
}

int DiskMkdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) return t.result;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  return MapFat(FatMkdir(*t.fat, ToUtf16(t.inside)));
}

int DiskRmdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) return t.result;
  const std::u16string inside = ToUtf16(t.inside);
  FatEntryInfo info;
  if (const int r = FatStat(*t.fat, inside, info)) return MapFat(r);
  if (!(info.attributes & FAT_ATTR_DIRECTORY) || info.isRoot) return info.isRoot ? SYS_ERR_ACCESS : SYS_ERR_PATH;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  return MapFat(FatUnlink(*t.fat, inside));
}

int DiskDelete(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_NOT_FOUND);
  if (t.result) return t.result;
  const std::u16string inside = ToUtf16(t.inside);
  FatEntryInfo info;
  if (const int r = FatStat(*t.fat, inside, info)) return MapFat(r);
  if ((info.attributes & FAT_ATTR_DIRECTORY) || info.isRoot) return SYS_ERR_NOT_FOUND;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  return MapFat(FatUnlink(*t.fat, inside));
}

int DiskRename(DiskDriveTable& table, const char* oldPath, const char* newPath) {
  Target a = Locate(table, oldPath, SYS_ERR_PATH);
  if (a.result) return a.result;
  Target b = Locate(table, newPath, SYS_ERR_PATH);
  if (b.result) return b.result;
  if (a.drive != b.drive) return SYS_ERR_OTHER;
  if (ReadOnlyDrive(table, a.drive)) return SYS_ERR_ACCESS;
  return MapFat(FatRename(*a.fat, ToUtf16(a.inside), ToUtf16(b.inside)));
}

int DiskSetAttributes(DiskDriveTable& table, const char* path, u32 attributes) {
  Target t = Locate(table, path, 16);
  if (t.result) return t.result;
  if (attributes & (DISK_ATTR_FOLDER | 0x100)) return SYS_ERR_INVALID;
  bool writable = attributes & DISK_ATTR_WRITABLE;
  // A Unix mode carries the owner's write bit as well.
  if (attributes >> DISK_ATTR_UNIX_MODE_SHIFT) writable = writable && ((attributes >> DISK_ATTR_UNIX_MODE_SHIFT) & 0200);
  u8 value = 0;
  if (!writable) value |= FAT_ATTR_READ_ONLY;
  if (attributes & DISK_ATTR_HIDDEN) value |= FAT_ATTR_HIDDEN;
  if (attributes & DISK_ATTR_ARCHIVE) value |= FAT_ATTR_ARCHIVE;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  return MapFat(FatChmod(*t.fat, ToUtf16(t.inside), value, FAT_ATTR_READ_ONLY | FAT_ATTR_HIDDEN | FAT_ATTR_ARCHIVE));
}
