// FAT engine: FAT12/16/32 volumes with long names, one volume per object, over a sector device.
#pragma once

#include "FileSystem/Media/sector_device.h"
#include "platform/win_types.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Results of the engine.
enum FatResult : int {
  FAT_OK = 0,
  FAT_DISK_ERR = 1,
  FAT_INT_ERR = 2,  // an inconsistency of the volume (a cluster outside it, a broken chain)
  FAT_NOT_READY = 3,
  FAT_NO_FILE = 4,
  FAT_NO_PATH = 5,
  FAT_INVALID_NAME = 6,
  FAT_DENIED = 7,
  FAT_EXIST = 8,
  FAT_INVALID_OBJECT = 9,
  FAT_WRITE_PROTECTED = 10,
  FAT_INVALID_DRIVE = 11,
  FAT_NOT_ENABLED = 12,
  FAT_NO_FILESYSTEM = 13,
  FAT_TOO_MANY_OPEN_FILES = 18,
  FAT_INVALID_PARAMETER = 19,
  FAT_DISK_FULL = 20,  // no free cluster for a folder or a new one
  FAT_TOO_BIG = 21,    // a file would pass 4 GiB - 1
};

// Open modes.
enum : u8 {
  FAT_READ = 0x01,
  FAT_WRITE = 0x02,
  FAT_CREATE_NEW = 0x04,
  FAT_CREATE_ALWAYS = 0x08,
};

// Attributes of a directory entry.
enum : u8 {
  FAT_ATTR_READ_ONLY = 0x01,
  FAT_ATTR_HIDDEN = 0x02,
  FAT_ATTR_SYSTEM = 0x04,
  FAT_ATTR_VOLUME = 0x08,
  FAT_ATTR_DIRECTORY = 0x10,
  FAT_ATTR_ARCHIVE = 0x20,
  FAT_ATTR_LONG_NAME = 0x0F,
};

inline constexpr int FAT_FILE_SLOTS = 16;
inline constexpr int FAT_DIR_SLOTS = 8;
inline constexpr u32 FAT_UNKNOWN = 0xFFFFFFFF;

struct FatFs;
namespace fat {
struct DirIndex;
}

// A place in a folder: its first cluster (0 for the root), an entry index and where that entry is.
struct FatDirCursor {
  u32 start = 0;
  u32 index = 0;
  u32 cluster = 0;  // 0 inside the fixed root of FAT12/16
  u64 sector = 0;   // relative to the drive
  bool atEnd = false;  // a read went past the last entry
};

// One entry as lookups and folder reads report it.
struct FatEntryInfo {
  std::u16string longName;   // empty when the entry has none
  std::u16string shortName;  // "BODY.EXT" with the lower-case flags applied
  u8 attributes = 0;
  u8 caseFlags = 0;
  u32 size = 0;
  u32 firstCluster = 0;
  u16 writeDate = 0, writeTime = 0, createDate = 0, createTime = 0;
  bool isRoot = false;
  FatDirCursor first;  // the first of its entries (its first long-name entry)
  FatDirCursor entry;  // its short entry

  // The name a listing shows: the long one, else the short one.
  const std::u16string& Name() const { return longName.empty() ? shortName : longName; }
};

// An open file.
struct FatFile {
  FatFs* volume = nullptr;
  u16 mountId = 0;
  u8 flags = 0;  // FAT_READ, FAT_WRITE, FAT_CREATE_ALWAYS, 0x20 modified, 0x40 buffer dirty, 0x80 error
  u32 position = 0;
  u32 size = 0;
  u32 firstCluster = 0;
  u32 clusterIndex = 0;  // the cluster index that cluster belongs to
  u32 cluster = 0;       // 0: none remembered
  u64 bufferSector = ~u64{0};
  u64 entrySector = 0;  // the short entry, relative to the drive
  u32 entryOffset = 0;
  u32 storedWrite = 0;   // DOS date << 16 | time; 0 = now at the next sync
  u32 storedCreate = 0;  // 0 = keep
  std::array<u8, 512> buffer{};
};

enum : u8 {
  FAT_FILE_MODIFIED = 0x20,
  FAT_FILE_BUFFER_DIRTY = 0x40,
  FAT_FILE_ERROR = 0x80,
};

// An open folder.
struct FatDir {
  FatFs* volume = nullptr;
  u16 mountId = 0;
  FatDirCursor cursor;
  bool ended = false;
};

// A folder search of the volume file API: the open folder and the pattern.
struct FatDirSearch {
  FatDir dir;
  std::u16string pattern;
};

// The engine object of one FAT volume, read at the first operation.
struct FatFs {
  explicit FatFs(DiskSectorDevice& device);
  ~FatFs();

  DiskSectorDevice* device;

  u8 fsType = 0;  // 0 not mounted, 1 FAT12, 2 FAT16, 3 FAT32
  u8 fatCount = 0;
  bool windowDirty = false;
  bool fsinfoDirty = false;
  u16 mountId = 0;
  u16 mountCounter = 0;
  u16 rootEntries = 0;
  u32 clusterSectors = 0;
  u32 lastCluster = FAT_UNKNOWN;
  u32 freeCount = FAT_UNKNOWN;
  u32 fatEntries = 0;  // clusters + 2
  u32 fatSectors = 0;
  u32 rootCluster = 0;  // FAT32
  u64 baseSector = 0;   // the boot sector
  u64 fatStart = 0;
  u64 rootStart = 0;  // FAT12/16
  u64 dataStart = 0;
  u64 fsinfoSector = 0;  // 0: none
  u64 windowSector = ~u64{0};
  std::array<u8, 512> window{};

  // Indexes of the folders used last, the latest at the back; for the mount they were read in.
  std::vector<std::unique_ptr<fat::DirIndex>> indexes;
  u16 indexMountId = 0;
  std::vector<u64> chainMarks;  // for walks of chains (loops)

  // Slots of the volume file API.
  std::array<std::unique_ptr<FatFile>, FAT_FILE_SLOTS> files;
  std::array<std::unique_ptr<FatDirSearch>, FAT_DIR_SLOTS> dirs;
  int lastFileSlot = FAT_FILE_SLOTS - 1;
  int lastDirSlot = FAT_DIR_SLOTS - 1;
};

// Closes every open file and folder and writes out what is held.
void FatUnmount(FatFs& v);
// Mounts the volume when it is not mounted yet: FAT_OK, or why it cannot be used. write: the
// caller is about to change it.
int FatCheckVolume(FatFs& v, bool write);
// Writes the window, the FSInfo sector and asks the medium to synchronise.
int FatSyncVolume(FatFs& v);
// The free clusters: as FSInfo told them, else counted in the FAT once and kept for the
// allocations to come.
int FatFreeClusters(FatFs& v, u32* free);

// Paths are UTF-16 with "/" or "\" between the names; "" and "/" are the root.
int FatOpen(FatFs& v, FatFile& file, std::u16string_view path, u8 mode);
int FatClose(FatFile& file);
int FatSync(FatFile& file);
int FatRead(FatFile& file, void* buffer, u32 length, u32* done);
// Stops early on a full volume and reports what was written; FAT_TOO_BIG writes nothing.
int FatWrite(FatFile& file, const void* buffer, u32 length, u32* done);
// Beyond the end in write mode the file grows with zeros; otherwise the position stops at the end.
int FatSeek(FatFile& file, u32 position);
int FatTruncate(FatFile& file);
// The entry of the open file, its long name read back from the entries before it.
int FatFileEntry(FatFile& file, FatEntryInfo& info);

int FatStat(FatFs& v, std::u16string_view path, FatEntryInfo& info);
int FatMkdir(FatFs& v, std::u16string_view path);
// Files and empty folders.
int FatUnlink(FatFs& v, std::u16string_view path);
// Never replaces an existing target; a folder never moves into its own subtree.
int FatRename(FatFs& v, std::u16string_view from, std::u16string_view to);
// The file to takes the content, attributes and times of the file from, whose entries go; to
// keeps its names. A crash at any write leaves to with its old content or its new one whole.
int FatReplace(FatFs& v, std::u16string_view from, std::u16string_view to);
// Attributes become (old without mask) with (value within mask); mask within 0x27.
int FatChmod(FatFs& v, std::u16string_view path, u8 value, u8 mask);

int FatOpenDir(FatFs& v, FatDir& dir, std::u16string_view path);
// The next entry; FAT_NO_FILE at the end. "." and ".." and volume labels are passed over.
int FatReadDir(FatDir& dir, FatEntryInfo& info);
int FatCloseDir(FatDir& dir);

// Whether an open file of the volume holds the entry at that place; a writer counts only with
// writersOnly.
bool FatEntryIsOpen(const FatFs& v, u64 sector, u32 offset, bool writersOnly);

// Case-insensitive wildcard match ("*", "?") by the volume's case map.
bool FatMatchPattern(std::u16string_view pattern, std::u16string_view name);
