// The volume file API: paths, handles and searches over every volume of a drive table.
#pragma once

#include "FileSystem/Volume/drive_table.h"
#include "platform/win_types.h"

#include <string>

// An open file or search: slot << 16 | drive << 8 | type. Searches of a folder use the slots from
// 4096 on; searches of the drive list have type 1.
using DiskHandle = u32;
// A search that named one entry and needs no handle.
inline constexpr DiskHandle DISK_NO_HANDLE = 0x12345678;
inline constexpr u32 DISK_DIR_SLOT_BASE = 4096;

// Paths: "/" is the drive list; "/V/..." the volume named by the one character V ("0"-"9", "A"...),
// "V:" and "\" written for "/" too; with a fixed drive every absolute path lies in it. A relative
// path is taken against the current path with one "/" between; "." and ".." are resolved by the
// text and never leave the volume. Names are UTF-8: a path that is not valid UTF-8 gives
// SYS_ERR_NAME_TOO_LONG.

// The 1-based drive, 0 for the drive list, or a SysError; out receives the path inside the volume
// in the name kind (UTF-16 as 16-bit units) with "/" separators.
int DiskResolvePath(DiskDriveTable& table, const char* path, void* out, int outSize, int nameKind, int* outLength);
// Only a folder or a volume root becomes the current path; otherwise SYS_ERR_PATH.
int DiskSetCurrentPath(DiskDriveTable& table, const char* path);
// The length, or -1 when size is too small (an empty text then, when size is at least 1).
int DiskGetCurrentPath(const DiskDriveTable& table, char* buffer, int size);
// "/V/inside" for a path; its length or a SysError (size below 5: SYS_ERR_INVALID).
int DiskFullPath(DiskDriveTable& table, const char* path, char* buffer, int size);

DiskHandle DiskFileOpen(DiskDriveTable& table, const char* path, int mode, int* err);
int DiskFileClose(DiskDriveTable& table, DiskHandle handle);
int DiskFileRead(DiskDriveTable& table, DiskHandle handle, void* buffer, int length);
int DiskFileWrite(DiskDriveTable& table, DiskHandle handle, const void* buffer, int length);
// whence 0 start, 1 current, 2 end; the new position or a SysError.
i64 DiskFileSeek(DiskDriveTable& table, DiskHandle handle, i64 offset, int whence);
i64 DiskFileTell(DiskDriveTable& table, DiskHandle handle);
int DiskFileFlush(DiskDriveTable& table, DiskHandle handle);
int DiskGetFileTime(DiskDriveTable& table, DiskHandle handle, i64* write, i64* creation, i64* access);
// 0 leaves a time as it is; FAT needs the file open for writing. A time outside what the file
// system holds is stored clamped, as DiskStoredTime tells.
int DiskSetFileTime(DiskDriveTable& table, DiskHandle handle, i64 write, i64 creation, i64 access);
// The write time a file at path keeps when it is set to t: FAT's and exFAT's local stamps of
// 1980 to 2107 (FAT in two-second steps), ext4's range (from 1901; to 2038, or 2446 where its
// inodes hold the extra bits). t itself when the path names no volume.
i64 DiskStoredTime(DiskDriveTable& table, const char* path, i64 t);
// -1 for a bad handle.
i64 DiskGetFileSize(DiskDriveTable& table, DiskHandle handle);
// Growing fills with zeros.
int DiskSetFileSize(DiskDriveTable& table, DiskHandle handle, u64 size);
int DiskReadDirEntry(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record);

i64 DiskGetFileSizeByPath(DiskDriveTable& table, const char* path);
// 0 absent, 1 file, 2 folder (the drive list and volume roots are folders).
int DiskPathKind(DiskDriveTable& table, const char* path);
// The attribute word (not negative) or a SysError.
int DiskFileInfo(DiskDriveTable& table, const char* path);
int DiskMkdir(DiskDriveTable& table, const char* path);
int DiskRmdir(DiskDriveTable& table, const char* path);
int DiskDelete(DiskDriveTable& table, const char* path);
// The key under which a volume's folder keeps a name: names with one key are one entry there (on
// FAT without regard to case, trailing blanks and dots dropped); "" for a name the volume cannot
// hold. The folder's path picks the volume.
std::string DiskNameKey(DiskDriveTable& table, const char* folder, const char* name);
// Never replaces an existing target; both paths on one volume (else SYS_ERR_OTHER).
int DiskRename(DiskDriveTable& table, const char* oldPath, const char* newPath);
// The file newPath takes the content of the file oldPath, whose name goes. On FAT and exFAT the
// steps are ordered so that a crash at any write leaves newPath with its old content or its new
// one whole, and no two names on the same clusters; ext4 answers SYS_ERR_OTHER (no such
// step there).
int DiskReplaceFile(DiskDriveTable& table, const char* oldPath, const char* newPath);
// DISK_ATTR_UNCHANGED when the path names the drive list (nothing changes).
int DiskSetAttributes(DiskDriveTable& table, const char* path, u32 attributes);

// A path whose last name holds "*" or "?" searches its folder (matching without regard to case
// on FAT); one without names that entry alone (DISK_NO_HANDLE). 0 with *err SYS_ERR_INVALID when
// nothing matches.
DiskHandle DiskFindFirst(DiskDriveTable& table, const char* path, DiskFindRecord* record, int* err);
// 0, SYS_ERR_NOT_FOUND at the end, or another SysError.
int DiskFindNext(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record);
int DiskFindClose(DiskDriveTable& table, DiskHandle handle);

// The space of the volume a path names, as its engine counts it (FAT counts its free clusters
// once where no FSInfo tells them). A SysError; SYS_ERR_PATH for the drive list.
int DiskGetFreeSpace(DiskDriveTable& table, const char* path, DiskSpace* space);
