// ext4 directories: entries, iteration, linear and hashed lookup, and the directory hashes.
#pragma once

#include "FileSystem/Ext4/ext4_fs.h"

// Directory entry file types.
enum : u8 {
  EXT4_DE_UNKNOWN = 0,
  EXT4_DE_REG = 1,
  EXT4_DE_DIR = 2,
  EXT4_DE_CHR = 3,
  EXT4_DE_BLK = 4,
  EXT4_DE_FIFO = 5,
  EXT4_DE_SOCK = 6,
  EXT4_DE_SYMLINK = 7,
};

// One entry as read from a directory block.
struct Ext4DirEntryView {
  u32 inode = 0;
  u32 recLen = 0;
  u32 nameLen = 0;
  u8 type = EXT4_DE_UNKNOWN;  // unknown without FILETYPE
  const u8* name = nullptr;
};

struct Ext4DirSearchResult {
  u32 inode = 0;
  u8 type = EXT4_DE_UNKNOWN;
  u64 offset = 0;  // of the entry in the directory
};

struct Ext4DirIterator {
  Ext4InodeRef* dir = nullptr;
  Ext4BlockRef block;
  u64 blockLogical = ~u64{0};
  u64 pos = 0;
  bool atEnd = true;
  Ext4DirEntryView entry;  // valid while not at the end
};

// The entry length stored on disk as a byte count (64 KiB blocks store 65536 in 16 bits).
u32 Ext4DirRecLen(u32 blockSize, u16 stored);
// Reads the entry at offset off of a directory block; false when it is malformed.
bool Ext4DirEntryAt(const Ext4Fs& fs, const u8* block, u32 off, Ext4DirEntryView* out);

int Ext4DirFindEntry(Ext4DirSearchResult* result, Ext4InodeRef* dir, const char* name, u32 nameLength);
void Ext4DirDestroyResult(Ext4InodeRef* dir, Ext4DirSearchResult* result);

// Positions the iterator at a byte offset and on the next used entry from there: 0, or 5 for a
// malformed entry. At or beyond the directory's size the iterator is at its end.
int Ext4DirIteratorInit(Ext4DirIterator* it, Ext4InodeRef* dir, u64 position);
int Ext4DirIteratorNext(Ext4DirIterator* it);
void Ext4DirIteratorFini(Ext4DirIterator* it);

// The directory hash of a name: 0, or 95 (hash and minor 0) for a bad length or version.
// seed: four words, or null for the default seed.
int Ext4DirHash(const char* name, u32 length, u32 hashVersion, const u32* seed, u32* hash, u32* minorHash);

// The entry type of an inode mode (unknown for a mode without one).
u8 Ext4DirTypeOfMode(u16 mode);

// --- Writing ---

// Adds name -> child (the type byte from the child's mode); 22 for a name of 0 or over 255 bytes.
int Ext4DirAddEntry(Ext4InodeRef* dir, const char* name, u32 nameLength, Ext4InodeRef* child);
// Removes the entry of name: 0, 2 when absent, 20 when dir is no directory, 5 for a damaged block.
int Ext4DirRemoveEntry(Ext4InodeRef* dir, const char* name, u32 nameLength);
// Turns a new (empty) directory into a hashed one holding "." and "..".
int Ext4DxInit(Ext4InodeRef* dir, Ext4InodeRef* parent);
// Rewrites ".." of a hashed directory.
int Ext4DxSetParent(Ext4InodeRef* dir, u32 parentIno);
// Rewrites ".." of any directory (through the index root of a hashed one).
int Ext4DirSetParent(Ext4InodeRef* dir, u32 parentIno);
