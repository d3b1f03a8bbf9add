// What the parts of the exFAT engine share: field access, clusters, the bitmap, entry sets and names.
#pragma once

#include "FileSystem/Exfat/exfat_engine.h"

#include <string>
#include <string_view>

namespace exfat {

inline u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
inline u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
inline u64 Le64(const u8* p) { return u64{Le32(p)} | u64{Le32(p + 4)} << 32; }
inline void Put16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void Put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
inline void Put64(u8* p, u64 v) {
  Put32(p, static_cast<u32>(v));
  Put32(p + 4, static_cast<u32>(v >> 32));
}

// Boot sector fields.
enum : int {
  BOOT_VOLUME_LENGTH = 72,
  BOOT_FAT_OFFSET = 80,
  BOOT_FAT_LENGTH = 84,
  BOOT_HEAP_OFFSET = 88,
  BOOT_CLUSTER_COUNT = 92,
  BOOT_ROOT_CLUSTER = 96,
  BOOT_REVISION = 104,
  BOOT_FLAGS = 106,
  BOOT_SECTOR_SHIFT = 108,
  BOOT_CLUSTER_SHIFT = 109,
  BOOT_FAT_COUNT = 110,
  BOOT_PERCENT = 112,
};
inline constexpr u16 kVolumeDirty = 0x02;
inline constexpr u16 kMediaFailure = 0x04;

// Entry types and fields.
enum : u8 {
  ENTRY_END = 0x00,
  ENTRY_BITMAP = 0x81,
  ENTRY_UPCASE = 0x82,
  ENTRY_LABEL = 0x83,
  ENTRY_FILE = 0x85,
  ENTRY_STREAM = 0xC0,
  ENTRY_NAME = 0xC1,
  ENTRY_IN_USE = 0x80,
  ENTRY_SECONDARY = 0x40,
  ENTRY_BENIGN = 0x20,
};
enum : int {
  FILE_SECONDARY_COUNT = 1,
  FILE_CHECKSUM = 2,
  FILE_ATTRIBUTES = 4,
  FILE_CREATE = 8,
  FILE_MODIFY = 12,
  FILE_ACCESS = 16,
  FILE_CREATE_CS = 20,
  FILE_MODIFY_CS = 21,
  FILE_CREATE_UTC = 22,
  FILE_MODIFY_UTC = 23,
  FILE_ACCESS_UTC = 24,
  STREAM_FLAGS = 1,
  STREAM_NAME_LENGTH = 3,
  STREAM_NAME_HASH = 4,
  STREAM_VALID_LENGTH = 8,
  STREAM_CLUSTER = 20,
  STREAM_LENGTH = 24,
  NAME_UNITS = 2,
};
enum : u8 { STREAM_ALLOCATION_POSSIBLE = 0x01, STREAM_NO_FAT_CHAIN = 0x02 };
inline constexpr u32 kEntry = 32;
inline constexpr u32 kSector = 512;  // what one write of the medium changes whole
inline constexpr u32 kSectorEntries = kSector / kEntry;
inline constexpr u32 kNameUnits = 15;
inline constexpr u32 kMaxSecondary = 18;  // a stream entry and 17 name entries hold 255 units
inline constexpr u64 kMaxDirectory = 256u << 20;  // the format's bound on a directory's length
inline constexpr u32 kBadCluster = 0xFFFFFFF7;
inline constexpr u32 kEndOfChain = 0xFFFFFFFF;

// ---- clusters and the bitmap (exfat_clusters.cpp) ----
inline bool IsCluster(const ExfatFs& v, u32 c) { return c >= 2 && c - 2 < v.clusterCount; }
inline u64 ClusterOffset(const ExfatFs& v, u32 c) { return v.heapOffset + u64{c - 2} * v.clusterBytes; }
inline u64 ClustersFor(const ExfatFs& v, u64 bytes) { return (bytes + v.clusterBytes - 1) / v.clusterBytes; }
int GetFat(ExfatFs& v, u32 c, u32* next);
int PutFat(ExfatFs& v, u32 c, u32 next);
// The length of the FAT chain from first, or -5 for a broken chain.
int ChainLength(ExfatFs& v, u32 first, u32* count);
// The cluster of a node's cluster index (through the node's cache).
int NodeCluster(ExfatFs& v, ExfatNode& node, u32 index, u32* cluster);
// Gives the node count clusters (adding, zeroed first with zero, or freeing). Freeing leaves the
// entry set alone: a set on the medium must have let the clusters go before.
int ResizeChain(ExfatFs& v, ExfatNode& node, u64 oldCount, u64 newCount, bool zero = false);
// Frees the clusters from index keep to count of a chain (contiguous or linked) that no entry set
// on the medium holds any more.
int FreeClusters(ExfatFs& v, u32 first, bool contiguous, u64 keep, u64 count);
// Walks a node's clusters once (a linked chain that meets a cluster again, ends early or leaves
// the volume is -5) and, on a writable volume, finds them marked used in the bitmap (else the
// volume is damaged).
int CheckClusters(ExfatFs& v, ExfatNode& node);
// Whether the bitmap marks a node's clusters used (a linked chain by its first cluster).
int ClustersMarked(ExfatFs& v, const ExfatNode& node, bool* marked);
// The bitmap is wrong: allocation stops and the drive's note says why.
void MarkDamaged(ExfatFs& v);
int FlushBitmap(ExfatFs& v);

// ---- node contents (exfat_file.cpp) ----
// Raw bytes of a node's clusters, without regard to its sizes.
int ReadRaw(ExfatFs& v, ExfatNode& node, u64 offset, void* buffer, u64 size);
int WriteRaw(ExfatFs& v, ExfatNode& node, u64 offset, const void* buffer, u64 size);
int WriteZeros(ExfatFs& v, ExfatNode& node, u64 offset, u64 size);

// ---- entry sets and nodes (exfat_nodes.cpp) ----
int LoadChildren(ExfatFs& v, ExfatNode& dir);
// The child of that name (through the upcase table), not unlinked; null when none.
ExfatNode* FindChild(const ExfatFs& v, const ExfatNode& dir, std::u16string_view name);
void DropNode(ExfatFs& v, ExfatNode* node);
// Marks the node's entry set as not in use.
int EraseEntries(ExfatFs& v, ExfatNode& node);
// Writes a new entry set of the node into dir (space found or made there). A set of up to 16
// entries never crosses a sector, so that one write of a sector rewrites it whole.
int WriteEntrySet(ExfatFs& v, ExfatNode& dir, ExfatNode& node);
// Rewrites the node's set under name in the sector that holds it, in its own entries, those of
// other (a set of that folder that goes, when it lies in that sector too) and unused ones: one
// sector write, so that a crash leaves the old set or the new one. *done false (and nothing
// written) when the new set does not fit there.
int RenameInSector(ExfatFs& v, ExfatNode& node, std::u16string_view name, ExfatNode* other, bool* done);

// ---- names (exfat_names.cpp) ----
bool NamesEqual(const ExfatFs& v, std::u16string_view a, std::u16string_view b);
// The names of a path, "." left out.
std::vector<std::string_view> SplitPath(std::string_view path);

i64 Now();

}  // namespace exfat
