// Inodes for writing: blocks for writes and appends (extents or the classic block map), truncation, release
// of every block, sizes and times.
#include "FileSystem/Ext4/ext4_fs.h"
#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>

namespace {

u64 CeilDiv(u64 a, u64 b) {
  return a / b + (a % b != 0);
}

bool UsesExtents(const Ext4Fs& fs, const u8* inode) {
  return (fs.incompat & EXT4_INCOMPAT_EXTENTS) && (Ext4InodeFlags(inode) & EXT4_INODE_EXTENTS);
}

u64 XattrBlock(const Ext4Fs& fs, const u8* inode) {
  const bool linux = Ext4Le32(fs.sb.data() + EXT4_SB_CREATOR_OS) == 0;
  return Ext4Le32(inode + EXT4_I_FILE_ACL_LO) | (linux ? u64{Ext4Le16(inode + 0x76)} << 32 : 0);
}

// The first block after the inode table of the inode's group: where a block-mapped file starts.
u64 GroupDataGoal(Ext4InodeRef* ref) {
  Ext4Fs& fs = *ref->fs;
  const u32 group = (ref->index - 1) / fs.inodesPerGroup;
  Ext4GroupRef g;
  if (Ext4GroupGet(&fs, group, &g) != EXT4_OK) return Ext4GroupFirstBlock(fs, group);
  const u64 goal =
      Ext4GroupInodeTable(fs, g.desc) + CeilDiv(u64{fs.inodesPerGroup} * fs.inodeSize, fs.blockSize);
  Ext4GroupPut(&g);
  return goal;
}

// The slot chain of a block-map logical block: the level (0 direct) and the entry index per level.
struct MapPos {
  int level = 0;
  u32 slot = 0;                // in the inode's block area
  std::array<u32, 4> index{};  // index[lv] for lv = level..1
};

int Locate(const Ext4Fs& fs, u64 logical, MapPos* pos) {
  if (logical < 12) {
    pos->level = 0;
    pos->slot = static_cast<u32>(logical);
    return EXT4_OK;
  }
  u64 rest = logical - 12;
  int level = 1;
  while (level <= 3 && rest >= fs.blocksPerLevel[level]) rest -= fs.blocksPerLevel[level++];
  if (level > 3) return EXT4_EFBIG;
  pos->level = level;
  pos->slot = 11 + level;
  for (int lv = level; lv >= 1; --lv) {
    const u64 under = lv == 1 ? 1 : fs.blocksPerLevel[lv - 1];
    pos->index[lv] = static_cast<u32>(rest / under);
    rest %= under;
  }
  return EXT4_OK;
}

bool BadPtr(const Ext4Fs& fs, u64 p) {
  return p < fs.firstDataBlock || p >= fs.blocksCount;
}

// Reads the mapping of a block-map logical block whatever the size says; 0 for a hole.
int MapGet(Ext4InodeRef* ref, u64 logical, u64* physical) {
  Ext4Fs& fs = *ref->fs;
  *physical = 0;
  MapPos pos;
  if (const int r = Locate(fs, logical, &pos); r) return r;
  u64 ptr = Ext4Le32(ref->inode + EXT4_I_BLOCK + pos.slot * 4);
  for (int lv = pos.level; lv >= 1 && ptr; --lv) {
    if (BadPtr(fs, ptr)) return EXT4_EIO;
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs.dev, b, ptr); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
    ptr = Ext4Le32(b.data + pos.index[lv] * 4);
  }
  if (ptr && BadPtr(fs, ptr)) return EXT4_EIO;
  *physical = ptr;
  return EXT4_OK;
}

// Maps a block-map logical block for writing: missing indirect blocks (zeroed) and the data block
// are allocated together, and on failure all of them are freed again.
int MapInit(Ext4InodeRef* ref, u64 logical, u64* physical, bool* fresh) {
  Ext4Fs& fs = *ref->fs;
  MapPos pos;
  if (const int r = Locate(fs, logical, &pos); r) return r;
  Ext4BlockRef held;  // the block holding the slot; none while it is in the inode
  u8* slot = ref->inode + EXT4_I_BLOCK + pos.slot * 4;
  int lv = pos.level;
  for (; lv >= 1; --lv) {
    const u64 ptr = Ext4Le32(slot);
    if (!ptr) break;
    if (BadPtr(fs, ptr)) return EXT4_EIO;
    // The pointer block gets written: it must not be the volume's own metadata.
    if (Ext4InSystemZone(&fs, ptr, 1)) return Ext4VolumeDamaged(fs);
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs.dev, b, ptr); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
    slot = b.data + pos.index[lv] * 4;
    held = std::move(b);
  }
  if (lv == 0 && Ext4Le32(slot)) {
    *physical = Ext4Le32(slot);
    return BadPtr(fs, *physical) ? EXT4_EIO : EXT4_OK;
  }
  // lv indirect blocks and one data block are missing.
  u64 goal = GroupDataGoal(ref);
  if (logical > 0) {
    u64 before = 0;
    if (MapGet(ref, logical - 1, &before) == EXT4_OK && before) goal = before + 1;
  }
  std::vector<u64> blocks;
  for (int k = 0; k <= lv; ++k) {
    u64 b = 0;
    if (const int r = Ext4BlockAlloc(ref, goal, &b); r) {
      for (u64 x : blocks) Ext4BlocksFree(ref, x, 1);
      return r;
    }
    blocks.push_back(b);
    goal = b + 1;
  }
  for (int k = 0; k < lv; ++k) {
    Ext4BlockRef b;
    if (const int r = Ext4BlockGetNoRead(*fs.dev, b, blocks[k]); r) {
      for (u64 x : blocks) Ext4BlocksFree(ref, x, 1);
      return r;
    }
    std::memset(b.data, 0, fs.blockSize);
    Ext4SetLe32(b.data + pos.index[lv - k] * 4, static_cast<u32>(blocks[k + 1]));
    Ext4TransSetBlockDirty(&fs, *b.buf);
  }
  Ext4SetLe32(slot, static_cast<u32>(blocks[0]));
  if (held.held())
    Ext4TransSetBlockDirty(&fs, *held.buf);
  else
    ref->dirty = true;
  *physical = blocks.back();
  if (fresh) *fresh = true;
  return EXT4_OK;
}

// Contiguous runs of blocks to free, handed over in one call each.
struct FreeRuns {
  Ext4InodeRef* ref;
  u64 first = 0;
  u32 count = 0;
  int Add(u64 b) {
    if (count && b == first + count && count < 0x10000000) {
      ++count;
      return EXT4_OK;
    }
    if (const int r = Flush(); r) return r;
    first = b;
    count = 1;
    return EXT4_OK;
  }
  int Flush() {
    const u32 n = count;
    count = 0;
    return n ? Ext4BlocksFree(ref, first, n) : EXT4_OK;
  }
};

// Frees every data block at or after logical `from` under a pointer of the level (0: a data block)
// whose first logical block is base; *gone tells that the pointer itself was freed.
int ReleaseTree(Ext4InodeRef* ref, FreeRuns& runs, u64 ptr, int level, u64 base, u64 from, bool* gone) {
  Ext4Fs& fs = *ref->fs;
  *gone = false;
  if (BadPtr(fs, ptr)) return EXT4_EIO;
  if (level == 0) {
    if (base < from) return EXT4_OK;
    *gone = true;
    return runs.Add(ptr);
  }
  const u64 span = level == 1 ? 1 : fs.blocksPerLevel[level - 1];
  const u32 per = fs.blockSize / 4;
  bool empty = true;
  {
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs.dev, b, ptr); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
    bool changed = false;
    for (u32 e = 0; e < per; ++e) {
      const u64 child = Ext4Le32(b.data + e * 4);
      if (!child) continue;
      const u64 childBase = base + e * span;
      if (childBase + span <= from) {
        empty = false;
        continue;
      }
      bool childGone = false;
      if (const int r = ReleaseTree(ref, runs, child, level - 1, childBase, from, &childGone); r) return r;
      if (childGone) {
        Ext4SetLe32(b.data + e * 4, 0);
        changed = true;
      } else {
        empty = false;
      }
    }
    if (changed && !empty) Ext4TransSetBlockDirty(&fs, *b.buf);
  }
  if (!empty) return EXT4_OK;
  *gone = true;
  if (const int r = runs.Flush(); r) return r;
  return Ext4BlocksFree(ref, ptr, 1);
}

// Frees the block map from logical `from` on, with indirect blocks that become empty.
int MapRelease(Ext4InodeRef* ref, u64 from) {
  Ext4Fs& fs = *ref->fs;
  FreeRuns runs{ref};
  u8* area = ref->inode + EXT4_I_BLOCK;
  for (u32 i = 0; i < 12; ++i) {
    const u64 p = Ext4Le32(area + i * 4);
    if (!p || i < from) continue;
    if (BadPtr(fs, p)) return EXT4_EIO;
    if (const int r = runs.Add(p); r) return r;
    Ext4SetLe32(area + i * 4, 0);
    ref->dirty = true;
  }
  for (int level = 1; level <= 3; ++level) {
    const u64 p = Ext4Le32(area + (11 + level) * 4);
    const u64 base = fs.levelLimit[level - 1];
    if (!p || base + fs.blocksPerLevel[level] <= from) continue;
    bool gone = false;
    if (const int r = ReleaseTree(ref, runs, p, level, base, from, &gone); r) return r;
    if (gone) {
      Ext4SetLe32(area + (11 + level) * 4, 0);
      ref->dirty = true;
    }
  }
  return runs.Flush();
}

u64 MaxBlocks(const Ext4Fs& fs, const u8* inode) {
  return UsesExtents(fs, inode) ? u64{0xFFFFFFFF} : fs.levelLimit[3];
}

}  // namespace

bool Ext4InodeHasBlockMapping(const Ext4Fs& fs, const u8* inode) {
  const u16 type = Ext4InodeMode(inode) & EXT4_S_IFMT;
  if (Ext4InodeFlags(inode) & EXT4_INODE_INLINE_DATA) return false;
  if (type == EXT4_S_IFREG || type == EXT4_S_IFDIR) return true;
  if (type != EXT4_S_IFLNK) return false;
  if (Ext4InodeFlags(inode) & EXT4_INODE_EXTENTS) return true;
  // A short link keeps its text in the block area and owns no data block; a new, empty one may
  // still get a block for a long text.
  const u64 xattr = XattrBlock(fs, inode) ? fs.blockSize / 512 : 0;
  const u64 size = Ext4InodeSize(fs, inode);
  return size == 0 || size >= 60 || Ext4InodeBlockCount(fs, inode) > xattr;
}

int Ext4InodeInitBlock(Ext4InodeRef* ref, u64 logical, u64* physical, bool* fresh) {
  *physical = 0;
  if (fresh) *fresh = false;
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  if (!Ext4InodeHasBlockMapping(fs, ref->inode)) return EXT4_EINVAL;
  if (logical >= MaxBlocks(fs, ref->inode)) return EXT4_EFBIG;
  // A file reaching past 2 GiB needs the LARGE_FILE feature (written with the superblock).
  if ((logical + 1) * fs.blockSize > 0x7FFFFFFFull && Ext4Le32(fs.sb.data() + EXT4_SB_REV_LEVEL) != 0 &&
      !(fs.roCompat & EXT4_RO_COMPAT_LARGE_FILE)) {
    fs.roCompat |= EXT4_RO_COMPAT_LARGE_FILE;
    Ext4SetLe32(fs.sb.data() + EXT4_SB_FEATURE_RO_COMPAT, fs.roCompat);
  }
  if (UsesExtents(fs, ref->inode))
    return Ext4ExtentInitBlock(ref, static_cast<u32>(logical), physical, fresh);
  return MapInit(ref, logical, physical, fresh);
}

int Ext4InodeAppendBlock(Ext4InodeRef* ref, u64* physical, u32* logical) {
  *physical = 0;
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  const u64 next = CeilDiv(Ext4InodeSize(fs, ref->inode), fs.blockSize);
  if (next >= MaxBlocks(fs, ref->inode)) return EXT4_EFBIG;
  if (const int r = Ext4InodeInitBlock(ref, next, physical, nullptr); r) return r;
  if (!*physical) return EXT4_EIO;
  if (logical) *logical = static_cast<u32>(next);
  Ext4InodeSetSize(fs, ref->inode, (next + 1) * fs.blockSize);
  ref->dirty = true;
  return EXT4_OK;
}

int Ext4InodeReleaseAll(Ext4InodeRef* ref) {
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  if (!Ext4InodeHasBlockMapping(fs, ref->inode)) return EXT4_OK;
  if (UsesExtents(fs, ref->inode)) return Ext4ExtentRemoveSpace(ref, 0, 0xFFFFFFFF);
  return MapRelease(ref, 0);
}

namespace {

// Shrinks the inode; the bytes past the new end in its last block are zeroed when asked.
int Shrink(Ext4InodeRef* ref, u64 newSize, bool zeroTail) {
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  u8* in = ref->inode;
  if (Ext4InodeFlags(in) & (EXT4_INODE_IMMUTABLE | EXT4_INODE_APPEND)) return EXT4_EINVAL;
  const u16 type = Ext4InodeMode(in) & EXT4_S_IFMT;
  if (type != EXT4_S_IFREG && type != EXT4_S_IFDIR && type != EXT4_S_IFLNK) return EXT4_EINVAL;
  const u64 size = Ext4InodeSize(fs, in);
  if (newSize == size) return EXT4_OK;
  if (newSize > size) return EXT4_EINVAL;
  if (!Ext4InodeHasBlockMapping(fs, in)) {
    // A short link: its text past the new end goes.
    std::memset(in + EXT4_I_BLOCK + newSize, 0, 60 - newSize);
  } else {
    const u64 keep = CeilDiv(newSize, fs.blockSize);
    if (UsesExtents(fs, in)) {
      if (keep < 0xFFFFFFFFull) {
        if (const int r = Ext4ExtentRemoveSpace(ref, static_cast<u32>(keep), 0xFFFFFFFF); r) return r;
      }
    } else if (const int r = MapRelease(ref, keep); r) {
      return r;
    }
    if (zeroTail) {
      if (const int r = Ext4InodeZeroTail(ref, newSize); r) return r;
    }
  }
  Ext4InodeSetSize(fs, in, newSize);
  ref->dirty = true;
  return EXT4_OK;
}

// The size past which the inode maps no block (holes are skipped whole): steps of a truncation
// from a far larger, damaged or sparse size would free nothing.
int MappedEnd(Ext4InodeRef* ref, u64* end) {
  const Ext4Fs& fs = *ref->fs;
  const u64 blocks = std::min(CeilDiv(Ext4InodeSize(fs, ref->inode), fs.blockSize), MaxBlocks(fs, ref->inode));
  *end = 0;
  if (!Ext4InodeHasBlockMapping(fs, ref->inode)) return EXT4_OK;
  for (u64 l = 0; l < blocks;) {
    u64 phys = 0;
    u32 n = 1;
    if (const int r = Ext4InodeGetBlock(ref, l, &phys, &n); r) return r;
    n = std::max<u32>(n, 1);
    if (phys) *end = std::min(l + n, blocks) * fs.blockSize;
    l += n;
  }
  return EXT4_OK;
}

}  // namespace

int Ext4InodeTruncate(Ext4InodeRef* ref, u64 newSize) {
  return Shrink(ref, newSize, true);
}

int Ext4Truncate(Ext4Volume* vol, u32 ino, u64 newSize) {
  if (!vol) return EXT4_ENOENT;
  Ext4Fs& fs = vol->fs;
  if (fs.readOnly) return EXT4_EROFS;
  constexpr u64 kStep = EXT4_TRUNCATE_STEP;
  const bool running = Ext4TransRunning(vol);
  if (const int r = Ext4TransStop(vol); r) return r;
  int result = EXT4_OK;
  bool scanned = false;
  for (;;) {
    if ((result = Ext4TransStart(vol))) break;
    Ext4InodeRef ref;
    result = Ext4InodeGet(&fs, ino, &ref);
    bool last = true;
    if (result == EXT4_OK) {
      u64 size = Ext4InodeSize(fs, ref.inode);
      if (!scanned && size > newSize && size - newSize > kStep) {
        // Nothing mapped past the end of the mapping: the steps begin there.
        scanned = true;
        u64 end = 0;
        result = MappedEnd(&ref, &end);
        if (result == EXT4_OK && std::max(end, newSize) < size) {
          size = std::max(end, newSize);
          result = Shrink(&ref, size, false);
        }
      }
      last = size <= newSize || size - newSize <= kStep;
      // Steps end mid-block only on their way further down; the last block's tail is zeroed below.
      if (result == EXT4_OK) result = Shrink(&ref, last ? newSize : size - kStep, false);
      if (const int r = Ext4InodePut(&ref); r && result == EXT4_OK) result = r;
    }
    if (result) {
      Ext4TransAbort(vol);
      break;
    }
    if ((result = Ext4TransStop(vol))) break;
    if (last) break;
  }
  // Zeroed before the commit, a crash could leave the file at its old size with these bytes gone.
  if (result == EXT4_OK && newSize % fs.blockSize) {
    Ext4InodeRef ref;
    result = Ext4InodeGet(&fs, ino, &ref);
    if (result == EXT4_OK) {
      if (Ext4InodeHasBlockMapping(fs, ref.inode) && Ext4InodeSize(fs, ref.inode) == newSize)
        result = Ext4InodeZeroTail(&ref, newSize);
      if (const int r = Ext4InodePut(&ref); r && result == EXT4_OK) result = r;
    }
  }
  // The caller's transaction runs again.
  if (running) {
    if (const int r = Ext4TransStart(vol); r && result == EXT4_OK) result = r;
  }
  return result;
}

int Ext4InodeZeroTail(Ext4InodeRef* ref, u64 size) {
  Ext4Fs& fs = *ref->fs;
  const u32 in = static_cast<u32>(size % fs.blockSize);
  if (!in) return EXT4_OK;
  u64 phys = 0;
  if (const int r = Ext4InodeGetBlock(ref, size / fs.blockSize, &phys); r || phys == 0) return r;
  // A mapping into the volume's own structures is damage: nothing is written there.
  if (Ext4InSystemZone(&fs, phys, 1)) return Ext4VolumeDamaged(fs);
  const std::vector<u8> zeros(fs.blockSize - in, 0);
  return Ext4BlockWriteBytes(*fs.dev, phys * fs.blockSize + in, zeros.data(), fs.blockSize - in);
}

void Ext4InodeSetSize(const Ext4Fs& fs, u8* inode, u64 size) {
  Ext4SetLe32(inode + EXT4_I_SIZE_LO, static_cast<u32>(size));
  if (Ext4Le32(fs.sb.data() + EXT4_SB_REV_LEVEL) != 0)
    Ext4SetLe32(inode + EXT4_I_SIZE_HI, static_cast<u32>(size >> 32));
}

void Ext4InodeSetTime(const Ext4Fs& fs, u8* inode, u32 field, i64 seconds) {
  // The creation time lies beyond a 128-byte inode (and beyond a short extra part).
  if (field == EXT4_I_CRTIME && (fs.inodeSize <= 128 || 128u + Ext4Le16(inode + EXT4_I_EXTRA_ISIZE) < 0x94))
    return;
  Ext4SetLe32(inode + field, static_cast<u32>(seconds));
  u32 extra = 0;
  switch (field) {
    case EXT4_I_CTIME:
      extra = 0x84;
      break;
    case EXT4_I_MTIME:
      extra = 0x88;
      break;
    case EXT4_I_ATIME:
      extra = 0x8C;
      break;
    case EXT4_I_CRTIME:
      extra = 0x94;
      break;
    default:
      return;
  }
  if (fs.inodeSize <= 128) return;
  const u32 room = 128 + Ext4Le16(inode + EXT4_I_EXTRA_ISIZE);
  if (field == EXT4_I_CRTIME && room < 0x94) return;
  if (room < extra + 4 || extra + 4 > fs.inodeSize) return;
  // The epoch bits count how many times 2^32 seconds the value lies past the signed 32-bit one.
  const i64 epoch = (seconds - static_cast<i64>(static_cast<i32>(static_cast<u32>(seconds)))) >> 32;
  Ext4SetLe32(inode + extra, static_cast<u32>(epoch & 3));
}
