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

// The open ext4 file of a handle, or null.
Ext4File* Ext4FileOf(DiskDriveTable& table, DiskHandle h) {
  const Parts p = Split(h);
  if (p.drive >= DISK_MAX_DRIVES || p.type != DISK_TYPE_EXT4 || p.slot >= EXT4_FILE_SLOTS) return nullptr;
  Ext4DriveVolume* v = Ext4Of(table, p.drive);
  return v ? v->files[p.slot].get() : nullptr;
}

// A path resolved into a drive with a file system: its FAT or ext4 object, or a SysError in result.
struct Target {
  int drive = -1;  // 0-based
  FatVolume* fat = nullptr;
  Ext4Volume* ext4 = nullptr;
  ExfatVolume* exfat = nullptr;
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
    if (Ext4DriveVolume* e = Ext4Of(table, t.drive)) t.ext4 = e->volume();
    t.exfat = Exfat(table, t.drive);
    if (!t.fat && !t.ext4 && !t.exfat) t.result = SYS_ERR_OTHER;  // no engine serves the drive
  }
  return t;
}

bool ReadOnlyDrive(const DiskDriveTable& table, int drive) { return (table.access[drive] & 1) != 0; }

// Whether the entry a path names (not a link's target) is open in a file slot: such a name is
// neither removed nor renamed, as a sharing violation would refuse it.
bool OpenOnExt4(DiskDriveTable& table, const Target& t) {
  u32 ino = 0;
  return Ext4PathInode(t.ext4, t.inside, false, ino) == EXT4_OK && Ext4Of(table, t.drive)->IsOpen(ino, false);
}

DiskHandle Ext4Open(DiskDriveTable& table, const Target& t, int mode, int& err) {
  Ext4DriveVolume& v = *Ext4Of(table, t.drive);
  const int slot = TakeSlot(v.files, v.lastFileSlot, [](const auto& f) { return f != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return 0;
  }
  u32 flags = EXT4_O_RDONLY;
  if (mode & DISK_OPEN_WRITE) flags = EXT4_O_RDWR;
  if (((mode & DISK_OPEN_WRITE) && (mode & DISK_OPEN_TRUNCATE)) || (mode & DISK_OPEN_CREATE))
    flags = EXT4_O_RDWR | EXT4_O_CREAT | EXT4_O_TRUNC;
  // One handle writes a file at a time: two would each keep their own idea of its size.
  u32 ino = 0;
  if ((flags & EXT4_O_RDWR) && Ext4PathInode(t.ext4, t.inside, true, ino) == EXT4_OK && v.IsOpen(ino, true)) {
    err = SYS_ERR_ACCESS;
    return 0;
  }
  auto file = std::make_unique<Ext4File>();
  if (const int r = Ext4OpenPath(t.ext4, t.inside, *file, flags)) {
    err = MapExt4(r);
    return 0;
  }
  v.files[static_cast<std::size_t>(slot)] = std::move(file);
  return static_cast<u32>(slot) << 16 | static_cast<u32>(t.drive) << 8 | DISK_TYPE_EXT4;
}

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
  record.creation = FatTimeToUtc(info.createDate, info.createTime);
  record.write = FatTimeToUtc(info.writeDate, info.writeTime);
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
  if (t.ext4) return Ext4Open(table, t, mode, *err);
  if (t.exfat) return ExfatFileOpen(*t.exfat, t.drive, t.inside, mode, err);
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
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    const int r = Ext4FileClose(e);
    Ext4Of(table, Split(handle).drive)->files[Split(handle).slot].reset();
    return MapExt4(r);
  }
  if (IsExfatHandle(handle)) return ExfatFileClose(table, handle);
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  const int r = FatClose(*f);
  Fat(table, Split(handle).drive)->files[Split(handle).slot].reset();
  return MapFat(r);
}

int DiskFileRead(DiskDriveTable& table, DiskHandle handle, void* buffer, int length) {
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    if (length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
    u32 done = 0;
    // What was read before an error stays delivered; the next call reports the error.
    const int r = Ext4FileRead(e, buffer, static_cast<u32>(length), &done);
    return r && done == 0 ? MapExt4(r) : static_cast<int>(done);
  }
  if (IsExfatHandle(handle)) return ExfatFileRead(table, handle, buffer, length);
  FatFile* f = FatFileOf(table, handle);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatRead(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

int DiskFileWrite(DiskDriveTable& table, DiskHandle handle, const void* buffer, int length) {
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    if (length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
    u32 done = 0;
    const int r = Ext4FileWrite(e, buffer, static_cast<u32>(length), &done);
    return r && done == 0 ? MapExt4(r) : static_cast<int>(done);
  }
  if (IsExfatHandle(handle)) return ExfatFileWrite(table, handle, buffer, length);
  FatFile* f = FatFileOf(table, handle);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatWrite(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

i64 DiskFileSeek(DiskDriveTable& table, DiskHandle handle, i64 offset, int whence) {
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    const i64 base = whence == 0 ? 0 : whence == 1 ? static_cast<i64>(e->pos) : static_cast<i64>(e->size);
    if (whence < 0 || whence > 2 || (offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
      return SYS_ERR_INVALID;
    if (const int r = Ext4FileSeek(e, static_cast<u64>(base + offset), 0)) return MapExt4(r);
    return static_cast<i64>(e->pos);
  }
  if (IsExfatHandle(handle)) return ExfatFileSeek(table, handle, offset, whence);
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
  if (const Ext4File* e = Ext4FileOf(table, handle)) return static_cast<i64>(Ext4FileTell(e));
  if (IsExfatHandle(handle)) return ExfatFileTell(table, handle);
  FatFile* f = FatFileOf(table, handle);
  return f ? static_cast<i64>(f->position) : static_cast<i64>(SYS_ERR_INVALID);
}

int DiskFileFlush(DiskDriveTable& table, DiskHandle handle) {
  if (IsExfatHandle(handle)) return ExfatFileFlush(table, handle);
  FatFile* f = FatFileOf(table, handle);
  if (!f && !Ext4FileOf(table, handle)) return SYS_ERR_INVALID;
  // The ext4 engine holds nothing of a file between its calls.
  if (f)
    if (const int r = FatSync(*f)) return MapFat(r);
  return DiskIoctl(table, Split(handle).drive, DISK_IOCTL_SYNC, nullptr) == DISK_OK ? SYS_OK : SYS_ERR_OTHER;
}

int DiskGetFileTime(DiskDriveTable& table, DiskHandle handle, i64* write, i64* creation, i64* access) {
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    Ext4FileInfo info;
    if (const int r = Ext4FileStat(e, &info)) return MapExt4(r);
    if (write) *write = info.mtime;
    if (creation) *creation = info.ctime;
    if (access) *access = info.atime;
    return SYS_OK;
  }
  if (IsExfatHandle(handle)) return ExfatGetFileTime(table, handle, write, creation, access);
  FatFile* f = FatFileOf(table, handle);
  if (!f) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  const u32 w = f->storedWrite;
  const u32 c = f->storedCreate;
  if (write)
    *write = w ? FatTimeToUtc(static_cast<u16>(w >> 16), static_cast<u16>(w))
               : FatTimeToUtc(info.writeDate, info.writeTime);
  if (creation)
    *creation = c ? FatTimeToUtc(static_cast<u16>(c >> 16), static_cast<u16>(c))
                  : FatTimeToUtc(info.createDate, info.createTime);
  if (access) *access = 0;
  return SYS_OK;
}

int DiskSetFileTime(DiskDriveTable& table, DiskHandle handle, i64 write, i64 creation, i64 access) {
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    Ext4FileAttributes a;
    a.mtime = write;
    a.ctime = creation;
    a.atime = access;
    return MapExt4(Ext4FileSetAttributes(e, &a));
  }
  if (IsExfatHandle(handle)) return ExfatSetFileTime(table, handle, write, creation, access);
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

i64 DiskStoredTime(DiskDriveTable& table, const char* path, i64 t) {
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 1) return t;
  switch (table.fsType[static_cast<std::size_t>(drive - 1)]) {
    case DISK_TYPE_FAT: {
      const u32 stamp = UtcToFatTime(t);
      return FatTimeToUtc(static_cast<u16>(stamp >> 16), static_cast<u16>(stamp));
    }
    case DISK_TYPE_EXFAT: {
      u8 increment = 0, offset = 0;
      const u32 stamp = ExfatStamp(t, &increment, &offset);
      return ExfatStampTime(stamp, increment, offset);
    }
    case DISK_TYPE_EXT4:
      if (Ext4DriveVolume* e = Ext4Of(table, drive - 1)) return Ext4StoredTime(e->volume(), t);
      return t;
    default:
      return t;
  }
}

i64 DiskGetFileSize(DiskDriveTable& table, DiskHandle handle) {
  if (const Ext4File* e = Ext4FileOf(table, handle)) return static_cast<i64>(e->size);
  if (IsExfatHandle(handle)) return ExfatGetFileSize(table, handle);
  FatFile* f = FatFileOf(table, handle);
  return f ? static_cast<i64>(f->size) : -1;
}

int DiskSetFileSize(DiskDriveTable& table, DiskHandle handle, u64 size) {
  if (Ext4File* e = Ext4FileOf(table, handle)) return MapExt4(Ext4FileTruncate(e, size));
  if (IsExfatHandle(handle)) return ExfatSetFileSize(table, handle, size);
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
  if (Ext4File* e = Ext4FileOf(table, handle)) {
    if (!record) return SYS_ERR_INVALID;
    Ext4FileInfo info;
    if (const int r = Ext4FileStat(e, &info)) return MapExt4(r);
    Ext4Record(info, std::string_view(e->name, e->nameLen), false, *record);
    return SYS_OK;
  }
  if (IsExfatHandle(handle)) return ExfatReadDirEntry(table, handle, record);
  FatFile* f = FatFileOf(table, handle);
  if (!f || !record) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  FatRecord(info, *record);
  return SYS_OK;
}

// ---- by path -------------------------------------------------------------------------------------

namespace {

// What a path names, whichever engine serves it.
struct PathStatus {
  bool list = false;  // the drive list
  bool root = false;
  bool folder = false;
  u64 size = 0;
  u32 attributes = 0;  // the attribute word, without a Unix mode
};

// Status of a path: SYS_OK with the entry (the root too), or a SysError. A path ending in "/"
// must name a folder. The entry itself, not a link's target, for what removes names.
int StatPath(DiskDriveTable& table, const char* path, PathStatus& status, bool entryItself = false) {
  status = PathStatus{};
  Target t = Locate(table, path, SYS_OK);
  if (t.result) return t.result;
  if (t.drive < 0) {
    status.list = status.folder = true;
    status.attributes = DISK_ATTR_FOLDER;
    return SYS_OK;
  }
  if (t.exfat) {
    DiskFindRecord record;
    if (const int r = ExfatStat(*t.exfat, path, t.inside, record, status.root)) return r;
    status.folder = status.root || (record.attributes & DISK_ATTR_FOLDER);
    status.size = status.folder ? 0 : record.size;
    status.attributes = status.root ? DISK_ATTR_FOLDER : record.attributes;
    return SYS_OK;
  }
  if (t.ext4) {
    Ext4FileInfo info;
    bool link = false;
    if (const int r = Ext4StatPath(t.ext4, t.inside, info, link, !entryItself)) return MapExt4(r);
    status.root = t.inside.empty();
    status.folder = (info.mode & EXT4_S_IFMT) == EXT4_S_IFDIR;
    status.size = info.size;
    status.attributes = status.root ? DISK_ATTR_FOLDER : Ext4AttributeWord(info.mode);
  } else {
    FatEntryInfo info;
    if (const int r = FatStat(*t.fat, ToUtf16(t.inside), info)) return MapFat(r);
    status.root = info.isRoot;
    status.folder = info.isRoot || (info.attributes & FAT_ATTR_DIRECTORY);
    status.size = status.folder ? 0 : info.size;
    status.attributes = info.isRoot ? DISK_ATTR_FOLDER : FatAttributeWord(info.attributes);
  }
  const std::size_t length = path ? std::strlen(path) : 0;
  if (!entryItself && length && (path[length - 1] == '/' || path[length - 1] == '\\') && !status.folder) return SYS_ERR_NOT_FOUND;
  return SYS_OK;
}

}  // namespace

i64 DiskGetFileSizeByPath(DiskDriveTable& table, const char* path) {
  PathStatus status;
  if (const int r = StatPath(table, path, status)) return r;
  return status.folder ? 0 : static_cast<i64>(status.size);
}

int DiskPathKind(DiskDriveTable& table, const char* path) {
  PathStatus status;
  if (StatPath(table, path, status) != SYS_OK) return 0;
  return status.folder ? 2 : 1;
}

int DiskFileInfo(DiskDriveTable& table, const char* path) {
  PathStatus status;
  if (const int r = StatPath(table, path, status)) return r;
  return static_cast<int>(status.attributes);
}

int DiskMkdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) return t.result;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  if (t.ext4) return MapExt4(Ext4Mkdir(t.ext4, ("/" + t.inside).c_str()));
  if (t.exfat) return MapExfat(ExfatMkdir(*t.exfat, t.inside));
  return MapFat(FatMkdir(*t.fat, ToUtf16(t.inside)));
}

int DiskRmdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) return t.result;
  if (t.exfat) return ReadOnlyDrive(table, t.drive) ? SYS_ERR_ACCESS : ExfatRemove(*t.exfat, t.inside, true);
  PathStatus status;
  if (const int r = StatPath(table, path, status, true)) return r;
  if (!status.folder || status.root) return status.root ? SYS_ERR_ACCESS : SYS_ERR_PATH;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  if (t.ext4) return MapExt4(Ext4DirRemove(t.ext4, ("/" + t.inside).c_str(), false));
  return MapFat(FatUnlink(*t.fat, ToUtf16(t.inside)));
}

int DiskDelete(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_NOT_FOUND);
  if (t.result) return t.result;
  if (t.exfat) return ReadOnlyDrive(table, t.drive) ? SYS_ERR_ACCESS : ExfatRemove(*t.exfat, t.inside, false);
  PathStatus status;
  if (const int r = StatPath(table, path, status, true)) return r;
  if (status.folder) return SYS_ERR_NOT_FOUND;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  if (t.ext4) {
    if (OpenOnExt4(table, t)) return SYS_ERR_ACCESS;
    return MapExt4(Ext4FileRemove(t.ext4, ("/" + t.inside).c_str()));
  }
  return MapFat(FatUnlink(*t.fat, ToUtf16(t.inside)));
}

int DiskRename(DiskDriveTable& table, const char* oldPath, const char* newPath) {
  Target a = Locate(table, oldPath, SYS_ERR_PATH);
  if (a.result) return a.result;
  Target b = Locate(table, newPath, SYS_ERR_PATH);
  if (b.result) return b.result;
  if (a.drive != b.drive) return SYS_ERR_OTHER;
  if (ReadOnlyDrive(table, a.drive)) return SYS_ERR_ACCESS;
  if (a.ext4) {
    if (OpenOnExt4(table, a)) return SYS_ERR_ACCESS;
    return MapExt4(Ext4Rename(a.ext4, ("/" + a.inside).c_str(), ("/" + b.inside).c_str()));
  }
  if (a.exfat) return ExfatRenamePath(*a.exfat, a.inside, b.inside);
  return MapFat(FatRename(*a.fat, ToUtf16(a.inside), ToUtf16(b.inside)));
}

int DiskReplaceFile(DiskDriveTable& table, const char* oldPath, const char* newPath) {
  Target a = Locate(table, oldPath, SYS_ERR_PATH);
  if (a.result) return a.result;
  Target b = Locate(table, newPath, SYS_ERR_PATH);
  if (b.result) return b.result;
  if (a.drive != b.drive || a.ext4) return SYS_ERR_OTHER;
  if (ReadOnlyDrive(table, a.drive)) return SYS_ERR_ACCESS;
  if (a.exfat) return ExfatReplacePath(*a.exfat, a.inside, b.inside);
  return MapFat(FatReplace(*a.fat, ToUtf16(a.inside), ToUtf16(b.inside)));
}

namespace {

// The two permission words of the ext4 attribute operation: the value and the mask.
std::pair<u32, u32> Ext4Permissions(u32 attributes) {
  if (attributes >> DISK_ATTR_UNIX_MODE_SHIFT) return {attributes >> DISK_ATTR_UNIX_MODE_SHIFT, 0x3FF};
  u32 mode = 0;
  if (attributes & DISK_ATTR_READABLE) mode |= 0444;
  // Writable: the owner's write bit with the group and other write bits of a new file's 0666.
  if (attributes & DISK_ATTR_WRITABLE) mode |= 0222;
  if (attributes & DISK_ATTR_OWNER_EXECUTE) mode |= 0111;
  if (attributes & DISK_ATTR_HIDDEN) mode |= 0001;
  if (attributes & DISK_ATTR_SYSTEM) mode |= 0010;
  if (attributes & DISK_ATTR_ARCHIVE) mode |= 0100;
  return {mode, (attributes & DISK_ATTR_READABLE) ? 0777u : 0733u};
}

}  // namespace

int DiskSetAttributes(DiskDriveTable& table, const char* path, u32 attributes) {
  Target t = Locate(table, path, 16);
  if (t.result) return t.result;
  if (t.ext4) {
    if (t.inside.empty()) return 16;
    if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
    // Files without write bits and folders take attributes too (a folder keeps its mode).
    Ext4File f;
    if (const int r = Ext4OpenEntry(t.ext4, t.inside, f, true)) return MapExt4(r);
    const auto [mode, mask] = Ext4Permissions(attributes);
    Ext4FileAttributes a;
    a.mode = mode;
    a.modeMask = mask;
    const int r = Ext4FileSetAttributes(&f, &a);
    const int closed = Ext4FileClose(&f);
    return MapExt4(r ? r : closed);
  }
  if (t.exfat) return ReadOnlyDrive(table, t.drive) ? SYS_ERR_ACCESS : ExfatSetAttributes(*t.exfat, t.inside, attributes);
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
