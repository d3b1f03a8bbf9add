// Block and inode allocation and freeing, mapping for writes and truncation.
#include "FileSystem/Ext4/ext4_fs.h"

int Ext4InodeAlloc(Ext4Fs*, Ext4InodeRef*, u32) { return EXT4_ENOTSUP; }
int Ext4InodeFree(Ext4InodeRef*) { return EXT4_ENOTSUP; }
int Ext4InodeInitBlock(Ext4InodeRef*, u64, u64*, bool*) { return EXT4_ENOTSUP; }
int Ext4InodeAppendBlock(Ext4InodeRef*, u64*, u32*) { return EXT4_ENOTSUP; }
int Ext4InodeTruncate(Ext4InodeRef*, u64) { return EXT4_ENOTSUP; }
int Ext4Truncate(Ext4Volume*, u32, u64) { return EXT4_ENOTSUP; }
int Ext4InodeReleaseAll(Ext4InodeRef*) { return EXT4_ENOTSUP; }
int Ext4InodeSetBlockCount(const Ext4Fs&, u8*, u64) { return EXT4_ENOTSUP; }
void Ext4InodeSetSize(const Ext4Fs&, u8*, u64) {}
void Ext4InodeSetTime(const Ext4Fs&, u8*, u32, i64) {}
int Ext4BlockAlloc(Ext4InodeRef*, u64, u64*) { return EXT4_ENOTSUP; }
int Ext4BlockFree(Ext4InodeRef*, u64) { return EXT4_ENOTSUP; }
int Ext4BlocksFree(Ext4InodeRef*, u64, u32) { return EXT4_ENOTSUP; }
int Ext4ExtentRemoveSpace(Ext4InodeRef*, u32, u32) { return EXT4_ENOTSUP; }
