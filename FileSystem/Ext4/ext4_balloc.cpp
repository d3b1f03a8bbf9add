// Block and inode allocation and freeing: bitmaps, group and superblock counts, lazily initialised groups.
#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_fs.h"
#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>
#include <ctime>

namespace {

u64 CeilDiv(u64 a, u64 b) {
  return a / b + (a % b != 0);
}

// Descriptor fields: low 16 bits, and the high 16 bits in 64-byte descriptors.
enum : u32 {
  D_FREE_BLOCKS = 0x0C,
  D_FREE_INODES = 0x0E,
  D_USED_DIRS = 0x10,
  D_FLAGS = 0x12,
  D_BLOCK_CSUM = 0x18,
  D_INODE_CSUM = 0x1A,
  D_ITABLE_UNUSED = 0x1C,
  D_FREE_BLOCKS_HI = 0x2C,
  D_FREE_INODES_HI = 0x2E,
  D_USED_DIRS_HI = 0x30,
  D_ITABLE_UNUSED_HI = 0x32,
  D_BLOCK_CSUM_HI = 0x38,
  D_INODE_CSUM_HI = 0x3A,
};

u32 Desc32(const Ext4Fs& fs, const u8* d, u32 lo, u32 hi) {
  return Ext4Le16(d + lo) | (fs.descSize > 32 ? u32{Ext4Le16(d + hi)} << 16 : 0);
}
void SetDesc32(const Ext4Fs& fs, u8* d, u32 lo, u32 hi, u32 v) {
  Ext4SetLe16(d + lo, static_cast<u16>(v));
  if (fs.descSize > 32) Ext4SetLe16(d + hi, static_cast<u16>(v >> 16));
}

// Superblock counters (kept in memory, written at unmount).
u64 SbFreeBlocks(const Ext4Fs& fs) {
  u64 v = Ext4Le32(fs.sb.data() + 0x0C);
  if (fs.incompat & EXT4_INCOMPAT_64BIT) v |= u64{Ext4Le32(fs.sb.data() + 0x158)} << 32;
  return v;
}
void SbSetFreeBlocks(Ext4Fs& fs, u64 v) {
  Ext4SetLe32(fs.sb.data() + 0x0C, static_cast<u32>(v));
  if (fs.incompat & EXT4_INCOMPAT_64BIT) Ext4SetLe32(fs.sb.data() + 0x158, static_cast<u32>(v >> 32));
}
void SbAddFreeInodes(Ext4Fs& fs, i64 delta) {
  Ext4SetLe32(fs.sb.data() + 0x10, static_cast<u32>(Ext4Le32(fs.sb.data() + 0x10) + delta));
}

// Whether the group's lazy-init flags and unused-inode count mean anything.
bool Lazy(const Ext4Fs& fs, u32 group, const u8* desc) {
  return Ext4GroupFlagsTrusted(fs, group, desc);
}

void StampBlockBitmap(const Ext4Fs& fs, u8* desc, const u8* map) {
  if (!fs.metadataCsum) return;
  const u32 c = Ext4Crc32c(fs.csumSeed, map, fs.blocksPerGroup / 8);
  Ext4SetLe16(desc + D_BLOCK_CSUM, static_cast<u16>(c));
  if (fs.descSize >= 0x3C) Ext4SetLe16(desc + D_BLOCK_CSUM_HI, static_cast<u16>(c >> 16));
}
void StampInodeBitmap(const Ext4Fs& fs, u8* desc, const u8* map) {
  if (!fs.metadataCsum) return;
  const u32 c = Ext4Crc32c(fs.csumSeed, map, (fs.inodesPerGroup + 7) / 8);
  Ext4SetLe16(desc + D_INODE_CSUM, static_cast<u16>(c));
  if (fs.descSize >= 0x3C) Ext4SetLe16(desc + D_INODE_CSUM_HI, static_cast<u16>(c >> 16));
}

bool TestBit(const u8* map, u32 bit) {
  return map[bit / 8] & (1u << (bit % 8));
}
void SetBit(u8* map, u32 bit) {
  map[bit / 8] |= static_cast<u8>(1u << (bit % 8));
}
void ClearBit(u8* map, u32 bit) {
  map[bit / 8] &= static_cast<u8>(~(1u << (bit % 8)));
}

// The first clear bit in [from, to), or to.
u32 FindClear(const u8* map, u32 from, u32 to) {
  u32 b = from;
  while (b < to && (b % 8)) {
    if (!TestBit(map, b)) return b;
    ++b;
  }
  while (b + 64 <= to) {
    u64 word;
    std::memcpy(&word, map + b / 8, 8);
    if (word != ~u64{0}) break;
    b += 64;
  }
  while (b + 8 <= to && map[b / 8] == 0xFF) b += 8;
  for (; b < to; ++b)
    if (!TestBit(map, b)) return b;
  return to;
}

// The group's block bitmap held for a change; a never-initialised one is built and written first.
int GetBlockBitmap(Ext4Fs* fs, Ext4GroupRef& g, Ext4BlockRef& bm) {
  const u64 at = Ext4GroupBlockBitmap(*fs, g.desc);
  if (at < fs->firstDataBlock || at >= fs->blocksCount) return EXT4_EIO;
  if (!(Ext4GroupFlags(g.desc) & EXT4_BG_BLOCK_UNINIT)) return Ext4BlockGet(*fs->dev, bm, at);
  std::vector<u8> built;
  if (const int r = Ext4GroupReadBlockBitmap(fs, g.group, &built); r) return r;
  if (const int r = Ext4BlockGetNoRead(*fs->dev, bm, at); r) return r;
  std::memcpy(bm.data, built.data(), fs->blockSize);
  Ext4SetLe16(g.desc + D_FLAGS, Ext4GroupFlags(g.desc) & ~EXT4_BG_BLOCK_UNINIT);
  StampBlockBitmap(*fs, g.desc, bm.data);
  Ext4TransSetBlockDirty(fs, *bm.buf);
  g.dirty = true;
  return EXT4_OK;
}

// A fault found in the volume's own structures: the operation fails with 5, the volume is marked
// as having errors and refuses further work until unmounted.
int VolumeFault(Ext4Fs& fs) {
  u8* sb = fs.sb.data();
  Ext4SetLe16(sb + EXT4_SB_STATE, Ext4Le16(sb + EXT4_SB_STATE) | EXT4_STATE_ERROR);
  if (fs.dev && fs.dev->volume) fs.dev->volume->broken = true;
  return EXT4_EIO;
}

// Adds [first, first + count) to a list of runs.
void AddZone(std::vector<std::pair<u64, u64>>& z, u64 first, u64 count) {
  if (count) z.emplace_back(first, first + count);
}

// Superblock copies, descriptor blocks, bitmaps, inode tables and the journal: sorted, merged runs.
int BuildSystemZone(Ext4Fs& fs) {
  std::vector<std::pair<u64, u64>> z;
  const u16 reserved = Ext4Le16(fs.sb.data() + EXT4_SB_RESERVED_GDT);
  const u64 descBlocks = CeilDiv(fs.groupCount, fs.descPerBlock);
  const bool metaBg = fs.incompat & EXT4_INCOMPAT_META_BG;
  const u32 firstMeta = Ext4Le32(fs.sb.data() + EXT4_SB_FIRST_META_BG);
  const u64 tableBlocks = CeilDiv(u64{fs.inodesPerGroup} * fs.inodeSize, fs.blockSize);
  AddZone(z, 0, Ext4GroupSuperBlock(fs, 0) + 1);
  for (u32 g = 0; g < fs.groupCount; ++g) {
    const u64 first = Ext4GroupFirstBlock(fs, g);
    if (Ext4GroupHasSuper(fs, g))
      AddZone(z, Ext4GroupSuperBlock(fs, g), 1 + (metaBg ? firstMeta : descBlocks) + reserved);
    if (metaBg && g / fs.descPerBlock >= firstMeta) {
      const u32 in = g % fs.descPerBlock;
      // The meta group's descriptor block, and its copies in the second and last group.
      if (in == 0 || in == 1 || in == fs.descPerBlock - 1)
        AddZone(z, first + (Ext4GroupHasSuper(fs, g) ? 1 : 0), 1);
    }
    Ext4GroupRef ref;
    if (const int r = Ext4GroupGet(&fs, g, &ref); r) return r;
    AddZone(z, Ext4GroupBlockBitmap(fs, ref.desc), 1);
    AddZone(z, Ext4GroupInodeBitmap(fs, ref.desc), 1);
    AddZone(z, Ext4GroupInodeTable(fs, ref.desc), tableBlocks);
    Ext4GroupPut(&ref);
  }
  const u32 journal = Ext4Le32(fs.sb.data() + EXT4_SB_JOURNAL_INUM);
  if ((fs.compat & EXT4_COMPAT_HAS_JOURNAL) && journal) {
    Ext4InodeRef j;
    if (Ext4InodeGet(&fs, journal, &j) == EXT4_OK) {
      // A damaged size must not walk past what a file of this volume can map.
      const bool extents = Ext4InodeFlags(j.inode) & EXT4_INODE_EXTENTS;
      const u64 blocks = std::min({CeilDiv(Ext4InodeSize(fs, j.inode), fs.blockSize), fs.blocksCount,
                                   extents ? u64{1} << 32 : fs.levelLimit[3]});
      for (u64 l = 0; l < blocks;) {
        u64 phys = 0;
        u32 n = 1;
        if (Ext4InodeGetBlock(&j, l, &phys, &n) != EXT4_OK) break;
        n = static_cast<u32>(std::min<u64>(std::max<u32>(n, 1), blocks - l));
        if (phys) AddZone(z, phys, (Ext4InodeFlags(j.inode) & EXT4_INODE_EXTENTS) ? n : 1);
        l += (Ext4InodeFlags(j.inode) & EXT4_INODE_EXTENTS) ? n : 1;
      }
      Ext4InodePut(&j);
    }
  }
  // A listed bad block is never allocated: the allocator takes it for damage of the bitmap.
  Ext4BadBlocks(fs, z);
  std::sort(z.begin(), z.end());
  fs.systemZone.clear();
  for (const auto& run : z) {
    if (!fs.systemZone.empty() && run.first <= fs.systemZone.back().second)
      fs.systemZone.back().second = std::max(fs.systemZone.back().second, run.second);
    else
      fs.systemZone.push_back(run);
  }
  fs.systemZoneBuilt = true;
  return EXT4_OK;
}

u16 TypeMode(u32 fileType) {
  switch (fileType) {
    case 1:
      return EXT4_S_IFREG | 0666;
    case 2:
      return EXT4_S_IFDIR | 0777;
    case 7:
      return EXT4_S_IFLNK | 0666;
    default:
      return 0;
  }
}

// Zeroes the never-used records of a group's inode table and marks it zeroed. Long tables are
// zeroed in chunks, each of which may close the running transaction.
int ZeroInodeTable(Ext4Fs* fs, u32 group) {
  Ext4GroupRef g;
  if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
  const u64 table = Ext4GroupInodeTable(*fs, g.desc);
  const u32 unused = std::min(Ext4GroupItableUnused(*fs, g.desc), fs->inodesPerGroup);
  const u32 firstUnused = (Ext4GroupFlags(g.desc) & EXT4_BG_INODE_UNINIT) ? 0 : fs->inodesPerGroup - unused;
  Ext4GroupPut(&g);
  const u64 tableBlocks = CeilDiv(u64{fs->inodesPerGroup} * fs->inodeSize, fs->blockSize);
  if (table < fs->firstDataBlock || table + tableBlocks > fs->blocksCount) return EXT4_EIO;
  const u32 perBlock = fs->blockSize / fs->inodeSize;
  u64 b = firstUnused / perBlock;
  if (firstUnused % perBlock) {
    Ext4BlockRef ref;
    if (const int r = Ext4BlockGet(*fs->dev, ref, table + b); r) return r;
    const u32 from = (firstUnused % perBlock) * fs->inodeSize;
    std::memset(ref.data + from, 0, fs->blockSize - from);
    Ext4TransSetBlockDirty(fs, *ref.buf);
    ++b;
  }
  for (u32 n = 0; b < tableBlocks; ++b, ++n) {
    if (n && n % 64 == 0 && fs->dev->volume) {
      if (const int r = Ext4TransRestartIfFull(fs->dev->volume); r) return r;
    }
    Ext4BlockRef ref;
    if (const int r = Ext4BlockGetNoRead(*fs->dev, ref, table + b); r) return r;
    std::memset(ref.data, 0, fs->blockSize);
    Ext4TransSetBlockDirty(fs, *ref.buf);
  }
  if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
  Ext4SetLe16(g.desc + D_FLAGS, Ext4GroupFlags(g.desc) | EXT4_BG_INODE_ZEROED);
  g.dirty = true;
  return Ext4GroupPut(&g);
}

}  // namespace

bool Ext4BlockCountFits(const Ext4Fs& fs, u64 count) {
  if (count <= 0xFFFFFFFFull) return true;
  if (!(fs.roCompat & EXT4_RO_COMPAT_HUGE_FILE)) return false;
  return count < (u64{1} << 48) || count / (fs.blockSize / 512) < (u64{1} << 48);
}

int Ext4InodeSetBlockCount(const Ext4Fs& fs, u8* inode, u64 count) {
  u32 flags = Ext4InodeFlags(inode);
  if (count <= 0xFFFFFFFFull) {
    Ext4SetLe32(inode + EXT4_I_BLOCKS_LO, static_cast<u32>(count));
    Ext4SetLe16(inode + EXT4_I_BLOCKS_HI, 0);
    Ext4SetLe32(inode + EXT4_I_FLAGS, flags & ~EXT4_INODE_HUGE_FILE);
    return EXT4_OK;
  }
  if (!(fs.roCompat & EXT4_RO_COMPAT_HUGE_FILE)) return EXT4_EINVAL;
  if (count < (u64{1} << 48)) {
    flags &= ~EXT4_INODE_HUGE_FILE;
  } else {
    count /= fs.blockSize / 512;
    if (count >= (u64{1} << 48)) return EXT4_EINVAL;
    flags |= EXT4_INODE_HUGE_FILE;
  }
  Ext4SetLe32(inode + EXT4_I_BLOCKS_LO, static_cast<u32>(count));
  Ext4SetLe16(inode + EXT4_I_BLOCKS_HI, static_cast<u16>(count >> 32));
  Ext4SetLe32(inode + EXT4_I_FLAGS, flags);
  return EXT4_OK;
}

int Ext4VolumeDamaged(Ext4Fs& fs) { return VolumeFault(fs); }

bool Ext4BadBlocks(Ext4Fs& fs, std::vector<std::pair<u64, u64>>& runs) {
  // Lists hold a few blocks; one longer than this is damage.
  constexpr u64 kMaxListed = 65536;
  Ext4InodeRef ref;
  if (Ext4InodeGet(&fs, 1, &ref) != EXT4_OK) return false;
  const u64 blocks = CeilDiv(Ext4InodeSize(fs, ref.inode), fs.blockSize);
  bool whole = blocks <= kMaxListed && !(Ext4InodeFlags(ref.inode) & EXT4_INODE_EXTENTS);
  for (u64 l = 0; whole && l < blocks; ++l) {
    u64 phys = 0;
    u32 n = 1;
    if (Ext4InodeGetBlock(&ref, l, &phys, &n) != EXT4_OK) whole = false;
    else if (phys) AddZone(runs, phys, 1);
  }
  Ext4InodePut(&ref);
  return whole;
}

bool Ext4InSystemZone(Ext4Fs* fs, u64 first, u64 count) {
  if (first < fs->firstDataBlock || first >= fs->blocksCount || count > fs->blocksCount - first) return true;
  if (!fs->systemZoneBuilt && BuildSystemZone(*fs) != EXT4_OK) return true;
  const auto& z = fs->systemZone;
  // The first run that ends after first.
  auto it = std::upper_bound(z.begin(), z.end(), first,
                             [](u64 v, const std::pair<u64, u64>& run) { return v < run.second; });
  return it != z.end() && it->first < first + count;
}

int Ext4BlockAlloc(Ext4InodeRef* ref, u64 goal, u64* physical) {
  *physical = 0;
  if (!ref || !ref->fs || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  const u32 per = fs.blockSize / 512;
  // Refused before any bit is set.
  if (!Ext4BlockCountFits(fs, Ext4InodeBlockCount(fs, ref->inode) + per)) return EXT4_EINVAL;
  goal = std::clamp<u64>(goal, fs.firstDataBlock, fs.blocksCount - 1);
  const u32 goalGroup = static_cast<u32>((goal - fs.firstDataBlock) / fs.blocksPerGroup);
  const u32 goalIndex = static_cast<u32>((goal - fs.firstDataBlock) % fs.blocksPerGroup);
  for (u32 i = 0; i <= fs.groupCount; ++i) {
    const u32 group = (goalGroup + i) % fs.groupCount;
    Ext4GroupRef g;
    if (const int r = Ext4GroupGet(&fs, group, &g); r) return r;
    if (Desc32(fs, g.desc, D_FREE_BLOCKS, D_FREE_BLOCKS_HI) == 0) {
      Ext4GroupPut(&g);
      continue;
    }
    Ext4BlockRef bm;
    if (const int r = GetBlockBitmap(&fs, g, bm); r) {
      Ext4GroupPut(&g);
      return r;
    }
    const u32 limit = Ext4GroupBlockCount(fs, group);
    u32 bit = limit;
    if (i == 0 && goalIndex < limit) {
      if (!TestBit(bm.data, goalIndex)) {
        bit = goalIndex;
      } else {
        const u32 word = std::min(limit, (goalIndex + 64) / 64 * 64);
        bit = FindClear(bm.data, goalIndex + 1, word);
        if (bit == word) bit = FindClear(bm.data, word, limit);
        if (bit == limit) bit = limit;
      }
    } else {
      bit = FindClear(bm.data, 0, i == fs.groupCount ? std::min(goalIndex, limit) : limit);
      if (i == fs.groupCount && bit == std::min(goalIndex, limit)) bit = limit;
    }
    if (bit >= limit) {
      bm = {};
      Ext4GroupPut(&g);
      continue;
    }
    const u64 block = Ext4GroupFirstBlock(fs, group) + bit;
    if (Ext4InSystemZone(&fs, block, 1)) {
      Ext4GroupPut(&g);
      return VolumeFault(fs);
    }
    SetBit(bm.data, bit);
    StampBlockBitmap(fs, g.desc, bm.data);
    Ext4TransSetBlockDirty(&fs, *bm.buf);
    SetDesc32(fs, g.desc, D_FREE_BLOCKS, D_FREE_BLOCKS_HI,
              Desc32(fs, g.desc, D_FREE_BLOCKS, D_FREE_BLOCKS_HI) - 1);
    g.dirty = true;
    bm = {};
    if (const int r = Ext4GroupPut(&g); r) return r;
    const u64 free = SbFreeBlocks(fs);
    SbSetFreeBlocks(fs, free ? free - 1 : 0);
    Ext4InodeSetBlockCount(fs, ref->inode, Ext4InodeBlockCount(fs, ref->inode) + per);
    ref->dirty = true;
    *physical = block;
    return EXT4_OK;
  }
  return EXT4_ENOSPC;
}

int Ext4BlocksFree(Ext4InodeRef* ref, u64 first, u32 count) {
  if (!ref || !ref->fs) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  if (count == 0) return EXT4_OK;
  if (Ext4InSystemZone(&fs, first, count)) return VolumeFault(fs);
  const u64 end = first + count;
  // Every bit must be set before any is cleared.
  for (int pass = 0; pass < 2; ++pass) {
    for (u64 b = first; b < end;) {
      const u32 group = static_cast<u32>((b - fs.firstDataBlock) / fs.blocksPerGroup);
      const u64 groupFirst = Ext4GroupFirstBlock(fs, group);
      const u64 runEnd = std::min<u64>(end, groupFirst + Ext4GroupBlockCount(fs, group));
      Ext4GroupRef g;
      if (const int r = Ext4GroupGet(&fs, group, &g); r) return r;
      if ((Ext4GroupFlags(g.desc) & EXT4_BG_BLOCK_UNINIT) && Ext4GroupFlagsTrusted(fs, group, g.desc)) {
        Ext4GroupPut(&g);
        return VolumeFault(fs);  // nothing was ever allocated there
      }
      const u64 at = Ext4GroupBlockBitmap(fs, g.desc);
      Ext4BlockRef bm;
      if (at < fs.firstDataBlock || at >= fs.blocksCount) {
        Ext4GroupPut(&g);
        return EXT4_EIO;
      }
      if (const int r = Ext4BlockGet(*fs.dev, bm, at); r) {
        Ext4GroupPut(&g);
        return r;
      }
      for (u64 x = b; x < runEnd; ++x) {
        const u32 bit = static_cast<u32>(x - groupFirst);
        if (pass == 0 && !TestBit(bm.data, bit)) {
          bm = {};
          Ext4GroupPut(&g);
          return VolumeFault(fs);
        }
        if (pass == 1) ClearBit(bm.data, bit);
      }
      if (pass == 1) {
        StampBlockBitmap(fs, g.desc, bm.data);
        Ext4TransSetBlockDirty(&fs, *bm.buf);
        SetDesc32(fs, g.desc, D_FREE_BLOCKS, D_FREE_BLOCKS_HI,
                  Desc32(fs, g.desc, D_FREE_BLOCKS, D_FREE_BLOCKS_HI) + static_cast<u32>(runEnd - b));
        g.dirty = true;
      }
      bm = {};
      if (const int r = Ext4GroupPut(&g); r) return r;
      b = runEnd;
    }
  }
  SbSetFreeBlocks(fs, SbFreeBlocks(fs) + count);
  if (ref->inode) {
    const u64 have = Ext4InodeBlockCount(fs, ref->inode), less = u64{count} * (fs.blockSize / 512);
    Ext4InodeSetBlockCount(fs, ref->inode, have > less ? have - less : 0);
    ref->dirty = true;
  }
  int result = EXT4_OK;
  for (u64 b = first; b < end; ++b)
    if (const int r = Ext4TransTryRevokeBlock(&fs, b); r && result == EXT4_OK) result = r;
  return result;
}

int Ext4BlockFree(Ext4InodeRef* ref, u64 block) {
  return Ext4BlocksFree(ref, block, 1);
}

int Ext4InodeAlloc(Ext4Fs* fs, Ext4InodeRef* ref, u32 fileType) {
  if (!fs || !ref) return EXT4_EINVAL;
  if (fs->readOnly) return EXT4_EROFS;
  const u16 mode = TypeMode(fileType);
  if (!mode) return EXT4_EINVAL;
  // New inodes belong to the owner of the root folder.
  u8 owner[8] = {};
  {
    Ext4InodeRef root;
    if (const int r = Ext4InodeGet(fs, 2, &root); r) return r;
    std::memcpy(owner, root.inode + EXT4_I_UID, 2);
    std::memcpy(owner + 2, root.inode + 0x18, 2);
    std::memcpy(owner + 4, root.inode + 0x78, 4);
    Ext4InodePut(&root);
  }
  for (u32 i = 0; i < fs->groupCount; ++i) {
    const u32 group = (fs->lastInodeGroup + i) % fs->groupCount;
    Ext4GroupRef g;
    if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
    if (Desc32(*fs, g.desc, D_FREE_INODES, D_FREE_INODES_HI) == 0) {
      Ext4GroupPut(&g);
      continue;
    }
    if (Lazy(*fs, group, g.desc) && !(Ext4GroupFlags(g.desc) & EXT4_BG_INODE_ZEROED)) {
      Ext4GroupPut(&g);
      if (const int r = ZeroInodeTable(fs, group); r) return r;
      if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
    }
    const bool lazy = Lazy(*fs, group, g.desc);
    const u64 at = Ext4GroupInodeBitmap(*fs, g.desc);
    if (at < fs->firstDataBlock || at >= fs->blocksCount) {
      Ext4GroupPut(&g);
      return EXT4_EIO;
    }
    Ext4BlockRef bm;
    if (lazy && (Ext4GroupFlags(g.desc) & EXT4_BG_INODE_UNINIT)) {
      if (const int r = Ext4BlockGetNoRead(*fs->dev, bm, at); r) {
        Ext4GroupPut(&g);
        return r;
      }
      std::memset(bm.data, 0, fs->blockSize);
      for (u32 b = fs->inodesPerGroup; b < fs->blockSize * 8; ++b) SetBit(bm.data, b);
      Ext4SetLe16(g.desc + D_FLAGS, Ext4GroupFlags(g.desc) & ~EXT4_BG_INODE_UNINIT);
      SetDesc32(*fs, g.desc, D_ITABLE_UNUSED, D_ITABLE_UNUSED_HI, fs->inodesPerGroup);
      g.dirty = true;
    } else if (const int r = Ext4BlockGet(*fs->dev, bm, at); r) {
      Ext4GroupPut(&g);
      return r;
    }
    const u32 limit = Ext4GroupInodeCount(*fs, group);
    const u32 index = FindClear(bm.data, 0, limit);
    if (index >= limit) {
      bm = {};
      Ext4GroupPut(&g);
      continue;
    }
    SetBit(bm.data, index);
    StampInodeBitmap(*fs, g.desc, bm.data);
    Ext4TransSetBlockDirty(fs, *bm.buf);
    bm = {};
    SetDesc32(*fs, g.desc, D_FREE_INODES, D_FREE_INODES_HI,
              Desc32(*fs, g.desc, D_FREE_INODES, D_FREE_INODES_HI) - 1);
    if (fileType == 2)
      SetDesc32(*fs, g.desc, D_USED_DIRS, D_USED_DIRS_HI,
                Desc32(*fs, g.desc, D_USED_DIRS, D_USED_DIRS_HI) + 1);
    if (lazy) {
      const u32 unused = std::min(Ext4GroupItableUnused(*fs, g.desc), fs->inodesPerGroup);
      if (index >= fs->inodesPerGroup - unused)
        SetDesc32(*fs, g.desc, D_ITABLE_UNUSED, D_ITABLE_UNUSED_HI, fs->inodesPerGroup - index - 1);
    }
    g.dirty = true;
    if (const int r = Ext4GroupPut(&g); r) return r;
    SbAddFreeInodes(*fs, -1);
    fs->lastInodeGroup = group;
    const u32 ino = group * fs->inodesPerGroup + index + 1;
    if (const int r = Ext4InodeGetFree(fs, ino, ref); r) return r;
    u8* in = ref->inode;
    std::memset(in, 0, fs->inodeSize);
    Ext4SetLe16(in + EXT4_I_MODE, mode);
    std::memcpy(in + EXT4_I_UID, owner, 2);
    std::memcpy(in + 0x18, owner + 2, 2);
    if (Ext4Le32(fs->sb.data() + EXT4_SB_CREATOR_OS) == 0) std::memcpy(in + 0x78, owner + 4, 4);
    if (fs->inodeSize > 128) Ext4SetLe16(in + 0x80, 28);
    const i64 now = static_cast<i64>(std::time(nullptr));
    for (u32 field : {EXT4_I_ATIME, EXT4_I_CTIME, EXT4_I_MTIME, EXT4_I_CRTIME})
      Ext4InodeSetTime(*fs, in, field, now);
    if (fileType != 7 && (fs->incompat & EXT4_INCOMPAT_EXTENTS)) {
      Ext4SetLe32(in + EXT4_I_FLAGS, EXT4_INODE_EXTENTS);
      u8* root = in + EXT4_I_BLOCK;
      Ext4SetLe16(root, 0xF30A);
      Ext4SetLe16(root + 4, 4);
    }
    ref->dirty = true;
    return EXT4_OK;
  }
  return EXT4_ENOSPC;
}

namespace {

// The inode's extended-attribute block loses this inode's reference; freed when none is left.
int ReleaseXattrBlock(Ext4InodeRef* ref) {
  Ext4Fs& fs = *ref->fs;
  u8* in = ref->inode;
  const bool linux = Ext4Le32(fs.sb.data() + EXT4_SB_CREATOR_OS) == 0;
  const u64 block = Ext4Le32(in + EXT4_I_FILE_ACL_LO) | (linux ? u64{Ext4Le16(in + 0x76)} << 32 : 0);
  if (!block) return EXT4_OK;
  if (Ext4InSystemZone(&fs, block, 1)) return VolumeFault(fs);
  u32 refs = 0;
  {
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs.dev, b, block); r) return r;
    if (Ext4Le32(b.data) != 0xEA020000) return EXT4_EIO;
    auto csum = [&] {
      u8 le[8];
      Ext4SetLe32(le, static_cast<u32>(block));
      Ext4SetLe32(le + 4, static_cast<u32>(block >> 32));
      const u8 zero[4] = {};
      u32 c = Ext4Crc32c(fs.csumSeed, le, 8);
      c = Ext4Crc32c(c, b.data, 0x10);
      c = Ext4Crc32c(c, zero, 4);
      return Ext4Crc32c(c, b.data + 0x14, fs.blockSize - 0x14);
    };
    // A block that fails its checksum is not given a fresh one.
    if (fs.metadataCsum && csum() != Ext4Le32(b.data + 0x10)) return EXT4_EIO;
    refs = Ext4Le32(b.data + 4);
    if (refs > 1) {
      Ext4SetLe32(b.data + 4, refs - 1);
      if (fs.metadataCsum) Ext4SetLe32(b.data + 0x10, csum());
      Ext4TransSetBlockDirty(&fs, *b.buf);
    }
  }
  if (refs <= 1) {
    if (const int r = Ext4BlocksFree(ref, block, 1); r) return r;
  } else {
    const u64 have = Ext4InodeBlockCount(fs, in), less = fs.blockSize / 512;
    Ext4InodeSetBlockCount(fs, in, have > less ? have - less : 0);
  }
  Ext4SetLe32(in + EXT4_I_FILE_ACL_LO, 0);
  if (linux) Ext4SetLe16(in + 0x76, 0);
  ref->dirty = true;
  return EXT4_OK;
}

}  // namespace

int Ext4InodeFree(Ext4InodeRef* ref) {
  if (!ref || !ref->fs || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  const u32 ino = ref->index;
  if (ino == 0 || ino > fs.inodesCount) return EXT4_EIO;
  // The root and the reserved inodes are never freed; a name leading to one is damage.
  if (ino < fs.firstIno) return VolumeFault(fs);
  if (Ext4InodeHasBlockMapping(fs, ref->inode)) {
    if (const int r = Ext4InodeReleaseAll(ref); r) return r;
  }
  if (const int r = ReleaseXattrBlock(ref); r) return r;
  const bool dir = (Ext4InodeMode(ref->inode) & EXT4_S_IFMT) == EXT4_S_IFDIR;
  Ext4InodeSetTime(fs, ref->inode, EXT4_I_DTIME, static_cast<i64>(std::time(nullptr)));
  ref->dirty = true;
  const u32 group = (ino - 1) / fs.inodesPerGroup, index = (ino - 1) % fs.inodesPerGroup;
  Ext4GroupRef g;
  if (const int r = Ext4GroupGet(&fs, group, &g); r) return r;
  const u64 at = Ext4GroupInodeBitmap(fs, g.desc);
  if (at < fs.firstDataBlock || at >= fs.blocksCount) {
    Ext4GroupPut(&g);
    return EXT4_EIO;
  }
  Ext4BlockRef bm;
  if (const int r = Ext4BlockGet(*fs.dev, bm, at); r) {
    Ext4GroupPut(&g);
    return r;
  }
  if (!TestBit(bm.data, index)) {
    bm = {};
    Ext4GroupPut(&g);
    return VolumeFault(fs);
  }
  ClearBit(bm.data, index);
  StampInodeBitmap(fs, g.desc, bm.data);
  Ext4TransSetBlockDirty(&fs, *bm.buf);
  bm = {};
  SetDesc32(fs, g.desc, D_FREE_INODES, D_FREE_INODES_HI,
            Desc32(fs, g.desc, D_FREE_INODES, D_FREE_INODES_HI) + 1);
  if (dir) {
    const u32 dirs = Desc32(fs, g.desc, D_USED_DIRS, D_USED_DIRS_HI);
    SetDesc32(fs, g.desc, D_USED_DIRS, D_USED_DIRS_HI, dirs ? dirs - 1 : 0);
  }
  g.dirty = true;
  if (const int r = Ext4GroupPut(&g); r) return r;
  SbAddFreeInodes(fs, 1);
  return EXT4_OK;
}
