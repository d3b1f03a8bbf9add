// ext4 file operations by path for the volume file API: open, read, seek, stat, folders and symbolic links.
#pragma once

#include "FileSystem/Ext4/ext4_dir.h"
#include "FileSystem/Ext4/ext4_fs.h"

// Open flags (POSIX values).
enum : u32 {
  EXT4_O_RDONLY = 0x0,
  EXT4_O_WRONLY = 0x1,
  EXT4_O_RDWR = 0x2,
  EXT4_O_CREAT = 0x40,
  EXT4_O_TRUNC = 0x200,
  EXT4_O_APPEND = 0x400,
};

// What a path names: any type, or a regular file, directory or symbolic link (entry type codes).
enum : u32 { EXT4_TYPE_ANY = 0, EXT4_TYPE_FILE = 1, EXT4_TYPE_DIR = 2, EXT4_TYPE_SYMLINK = 7 };

// Status flags of an open file.
enum : u8 { EXT4_FILE_MODIFIED = 0x1, EXT4_FILE_CREATED = 0x2 };

struct Ext4File {
  Ext4Volume* volume = nullptr;  // null when closed
  // The inode number; after a failed open, the byte offset in the path of the component at
  // which the walk stopped.
  u32 inode = 0;
  u32 flags = 0;
  u64 size = 0;
  u64 pos = 0;
  char name[256] = {};
  u8 nameLen = 0;
  u8 type = 0;  // entry type of the last component
  u8 status = 0;
  u32 creationTime = 0;
};

struct Ext4DirEntryInfo {
  u32 inode = 0;
  u16 entryLen = 0;
  u8 nameLen = 0;
  u8 type = 0;
  char name[256] = {};
};

struct Ext4Dir {
  Ext4File f;
  Ext4DirEntryInfo de;
  u64 nextPos = 0;  // all ones at the end
};

struct Ext4FileInfo {
  u64 size = 0;  // 0 for directories
  i64 ctime = 0, atime = 0, mtime = 0;  // seconds since 1970, negative before
  u32 mode = 0;
  u32 reserved = 0xFFFFFFFF;
  char name[256] = {};
  u8 nameLen = 0;  // on entry the buffer's usable length; on return the copied length (0: did not fit)
};

struct Ext4FileAttributes {
  i64 mtime = 0, atime = 0, ctime = 0;  // 0: unchanged; clamped as Ext4StoredTime says
  u32 mode = 0, modeMask = 0;
};

// The flag word of an fopen-style mode string, or -1 for a string not in the table.
int Ext4ModeFlags(const char* mode);

int Ext4FileOpen(Ext4Volume* vol, Ext4File* f, const char* path, u32 flags);
int Ext4FileOpenMode(Ext4Volume* vol, Ext4File* f, const char* path, const char* mode, bool regularFile,
                     u32* parentIno = nullptr, u32* nameOffset = nullptr);
// Opens with flags 0 and any type, for information queries.
int Ext4Lookup(Ext4Volume* vol, Ext4File* f, const char* path);
int Ext4FileClose(Ext4File* f);
int Ext4FileRead(Ext4File* f, void* buf, u32 size, u32* done);
int Ext4FileWrite(Ext4File* f, const void* buf, u32 size, u32* done);
int Ext4FileSeek(Ext4File* f, u64 offset, u32 origin);
u64 Ext4FileTell(const Ext4File* f);
int Ext4FileTruncate(Ext4File* f, u64 size);
int Ext4FileSetAttributes(Ext4File* f, const Ext4FileAttributes* attr);
// The time an inode of the volume keeps when it is set to t: from 1901-12-13 (the signed 32-bit
// field) to 2038-01-19, or to 2446 where inodes hold the two epoch bits beside it.
i64 Ext4StoredTime(const Ext4Volume* vol, i64 t);
int Ext4FileStat(Ext4File* f, Ext4FileInfo* info);

int Ext4Mkdir(Ext4Volume* vol, const char* path);
int Ext4DirRemove(Ext4Volume* vol, const char* path, bool recursive);
int Ext4FileRemove(Ext4Volume* vol, const char* path);
int Ext4Rename(Ext4Volume* vol, const char* oldPath, const char* newPath);

int Ext4DirOpen(Ext4Volume* vol, Ext4Dir* d, const char* path);
// The next entry, or null at the end or on an error (then *err, when given, is set).
const Ext4DirEntryInfo* Ext4DirNext(Ext4Dir* d, int* err = nullptr);
int Ext4DirEntryStat(Ext4Dir* d, Ext4FileInfo* info);
int Ext4DirClose(Ext4Dir* d);

int Ext4ReadLink(Ext4Volume* vol, const char* path, char* buf, u32 size, u32* done);
int Ext4LookupLink(Ext4Volume* vol, const char* path, char* buf, u32 size, u32* done, Ext4FileInfo* info);
// The path buffer holds 512 bytes; the component at offset is a symbolic link, which is resolved
// (with the links it leads to, at most 4 in all) and the result written back.
int Ext4ResolveLink(Ext4Volume* vol, u32 offset, char* path, u32 flag);
