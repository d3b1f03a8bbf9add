// Extent trees for writing: blocks for holes, conversion of unwritten extents, insertion with merging, node
// splits, tree growth and removal of space.
#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_fs.h"
#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>

namespace {

constexpr u16 kMagic = 0xF30A;
constexpr u32 kMaxDepth = 5;
constexpr u32 kMaxInit = 32768, kMaxUnwritten = 32767;

struct Ext {
  u32 first = 0;
  u32 len = 0;
  u64 phys = 0;
  bool unwritten = false;
  u64 end() const { return u64{first} + len; }
};

u16 Entries(const u8* n) {
  return Ext4Le16(n + 2);
}
u16 MaxEntries(const u8* n) {
  return Ext4Le16(n + 4);
}
u16 Depth(const u8* n) {
  return Ext4Le16(n + 6);
}
u8* Entry(u8* n, u32 i) {
  return n + 12 + i * 12;
}

Ext ReadExt(const u8* e) {
  Ext x;
  x.first = Ext4Le32(e);
  x.len = Ext4Le16(e + 4);
  x.unwritten = x.len > kMaxInit;
  if (x.unwritten) x.len -= kMaxInit;
  x.phys = Ext4Le32(e + 8) | u64{Ext4Le16(e + 6)} << 32;
  return x;
}
void WriteExt(u8* e, const Ext& x) {
  Ext4SetLe32(e, x.first);
  Ext4SetLe16(e + 4, static_cast<u16>(x.len + (x.unwritten ? kMaxInit : 0)));
  Ext4SetLe16(e + 6, static_cast<u16>(x.phys >> 32));
  Ext4SetLe32(e + 8, static_cast<u32>(x.phys));
}
u64 IndexChild(const u8* e) {
  return Ext4Le32(e + 4) | u64{Ext4Le16(e + 8)} << 32;
}
void WriteIndex(u8* e, u32 key, u64 child) {
  Ext4SetLe32(e, key);
  Ext4SetLe32(e + 4, static_cast<u32>(child));
  Ext4SetLe16(e + 8, static_cast<u16>(child >> 32));
  Ext4SetLe16(e + 10, 0);
}

u32 BlockMax(const Ext4Fs& fs) {
  return (fs.blockSize - 12) / 12;
}

// The tail checksum of a node block: over the UUID seed, inode number, generation and the entries.
u32 TailChecksum(const Ext4InodeRef& ref, const u8* node) {
  u8 le[4];
  Ext4SetLe32(le, ref.index);
  u32 c = Ext4Crc32c(ref.fs->csumSeed, le, 4);
  c = Ext4Crc32c(c, ref.inode + EXT4_I_GENERATION, 4);
  return Ext4Crc32c(c, node, 12 + u32{MaxEntries(node)} * 12);
}

bool NodeOk(const u8* node, u32 room, u32 depth) {
  if (Ext4Le16(node) != kMagic) return false;
  const u32 entries = Entries(node), max = MaxEntries(node);
  return Depth(node) == depth && max != 0 && entries <= max && max <= (room - 12) / 12;
}

struct Step {
  Ext4BlockRef block;  // none for the root in the inode
  u8* node = nullptr;
  u64 phys = 0;
  int idx = -1;  // the chosen entry: the last one whose key is not above the block looked up
};
using Path = std::vector<Step>;

// A changed node: a fresh tail checksum and the block marked, or the inode for the root.
void Dirty(Ext4InodeRef* ref, Step& s) {
  if (!s.block.held()) {
    ref->dirty = true;
    return;
  }
  if (ref->fs->metadataCsum) {
    const u32 at = 12 + u32{MaxEntries(s.node)} * 12;
    if (at + 4 <= ref->fs->blockSize) Ext4SetLe32(s.node + at, TailChecksum(*ref, s.node));
  }
  Ext4TransSetBlockDirty(ref->fs, *s.block.buf);
}

int Search(const u8* n, u32 logical) {
  u32 lo = 0, hi = Entries(n);
  while (lo < hi) {
    const u32 mid = (lo + hi) / 2;
    if (Ext4Le32(n + 12 + mid * 12) <= logical)
      lo = mid + 1;
    else
      hi = mid;
  }
  return static_cast<int>(lo) - 1;
}

// The path from the root to the leaf for a logical block. Index levels always choose an entry (the
// first when the block lies before all keys). Nodes that fail their checksum are refused: they are
// about to be changed, and a fresh checksum would hide the damage.
int FindPath(Ext4InodeRef* ref, u32 logical, Path& path) {
  path.clear();
  Ext4Fs& fs = *ref->fs;
  u8* root = ref->inode + EXT4_I_BLOCK;
  const u32 depth = Depth(root);
  if (depth > kMaxDepth || !NodeOk(root, 60, depth)) return EXT4_EIO;
  path.resize(depth + 1);
  path[0].node = root;
  for (u32 level = 0;; ++level) {
    Step& s = path[level];
    const int idx = Search(s.node, logical);
    if (level == depth) {
      s.idx = idx;
      return EXT4_OK;
    }
    if (Entries(s.node) == 0) return EXT4_EIO;
    s.idx = std::max(idx, 0);
    const u64 child = IndexChild(Entry(s.node, s.idx));
    if (child < fs.firstDataBlock || child >= fs.blocksCount) return EXT4_EIO;
    Step& c = path[level + 1];
    if (const int r = Ext4BlockGet(*fs.dev, c.block, child); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
    c.node = c.block.data;
    c.phys = child;
    if (!NodeOk(c.node, fs.blockSize, depth - level - 1)) return EXT4_EIO;
    if (fs.metadataCsum && Ext4Le32(c.node + 12 + u32{MaxEntries(c.node)} * 12) != TailChecksum(*ref, c.node))
      return EXT4_EIO;
  }
}

// After the first entry of the node at level changed: the parents' keys follow.
void FixKeys(Ext4InodeRef* ref, Path& path, size_t level) {
  for (size_t l = level; l > 0; --l) {
    if (Entries(path[l].node) == 0) return;
    const u32 key = Ext4Le32(Entry(path[l].node, 0));
    Step& parent = path[l - 1];
    u8* e = Entry(parent.node, parent.idx);
    if (Ext4Le32(e) != key) {
      Ext4SetLe32(e, key);
      Dirty(ref, parent);
    }
    if (parent.idx != 0) return;
  }
}

u64 InodeGroupGoal(const Ext4InodeRef& ref) {
  return Ext4GroupFirstBlock(*ref.fs, (ref.index - 1) / ref.fs->inodesPerGroup);
}

// Where a block for a logical block should go: beside the nearest extent of the leaf, or the
// leaf's own block, or the inode's group.
u64 Goal(const Ext4InodeRef& ref, const Path& path, u32 logical) {
  const Step& leaf = path.back();
  if (Entries(leaf.node)) {
    const Ext e = ReadExt(leaf.node + 12 + std::max(leaf.idx, 0) * 12);
    const i64 g = static_cast<i64>(e.phys) + (static_cast<i64>(logical) - static_cast<i64>(e.first));
    return g < 0 ? 0 : static_cast<u64>(g);
  }
  if (leaf.phys) return leaf.phys;
  return InodeGroupGoal(ref);
}

// A full root moves into a new block and becomes a one-entry index above it.
int Grow(Ext4InodeRef* ref, Path& path) {
  Ext4Fs& fs = *ref->fs;
  u8* root = path[0].node;
  const u32 depth = Depth(root);
  if (depth >= kMaxDepth) return EXT4_EIO;
  u64 goal = InodeGroupGoal(*ref);
  if (Entries(root)) goal = depth ? IndexChild(Entry(root, 0)) : ReadExt(Entry(root, 0)).phys;
  u64 nb = 0;
  if (const int r = Ext4BlockAlloc(ref, goal, &nb); r) return r;
  Step s;
  s.phys = nb;
  if (const int r = Ext4BlockGetNoRead(*fs.dev, s.block, nb); r) {
    Ext4BlocksFree(ref, nb, 1);
    return r;
  }
  s.node = s.block.data;
  std::memset(s.node, 0, fs.blockSize);
  std::memcpy(s.node, root, 12 + u32{Entries(root)} * 12);
  Ext4SetLe16(s.node + 4, static_cast<u16>(BlockMax(fs)));
  Dirty(ref, s);
  const u32 key = Entries(root) ? Ext4Le32(Entry(root, 0)) : 0;
  std::memset(root + 12, 0, 48);
  Ext4SetLe16(root + 2, 1);
  Ext4SetLe16(root + 4, 4);
  Ext4SetLe16(root + 6, static_cast<u16>(depth + 1));
  WriteIndex(Entry(root, 0), key, nb);
  ref->dirty = true;
  path.clear();
  return EXT4_OK;
}

// Splits the full node at level (its parent has room). For insertion the entries right of the
// insertion point move (none at the end, so appending fills a fresh node). When `keep` slots are
// wanted beside the chosen leaf entry, the entries after it move, or the entry with them when that
// leaves too little room; nodes stay as full as they can, as e2fsck expects of a compact tree.
int Split(Ext4InodeRef* ref, Path& path, size_t level, u32 logical, u32 keep) {
  Ext4Fs& fs = *ref->fs;
  Step& s = path[level];
  Step& parent = path[level - 1];
  const u32 cnt = Entries(s.node), depth = Depth(s.node);
  u32 p = static_cast<u32>(s.idx + 1);
  if (depth == 0 && keep && p + keep > MaxEntries(s.node)) p = static_cast<u32>(std::max(s.idx, 0));
  if (depth > 0 && p >= cnt) p = cnt - 1;  // an index node is never left empty
  if (depth > 0 && p == 0) p = 1;
  u64 nb = 0;
  if (const int r = Ext4BlockAlloc(ref, s.phys + 1, &nb); r) return r;
  Step n;
  n.phys = nb;
  if (const int r = Ext4BlockGetNoRead(*fs.dev, n.block, nb); r) {
    Ext4BlocksFree(ref, nb, 1);
    return r;
  }
  n.node = n.block.data;
  std::memset(n.node, 0, fs.blockSize);
  Ext4SetLe16(n.node, kMagic);
  Ext4SetLe16(n.node + 2, static_cast<u16>(cnt - p));
  Ext4SetLe16(n.node + 4, static_cast<u16>(BlockMax(fs)));
  Ext4SetLe16(n.node + 6, static_cast<u16>(depth));
  std::memcpy(Entry(n.node, 0), Entry(s.node, p), (cnt - p) * 12);
  const u32 key = cnt > p ? Ext4Le32(Entry(s.node, p)) : logical;
  std::memset(Entry(s.node, p), 0, (cnt - p) * 12);
  Ext4SetLe16(s.node + 2, static_cast<u16>(p));
  Dirty(ref, n);
  Dirty(ref, s);
  u8* pn = parent.node;
  const u32 pc = Entries(pn), at = static_cast<u32>(parent.idx + 1);
  std::memmove(Entry(pn, at + 1), Entry(pn, at), (pc - at) * 12);
  WriteIndex(Entry(pn, at), key, nb);
  Ext4SetLe16(pn + 2, static_cast<u16>(pc + 1));
  Dirty(ref, parent);
  path.clear();
  return EXT4_OK;
}

// Moves the last entries of a full leaf into the front of its right sibling when that has room
// for enough of them, instead of a split that would leave two partly empty nodes. Whether it did.
int ShiftRight(Ext4InodeRef* ref, Path& path, u32 keep, bool* done) {
  *done = false;
  Ext4Fs& fs = *ref->fs;
  const size_t level = path.size() - 1;
  Step& leaf = path[level];
  Step& parent = path[level - 1];
  if (static_cast<u32>(parent.idx + 1) >= Entries(parent.node)) return EXT4_OK;
  const u64 at = IndexChild(Entry(parent.node, parent.idx + 1));
  if (at < fs.firstDataBlock || at >= fs.blocksCount) return EXT4_EIO;
  Step sib;
  sib.phys = at;
  if (const int r = Ext4BlockGet(*fs.dev, sib.block, at); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
  sib.node = sib.block.data;
  if (!NodeOk(sib.node, fs.blockSize, 0)) return EXT4_EIO;
  if (fs.metadataCsum &&
      Ext4Le32(sib.node + 12 + u32{MaxEntries(sib.node)} * 12) != TailChecksum(*ref, sib.node))
    return EXT4_EIO;
  const u32 cnt = Entries(leaf.node), sc = Entries(sib.node);
  const u32 move = std::min<u32>(MaxEntries(sib.node) - sc, cnt - static_cast<u32>(leaf.idx + 1));
  if (move < std::max<u32>(keep, 1)) return EXT4_OK;
  std::memmove(Entry(sib.node, move), Entry(sib.node, 0), sc * 12);
  std::memcpy(Entry(sib.node, 0), Entry(leaf.node, cnt - move), move * 12);
  Ext4SetLe16(sib.node + 2, static_cast<u16>(sc + move));
  std::memset(Entry(leaf.node, cnt - move), 0, move * 12);
  Ext4SetLe16(leaf.node + 2, static_cast<u16>(cnt - move));
  Ext4SetLe32(Entry(parent.node, parent.idx + 1), Ext4Le32(Entry(sib.node, 0)));
  Dirty(ref, sib);
  Dirty(ref, leaf);
  Dirty(ref, parent);
  path.clear();
  *done = true;
  return EXT4_OK;
}

// Makes room in the path's leaf: shifts entries into the right sibling, or splits the lowest full
// level whose parent has room, or grows the tree when every level is full. The caller looks the
// path up again.
int MakeRoom(Ext4InodeRef* ref, Path& path, u32 logical, u32 keep) {
  if (path.size() > 1) {
    bool done = false;
    if (const int r = ShiftRight(ref, path, keep, &done); r || done) return r;
  }
  size_t level = path.size() - 1;
  while (level > 0 && Entries(path[level - 1].node) >= MaxEntries(path[level - 1].node)) --level;
  if (level == 0) return Grow(ref, path);
  return Split(ref, path, level, logical, keep);
}

void InsertAt(u8* n, u32 at, const Ext& x) {
  const u32 cnt = Entries(n);
  std::memmove(Entry(n, at + 1), Entry(n, at), (cnt - at) * 12);
  WriteExt(Entry(n, at), x);
  Ext4SetLe16(n + 2, static_cast<u16>(cnt + 1));
}

void DeleteAt(u8* n, u32 at) {
  const u32 cnt = Entries(n);
  std::memmove(Entry(n, at), Entry(n, at + 1), (cnt - at - 1) * 12);
  std::memset(Entry(n, cnt - 1), 0, 12);
  Ext4SetLe16(n + 2, static_cast<u16>(cnt - 1));
}

bool Joins(const Ext& a, const Ext& b) {
  return a.unwritten == b.unwritten && a.end() == b.first && a.phys + a.len == b.phys &&
         u64{a.len} + b.len <= (a.unwritten ? kMaxUnwritten : kMaxInit);
}

// Inserts an extent for blocks no extent covers, merging it into a neighbour where it joins one.
int Insert(Ext4InodeRef* ref, const Ext& x) {
  for (int round = 0; round < 64; ++round) {
    Path path;
    if (const int r = FindPath(ref, x.first, path); r) return r;
    Step& leaf = path.back();
    u8* n = leaf.node;
    const int i = leaf.idx;
    const u32 cnt = Entries(n);
    if (i >= 0) {
      Ext prev = ReadExt(Entry(n, i));
      if (Joins(prev, x)) {
        prev.len += x.len;
        WriteExt(Entry(n, i), prev);
        Dirty(ref, leaf);
        return EXT4_OK;
      }
    }
    if (static_cast<u32>(i + 1) < cnt) {
      Ext next = ReadExt(Entry(n, i + 1));
      if (Joins(x, next)) {
        next.first = x.first;
        next.phys = x.phys;
        next.len += x.len;
        WriteExt(Entry(n, i + 1), next);
        Dirty(ref, leaf);
        if (i + 1 == 0) FixKeys(ref, path, path.size() - 1);
        return EXT4_OK;
      }
    }
    if (cnt < MaxEntries(n)) {
      InsertAt(n, static_cast<u32>(i + 1), x);
      Dirty(ref, leaf);
      if (i + 1 == 0) FixKeys(ref, path, path.size() - 1);
      return EXT4_OK;
    }
    if (const int r = MakeRoom(ref, path, x.first, 0); r) return r;
  }
  return EXT4_EIO;
}

// Turns the unwritten block at logical (inside the leaf's extent idx) into an initialised one,
// merging it into an initialised neighbour where it joins one.
int Convert(Ext4InodeRef* ref, u32 logical) {
  for (int round = 0; round < 64; ++round) {
    Path path;
    if (const int r = FindPath(ref, logical, path); r) return r;
    Step& leaf = path.back();
    u8* n = leaf.node;
    const int i = leaf.idx;
    const u32 cnt = Entries(n);
    if (i < 0) return EXT4_EIO;
    Ext e = ReadExt(Entry(n, i));
    if (!e.unwritten || logical >= e.end()) return EXT4_EIO;
    const u64 p = e.phys + (logical - e.first);
    Ext one{logical, 1, p, false};
    const bool atHead = logical == e.first, atTail = u64{logical} + 1 == e.end();
    // Joining the initialised extent before it (same leaf).
    if (atHead && i > 0) {
      Ext prev = ReadExt(Entry(n, i - 1));
      if (Joins(prev, one)) {
        prev.len += 1;
        WriteExt(Entry(n, i - 1), prev);
        if (e.len == 1) {
          DeleteAt(n, i);
        } else {
          ++e.first;
          ++e.phys;
          --e.len;
          WriteExt(Entry(n, i), e);
        }
        Dirty(ref, leaf);
        return EXT4_OK;
      }
    }
    // Joining the initialised extent after it (same leaf).
    if (atTail && static_cast<u32>(i + 1) < cnt) {
      Ext next = ReadExt(Entry(n, i + 1));
      if (Joins(one, next)) {
        next.first = logical;
        next.phys = p;
        next.len += 1;
        WriteExt(Entry(n, i + 1), next);
        if (e.len == 1) {
          DeleteAt(n, i);
        } else {
          --e.len;
          WriteExt(Entry(n, i), e);
        }
        Dirty(ref, leaf);
        if (i == 0 && e.len == 1) FixKeys(ref, path, path.size() - 1);
        return EXT4_OK;
      }
    }
    const u32 need = (atHead ? 0 : 1) + (atTail ? 0 : 1);
    if (need == 1 && cnt + need > MaxEntries(n)) {
      // At either end of the extent: the extent shrinks in place and the split-off part goes in
      // like any new extent, so that nodes fill as they do for appends. A failure restores it.
      WriteExt(Entry(n, i), atHead ? one : Ext{e.first, e.len - 1, e.phys, true});
      Dirty(ref, leaf);
      path.clear();
      const int r = Insert(ref, atHead ? Ext{logical + 1, e.len - 1, p + 1, true} : one);
      if (r) {
        Path again;
        if (FindPath(ref, e.first, again) == EXT4_OK && again.back().idx >= 0) {
          WriteExt(Entry(again.back().node, again.back().idx), e);
          Dirty(ref, again.back());
        }
      }
      return r;
    }
    if (cnt + need > MaxEntries(n)) {
      if (const int r = MakeRoom(ref, path, logical, need); r) return r;
      continue;
    }
    Ext head = e, tail = e;
    head.len = logical - e.first;
    tail.first = logical + 1;
    tail.phys = p + 1;
    tail.len = static_cast<u32>(e.end() - logical - 1);
    u32 at = static_cast<u32>(i);
    if (head.len) {
      WriteExt(Entry(n, at), head);
      InsertAt(n, ++at, one);
    } else {
      WriteExt(Entry(n, at), one);
    }
    if (tail.len) InsertAt(n, at + 1, tail);
    Dirty(ref, leaf);
    return EXT4_OK;
  }
  return EXT4_EIO;
}

int ZeroBlock(Ext4Fs& fs, u64 block) {
  std::vector<u8> zero(fs.blockSize, 0);
  return Ext4BlocksSetDirect(*fs.dev, zero.data(), block, 1);
}

// Removes the empty node at level and, upward, every index node that becomes empty; an empty root
// returns to depth 0.
int DropEmpty(Ext4InodeRef* ref, Path& path, size_t level) {
  for (size_t l = level; l > 0; --l) {
    if (Entries(path[l].node) != 0) {
      if (path[l].idx == 0) FixKeys(ref, path, l);
      return EXT4_OK;
    }
    const u64 block = path[l].phys;
    path[l].block = {};
    path[l].node = nullptr;
    if (const int r = Ext4BlocksFree(ref, block, 1); r) return r;
    Step& parent = path[l - 1];
    DeleteAt(parent.node, static_cast<u32>(parent.idx));
    Dirty(ref, parent);
  }
  u8* root = path[0].node;
  if (Entries(root) == 0 && Depth(root) != 0) {
    std::memset(root + 12, 0, 48);
    Ext4SetLe16(root + 4, 4);
    Ext4SetLe16(root + 6, 0);
    ref->dirty = true;
  }
  return EXT4_OK;
}

int CheckRun(Ext4Fs& fs, const Ext& e) {
  if (e.phys < fs.firstDataBlock || e.phys >= fs.blocksCount || e.len > fs.blocksCount - e.phys)
    return EXT4_EIO;
  return EXT4_OK;
}

}  // namespace

int Ext4ExtentInitBlock(Ext4InodeRef* ref, u32 logical, u64* physical, bool* fresh) {
  *physical = 0;
  if (fresh) *fresh = false;
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  if (logical >= 0xFFFFFFFFu) return EXT4_EFBIG;
  u64 goal = 0;
  {
    Path path;
    if (const int r = FindPath(ref, logical, path); r) return r;
    const Step& leaf = path.back();
    if (leaf.idx >= 0) {
      const Ext e = ReadExt(leaf.node + 12 + leaf.idx * 12);
      if (logical < e.end()) {
        if (CheckRun(fs, e)) return EXT4_EIO;
        const u64 p = e.phys + (logical - e.first);
        if (!e.unwritten) {
          *physical = p;
          return EXT4_OK;
        }
        path.clear();
        if (const int r = ZeroBlock(fs, p); r) return r;
        if (const int r = Convert(ref, logical); r) return r;
        *physical = p;
        return EXT4_OK;
      }
    }
    goal = Goal(*ref, path, logical);
  }
  u64 nb = 0;
  if (const int r = Ext4BlockAlloc(ref, goal, &nb); r) return r;
  if (const int r = Insert(ref, Ext{logical, 1, nb, false}); r) {
    Ext4BlocksFree(ref, nb, 1);
    return r;
  }
  *physical = nb;
  if (fresh) *fresh = true;
  return EXT4_OK;
}

int Ext4ExtentRemoveSpace(Ext4InodeRef* ref, u32 from, u32 to) {
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (fs.readOnly) return EXT4_EROFS;
  if (from > to) return EXT4_OK;
  for (;;) {
    Path path;
    if (const int r = FindPath(ref, to, path); r) return r;
    const size_t leafLevel = path.size() - 1;
    Step& leaf = path.back();
    u8* n = leaf.node;
    const int i = leaf.idx;
    if (i < 0) {
      // Every extent here lies after the range; one before it can only sit left of the deepest
      // index entry that was not the first (keys written elsewhere need not be exact).
      size_t l = leafLevel;
      while (l > 0 && path[l - 1].idx == 0) --l;
      if (l == 0) break;
      const u32 key = Ext4Le32(Entry(path[l - 1].node, path[l - 1].idx));
      if (key == 0 || key - 1 < from) break;
      to = key - 1;
      continue;
    }
    Ext e = ReadExt(Entry(n, i));
    if (e.end() <= from) break;
    if (CheckRun(fs, e)) return EXT4_EIO;
    const u64 a = std::max<u64>(e.first, from), b = std::min<u64>(e.end(), u64{to} + 1);
    if (a == e.first && b == e.end()) {
      if (const int r = Ext4BlocksFree(ref, e.phys, e.len); r) return r;
      DeleteAt(n, static_cast<u32>(i));
      Dirty(ref, leaf);
      if (Entries(n) == 0 && leafLevel > 0) {
        if (const int r = DropEmpty(ref, path, leafLevel); r) return r;
      } else if (i == 0) {
        FixKeys(ref, path, leafLevel);
      }
      if (a == from) break;
    } else if (a > e.first && b == e.end()) {
      if (const int r = Ext4BlocksFree(ref, e.phys + (a - e.first), static_cast<u32>(b - a)); r) return r;
      e.len = static_cast<u32>(a - e.first);
      WriteExt(Entry(n, i), e);
      Dirty(ref, leaf);
      break;
    } else if (a == e.first) {
      if (const int r = Ext4BlocksFree(ref, e.phys, static_cast<u32>(b - a)); r) return r;
      e.phys += b - a;
      e.len -= static_cast<u32>(b - a);
      e.first = static_cast<u32>(b);
      WriteExt(Entry(n, i), e);
      Dirty(ref, leaf);
      if (i == 0) FixKeys(ref, path, leafLevel);
      if (a == from) break;
    } else {
      // The range lies inside one extent: the head stays, the part after the range gets its own entry.
      if (Entries(n) >= MaxEntries(n)) {
        if (const int r = MakeRoom(ref, path, to, 1); r) return r;
        continue;
      }
      if (const int r = Ext4BlocksFree(ref, e.phys + (a - e.first), static_cast<u32>(b - a)); r) return r;
      Ext tail = e;
      tail.first = static_cast<u32>(b);
      tail.phys = e.phys + (b - e.first);
      tail.len = static_cast<u32>(e.end() - b);
      e.len = static_cast<u32>(a - e.first);
      WriteExt(Entry(n, i), e);
      InsertAt(n, static_cast<u32>(i + 1), tail);
      Dirty(ref, leaf);
      break;
    }
  }
  return EXT4_OK;
}
