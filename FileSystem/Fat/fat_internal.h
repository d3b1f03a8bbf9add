// What the parts of the FAT engine share: entry layout, the window, cluster chains and folder entries.
#pragma once

#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Fat/fat_names.h"

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fat {

inline u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
inline u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
inline void Put16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void Put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

// Offsets in a 32-byte entry.
enum : int {
  DIR_NAME = 0,
  DIR_ATTR = 11,
  DIR_CASE = 12,
  DIR_CREATE_TENTH = 13,
  DIR_CREATE_TIME = 14,
  DIR_CREATE_DATE = 16,
  DIR_ACCESS_DATE = 18,
  DIR_CLUSTER_HIGH = 20,
  DIR_WRITE_TIME = 22,
  DIR_WRITE_DATE = 24,
  DIR_CLUSTER_LOW = 26,
  DIR_SIZE = 28,
  LFN_ORDER = 0,
  LFN_CHECKSUM = 13,
  LFN_LAST = 0x40,
};

inline constexpr u8 kDeleted = 0xE5;
inline constexpr u32 kMaxEntries = 65536;
inline constexpr int kMaxLongEntries = 20;  // 255 units in 13-unit pieces

inline u32 EntryCluster(const FatFs& v, const u8* e) {
  u32 c = Le16(e + DIR_CLUSTER_LOW);
  if (v.fsType == 3) c |= u32{Le16(e + DIR_CLUSTER_HIGH)} << 16;
  return c;
}
inline void SetEntryCluster(const FatFs& v, u8* e, u32 c) {
  Put16(e + DIR_CLUSTER_LOW, static_cast<u16>(c));
  if (v.fsType == 3) Put16(e + DIR_CLUSTER_HIGH, static_cast<u16>(c >> 16));
}

// ---- window (fat_volume.cpp) ----
int SyncWindow(FatFs& v);
int MoveWindow(FatFs& v, u64 sector);
// Forgets the window when it holds one of count sectors from first (written past it).
int ForgetWindow(FatFs& v, u64 first, u64 count);
// The engine object is still the one its file or folder was opened on.
bool Valid(const FatFs* v, u16 mountId);

// ---- cluster chains (fat_chains.cpp) ----
inline u32 ClusterBytes(const FatFs& v) { return v.clusterSectors * 512; }
inline u64 ClusterSector(const FatFs& v, u32 c) { return v.dataStart + u64{c - 2} * v.clusterSectors; }
inline bool IsCluster(const FatFs& v, u32 c) { return c >= 2 && c < v.fatEntries; }
// The entry of cluster c; FAT_OK with the value, else a disk or internal error.
int GetFat(FatFs& v, u32 c, u32* value);
int PutFat(FatFs& v, u32 c, u32 value);
bool IsEndOfChain(const FatFs& v, u32 value);
u32 EndOfChain(const FatFs& v);
// A new cluster at the end of the chain that ends at prev (0: a new chain). FAT_DISK_FULL when
// none is free.
int CreateChain(FatFs& v, u32 prev, u32* created);
// Frees the chain from c on.
int RemoveChain(FatFs& v, u32 c);
// Walks a chain from first: at least clusters clusters (a chain that ends before, leaves the
// volume or meets a cluster again is FAT_INT_ERR); with toEnd on to its end, which must come
// without a repeat, a free cluster or a number outside the volume; at most limit clusters.
int CheckChain(FatFs& v, u32 first, u64 clusters, bool toEnd, u64 limit = ~u64{0});
// Writes zeros over a cluster.
int ZeroCluster(FatFs& v, u32 c);

// ---- folder index (fat_dir_cache.cpp) ----
// What a scan of a folder found, kept so that a folder of thousands of names is not read again
// for each name looked up or made: where each name lies (its entry is read again on a hit, so
// sizes, times and attributes are never stale), the short names in use, and from where free
// entries may be. Entries are only ever made and removed through RegisterEntry and RemoveEntries,
// which keep the index; a folder's chain freed drops its index.
struct DirIndex {
  struct Entry {
    FatDirCursor first, entry;
    std::u16string longName, shortName;
    // A folder's first cluster, which only a rename or removal (both through the index) changes:
    // paths through the folder need not read its entry again.
    bool folder = false;
    u32 cluster = 0;
  };
  u32 start = 0;
  std::vector<Entry> entries;
  std::unordered_map<std::u16string, u32> byName;  // upper-cased names, long and short, to entries
  std::set<FatShortName> shorts;
  FatDirCursor hint;           // no free entry lies before it
  bool hintValid = false;      // else the search starts at the folder's beginning
  bool hintInclusive = false;  // the hint itself may be free
};

// The index of a folder, read when it is not kept (null on a read error, with r set).
DirIndex* IndexOf(FatFs& v, u32 start, int& r);
// The kept index of a folder, or null.
DirIndex* KeptIndex(FatFs& v, u32 start);
void DropIndex(FatFs& v, u32 start);
std::u16string Upper(std::u16string_view name);

// ---- folders (fat_dir.cpp) ----
void FillInfo(const FatFs& v, const u8* e, FatEntryInfo& info);

// The root is start 0 on every type.
int DirRewind(FatFs& v, FatDirCursor& cur, u32 start);
// Moves to the next entry; at the end FAT_NO_FILE, or with stretch a new zeroed cluster
// (FAT_DENIED for a full fixed root or 65536 entries, FAT_DISK_FULL).
int DirNext(FatFs& v, FatDirCursor& cur, bool stretch);
// The entry under the cursor, in the window.
int DirEntry(FatFs& v, const FatDirCursor& cur, u8** entry);

// Reads the next entry from cur on (long names assembled); cur ends past it. FAT_NO_FILE at the end.
// withDots: "." and ".." are reported too (with their short names).
int DirRead(FatFs& v, FatDirCursor& cur, FatEntryInfo& info, bool withDots);

// A path split and checked: the names, or FAT_INVALID_NAME.
int SplitPath(std::u16string_view path, std::vector<std::u16string>& names);

// Where a path leads: the folder that holds its last name, and that entry when it exists.
struct PathPlace {
  u32 parent = 0;        // first cluster of the folder of the last name (0 root)
  std::u16string name;   // the last name (empty for the root)
  bool found = false;
  FatEntryInfo info;     // when found
  std::vector<u32> folders;  // first clusters of every folder on the way, the root's 0 first
};
// FAT_OK (found or not), FAT_NO_PATH when a folder on the way is missing or no folder,
// FAT_INVALID_NAME.
int FollowPath(FatFs& v, std::u16string_view path, PathPlace& place);

// Looks a name up in a folder.
int FindInDir(FatFs& v, u32 start, std::u16string_view name, FatEntryInfo& info, bool& found);

// What a new entry takes over (times, attributes, cluster, size).
struct NewEntry {
  u8 attributes = 0;
  u32 cluster = 0;
  u32 size = 0;
  u16 createTime = 0, createDate = 0, writeTime = 0, writeDate = 0;
  u8 createTenth = 0;
};
// Enters a name into a folder; ignore: an entry that may keep the short name (a rename of the
// same entry). The short entry's place comes back in at; copy: its fields from the attributes on
// are taken from these 32 bytes instead of entry. A name of up to 16 entries never crosses a
// sector, so that one write of a sector makes or changes it whole.
int RegisterEntry(FatFs& v, u32 dir, std::u16string_view name, const NewEntry& entry,
                  const FatDirCursor* ignore, FatDirCursor* at, const u8* copy = nullptr);
// Gives an entry a new name in its folder within the sector that holds it, in its own places and
// free ones: the window's one sector then goes to the medium in one write, so that a crash leaves
// the old name or the new one. *done false (nothing changed) when the name does not fit there.
// fields: the short entry's bytes from the attributes on, when they change too.
int RenameInSector(FatFs& v, const FatEntryInfo& info, std::u16string_view name, bool* done, FatDirCursor* at,
                   const u8* fields = nullptr);
// Marks the entries of an entry from first to its short entry as deleted.
int RemoveEntries(FatFs& v, const FatEntryInfo& info);
// Whether a folder holds nothing but dot entries and deleted ones.
int DirIsEmpty(FatFs& v, u32 start, bool& empty);

// The current local time in DOS form (fat_time.cpp).
u32 NowDos();

}  // namespace fat
