// exFAT engine: exFAT 1.00 volumes over a sector device, the visited tree kept as reference-counted nodes.
#pragma once

#include "FileSystem/Media/sector_device.h"
#include "platform/win_types.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Results: 0 or a negative error number.
enum : int {
  EXFAT_EPERM = -1,
  EXFAT_ENOENT = -2,
  EXFAT_EIO = -5,
  EXFAT_ENOMEM = -12,
  EXFAT_EACCES = -13,
  EXFAT_EFAULT = -14,
  EXFAT_EEXIST = -17,
  EXFAT_ENOTDIR = -20,
  EXFAT_EISDIR = -21,
  EXFAT_EINVAL = -22,
  EXFAT_ENOSPC = -28,
  EXFAT_ENAMETOOLONG = -38,
  EXFAT_ENOTEMPTY = -41,
  EXFAT_EILSEQ = -42,
};

// Node flags: the file attributes in the low 16 bits, then the engine's own.
enum : u32 {
  EXFAT_ATTR_READ_ONLY = 0x01,
  EXFAT_ATTR_HIDDEN = 0x02,
  EXFAT_ATTR_SYSTEM = 0x04,
  EXFAT_ATTR_08 = 0x08,
  EXFAT_ATTR_DIRECTORY = 0x10,
  EXFAT_ATTR_ARCHIVE = 0x20,
  EXFAT_NODE_CONTIGUOUS = 0x10000,  // no FAT chain: the clusters follow one another
  EXFAT_NODE_CACHED = 0x20000,      // the children are loaded
  EXFAT_NODE_DIRTY = 0x40000,
  EXFAT_NODE_UNLINKED = 0x80000,
  EXFAT_NODE_CHECKED = 0x100000,  // its chain was walked once: no loop, no cluster out of range
};

inline constexpr int EXFAT_FILE_SLOTS = 16;
inline constexpr int EXFAT_DIR_SLOTS = 8;
inline constexpr std::size_t EXFAT_MAX_NAME = 255;

// One buffered sector over the volume's sector device; offsets in bytes from the volume's start.
struct ExfatDev {
  DiskSectorDevice* device = nullptr;
  bool dirty = false;
  u64 sector = ~u64{0};  // the buffered sector; all ones: none
  std::array<u8, 512> buffer{};
  bool readOnly = false;
};

// mode 0 read-only, 1 read/write (fails on a read-only drive), 2 either.
int ExfatDevOpen(ExfatDev& dev, DiskSectorDevice& device, int mode);
int ExfatDevClose(ExfatDev& dev);
int ExfatDevFsync(ExfatDev& dev);
bool ExfatDevIsReadOnly(const ExfatDev& dev);
u64 ExfatDevSize(const ExfatDev& dev);
// Bytes transferred, or -5.
i64 ExfatDevPread(ExfatDev& dev, void* buffer, u64 size, u64 offset);
i64 ExfatDevPwrite(ExfatDev& dev, const void* buffer, u64 size, u64 offset);

// One entry set met on the volume (or the root).
struct ExfatNode {
  ExfatNode* parent = nullptr;
  std::vector<std::unique_ptr<ExfatNode>> children;
  int references = 0;
  u32 cachedIndex = 0;  // cluster index and cluster for sequential access; cluster 0: none
  u32 cachedCluster = 0;
  u64 entryOffset = 0;  // the entry set: its byte offset in the parent and its entry count
  u32 entryCount = 0;
  u32 firstCluster = 0;
  u32 flags = 0;
  u64 size = 0;       // data length
  u64 validSize = 0;  // valid data length: bytes past it read as zeros
  i64 mtime = 0, atime = 0, ctime = 0;  // seconds since 1970 UTC
  std::u16string name;
  u64 lastUse = 0;
  u64 freeHint = 0;  // directories: no free entry lies before this offset

  bool IsDir() const { return flags & EXFAT_ATTR_DIRECTORY; }
};

// A directory iteration: the directory node (referenced) and the next child.
struct ExfatIterator {
  ExfatNode* dir = nullptr;
  std::size_t next = 0;
};

// Slots of the volume file API: the file slot keeps the position itself.
struct ExfatFileSlot {
  ExfatNode* node = nullptr;
  int mode = 0;
  u64 position = 0;
};
struct ExfatDirSearch {
  ExfatIterator it;
  std::string pattern;  // UTF-8
};

// The engine object of one exFAT volume.
struct ExfatFs {
  ExfatDev dev;
  bool mounted = false;
  std::array<u8, 512> boot{};
  std::vector<char16_t> upcase;  // 65536 entries
  std::unique_ptr<ExfatNode> root;

  u32 sectorShift = 9;
  u32 clusterBytes = 0;
  u64 fatOffset = 0;   // bytes
  u64 heapOffset = 0;  // bytes
  u32 clusterCount = 0;

  // The allocation bitmap, loaded and written one cluster (block) at a time.
  std::vector<u32> bitmapClusters;
  std::vector<u8> bitmap;
  std::vector<u8> blockLoaded, blockChanged;
  bool bitmapDirty = false;
  u32 allocHint = 2;
  // The bitmap calls a cluster of a file free: nothing more is allocated (it might be that one).
  bool damaged = false;
  std::vector<u64> chainMarks;  // for walks of FAT chains (loops)

  u32 umask = 0, dmask = 0, fmask = 0, uid = 0, gid = 0;
  int readOnly = 0;  // 0 writable, 1 read-only, 255 read-only by fallback
  bool noatime = false;
  u64 useCounter = 0;
  int loadedDirs = 0;
  int writeOpens = 0;
  int wildcardSearches = 0;

  std::array<ExfatFileSlot, EXFAT_FILE_SLOTS> files{};
  std::array<std::unique_ptr<ExfatDirSearch>, EXFAT_DIR_SLOTS> dirs;
  int lastFileSlot = EXFAT_FILE_SLOTS - 1;
  int lastDirSlot = EXFAT_DIR_SLOTS - 1;
};

// Options "umask=,dmask=,fmask=,uid=,gid=,noatime,ro,ro_fallback".
int ExfatMount(ExfatFs& v, DiskSectorDevice& device, const char* options);
// Writes out every node and the bitmap, records the share in use, clears the dirty bit.
void ExfatUnmount(ExfatFs& v);

// A UTF-8 path ("a/b", "" the root) as a referenced node.
int ExfatLookup(ExfatFs& v, ExfatNode** node, std::string_view path);
ExfatNode* ExfatGetNode(ExfatNode* node);
// An unlinked node loses its clusters with its last reference.
void ExfatPutNode(ExfatFs& v, ExfatNode* node);
int ExfatFlushNode(ExfatFs& v, ExfatNode& node);
int ExfatFlushAll(ExfatFs& v);
// Frees the unreferenced nodes not used for more than age loads of directories.
void ExfatTrim(ExfatFs& v, u64 age);

// Clusters follow the new size; with erase the new bytes are zeros.
int ExfatTruncate(ExfatFs& v, ExfatNode& node, u64 size, bool erase);
// Bytes, or -1.
i64 ExfatRead(ExfatFs& v, ExfatNode& node, void* buffer, u64 size, u64 offset);
i64 ExfatWrite(ExfatFs& v, ExfatNode& node, const void* buffer, u64 size, u64 offset);

int ExfatMknod(ExfatFs& v, std::string_view path);
int ExfatMkdir(ExfatFs& v, std::string_view path);
int ExfatUnlink(ExfatFs& v, ExfatNode& node);
int ExfatRmdir(ExfatFs& v, ExfatNode& node);
// An existing target is replaced (a folder only by a folder, and only an empty one).
int ExfatRename(ExfatFs& v, std::string_view from, std::string_view to);

int ExfatOpenDir(ExfatFs& v, ExfatNode& dir, ExfatIterator& it);
// The next child, referenced; null at the end (err 0) or on a failure.
ExfatNode* ExfatReadDir(ExfatFs& v, ExfatIterator& it, int* err);
void ExfatCloseDir(ExfatFs& v, ExfatIterator& it);

// 0 leaves a time as it is.
void ExfatSetTimes(ExfatNode& node, i64 mtime, i64 ctime, i64 atime);

// Time stamps: the fields, 10-ms increment and UTC offset byte of seconds since 1970 UTC, and back.
u32 ExfatStamp(i64 t, u8* increment, u8* utcOffset);
i64 ExfatStampTime(u32 stamp, u8 increment, u8 utcOffset);

// One UTF-8 name as UTF-16: 0, -42 for an invalid sequence, -38 beyond 255 units.
int ExfatNameToUtf16(std::string_view utf8, std::u16string& out);
std::string ExfatNameToUtf8(std::u16string_view name);
// No control character and none of "*/:<>?\|.
bool ExfatNameAllowed(std::u16string_view name);
// Clusters in use (the whole bitmap is read).
int ExfatUsedClusters(ExfatFs& v, u64* used);

// Checksums and the name hash of the format.
u16 ExfatSetChecksum(const u8* entries, std::size_t count);
u16 ExfatNameHash(const ExfatFs& v, std::u16string_view name);
u32 ExfatBootChecksum(const u8* region, std::size_t sectorBytes);
