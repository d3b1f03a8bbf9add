// Volume files: handles and their slots, opens, reads and writes, times and sizes, operations by path, free room.
#include "FileSystem/Volume/volume_internal.h"

#include <cstring>

using namespace disk;

namespace {

// The volume of a handle's drive, when the handle's type is the drive's file system; its slot.
DiskVolume* VolumeOf(DiskDriveTable& table, DiskHandle h, u32& slot) {
  const std::size_t drive = (h >> 8) & 0xFF;
  slot = h >> 16;
  if (drive >= DISK_MAX_DRIVES || table.fsType[drive] != (h & 0xFF)) return nullptr;
  return table.fileSystem[drive].get();
}

// A path resolved into a drive with a file system, or a SysError in result.
struct Target {
  int drive = -1;  // 0-based
  DiskVolume* volume = nullptr;
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
    t.volume = table.fileSystem[static_cast<std::size_t>(t.drive)].get();
    if (!t.volume) t.result = SYS_ERR_OTHER;  // no engine serves the drive
  }
  return t;
}

bool ReadOnlyDrive(const DiskDriveTable& table, int drive) { return (table.access[drive] & 1) != 0; }

}  // namespace

namespace disk {

void SetRecordName(DiskFindRecord& record, std::string_view name) {
  const std::size_t n = std::min(name.size(), sizeof record.name - 1);
  std::memcpy(record.name, name.data(), n);
  record.name[n] = '\0';
}

int CheckRemoval(DiskVolume& volume, const std::string& inside, bool folder, bool readOnly) {
  DiskPathStatus status;
  if (const int r = volume.Stat(inside, status, true)) return r;
  if (folder && (!status.folder || status.root)) return status.root ? SYS_ERR_ACCESS : SYS_ERR_PATH;
  if (!folder && status.folder) return SYS_ERR_NOT_FOUND;
  return readOnly ? SYS_ERR_ACCESS : SYS_OK;
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
  const int slot = t.volume->FileOpen(t.inside, mode, *err);
  if (slot < 0) return 0;
  return static_cast<u32>(slot) << 16 | static_cast<u32>(t.drive) << 8 | table.fsType[static_cast<std::size_t>(t.drive)];
}

int DiskFileClose(DiskDriveTable& table, DiskHandle handle) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileClose(slot) : SYS_ERR_INVALID;
}

int DiskFileRead(DiskDriveTable& table, DiskHandle handle, void* buffer, int length) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileRead(slot, buffer, length) : SYS_ERR_INVALID;
}

int DiskFileWrite(DiskDriveTable& table, DiskHandle handle, const void* buffer, int length) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileWrite(slot, buffer, length) : SYS_ERR_INVALID;
}

i64 DiskFileSeek(DiskDriveTable& table, DiskHandle handle, i64 offset, int whence) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileSeek(slot, offset, whence) : i64{SYS_ERR_INVALID};
}

i64 DiskFileTell(DiskDriveTable& table, DiskHandle handle) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileTell(slot) : i64{SYS_ERR_INVALID};
}

int DiskFileFlush(DiskDriveTable& table, DiskHandle handle) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->FileFlush(slot) : SYS_ERR_INVALID;
}

int DiskGetFileTime(DiskDriveTable& table, DiskHandle handle, i64* write, i64* creation, i64* access) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->GetFileTime(slot, write, creation, access) : SYS_ERR_INVALID;
}

int DiskSetFileTime(DiskDriveTable& table, DiskHandle handle, i64 write, i64 creation, i64 access) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->SetFileTime(slot, write, creation, access) : SYS_ERR_INVALID;
}

i64 DiskStoredTime(DiskDriveTable& table, const char* path, i64 t) {
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 1) return t;
  DiskVolume* v = table.fileSystem[static_cast<std::size_t>(drive - 1)].get();
  return v ? v->StoredTime(t) : t;
}

i64 DiskGetFileSize(DiskDriveTable& table, DiskHandle handle) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->GetFileSize(slot) : -1;
}

int DiskSetFileSize(DiskDriveTable& table, DiskHandle handle, u64 size) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v ? v->SetFileSize(slot, size) : SYS_ERR_INVALID;
}

int DiskReadDirEntry(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record) {
  u32 slot = 0;
  DiskVolume* v = VolumeOf(table, handle, slot);
  return v && record ? v->ReadDirEntry(slot, *record) : SYS_ERR_INVALID;
}

// ---- by path -------------------------------------------------------------------------------------

namespace {

// Status of a path: SYS_OK with the entry (the root too), or a SysError. A path ending in "/"
// must name a folder.
int StatPath(DiskDriveTable& table, const char* path, DiskPathStatus& status) {
  status = DiskPathStatus{};
  Target t = Locate(table, path, SYS_OK);
  if (t.result) return t.result;
  if (t.drive < 0) {
    status.list = status.folder = true;
    status.attributes = DISK_ATTR_FOLDER;
    return SYS_OK;
  }
  if (const int r = t.volume->Stat(t.inside, status, false)) return r;
  const std::size_t length = path ? std::strlen(path) : 0;
  if (length && (path[length - 1] == '/' || path[length - 1] == '\\') && !status.folder) return SYS_ERR_NOT_FOUND;
  return SYS_OK;
}

}  // namespace

i64 DiskGetFileSizeByPath(DiskDriveTable& table, const char* path) {
  DiskPathStatus status;
  if (const int r = StatPath(table, path, status)) return r;
  return status.folder ? 0 : static_cast<i64>(status.size);
}

int DiskPathKind(DiskDriveTable& table, const char* path) {
  DiskPathStatus status;
  if (StatPath(table, path, status) != SYS_OK) return 0;
  return status.folder ? 2 : 1;
}

int DiskFileInfo(DiskDriveTable& table, const char* path) {
  DiskPathStatus status;
  if (const int r = StatPath(table, path, status)) return r;
  return static_cast<int>(status.attributes);
}

int DiskMkdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  if (t.result) return t.result;
  if (ReadOnlyDrive(table, t.drive)) return SYS_ERR_ACCESS;
  return t.volume->Mkdir(t.inside);
}

int DiskRmdir(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_PATH);
  return t.result ? t.result : t.volume->Rmdir(t.inside);
}

int DiskDelete(DiskDriveTable& table, const char* path) {
  Target t = Locate(table, path, SYS_ERR_NOT_FOUND);
  return t.result ? t.result : t.volume->Delete(t.inside);
}

int DiskRename(DiskDriveTable& table, const char* oldPath, const char* newPath) {
  Target a = Locate(table, oldPath, SYS_ERR_PATH);
  if (a.result) return a.result;
  Target b = Locate(table, newPath, SYS_ERR_PATH);
  if (b.result) return b.result;
  if (a.drive != b.drive) return SYS_ERR_OTHER;
  if (ReadOnlyDrive(table, a.drive)) return SYS_ERR_ACCESS;
  return a.volume->Rename(a.inside, b.inside);
}

int DiskReplaceFile(DiskDriveTable& table, const char* oldPath, const char* newPath) {
  Target a = Locate(table, oldPath, SYS_ERR_PATH);
  if (a.result) return a.result;
  Target b = Locate(table, newPath, SYS_ERR_PATH);
  if (b.result) return b.result;
  if (a.drive != b.drive) return SYS_ERR_OTHER;
  return a.volume->Replace(a.inside, b.inside);
}

int DiskSetAttributes(DiskDriveTable& table, const char* path, u32 attributes) {
  Target t = Locate(table, path, DISK_ATTR_UNCHANGED);
  return t.result ? t.result : t.volume->SetAttributes(t.inside, attributes);
}

int DiskGetFreeSpace(DiskDriveTable& table, const char* path, DiskSpace* space) {
  if (!space) return SYS_ERR_INVALID;
  *space = DiskSpace{};
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 0) return drive;
  if (drive == 0) return SYS_ERR_PATH;
  DiskVolume* v = table.fileSystem[static_cast<std::size_t>(drive - 1)].get();
  return v ? v->GetFreeSpace(*space) : SYS_ERR_PATH;
}
