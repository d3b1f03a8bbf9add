// What the parts of the volume file API share: resolved paths, engine lookup, names and result maps.
#pragma once

#include "FileSystem/ext4_drive.h"
#include "FileSystem/volume_api.h"
#include "FileSystem/volume_exfat.h"
#include "FileSystem/volume_fat.h"

#include <string>
#include <string_view>

namespace disk {

// The drive (1-based; 0 the drive list) of a path and the path inside it ("a/b", "" for the root),
// or a SysError.
int Resolve(const DiskDriveTable& table, const char* path, std::string& inside);

// The FAT engine object of a drive (0-based), or null.
FatVolume* Fat(DiskDriveTable& table, int drive);

// The ext4 engine object of a drive (0-based), or null.
Ext4DriveVolume* Ext4Of(DiskDriveTable& table, int drive);

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// A FAT engine result as a SysError.
int MapFat(int result);
// The attribute word of FAT attributes.
u32 FatAttributeWord(u8 attributes);
// A find record of a FAT entry.
void FatRecord(const FatEntryInfo& info, DiskFindRecord& record);

// An ext4 engine result as a SysError.
int MapExt4(int result);
// The attribute word of an ext4 mode, without the mode itself above it.
u32 Ext4AttributeWord(u32 mode);
// A find record of an ext4 entry: the status (of a link's target when it has one) and its name.
void Ext4Record(const Ext4FileInfo& info, std::string_view name, bool link, DiskFindRecord& record);
// Opens a path inside an ext4 volume ("a/b") with the engine's open, following symbolic links
// on the way (at most four rounds).
int Ext4OpenPath(Ext4Volume* vol, const std::string& inside, Ext4File& f, u32 flags, bool folder = false);
// Status of a path inside an ext4 volume; a symbolic link gives its target's status when it
// leads somewhere (and follow is set), else its own, with link set.
int Ext4StatPath(Ext4Volume* vol, const std::string& inside, Ext4FileInfo& info, bool& link, bool follow = true);
// Opens what a path names, of any type, for information and attributes (the entry itself, or where
// its links lead).
int Ext4OpenEntry(Ext4Volume* vol, const std::string& inside, Ext4File& f, bool follow);
// The inode a path names (the entry itself, or where its links lead): 0 or the engine's result.
int Ext4PathInode(Ext4Volume* vol, const std::string& inside, bool follow, u32& ino);
// The exFAT engine object of a drive (0-based), or null; its results as SysErrors, its attributes
// as the attribute word, a node as a find record.
ExfatVolume* Exfat(DiskDriveTable& table, int drive);
int MapExfat(int result);
u32 ExfatAttributeWord(u32 flags);
void ExfatRecord(const ExfatNode& node, DiskFindRecord& record);

// The exFAT side of the layer (volume_exfat.cpp); paths are inside the volume.
bool IsExfatHandle(DiskHandle h);
DiskHandle ExfatFileOpen(ExfatVolume& v, int drive, const std::string& inside, int mode, int* err);
int ExfatFileClose(DiskDriveTable& table, DiskHandle h);
int ExfatFileRead(DiskDriveTable& table, DiskHandle h, void* buffer, int length);
int ExfatFileWrite(DiskDriveTable& table, DiskHandle h, const void* buffer, int length);
i64 ExfatFileSeek(DiskDriveTable& table, DiskHandle h, i64 offset, int whence);
i64 ExfatFileTell(DiskDriveTable& table, DiskHandle h);
int ExfatFileFlush(DiskDriveTable& table, DiskHandle h);
int ExfatGetFileTime(DiskDriveTable& table, DiskHandle h, i64* write, i64* creation, i64* access);
int ExfatSetFileTime(DiskDriveTable& table, DiskHandle h, i64 write, i64 creation, i64 access);
i64 ExfatGetFileSize(DiskDriveTable& table, DiskHandle h);
int ExfatSetFileSize(DiskDriveTable& table, DiskHandle h, u64 size);
int ExfatReadDirEntry(DiskDriveTable& table, DiskHandle h, DiskFindRecord* record);
// Status of a path: its record; a path ending in "/" must name a folder.
int ExfatStat(ExfatVolume& v, const char* path, const std::string& inside, DiskFindRecord& record, bool& root);
int ExfatRemove(ExfatVolume& v, const std::string& inside, bool directory);
int ExfatRenamePath(ExfatVolume& v, const std::string& from, const std::string& to);
int ExfatReplacePath(ExfatVolume& v, const std::string& from, const std::string& to);
int ExfatSetAttributes(ExfatVolume& v, const std::string& inside, u32 attributes);
DiskHandle ExfatFindFirst(DiskDriveTable& table, ExfatVolume& v, int drive, const std::string& dir,
                          const std::string& pattern, DiskFindRecord* record, int* err);
int ExfatFindNext(DiskDriveTable& table, DiskHandle h, DiskFindRecord* record);
int ExfatFindClose(DiskDriveTable& table, DiskHandle h);

// Takes the first free slot after the one taken last; -1 when all are taken.
template <typename Slots, typename Used>
int TakeSlot(const Slots& slots, int& last, Used used) {
  const int count = static_cast<int>(slots.size());
  for (int i = 1; i <= count; ++i) {
    const int slot = (last + i) % count;
    if (!used(slots[static_cast<std::size_t>(slot)])) {
      last = slot;
      return slot;
    }
  }
  return -1;
}

}  // namespace disk
