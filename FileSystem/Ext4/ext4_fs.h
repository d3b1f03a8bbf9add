// The mounted ext4 volume: superblock checks and feature policy, block groups, inodes and block mapping.
#pragma once

#include "FileSystem/Ext4/ext4_blockdev.h"

#include <string>

// Superblock fields (byte offsets in the 1024-byte superblock).
enum : u32 {
  EXT4_SB_INODES_COUNT = 0x00,
  EXT4_SB_BLOCKS_COUNT_LO = 0x04,
  EXT4_SB_FIRST_DATA_BLOCK = 0x14,
  EXT4_SB_LOG_BLOCK_SIZE = 0x18,
  EXT4_SB_BLOCKS_PER_GROUP = 0x20,
  EXT4_SB_INODES_PER_GROUP = 0x28,
  EXT4_SB_MNT_COUNT = 0x34,
  EXT4_SB_MAGIC = 0x38,
  EXT4_SB_STATE = 0x3A,
  EXT4_SB_MINOR_REV = 0x3E,
  EXT4_SB_CREATOR_OS = 0x48,
  EXT4_SB_REV_LEVEL = 0x4C,
  EXT4_SB_FIRST_INO = 0x54,
  EXT4_SB_INODE_SIZE = 0x58,
  EXT4_SB_FEATURE_COMPAT = 0x5C,
  EXT4_SB_FEATURE_INCOMPAT = 0x60,
  EXT4_SB_FEATURE_RO_COMPAT = 0x64,
  EXT4_SB_UUID = 0x68,
  EXT4_SB_RESERVED_GDT = 0xCE,
  EXT4_SB_JOURNAL_UUID = 0xD0,
  EXT4_SB_JOURNAL_INUM = 0xE0,
  EXT4_SB_JOURNAL_DEV = 0xE4,
  EXT4_SB_LAST_ORPHAN = 0xE8,
  EXT4_SB_HASH_SEED = 0xEC,
  EXT4_SB_DEF_HASH_VERSION = 0xFC,
  EXT4_SB_DESC_SIZE = 0xFE,
  EXT4_SB_FIRST_META_BG = 0x104,
  EXT4_SB_BLOCKS_COUNT_HI = 0x150,
  EXT4_SB_FLAGS = 0x160,
  EXT4_SB_CHECKSUM_TYPE = 0x175,
  EXT4_SB_CHECKSUM = 0x3FC,
};

// Feature bits.
enum : u32 {
  EXT4_COMPAT_HAS_JOURNAL = 0x4,
  EXT4_COMPAT_DIR_INDEX = 0x20,
  EXT4_COMPAT_SPARSE_SUPER2 = 0x200,
  EXT4_COMPAT_FAST_COMMIT = 0x400,
  EXT4_INCOMPAT_FILETYPE = 0x2,
  EXT4_INCOMPAT_RECOVER = 0x4,
  EXT4_INCOMPAT_JOURNAL_DEV = 0x8,
  EXT4_INCOMPAT_META_BG = 0x10,
  EXT4_INCOMPAT_EXTENTS = 0x40,
  EXT4_INCOMPAT_64BIT = 0x80,
  EXT4_INCOMPAT_MMP = 0x100,
  EXT4_INCOMPAT_FLEX_BG = 0x200,
  EXT4_INCOMPAT_SUPPORTED = 0x3D6,
  EXT4_RO_COMPAT_SPARSE_SUPER = 0x1,
  EXT4_RO_COMPAT_LARGE_FILE = 0x2,
  EXT4_RO_COMPAT_HUGE_FILE = 0x8,
  EXT4_RO_COMPAT_GDT_CSUM = 0x10,
  EXT4_RO_COMPAT_METADATA_CSUM = 0x400,
  EXT4_RO_COMPAT_SUPPORTED = 0x47B,
};

// Superblock states.
enum : u16 { EXT4_STATE_VALID = 0x1, EXT4_STATE_ERROR = 0x2 };

// Group descriptor flags.
enum : u16 { EXT4_BG_INODE_UNINIT = 0x1, EXT4_BG_BLOCK_UNINIT = 0x2, EXT4_BG_INODE_ZEROED = 0x4 };

// Inode flags and mode types.
enum : u32 {
  EXT4_INODE_IMMUTABLE = 0x10,
  EXT4_INODE_APPEND = 0x20,
  EXT4_INODE_INDEX = 0x1000,
  EXT4_INODE_HUGE_FILE = 0x40000,
  EXT4_INODE_EXTENTS = 0x80000,
  EXT4_INODE_INLINE_DATA = 0x10000000,
};
enum : u16 {
  EXT4_S_IFMT = 0xF000,
  EXT4_S_IFIFO = 0x1000,
  EXT4_S_IFCHR = 0x2000,
  EXT4_S_IFDIR = 0x4000,
  EXT4_S_IFBLK = 0x6000,
  EXT4_S_IFREG = 0x8000,
  EXT4_S_IFLNK = 0xA000,
  EXT4_S_IFSOCK = 0xC000,
};

struct Ext4Journal;
// Frees the running journal (defined beside the transactions).
struct Ext4JournalDeleter {
  void operator()(Ext4Journal* j) const;
};

// The file system half of a mounted volume.
struct Ext4Fs {
  bool readOnly = true;
  Ext4BlockDevice* dev = nullptr;
  std::array<u8, 1024> sb{};
  // Block-map limits: 12 direct blocks, then what levels 1-3 cover and the running totals.
  std::array<u64, 4> blocksPerLevel{};
  std::array<u64, 4> levelLimit{};
  u32 lastInodeGroup = 0;

  // Derived at mount from the superblock.
  u32 blockSize = 0;
  u64 blocksCount = 0;
  u32 firstDataBlock = 0;
  u32 blocksPerGroup = 0;
  u32 inodesPerGroup = 0;
  u32 inodesCount = 0;
  u32 groupCount = 0;
  u32 inodeSize = 0;
  u32 firstIno = 0;
  u32 descSize = 0;
  u32 descPerBlock = 0;
  u32 compat = 0, incompat = 0, roCompat = 0;
  u32 csumSeed = 0;  // CRC-32C of the UUID, with metadata checksums
  bool metadataCsum = false;
  bool gdtCsum = false;
  // Superblock copies, descriptors, bitmaps, inode tables and the journal as sorted [first, end)
  // runs, built on the first allocation or free.
  std::vector<std::pair<u64, u64>> systemZone;
  bool systemZoneBuilt = false;
};

struct Ext4Volume {
  Ext4Fs fs;
  Ext4BlockDevice* dev = nullptr;
  std::unique_ptr<Ext4BlockCache> ownCache;
  // Why the volume cannot be written (German): then it is mounted read-only whatever was asked.
  std::string note;
  // Set after an internal fault: every later operation gives 5 until the volume is unmounted.
  bool broken = false;
  u32 journalErrors = 0;  // logged blocks skipped by the last recovery for a bad checksum
  // The running journal of a writable volume (none when read-only or without a journal).
  std::unique_ptr<Ext4Journal, Ext4JournalDeleter> journal;
  // Without a journal, the running operation's changed metadata blocks, held in memory until it
  // ends, and the superblock's free counts when it began (ext4_trans).
  struct PlainTrans {
    bool open = false;
    std::vector<Ext4Buffer*> held;
    std::array<u8, 12> counters{};
  } plain;
};

// A descriptor in use.
struct Ext4GroupRef {
  Ext4BlockRef block;
  u8* desc = nullptr;
  Ext4Fs* fs = nullptr;
  u32 group = 0;
  bool dirty = false;
};

struct Ext4InodeRef {
  Ext4BlockRef block;
  u8* inode = nullptr;
  Ext4Fs* fs = nullptr;
  u32 index = 0;  // inode number, from 1
  bool dirty = false;
};

// Inode fields.
enum : u32 {
  EXT4_I_MODE = 0x00,
  EXT4_I_UID = 0x02,
  EXT4_I_SIZE_LO = 0x04,
  EXT4_I_ATIME = 0x08,
  EXT4_I_CTIME = 0x0C,
  EXT4_I_MTIME = 0x10,
  EXT4_I_DTIME = 0x14,
  EXT4_I_LINKS = 0x1A,
  EXT4_I_BLOCKS_LO = 0x1C,
  EXT4_I_FLAGS = 0x20,
  EXT4_I_BLOCK = 0x28,
  EXT4_I_GENERATION = 0x64,
  EXT4_I_FILE_ACL_LO = 0x68,
  EXT4_I_SIZE_HI = 0x6C,
  EXT4_I_BLOCKS_HI = 0x74,
  EXT4_I_MODE_HIGH_HURD = 0x76,
  EXT4_I_EXTRA_ISIZE = 0x80,
  EXT4_I_CRTIME = 0x90,
};

// Mounts the file system on the device; read-only when asked or when the features say so.
int Ext4Mount(Ext4BlockDevice* dev, Ext4Volume** out, bool readOnly);
int Ext4Umount(Ext4Volume* vol);
int Ext4CacheWriteBack(Ext4Volume* vol, bool on);
int Ext4FsWriteSuper(Ext4Fs* fs);
// Sets the superblock's free block and inode totals (in memory) to the sums of the group descriptors.
int Ext4FsSumFreeCounts(Ext4Fs& fs);
// Sets the values derived from the superblock in memory (after a check).
void Ext4FsDerive(Ext4Fs& fs);
// Checks a 1024-byte superblock as mounting does (without the device): 0, 6 or 95.
int Ext4SuperblockCheck(const u8* sb, u64 deviceBytes, std::string* why);

u32 Ext4GroupCount(const Ext4Fs& fs);
u32 Ext4GroupInodeCount(const Ext4Fs& fs, u32 group);
bool Ext4GroupHasSuper(const Ext4Fs& fs, u32 group);
u64 Ext4GroupFirstBlock(const Ext4Fs& fs, u32 group);
u32 Ext4GroupBlockCount(const Ext4Fs& fs, u32 group);
// The block of a group's superblock (copy): the one holding byte 1024 for group 0, which with
// 1 KiB blocks and bigalloc is block 1 though the group begins at block 0; else the group's first.
u64 Ext4GroupSuperBlock(const Ext4Fs& fs, u32 group);
// The block that holds group g's descriptor.
u64 Ext4GroupDescBlock(const Ext4Fs& fs, u32 group);
int Ext4GroupGet(Ext4Fs* fs, u32 group, Ext4GroupRef* ref);
int Ext4GroupPut(Ext4GroupRef* ref);
u16 Ext4GroupDescChecksum(const Ext4Fs& fs, u32 group, const u8* desc);
u64 Ext4GroupInodeTable(const Ext4Fs& fs, const u8* desc);
u64 Ext4GroupBlockBitmap(const Ext4Fs& fs, const u8* desc);
u64 Ext4GroupInodeBitmap(const Ext4Fs& fs, const u8* desc);
u16 Ext4GroupFlags(const u8* desc);
u32 Ext4GroupItableUnused(const Ext4Fs& fs, const u8* desc);
// Whether the descriptor's UNINIT flags may be believed: a checksum feature and a matching sum.
bool Ext4GroupFlagsTrusted(const Ext4Fs& fs, u32 group, const u8* desc);
// The group's block bitmap: read, or made in memory for a BLOCK_UNINIT group.
int Ext4GroupReadBlockBitmap(Ext4Fs* fs, u32 group, std::vector<u8>* bitmap);

// An inode in use; on a writable volume one whose checksum fails gives 5 and marks the volume.
int Ext4InodeGet(Ext4Fs* fs, u32 ino, Ext4InodeRef* ref);
// A free inode about to be allocated: its old content, checksum included, does not count.
int Ext4InodeGetFree(Ext4Fs* fs, u32 ino, Ext4InodeRef* ref);
int Ext4InodePut(Ext4InodeRef* ref);
u32 Ext4InodeChecksum(const Ext4Fs& fs, u32 ino, const u8* inode);
bool Ext4InodeChecksumOk(const Ext4Fs& fs, u32 ino, const u8* inode);

u16 Ext4InodeMode(const u8* inode);
u32 Ext4InodeFullMode(const Ext4Fs& fs, const u8* inode);
u64 Ext4InodeSize(const Ext4Fs& fs, const u8* inode);
u32 Ext4InodeFlags(const u8* inode);
u64 Ext4InodeBlockCount(const Ext4Fs& fs, const u8* inode);
u32 Ext4InodeTime(const u8* inode, u32 field);
bool Ext4InodeIsFastSymlink(const Ext4Fs& fs, const u8* inode);

// Maps a logical block of the inode: physical 0 for a hole or an unwritten extent. count (when
// given) receives how many following logical blocks map the same way (contiguous, or all holes).
int Ext4InodeGetBlock(Ext4InodeRef* ref, u64 logical, u64* physical, u32* count = nullptr);
int Ext4ExtentGetBlocks(Ext4InodeRef* ref, u32 logical, u32 maxCount, u64* physical, bool create, u32* count);

// --- Writing: inodes, allocation, mapping and truncation ---

// Allocates and initialises an inode of a directory-entry type (1 file, 2 directory, 7 link) and
// returns it held in ref: 0 or 28 with nothing changed. Modes 0666 and 0777, all times now, the
// owner of the root folder. A group whose inode table was never zeroed is zeroed first, which may
// commit the running transaction between chunks: hold no changed block across the call.
int Ext4InodeAlloc(Ext4Fs* fs, Ext4InodeRef* ref, u32 fileType);
// Frees a held inode that has no links: whatever it still maps (indirect blocks too), its share of
// an attribute block (freed with the last reference), then its bit; devices, pipes, sockets and
// short links own no blocks. ref stays held and is put by the caller.
int Ext4InodeFree(Ext4InodeRef* ref);
// Maps a logical block for writing: a hole gets a block, an unwritten extent is converted. fresh
// (when given) tells whether the block is new, so a partial write zero-fills it first.
int Ext4InodeInitBlock(Ext4InodeRef* ref, u64 logical, u64* physical, bool* fresh = nullptr);
// Appends a block after the end of the file (logical = ceiling of size / block size); the size grows
// by a block and the caller sets the exact size afterwards.
int Ext4InodeAppendBlock(Ext4InodeRef* ref, u64* physical, u32* logical);
// Shrinks the inode to newSize (22 to grow); blocks past the new end are freed.
int Ext4InodeTruncate(Ext4InodeRef* ref, u64 newSize);
// Volume-level truncation: a running transaction is committed first; then each 16 MiB step and the
// last one commit on their own (a crash may leave an intermediate size), and the caller's
// transaction is started again. Blocks past the end are freed too; no inode may be held. The last
// block's bytes past the end are zeroed once the last step has committed.
int Ext4Truncate(Ext4Volume* vol, u32 ino, u64 newSize);
inline constexpr u64 EXT4_TRUNCATE_STEP = 0x1000000;
// Frees every block the inode maps, whatever its size says (removal: blocks past the end too), in
// one transaction.
int Ext4InodeReleaseAll(Ext4InodeRef* ref);
// Zeroes the bytes of the block holding size that lie past it (a direct write), so bytes past the
// end of a file never come back.
int Ext4InodeZeroTail(Ext4InodeRef* ref, u64 size);
int Ext4InodeSetBlockCount(const Ext4Fs& fs, u8* inode, u64 count);
void Ext4InodeSetSize(const Ext4Fs& fs, u8* inode, u64 size);
// Stores a time field with its extra epoch and nanosecond word when the inode has room for it.
void Ext4InodeSetTime(const Ext4Fs& fs, u8* inode, u32 field, i64 seconds);

// Whether the inode's block area is a mapping (extents or block map), not a device number, a
// short link's text or nothing.
bool Ext4InodeHasBlockMapping(const Ext4Fs& fs, const u8* inode);
// Whether an inode may count this many 512-byte units.
bool Ext4BlockCountFits(const Ext4Fs& fs, u64 count);
// Whether any block of the run is outside the data area: superblocks, descriptors, bitmaps,
// inode tables, the journal, the blocks listed as bad, or beyond the volume. Data never goes there.
bool Ext4InSystemZone(Ext4Fs* fs, u64 first, u64 count);
// The blocks the bad-block inode lists, added to runs as [first, end); false when the list cannot
// be read whole (then runs holds what could).
bool Ext4BadBlocks(Ext4Fs& fs, std::vector<std::pair<u64, u64>>& runs);
// Damage found in the volume's structures: marks the volume as having errors (it then refuses
// further work until unmounted, and later mounts are read-only until e2fsck mended it); 5 for the
// caller to return.
int Ext4VolumeDamaged(Ext4Fs& fs);
// The extent-tree half of Ext4InodeInitBlock.
int Ext4ExtentInitBlock(Ext4InodeRef* ref, u32 logical, u64* physical, bool* fresh);

// Allocates one block near goal for the inode (its block count grows): 0, 28 with nothing changed,
// 22 when the inode cannot count another block.
int Ext4BlockAlloc(Ext4InodeRef* ref, u64 goal, u64* physical);
// Frees blocks of the inode (its block count shrinks) and offers each to the journal for revocation.
// A run touching the system zone or a block already free is refused with 5, and the volume is
// marked as having errors.
int Ext4BlockFree(Ext4InodeRef* ref, u64 block);
int Ext4BlocksFree(Ext4InodeRef* ref, u64 first, u32 count);
// Removes the logical blocks from..to (inclusive) from an extent tree, freeing them.
int Ext4ExtentRemoveSpace(Ext4InodeRef* ref, u32 from, u32 to);
