// The FAT side of the volume file API: the engine bound to a drive, its slots, results, attributes and times.
#include "FileSystem/Volume/volume_fat.h"

#include "FileSystem/Fat/fat_names.h"
#include "FileSystem/Fat/fat_time.h"
#include "FileSystem/Volume/volume_internal.h"
#include "lib/text/enc.h"
#include "lib/text/upcase.h"

using namespace disk;

namespace {

constexpr u32 kFatMax = 0xFFFFFFFF;

// An engine result as a SysError.
int MapFat(int result) {
  switch (result) {
    case FAT_OK: return SYS_OK;
    case FAT_NO_FILE: return SYS_ERR_NOT_FOUND;
    case FAT_NO_PATH: case FAT_INVALID_DRIVE: return SYS_ERR_PATH;
    case FAT_INVALID_NAME: return SYS_ERR_NAME_TOO_LONG;
    case FAT_DENIED: case FAT_WRITE_PROTECTED: return SYS_ERR_ACCESS;
    case FAT_EXIST: return SYS_ERR_EXISTS;
    case FAT_TOO_MANY_OPEN_FILES: return SYS_ERR_TOO_MANY_OPEN;
    case FAT_INVALID_PARAMETER: return SYS_ERR_INVALID;
    case FAT_DISK_FULL: case FAT_TOO_BIG: return SYS_ERR_DISK_FULL;
    default: return SYS_ERR_OTHER;
  }
}

u32 AttributeWord(u8 a) {
  u32 word = DISK_ATTR_READABLE;
  if (!(a & FAT_ATTR_READ_ONLY)) word |= DISK_ATTR_WRITABLE;
  if (a & FAT_ATTR_DIRECTORY) word |= DISK_ATTR_FOLDER;
  if (a & FAT_ATTR_HIDDEN) word |= DISK_ATTR_HIDDEN;
  if (a & FAT_ATTR_ARCHIVE) word |= DISK_ATTR_ARCHIVE;
  if (a & FAT_ATTR_SYSTEM) word |= DISK_ATTR_SYSTEM;
  return word;
}

void Record(const FatEntryInfo& info, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = info.isRoot ? DISK_ATTR_FOLDER : AttributeWord(info.attributes);
  record.size = (info.attributes & FAT_ATTR_DIRECTORY) ? 0 : info.size;
  record.creation = FatTimeToUtc(info.createDate, info.createTime);
  record.write = FatTimeToUtc(info.writeDate, info.writeTime);
  SetRecordName(record, ToUtf8(info.Name()));
}

}  // namespace

FatVolume::FatVolume(DiskDriveTable& table, int drive) : FatFs(m_device), m_device(table, drive) {}

void FatVolume::Unmount() { FatUnmount(*this); }

FatFile* FatVolume::FileOf(u32 slot) { return slot < FAT_FILE_SLOTS ? files[slot].get() : nullptr; }

// ---- open files ----------------------------------------------------------------------------------

int FatVolume::FileOpen(const std::string& inside, int mode, int& err) {
  const int slot = TakeSlot(files, lastFileSlot, [](const auto& f) { return f != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return -1;
  }
  u8 engineMode = 0;
  if (mode & DISK_OPEN_READ) engineMode |= FAT_READ;
  if (mode & DISK_OPEN_WRITE) engineMode |= FAT_WRITE;
  if (((mode & DISK_OPEN_WRITE) && (mode & DISK_OPEN_TRUNCATE)) || (mode & DISK_OPEN_CREATE))
    engineMode |= FAT_CREATE_ALWAYS;
  auto file = std::make_unique<FatFile>();
  if (const int r = FatOpen(*this, *file, ToUtf16(inside), engineMode)) {
    err = MapFat(r);
    return -1;
  }
  files[static_cast<std::size_t>(slot)] = std::move(file);
  return slot;
}

int FatVolume::FileClose(u32 slot) {
  FatFile* f = FileOf(slot);
  if (!f) return SYS_ERR_INVALID;
  const int r = FatClose(*f);
  files[slot].reset();
  return MapFat(r);
}

int FatVolume::FileRead(u32 slot, void* buffer, int length) {
  FatFile* f = FileOf(slot);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatRead(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

int FatVolume::FileWrite(u32 slot, const void* buffer, int length) {
  FatFile* f = FileOf(slot);
  if (!f || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  if (const int r = FatWrite(*f, buffer, static_cast<u32>(length), &done)) return MapFat(r);
  return static_cast<int>(done);
}

i64 FatVolume::FileSeek(u32 slot, i64 offset, int whence) {
  FatFile* f = FileOf(slot);
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

i64 FatVolume::FileTell(u32 slot) {
  FatFile* f = FileOf(slot);
  return f ? static_cast<i64>(f->position) : static_cast<i64>(SYS_ERR_INVALID);
}

int FatVolume::FileFlush(u32 slot) {
  FatFile* f = FileOf(slot);
  if (!f) return SYS_ERR_INVALID;
  if (const int r = FatSync(*f)) return MapFat(r);
  return m_device.Ioctl(DISK_IOCTL_SYNC, nullptr) == DISK_OK ? SYS_OK : SYS_ERR_OTHER;
}

int FatVolume::GetFileTime(u32 slot, i64* write, i64* creation, i64* access) {
  FatFile* f = FileOf(slot);
  if (!f) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  // Times set since the open are what the entry takes at the close.
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

int FatVolume::SetFileTime(u32 slot, i64 write, i64 creation, i64 /*access*/) {
  FatFile* f = FileOf(slot);
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

i64 FatVolume::GetFileSize(u32 slot) {
  FatFile* f = FileOf(slot);
  return f ? static_cast<i64>(f->size) : -1;
}

int FatVolume::SetFileSize(u32 slot, u64 size) {
  FatFile* f = FileOf(slot);
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

int FatVolume::ReadDirEntry(u32 slot, DiskFindRecord& record) {
  FatFile* f = FileOf(slot);
  if (!f) return SYS_ERR_INVALID;
  FatEntryInfo info;
  if (const int r = FatFileEntry(*f, info)) return MapFat(r);
  Record(info, record);
  return SYS_OK;
}

// ---- paths ---------------------------------------------------------------------------------------

int FatVolume::Stat(const std::string& inside, DiskPathStatus& status, bool /*entryItself*/) {
  FatEntryInfo info;
  if (const int r = FatStat(*this, ToUtf16(inside), info)) return MapFat(r);
  status.root = info.isRoot;
  status.folder = info.isRoot || (info.attributes & FAT_ATTR_DIRECTORY);
  status.size = status.folder ? 0 : info.size;
  status.attributes = info.isRoot ? DISK_ATTR_FOLDER : AttributeWord(info.attributes);
  return SYS_OK;
}

int FatVolume::Mkdir(const std::string& inside) { return MapFat(FatMkdir(*this, ToUtf16(inside))); }

int FatVolume::Rmdir(const std::string& inside) {
  if (const int r = CheckRemoval(*this, inside, true, m_device.ReadOnly())) return r;
  return MapFat(FatUnlink(*this, ToUtf16(inside)));
}

int FatVolume::Delete(const std::string& inside) {
  if (const int r = CheckRemoval(*this, inside, false, m_device.ReadOnly())) return r;
  return MapFat(FatUnlink(*this, ToUtf16(inside)));
}

int FatVolume::Rename(const std::string& from, const std::string& to) {
  return MapFat(FatRename(*this, ToUtf16(from), ToUtf16(to)));
}

int FatVolume::Replace(const std::string& from, const std::string& to) {
  if (m_device.ReadOnly()) return SYS_ERR_ACCESS;
  return MapFat(FatReplace(*this, ToUtf16(from), ToUtf16(to)));
}

int FatVolume::SetAttributes(const std::string& inside, u32 attributes) {
  if (attributes & (DISK_ATTR_FOLDER | DISK_ATTR_EXFAT_08)) return SYS_ERR_INVALID;
  bool writable = attributes & DISK_ATTR_WRITABLE;
  // A Unix mode carries the owner's write bit as well.
  if (attributes >> DISK_ATTR_UNIX_MODE_SHIFT) writable = writable && ((attributes >> DISK_ATTR_UNIX_MODE_SHIFT) & 0200);
  u8 value = 0;
  if (!writable) value |= FAT_ATTR_READ_ONLY;
  if (attributes & DISK_ATTR_HIDDEN) value |= FAT_ATTR_HIDDEN;
  if (attributes & DISK_ATTR_ARCHIVE) value |= FAT_ATTR_ARCHIVE;
  if (m_device.ReadOnly()) return SYS_ERR_ACCESS;
  return MapFat(FatChmod(*this, ToUtf16(inside), value, FAT_ATTR_READ_ONLY | FAT_ATTR_HIDDEN | FAT_ATTR_ARCHIVE));
}

// ---- searches ------------------------------------------------------------------------------------

int FatVolume::FindFirst(const DiskSearchPath& search, DiskFindRecord& record, int& err) {
  if (!search.pattern) {
    FatEntryInfo info;
    if (const int r = FatStat(*this, ToUtf16(search.inside), info)) {
      err = MapFat(r);
      return -1;
    }
    Record(info, record);
    return DISK_FOUND_ONE;
  }
  const int slot = TakeSlot(dirs, lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return -1;
  }
  auto dir = std::make_unique<FatDirSearch>();
  dir->pattern = ToUtf16(search.last);
  if (const int r = FatOpenDir(*this, dir->dir, ToUtf16(search.folder))) {
    err = r == FAT_NO_FILE || r == FAT_NO_PATH ? SYS_ERR_PATH : MapFat(r);
    return -1;
  }
  dirs[static_cast<std::size_t>(slot)] = std::move(dir);
  const int r = FindNext(static_cast<u32>(slot), record);
  if (r != SYS_OK) {
    FindClose(static_cast<u32>(slot));
    err = r == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : r;
    return -1;
  }
  return slot;
}

int FatVolume::FindNext(u32 slot, DiskFindRecord& record) {
  FatDirSearch* search = slot < FAT_DIR_SLOTS ? dirs[slot].get() : nullptr;
  if (!search) return SYS_ERR_INVALID;
  for (;;) {
    FatEntryInfo info;
    const int r = FatReadDir(search->dir, info);
    if (r) return MapFat(r);
    // A pattern matches the long name or the short one.
    if (FatMatchPattern(search->pattern, info.Name()) ||
        (!info.longName.empty() && FatMatchPattern(search->pattern, info.shortName))) {
      Record(info, record);
      return SYS_OK;
    }
  }
}

int FatVolume::FindClose(u32 slot) {
  if (slot >= FAT_DIR_SLOTS || !dirs[slot]) return SYS_ERR_INVALID;
  FatCloseDir(dirs[slot]->dir);
  dirs[slot].reset();
  return SYS_OK;
}

// ---- the volume ----------------------------------------------------------------------------------

int FatVolume::GetFreeSpace(DiskSpace& space) {
  u32 free = 0;
  if (const int r = FatFreeClusters(*this, &free)) return MapFat(r);
  space.sectorsPerCluster = clusterSectors;
  space.totalClusters = fatEntries - 2;
  space.freeClusters = space.availableClusters = free;
  return SYS_OK;
}

i64 FatVolume::StoredTime(i64 t) {
  const u32 stamp = UtcToFatTime(t);
  return FatTimeToUtc(static_cast<u16>(stamp >> 16), static_cast<u16>(stamp));
}

std::string FatVolume::NameKey(const std::string& name) {
  if (!EncIsValidUtf8(name)) return "";
  std::u16string units = ToUtf16(name);
  // A separator would name an entry of another folder.
  if (units.find_first_of(u"/\\") != std::u16string::npos || FatCheckName(units) != FAT_OK) return "";
  for (char16_t& unit : units) unit = EncUpcase(unit);
  return ToUtf8(units);
}
