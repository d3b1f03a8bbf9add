// Directory entries: iteration, linear and hashed lookup and insert, removal, the index root, and the name hashes.
#include "FileSystem/Ext4/ext4_dir.h"

#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>
#include <cstring>
#include <vector>

u32 Ext4DirRecLen(u32 blockSize, u16 stored) {
  if (blockSize < 65536) return stored;
  if (stored == 65535 || stored == 0) return blockSize;
  return (stored & 65532u) | (u32{stored} & 3u) << 16;
}

bool Ext4DirEntryAt(const Ext4Fs& fs, const u8* block, u32 off, Ext4DirEntryView* out) {
  const u32 bs = fs.blockSize;
  if (off % 4 || off > bs - 8) return false;
  const u8* e = block + off;
  const u32 recLen = Ext4DirRecLen(bs, Ext4Le16(e + 4));
  const u32 nameLen = e[6];
  if (recLen < 8 || recLen % 4 || recLen > bs - off || nameLen > recLen - 8) return false;
  out->inode = Ext4Le32(e);
  out->recLen = recLen;
  out->nameLen = nameLen;
  out->type = (fs.incompat & EXT4_INCOMPAT_FILETYPE) ? e[7] : u8{EXT4_DE_UNKNOWN};
  out->name = e + 8;
  return true;
}

namespace {

u64 DirBlocks(const Ext4Fs& fs, const u8* inode) {
  const u64 size = Ext4InodeSize(fs, inode);
  return size / fs.blockSize + (size % fs.blockSize != 0);
}

// Reads logical block n of the directory; a hole gives 2 (no block there).
int ReadDirBlock(Ext4InodeRef* dir, u64 n, Ext4BlockRef& out, u32* holeRun = nullptr) {
  u64 phys = 0;
  u32 count = 1;
  if (const int r = Ext4InodeGetBlock(dir, n, &phys, &count); r) return r;
  if (phys == 0) {
    if (holeRun) *holeRun = std::max<u32>(count, 1);
    return EXT4_ENOENT;
  }
  const int r = Ext4BlockGet(*dir->fs->dev, out, phys);
  return r == EXT4_ERANGE ? EXT4_EIO : r;
}

bool Matches(const Ext4DirEntryView& e, const char* name, u32 len) {
  return e.inode != 0 && e.nameLen == len && std::memcmp(e.name, name, len) == 0;
}

// Searches one directory block for the name: 0 found, 2 not there, 5 for a malformed entry (a
// name read past its entry could reach past the block).
int SearchBlock(const Ext4Fs& fs, const u8* block, u64 blockStart, const char* name, u32 len,
                Ext4DirSearchResult* result) {
  Ext4DirEntryView e;
  for (u32 off = 0; off < fs.blockSize; off += e.recLen) {
    if (!Ext4DirEntryAt(fs, block, off, &e)) return EXT4_EIO;
    if (!Matches(e, name, len)) continue;
    result->inode = e.inode;
    result->type = e.type;
    result->offset = blockStart + off;
    return EXT4_OK;
  }
  return EXT4_ENOENT;
}

int LinearFind(Ext4DirSearchResult* result, Ext4InodeRef* dir, const char* name, u32 len) {
  const Ext4Fs& fs = *dir->fs;
  const u64 blocks = DirBlocks(fs, dir->inode);
  for (u64 n = 0; n < blocks;) {
    Ext4BlockRef b;
    u32 hole = 1;
    const int r = ReadDirBlock(dir, n, b, &hole);
    if (r == EXT4_ENOENT) {
      n += hole;
      continue;
    }
    if (r) return r;
    if (const int found = SearchBlock(fs, b.data, n * fs.blockSize, name, len, result); found != EXT4_ENOENT)
      return found;
    ++n;
  }
  return EXT4_ENOENT;
}

// One level of a hashed-index walk: the node's entries (copied) and the chosen one.
struct DxLevel {
  std::vector<u8> node;
  u32 entries = 0;  // offset of the count/limit header, which is also entry 0
  u32 count = 0;
  u32 at = 0;
};

u32 DxHash(const DxLevel& l, u32 i) { return i == 0 ? 0 : Ext4Le32(l.node.data() + l.entries + i * 8); }
u32 DxBlock(const DxLevel& l, u32 i) { return Ext4Le32(l.node.data() + l.entries + i * 8 + 4) & 0x0FFFFFFF; }

int DxFind(Ext4DirSearchResult* result, Ext4InodeRef* dir, const char* name, u32 len) {
  const Ext4Fs& fs = *dir->fs;
  const u32 bs = fs.blockSize;
  const u32 tail = fs.metadataCsum ? 8 : 0;
  const u64 blocks = DirBlocks(fs, dir->inode);
  DxLevel levels[2];
  auto load = [&](u64 logical, DxLevel& l) {
    if (logical >= blocks) return EXT4_DX_BAD;
    Ext4BlockRef b;
    const int r = ReadDirBlock(dir, logical, b);
    if (r == EXT4_ENOENT) return EXT4_DX_BAD;
    if (r) return r;
    l.node.assign(b.data, b.data + bs);
    return EXT4_OK;
  };
  if (const int r = load(0, levels[0]); r) return r;
  const u8* root = levels[0].node.data();
  const u8 version = root[24 + 4], infoLen = root[24 + 5], indirect = root[24 + 6], unused = root[24 + 7];
  if (version > 2 || infoLen != 8 || indirect > 1 || unused != 0) return EXT4_DX_BAD;
  levels[0].entries = 32;
  if (Ext4Le16(root + 32) != (bs - 32 - tail) / 8) return EXT4_DX_BAD;

  u32 hashVersion = version;
  if (Ext4Le32(fs.sb.data() + EXT4_SB_FLAGS) & 0x2) hashVersion += 3;
  u32 seed[4];
  bool seeded = false;
  for (int i = 0; i < 4; ++i) {
    seed[i] = Ext4Le32(fs.sb.data() + EXT4_SB_HASH_SEED + 4 * i);
    seeded |= seed[i] != 0;
  }
  u32 hash = 0, minor = 0;
  if (Ext4DirHash(name, len, hashVersion, seeded ? seed : nullptr, &hash, &minor)) return EXT4_DX_BAD;

  const u32 depth = indirect + 1u;
  for (u32 lv = 0; lv < depth; ++lv) {
    DxLevel& l = levels[lv];
    const u32 limit = Ext4Le16(l.node.data() + l.entries);
    l.count = Ext4Le16(l.node.data() + l.entries + 2);
    if (l.count == 0 || l.count > limit || l.entries + u64{limit} * 8 > bs) return EXT4_DX_BAD;
    u32 lo = 1, hi = l.count;  // the last entry whose hash is not above the name's
    while (lo < hi) {
      const u32 mid = (lo + hi) / 2;
      if (DxHash(l, mid) > hash) hi = mid;
      else lo = mid + 1;
    }
    l.at = lo - 1;
    if (lv + 1 < depth) {
      DxLevel& c = levels[lv + 1];
      if (const int r = load(DxBlock(l, l.at), c); r) return r;
      c.entries = 8;
      if (Ext4Le16(c.node.data() + 8) != (bs - 8 - tail) / 8) return EXT4_DX_BAD;
    }
  }
  // The leaf, and the following ones while their hash continues the name's.
  for (u32 guard = 0; guard < 1u << 20; ++guard) {
    DxLevel& leafLevel = levels[depth - 1];
    Ext4BlockRef b;
    const u64 leaf = DxBlock(leafLevel, leafLevel.at);
    if (leaf >= blocks) return EXT4_DX_BAD;
    const int r = ReadDirBlock(dir, leaf, b);
    if (r == EXT4_ENOENT) return EXT4_DX_BAD;
    if (r) return r;
    if (const int found = SearchBlock(fs, b.data, leaf * bs, name, len, result); found != EXT4_ENOENT) return found;
    int lv = static_cast<int>(depth) - 1;
    while (lv >= 0 && levels[lv].at + 1 >= levels[lv].count) --lv;
    if (lv < 0) return EXT4_ENOENT;
    ++levels[lv].at;
    if ((DxHash(levels[lv], levels[lv].at) & ~1u) != hash) return EXT4_ENOENT;
    for (u32 down = static_cast<u32>(lv) + 1; down < depth; ++down) {
      DxLevel& c = levels[down];
      if (const int lr = load(DxBlock(levels[down - 1], levels[down - 1].at), c); lr) return lr;
      c.entries = 8;
      const u32 limit = Ext4Le16(c.node.data() + 8);
      c.count = Ext4Le16(c.node.data() + 10);
      if (limit != (bs - 8 - tail) / 8 || c.count == 0 || c.count > limit) return EXT4_DX_BAD;
      c.at = 0;
    }
  }
  return EXT4_DX_BAD;
}

}  // namespace

int Ext4DirFindEntry(Ext4DirSearchResult* result, Ext4InodeRef* dir, const char* name, u32 nameLength) {
  if (!result || !dir || !dir->inode) return EXT4_EINVAL;
  *result = Ext4DirSearchResult{};
  if (nameLength == 0 || nameLength > 255) return EXT4_ENOENT;
  const Ext4Fs& fs = *dir->fs;
  // "." and ".." sit in the index root, in no leaf: the scan finds them in block 0.
  const bool dots = nameLength <= 2 && name[0] == '.' && (nameLength == 1 || name[1] == '.');
  if (!dots && (fs.compat & EXT4_COMPAT_DIR_INDEX) && (Ext4InodeFlags(dir->inode) & EXT4_INODE_INDEX)) {
    const int r = DxFind(result, dir, name, nameLength);
    if (r != EXT4_DX_BAD) return r;
    // An unusable index: the entries are still all there for a linear scan.
  }
  return LinearFind(result, dir, name, nameLength);
}

void Ext4DirDestroyResult(Ext4InodeRef*, Ext4DirSearchResult* result) {
  if (result) *result = Ext4DirSearchResult{};
}

namespace {

// Moves to the first used entry at or after the iterator's position.
int Seek(Ext4DirIterator* it) {
  const Ext4Fs& fs = *it->dir->fs;
  const u32 bs = fs.blockSize;
  const u64 size = Ext4InodeSize(fs, it->dir->inode);
  for (;;) {
    if (it->pos >= size) {
      it->atEnd = true;
      it->block = Ext4BlockRef{};
      it->blockLogical = ~u64{0};
      return EXT4_OK;
    }
    const u64 logical = it->pos / bs;
    if (logical != it->blockLogical || !it->block.held()) {
      it->block = Ext4BlockRef{};
      it->blockLogical = ~u64{0};
      u32 hole = 1;
      const int r = ReadDirBlock(it->dir, logical, it->block, &hole);
      if (r == EXT4_ENOENT) {  // a hole in a directory holds no entries
        it->pos = (logical + hole) * bs;
        continue;
      }
      if (r) return r;
      it->blockLogical = logical;
    }
    Ext4DirEntryView e;
    if (!Ext4DirEntryAt(fs, it->block.data, static_cast<u32>(it->pos % bs), &e)) {
      it->atEnd = true;
      return EXT4_EIO;
    }
    if (e.inode == 0) {
      it->pos += e.recLen;
      continue;
    }
    it->entry = e;
    it->atEnd = false;
    return EXT4_OK;
  }
}

}  // namespace

int Ext4DirIteratorInit(Ext4DirIterator* it, Ext4InodeRef* dir, u64 position) {
  if (!it || !dir || !dir->inode) return EXT4_EINVAL;
  it->dir = dir;
  it->block = Ext4BlockRef{};
  it->blockLogical = ~u64{0};
  it->pos = position;
  return Seek(it);
}

int Ext4DirIteratorNext(Ext4DirIterator* it) {
  if (!it || it->atEnd) return EXT4_OK;
  it->pos += it->entry.recLen;
  return Seek(it);
}

void Ext4DirIteratorFini(Ext4DirIterator* it) {
  if (!it) return;
  it->block = Ext4BlockRef{};
  it->blockLogical = ~u64{0};
  it->atEnd = true;
}

// --- Hashes ---

namespace {

// Packs up to num words of the name as the hashed index does, padding with the length.
void StrToHashBuf(const u8* msg, u32 len, u32* buf, int num, bool unsignedChars) {
  u32 pad = len | (len << 8);
  pad |= pad << 16;
  u32 val = pad;
  if (len > static_cast<u32>(num) * 4) len = static_cast<u32>(num) * 4;
  for (u32 i = 0; i < len; ++i) {
    const u32 c = unsignedChars ? msg[i] : static_cast<u32>(static_cast<int>(static_cast<signed char>(msg[i])));
    val = c + (val << 8);
    if (i % 4 == 3) {
      *buf++ = val;
      val = pad;
      --num;
    }
  }
  if (--num >= 0) *buf++ = val;
  while (--num >= 0) *buf++ = pad;
}

u32 LegacyHash(const u8* msg, u32 len, bool unsignedChars) {
  u32 hash0 = 0x12A3FE2D, hash1 = 0x37ABE8F9;
  for (u32 i = 0; i < len; ++i) {
    const u32 c = unsignedChars ? msg[i] : static_cast<u32>(static_cast<int>(static_cast<signed char>(msg[i])));
    u32 hash = hash1 + (hash0 ^ (c * 7152373u));
    if (hash & 0x80000000u) hash -= 0x7FFFFFFFu;
    hash1 = hash0;
    hash0 = hash;
  }
  return hash0 << 1;
}

void TeaTransform(u32 buf[4], const u32 in[4]) {
  u32 sum = 0, b0 = buf[0], b1 = buf[1];
  const u32 a = in[0], b = in[1], c = in[2], d = in[3];
  for (int n = 0; n < 16; ++n) {
    sum += 0x9E3779B9u;
    b0 += ((b1 << 4) + a) ^ (b1 + sum) ^ ((b1 >> 5) + b);
    b1 += ((b0 << 4) + c) ^ (b0 + sum) ^ ((b0 >> 5) + d);
  }
  buf[0] += b0;
  buf[1] += b1;
}

u32 Rol(u32 x, int s) { return (x << s) | (x >> (32 - s)); }

void HalfMd4Transform(u32 buf[4], const u32 in[8]) {
  u32 a = buf[0], b = buf[1], c = buf[2], d = buf[3];
  auto F = [](u32 x, u32 y, u32 z) { return z ^ (x & (y ^ z)); };
  auto G = [](u32 x, u32 y, u32 z) { return (x & y) + ((x ^ y) & z); };
  auto H = [](u32 x, u32 y, u32 z) { return x ^ y ^ z; };
  constexpr u32 K2 = 013240474631u, K3 = 015666365641u;
#define EXT4_ROUND(f, a, b, c, d, x, s) (a += f(b, c, d) + (x), a = Rol(a, s))
  EXT4_ROUND(F, a, b, c, d, in[0], 3);
  EXT4_ROUND(F, d, a, b, c, in[1], 7);
  EXT4_ROUND(F, c, d, a, b, in[2], 11);
  EXT4_ROUND(F, b, c, d, a, in[3], 19);
  EXT4_ROUND(F, a, b, c, d, in[4], 3);
  EXT4_ROUND(F, d, a, b, c, in[5], 7);
  EXT4_ROUND(F, c, d, a, b, in[6], 11);
  EXT4_ROUND(F, b, c, d, a, in[7], 19);
  EXT4_ROUND(G, a, b, c, d, in[1] + K2, 3);
  EXT4_ROUND(G, d, a, b, c, in[3] + K2, 5);
  EXT4_ROUND(G, c, d, a, b, in[5] + K2, 9);
  EXT4_ROUND(G, b, c, d, a, in[7] + K2, 13);
  EXT4_ROUND(G, a, b, c, d, in[0] + K2, 3);
  EXT4_ROUND(G, d, a, b, c, in[2] + K2, 5);
  EXT4_ROUND(G, c, d, a, b, in[4] + K2, 9);
  EXT4_ROUND(G, b, c, d, a, in[6] + K2, 13);
  EXT4_ROUND(H, a, b, c, d, in[3] + K3, 3);
  EXT4_ROUND(H, d, a, b, c, in[7] + K3, 9);
  EXT4_ROUND(H, c, d, a, b, in[2] + K3, 11);
  EXT4_ROUND(H, b, c, d, a, in[6] + K3, 15);
  EXT4_ROUND(H, a, b, c, d, in[1] + K3, 3);
  EXT4_ROUND(H, d, a, b, c, in[5] + K3, 9);
  EXT4_ROUND(H, c, d, a, b, in[0] + K3, 11);
  EXT4_ROUND(H, b, c, d, a, in[4] + K3, 15);
#undef EXT4_ROUND
  buf[0] += a;
  buf[1] += b;
  buf[2] += c;
  buf[3] += d;
}

}  // namespace

int Ext4DirHash(const char* name, u32 length, u32 hashVersion, const u32* seed, u32* hash, u32* minorHash) {
  *hash = 0;
  *minorHash = 0;
  if (length < 1 || length > 255 || hashVersion > 5) return EXT4_ENOTSUP;
  const u8* p = reinterpret_cast<const u8*>(name);
  u32 buf[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  if (seed) std::memcpy(buf, seed, sizeof buf);
  const bool unsignedChars = hashVersion >= 3;
  u32 h = 0, minor = 0;
  switch (hashVersion % 3) {
    case 0:
      h = LegacyHash(p, length, unsignedChars);
      break;
    case 1: {
      u32 in[8];
      for (int left = static_cast<int>(length); left > 0; left -= 32, p += 32) {
        StrToHashBuf(p, static_cast<u32>(left), in, 8, unsignedChars);
        HalfMd4Transform(buf, in);
      }
      h = buf[1];
      minor = buf[2];
      break;
    }
    default: {
      u32 in[4];
      for (int left = static_cast<int>(length); left > 0; left -= 16, p += 16) {
        StrToHashBuf(p, static_cast<u32>(left), in, 4, unsignedChars);
        TeaTransform(buf, in);
      }
      h = buf[0];
      minor = buf[1];
      break;
    }
  }
  h &= ~1u;
  if (h == 0xFFFFFFFEu) h = 0xFFFFFFFCu;
  *hash = h;
  *minorHash = minor;
  return EXT4_OK;
}

// --- Writing ---

namespace {

constexpr u32 kTail = 12;       // linear checksum tail
constexpr u8 kTailType = 0xDE;
constexpr u32 kRootCount = 32;  // count/limit of the index root, after ".", ".." and the root info
constexpr u32 kNodeCount = 8;   // count/limit of an index node, after its empty entry

u16 EncodeRecLen(u32 bs, u32 len) {
  // 64 KiB blocks store a whole-block entry as 65535, as mke2fs does; shorter ones fit as they are.
  if (bs >= 65536 && len >= 65536) return 0xFFFF;
  return static_cast<u16>(len);
}

u32 EntrySize(u32 nameLen) { return (8 + nameLen + 3) & ~3u; }

bool IsDir(const u8* inode) { return (Ext4InodeMode(inode) & EXT4_S_IFMT) == EXT4_S_IFDIR; }

bool Hashed(const Ext4InodeRef* dir) {
  return (dir->fs->compat & EXT4_COMPAT_DIR_INDEX) && (Ext4InodeFlags(dir->inode) & EXT4_INODE_INDEX);
}

u32 RootLimit(const Ext4Fs& fs) { return (fs.blockSize - kRootCount - (fs.metadataCsum ? 8 : 0)) / 8; }
u32 NodeLimit(const Ext4Fs& fs) { return (fs.blockSize - kNodeCount - (fs.metadataCsum ? 8 : 0)) / 8; }

// The checksum tail of a linear block, when the block has one.
bool HasTail(const Ext4Fs& fs, const u8* b) {
  const u8* t = b + fs.blockSize - kTail;
  return fs.metadataCsum && Ext4Le32(t) == 0 && Ext4Le16(t + 4) == kTail && t[6] == 0 && t[7] == kTailType;
}

u32 DirCsumSeed(const Ext4InodeRef* dir) {
  u8 le[4];
  Ext4SetLe32(le, dir->index);
  return Ext4Crc32c(Ext4Crc32c(dir->fs->csumSeed, le, 4), dir->inode + EXT4_I_GENERATION, 4);
}

// Where a linear block keeps its checksum, or null when it has no tail.
u8* LeafSum(const Ext4InodeRef* dir, u8* b, u32* sum) {
  const Ext4Fs& fs = *dir->fs;
  if (!HasTail(fs, b)) return nullptr;
  *sum = Ext4Crc32c(DirCsumSeed(dir), b, fs.blockSize - kTail);
  return b + fs.blockSize - 4;
}

// An index block's tail sits right after its limit entries; the sum covers the block up to the
// used entries, the tail's reserved word and a zero checksum. Null when there is no room for it.
u8* DxSum(const Ext4InodeRef* dir, u8* b, u32 countOff, u32* sum) {
  const Ext4Fs& fs = *dir->fs;
  if (!fs.metadataCsum) return nullptr;
  const u32 limit = Ext4Le16(b + countOff), count = Ext4Le16(b + countOff + 2);
  const u64 tail = countOff + u64{limit} * 8;
  if (count > limit || tail + 8 > fs.blockSize) return nullptr;
  static const u8 zero[4] = {};
  u32 c = Ext4Crc32c(DirCsumSeed(dir), b, countOff + count * 8);
  c = Ext4Crc32c(c, b + tail, 4);
  *sum = Ext4Crc32c(c, zero, 4);
  return b + tail + 4;
}

void StampLeaf(const Ext4InodeRef* dir, u8* b) {
  u32 sum = 0;
  if (u8* at = LeafSum(dir, b, &sum)) Ext4SetLe32(at, sum);
}

void StampDx(const Ext4InodeRef* dir, u8* b, u32 countOff) {
  u32 sum = 0;
  if (u8* at = DxSum(dir, b, countOff, &sum)) Ext4SetLe32(at, sum);
}

// A block is changed only when its checksum holds: stamping a fresh one over a damaged block would
// hide the damage from e2fsck.
bool LeafSumOk(const Ext4InodeRef* dir, u8* b) {
  u32 sum = 0;
  const u8* at = LeafSum(dir, b, &sum);
  return !at || Ext4Le32(at) == sum;
}

bool DxSumOk(const Ext4InodeRef* dir, u8* b, u32 countOff) {
  u32 sum = 0;
  const u8* at = DxSum(dir, b, countOff, &sum);
  return !at || Ext4Le32(at) == sum;
}

int Dirty(Ext4InodeRef* dir, Ext4BlockRef& b) { return Ext4TransSetBlockDirty(dir->fs, *b.buf); }

void WriteEntry(const Ext4Fs& fs, u8* p, u32 recLen, u32 ino, u8 type, const char* name, u32 len) {
  Ext4SetLe32(p, ino);
  Ext4SetLe16(p + 4, EncodeRecLen(fs.blockSize, recLen));
  p[6] = static_cast<u8>(len);
  p[7] = (fs.incompat & EXT4_INCOMPAT_FILETYPE) ? type : u8{0};
  std::memcpy(p + 8, name, len);
  std::memset(p + 8 + len, 0, EntrySize(len) - 8 - len);
}

// An empty directory block: one unused entry over the block (and the checksum tail).
void EmptyBlock(const Ext4Fs& fs, u8* b) {
  const u32 bs = fs.blockSize;
  std::memset(b, 0, bs);
  Ext4SetLe16(b + 4, EncodeRecLen(bs, bs - (fs.metadataCsum ? kTail : 0)));
  if (fs.metadataCsum) {
    Ext4SetLe16(b + bs - kTail + 4, kTail);
    b[bs - kTail + 7] = kTailType;
  }
}

// An empty index node: an unused entry over the block, then count/limit.
void EmptyNode(const Ext4Fs& fs, u8* b) {
  std::memset(b, 0, fs.blockSize);
  Ext4SetLe16(b + 4, EncodeRecLen(fs.blockSize, fs.blockSize));
  Ext4SetLe16(b + kNodeCount, static_cast<u16>(NodeLimit(fs)));
}

// Puts the entry into the block where there is room: the slack after a used entry or an unused
// entry. done tells whether it went in; 5 for a malformed block or one whose checksum fails.
int InsertInBlock(const Ext4InodeRef* dir, u8* b, const char* name, u32 len, u32 ino, u8 type, bool* done) {
  const Ext4Fs& fs = *dir->fs;
  *done = false;
  const u32 bs = fs.blockSize, need = EntrySize(len);
  const bool tail = HasTail(fs, b);
  Ext4DirEntryView e;
  for (u32 off = 0; off < bs; off += e.recLen) {
    if (!Ext4DirEntryAt(fs, b, off, &e)) return EXT4_EIO;
    if (tail && off == bs - kTail) break;
    const bool fits = e.inode == 0 ? e.recLen >= need : e.recLen >= EntrySize(e.nameLen) + need;
    if (!fits) continue;
    if (!LeafSumOk(dir, b)) return EXT4_EIO;
    if (e.inode == 0) {
      WriteEntry(fs, b + off, e.recLen, ino, type, name, len);
    } else {
      const u32 real = EntrySize(e.nameLen);
      Ext4SetLe16(b + off + 4, EncodeRecLen(bs, real));
      WriteEntry(fs, b + off + real, e.recLen - real, ino, type, name, len);
    }
    *done = true;
    return EXT4_OK;
  }
  return EXT4_OK;
}

// Appends a block to the directory and holds it (its content is the caller's).
int AppendDirBlock(Ext4InodeRef* dir, Ext4BlockRef& out, u32* logical) {
  Ext4Fs& fs = *dir->fs;
  u64 phys = 0;
  if (const int r = Ext4InodeAppendBlock(dir, &phys, logical); r) return r;
  dir->dirty = true;
  const u64 want = (u64{*logical} + 1) * fs.blockSize;
  if (Ext4InodeSize(fs, dir->inode) < want) Ext4InodeSetSize(fs, dir->inode, want);
  if (phys == 0) return EXT4_EIO;
  const int r = Ext4BlockGetNoRead(*fs.dev, out, phys);
  return r == EXT4_ERANGE ? EXT4_EIO : r;
}

int LinearAdd(Ext4InodeRef* dir, const char* name, u32 len, u32 ino, u8 type) {
  const Ext4Fs& fs = *dir->fs;
  const u64 blocks = DirBlocks(fs, dir->inode);
  for (u64 n = 0; n < blocks;) {
    Ext4BlockRef b;
    u32 hole = 1;
    const int r = ReadDirBlock(dir, n, b, &hole);
    if (r == EXT4_ENOENT) {
      n += hole;
      continue;
    }
    if (r) return r;
    bool done = false;
    if (const int ir = InsertInBlock(dir, b.data, name, len, ino, type, &done); ir) return ir;
    if (done) {
      StampLeaf(dir, b.data);
      return Dirty(dir, b);
    }
    ++n;
  }
  Ext4BlockRef b;
  u32 logical = 0;
  if (const int r = AppendDirBlock(dir, b, &logical); r) return r;
  EmptyBlock(fs, b.data);
  StampLeaf(dir, b.data);
  bool done = false;
  InsertInBlock(dir, b.data, name, len, ino, type, &done);
  StampLeaf(dir, b.data);
  return Dirty(dir, b);
}

// --- The hashed index ---

// How the directory hashes names: the root's version (unsigned when the volume says so) and the seed.
struct DxHasher {
  u32 version = 0;
  u32 seed[4] = {};
  bool seeded = false;
  int Hash(const char* name, u32 len, u32* hash, u32* minor = nullptr) const {
    u32 m = 0;
    return Ext4DirHash(name, len, version, seeded ? seed : nullptr, hash, minor ? minor : &m);
  }
};

DxHasher MakeHasher(const Ext4Fs& fs, u32 rootVersion) {
  DxHasher h;
  h.version = rootVersion + ((Ext4Le32(fs.sb.data() + EXT4_SB_FLAGS) & 0x2) ? 3 : 0);
  for (int i = 0; i < 4; ++i) {
    h.seed[i] = Ext4Le32(fs.sb.data() + EXT4_SB_HASH_SEED + 4 * i);
    h.seeded |= h.seed[i] != 0;
  }
  return h;
}

// One index block on the way to a leaf, held for changing.
struct DxStep {
  Ext4BlockRef ref;
  u32 countOff = 0;
  u32 at = 0;
  u8* Entry(u32 i) const { return ref.data + countOff + i * 8; }
  u32 Limit() const { return Ext4Le16(ref.data + countOff); }
  u32 Count() const { return Ext4Le16(ref.data + countOff + 2); }
  u32 Hash(u32 i) const { return i == 0 ? 0 : Ext4Le32(Entry(i)); }
  u32 Block(u32 i) const { return Ext4Le32(Entry(i) + 4) & 0x0FFFFFFF; }
};

// Walks the index to the leaf of hash: 0, EXT4_DX_BAD for an index that cannot be used, or an error.
int DxProbe(Ext4InodeRef* dir, const char* name, u32 len, DxStep lv[2], u32* depth, DxHasher* hasher) {
  const Ext4Fs& fs = *dir->fs;
  const u32 bs = fs.blockSize;
  const u64 blocks = DirBlocks(fs, dir->inode);
  auto load = [&](u64 logical, DxStep& s) {
    if (logical >= blocks) return EXT4_DX_BAD;
    const int r = ReadDirBlock(dir, logical, s.ref);
    return r == EXT4_ENOENT ? EXT4_DX_BAD : r;
  };
  if (const int r = load(0, lv[0]); r) return r;
  const u8* root = lv[0].ref.data;
  if (Ext4DirRecLen(bs, Ext4Le16(root + 4)) != 12 || Ext4DirRecLen(bs, Ext4Le16(root + 16)) != bs - 12)
    return EXT4_DX_BAD;
  const u8 version = root[28], infoLen = root[29], indirect = root[30], unused = root[31];
  if (version > 2 || infoLen != 8 || indirect > 1 || unused != 0) return EXT4_DX_BAD;
  lv[0].countOff = kRootCount;
  if (lv[0].Limit() != RootLimit(fs)) return EXT4_DX_BAD;
  if (!DxSumOk(dir, lv[0].ref.data, kRootCount)) return EXT4_EIO;
  *hasher = MakeHasher(fs, version);
  u32 hash = 0;
  if (hasher->Hash(name, len, &hash)) return EXT4_DX_BAD;
  *depth = indirect + 1u;
  for (u32 l = 0; l < *depth; ++l) {
    DxStep& s = lv[l];
    if (s.Count() == 0 || s.Count() > s.Limit()) return EXT4_DX_BAD;
    u32 lo = 1, hi = s.Count();
    while (lo < hi) {
      const u32 mid = (lo + hi) / 2;
      if (s.Hash(mid) > hash) hi = mid;
      else lo = mid + 1;
    }
    s.at = lo - 1;
    if (s.Block(s.at) == 0 || s.Block(s.at) >= blocks) return EXT4_DX_BAD;
    if (l + 1 < *depth) {
      DxStep& c = lv[l + 1];
      if (const int r = load(s.Block(s.at), c); r) return r;
      c.countOff = kNodeCount;
      if (Ext4Le32(c.ref.data) != 0 || Ext4DirRecLen(bs, Ext4Le16(c.ref.data + 4)) != bs || c.Limit() != NodeLimit(fs))
        return EXT4_DX_BAD;
      if (!DxSumOk(dir, c.ref.data, kNodeCount)) return EXT4_EIO;
    }
  }
  return EXT4_OK;
}

void DxInsert(DxStep& s, u32 pos, u32 hash, u32 block) {
  const u32 count = s.Count();
  std::memmove(s.Entry(pos + 1), s.Entry(pos), (count - pos) * 8);
  Ext4SetLe32(s.Entry(pos), hash);
  Ext4SetLe32(s.Entry(pos) + 4, block);
  Ext4SetLe16(s.ref.data + s.countOff + 2, static_cast<u16>(count + 1));
}

int DxDirty(Ext4InodeRef* dir, DxStep& s) {
  StampDx(dir, s.ref.data, s.countOff);
  return Dirty(dir, s.ref);
}

// Makes room in the index level that points at leaves: the root grows a level, or an index node
// is split in two with a new entry in the root. 28 when the root and its index level are full.
int DxMakeRoom(Ext4InodeRef* dir, DxStep lv[2], u32 depth) {
  const Ext4Fs& fs = *dir->fs;
  DxStep& root = lv[0];
  Ext4BlockRef nb;
  u32 logical = 0;
  if (depth == 1) {
    if (const int r = AppendDirBlock(dir, nb, &logical); r) return r;
    EmptyNode(fs, nb.data);
    const u32 count = root.Count();
    std::memcpy(nb.data + kNodeCount + 4, root.Entry(0) + 4, count * 8 - 4);
    Ext4SetLe16(nb.data + kNodeCount + 2, static_cast<u16>(count));
    StampDx(dir, nb.data, kNodeCount);
    if (const int r = Dirty(dir, nb); r) return r;
    Ext4SetLe16(root.ref.data + kRootCount + 2, 1);
    Ext4SetLe32(root.Entry(0) + 4, logical);
    root.ref.data[30] = 1;  // indirect levels
    return DxDirty(dir, root);
  }
  if (root.Count() >= root.Limit()) return EXT4_ENOSPC;
  DxStep& node = lv[1];
  const u32 count = node.Count(), keep = count / 2, move = count - keep;
  const u32 hash2 = node.Hash(keep);
  if (const int r = AppendDirBlock(dir, nb, &logical); r) return r;
  EmptyNode(fs, nb.data);
  std::memcpy(nb.data + kNodeCount + 4, node.Entry(keep) + 4, move * 8 - 4);
  Ext4SetLe16(nb.data + kNodeCount + 2, static_cast<u16>(move));
  StampDx(dir, nb.data, kNodeCount);
  if (const int r = Dirty(dir, nb); r) return r;
  Ext4SetLe16(node.ref.data + kNodeCount + 2, static_cast<u16>(keep));
  if (const int r = DxDirty(dir, node); r) return r;
  DxInsert(root, root.at + 1, hash2, logical);
  return DxDirty(dir, root);
}

struct LeafItem {
  u32 hash = 0, minor = 0, off = 0, size = 0;
};

// Writes the entries of items (read from src) one after the other into an empty block.
void FillLeaf(const Ext4Fs& fs, u8* dst, const u8* src, const LeafItem* items, std::size_t n) {
  EmptyBlock(fs, dst);
  const u32 end = fs.blockSize - (fs.metadataCsum ? kTail : 0);
  u32 off = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(dst + off, src + items[i].off, 8 + src[items[i].off + 6]);
    const u32 len = i + 1 == n ? end - off : items[i].size;
    Ext4SetLe16(dst + off + 4, EncodeRecLen(fs.blockSize, len));
    off += items[i].size;
  }
}

// Splits a full leaf by hash: the upper half of its bytes moves into a new block whose index entry
// follows the leaf's; a hash that runs on across the split gets the continuation bit.
int DxSplitLeaf(Ext4InodeRef* dir, const DxHasher& hasher, DxStep& node, Ext4BlockRef& leaf) {
  const Ext4Fs& fs = *dir->fs;
  const u32 bs = fs.blockSize;
  const bool tail = HasTail(fs, leaf.data);
  if (!LeafSumOk(dir, leaf.data)) return EXT4_EIO;
  std::vector<LeafItem> items;
  Ext4DirEntryView e;
  for (u32 off = 0; off < bs; off += e.recLen) {
    if (!Ext4DirEntryAt(fs, leaf.data, off, &e)) return EXT4_EIO;
    if ((tail && off == bs - kTail) || e.inode == 0) continue;
    LeafItem it{0, 0, off, EntrySize(e.nameLen)};
    if (hasher.Hash(reinterpret_cast<const char*>(e.name), e.nameLen, &it.hash, &it.minor)) return EXT4_EIO;
    items.push_back(it);
  }
  std::stable_sort(items.begin(), items.end(), [](const LeafItem& a, const LeafItem& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.minor < b.minor;
  });
  const std::vector<u8> src(leaf.data, leaf.data + bs);
  const std::size_t n = items.size();
  if (n < 2) {  // nothing to split: only gather the free space
    FillLeaf(fs, leaf.data, src.data(), items.data(), n);
    StampLeaf(dir, leaf.data);
    return Dirty(dir, leaf);
  }
  const u32 half = (bs - (fs.metadataCsum ? kTail : 0)) / 2;
  std::size_t split = n;
  for (u32 moved = 0; split > 1 && moved + items[split - 1].size <= half; --split) moved += items[split - 1].size;
  if (split == n) split = n - 1;
  const u32 hash2 = items[split].hash;
  const u32 continued = items[split - 1].hash == hash2 ? 1 : 0;

  Ext4BlockRef nb;
  u32 logical = 0;
  if (const int r = AppendDirBlock(dir, nb, &logical); r) return r;
  FillLeaf(fs, nb.data, src.data(), items.data() + split, n - split);
  StampLeaf(dir, nb.data);
  if (const int r = Dirty(dir, nb); r) return r;
  FillLeaf(fs, leaf.data, src.data(), items.data(), split);
  StampLeaf(dir, leaf.data);
  if (const int r = Dirty(dir, leaf); r) return r;
  DxInsert(node, node.at + 1, hash2 | continued, logical);
  return DxDirty(dir, node);
}

int DxAdd(Ext4InodeRef* dir, const char* name, u32 len, u32 ino, u8 type) {
  // Each round makes room once (a split, a new level); the entry fits after a few at most.
  for (int round = 0; round < 6; ++round) {
    DxStep lv[2];
    u32 depth = 0;
    DxHasher hasher;
    if (const int r = DxProbe(dir, name, len, lv, &depth, &hasher); r)
      return r == EXT4_DX_BAD ? EXT4_EIO : r;  // a damaged index is not rewritten behind e2fsck's back
    DxStep& deep = lv[depth - 1];
    Ext4BlockRef leaf;
    if (const int r = ReadDirBlock(dir, deep.Block(deep.at), leaf); r) return r == EXT4_ENOENT ? EXT4_EIO : r;
    bool done = false;
    if (const int r = InsertInBlock(dir, leaf.data, name, len, ino, type, &done); r) return r;
    if (done) {
      StampLeaf(dir, leaf.data);
      return Dirty(dir, leaf);
    }
    const int r = deep.Count() >= deep.Limit() ? DxMakeRoom(dir, lv, depth) : DxSplitLeaf(dir, hasher, deep, leaf);
    if (r) return r;
  }
  return EXT4_EIO;
}

// Finds the entry for changing it: a damaged index gives 5 rather than a linear fallback.
int FindForWrite(Ext4DirSearchResult* result, Ext4InodeRef* dir, const char* name, u32 len) {
  *result = Ext4DirSearchResult{};
  const bool dots = len <= 2 && name[0] == '.' && (len == 1 || name[1] == '.');
  if (!dots && Hashed(dir)) {
    const int r = DxFind(result, dir, name, len);
    return r == EXT4_DX_BAD ? EXT4_EIO : r;
  }
  return LinearFind(result, dir, name, len);
}

int WritableDir(const Ext4InodeRef* dir) {
  if (!dir || !dir->inode || !dir->fs) return EXT4_EINVAL;
  if (dir->fs->readOnly) return EXT4_EROFS;
  return IsDir(dir->inode) ? EXT4_OK : EXT4_ENOTDIR;
}

// Sets ".." (the second entry of block 0); the root of a hashed directory keeps its index checksum.
int SetDotDot(Ext4InodeRef* dir, u32 parentIno, bool hashed) {
  const Ext4Fs& fs = *dir->fs;
  Ext4BlockRef b;
  if (const int r = ReadDirBlock(dir, 0, b); r) return r == EXT4_ENOENT ? EXT4_EIO : r;
  Ext4DirEntryView dot, dotdot;
  if (!Ext4DirEntryAt(fs, b.data, 0, &dot) || dot.nameLen != 1 || dot.name[0] != '.' ||
      !Ext4DirEntryAt(fs, b.data, dot.recLen, &dotdot) || dotdot.nameLen != 2 || std::memcmp(dotdot.name, "..", 2) != 0)
    return EXT4_EIO;
  if (hashed ? dot.recLen != 12 || Ext4Le16(b.data + kRootCount) != RootLimit(fs) || !DxSumOk(dir, b.data, kRootCount)
             : !LeafSumOk(dir, b.data))
    return EXT4_EIO;
  Ext4SetLe32(b.data + dot.recLen, parentIno);
  if (hashed) StampDx(dir, b.data, kRootCount);
  else StampLeaf(dir, b.data);
  return Dirty(dir, b);
}

}  // namespace

int Ext4DirAddEntry(Ext4InodeRef* dir, const char* name, u32 nameLength, Ext4InodeRef* child) {
  if (const int r = WritableDir(dir); r) return r;
  if (!name || !child || !child->inode || nameLength == 0 || nameLength > 255) return EXT4_EINVAL;
  const u8 type = Ext4DirTypeOfMode(Ext4InodeMode(child->inode));
  if (Hashed(dir)) return DxAdd(dir, name, nameLength, child->index, type);
  return LinearAdd(dir, name, nameLength, child->index, type);
}

int Ext4DirRemoveEntry(Ext4InodeRef* dir, const char* name, u32 nameLength) {
  if (const int r = WritableDir(dir); r) return r;
  if (!name || nameLength == 0 || nameLength > 255) return EXT4_ENOENT;
  // Merging ".." into "." would swallow the index root of a hashed folder.
  if (nameLength <= 2 && name[0] == '.' && (nameLength == 1 || name[1] == '.') && Hashed(dir)) return EXT4_EINVAL;
  const Ext4Fs& fs = *dir->fs;
  const u32 bs = fs.blockSize;
  Ext4DirSearchResult found;
  if (const int r = FindForWrite(&found, dir, name, nameLength); r) return r;
  Ext4BlockRef b;
  if (const int r = ReadDirBlock(dir, found.offset / bs, b); r) return r == EXT4_ENOENT ? EXT4_EIO : r;
  const u32 at = static_cast<u32>(found.offset % bs);
  Ext4DirEntryView e;
  u32 prev = bs;
  for (u32 off = 0; off < at; off += e.recLen) {
    if (!Ext4DirEntryAt(fs, b.data, off, &e)) return EXT4_EIO;
    prev = off;
  }
  if (!Ext4DirEntryAt(fs, b.data, at, &e) || (prev != bs && prev + Ext4DirRecLen(bs, Ext4Le16(b.data + prev + 4)) != at) ||
      !LeafSumOk(dir, b.data))
    return EXT4_EIO;
  Ext4SetLe32(b.data + at, 0);
  if (prev != bs) Ext4SetLe16(b.data + prev + 4, EncodeRecLen(bs, at - prev + e.recLen));
  StampLeaf(dir, b.data);
  return Dirty(dir, b);
}

int Ext4DxInit(Ext4InodeRef* dir, Ext4InodeRef* parent) {
  if (const int r = WritableDir(dir); r) return r;
  if (!parent || !parent->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *dir->fs;
  const u32 bs = fs.blockSize;
  if (Ext4InodeSize(fs, dir->inode) > bs) return EXT4_EINVAL;  // only a new directory
  Ext4BlockRef root;
  if (Ext4InodeSize(fs, dir->inode) == 0) {
    u32 logical = 0;
    if (const int r = AppendDirBlock(dir, root, &logical); r) return r;
    if (logical != 0) return EXT4_EIO;
  } else {
    if (const int r = ReadDirBlock(dir, 0, root); r) return r == EXT4_ENOENT ? EXT4_EIO : r;
    Ext4DirEntryView e;
    for (u32 off = 0; off < bs; off += e.recLen) {
      if (!Ext4DirEntryAt(fs, root.data, off, &e)) return EXT4_EIO;
      const bool dots = e.nameLen >= 1 && e.nameLen <= 2 && std::memcmp(e.name, "..", e.nameLen) == 0;
      if (e.inode != 0 && !dots) return EXT4_EINVAL;
    }
  }
  u8* b = root.data;
  std::memset(b, 0, bs);
  WriteEntry(fs, b, 12, dir->index, EXT4_DE_DIR, ".", 1);
  WriteEntry(fs, b + 12, bs - 12, parent->index, EXT4_DE_DIR, "..", 2);
  const u8 version = fs.sb[EXT4_SB_DEF_HASH_VERSION];
  b[28] = version <= 2 ? version : 1;
  b[29] = 8;
  Ext4SetLe16(b + kRootCount, static_cast<u16>(RootLimit(fs)));
  Ext4SetLe16(b + kRootCount + 2, 1);
  Ext4SetLe32(b + kRootCount + 4, 1);
  StampDx(dir, b, kRootCount);
  if (const int r = Dirty(dir, root); r) return r;

  Ext4BlockRef leaf;
  u32 logical = 0;
  if (const int r = AppendDirBlock(dir, leaf, &logical); r) return r;
  if (logical != 1) return EXT4_EIO;
  EmptyBlock(fs, leaf.data);
  StampLeaf(dir, leaf.data);
  if (const int r = Dirty(dir, leaf); r) return r;
  Ext4SetLe32(dir->inode + EXT4_I_FLAGS, Ext4InodeFlags(dir->inode) | EXT4_INODE_INDEX);
  dir->dirty = true;
  return EXT4_OK;
}

int Ext4DxSetParent(Ext4InodeRef* dir, u32 parentIno) {
  if (const int r = WritableDir(dir); r) return r;
  return SetDotDot(dir, parentIno, true);
}

int Ext4DirSetParent(Ext4InodeRef* dir, u32 parentIno) {
  if (const int r = WritableDir(dir); r) return r;
  return SetDotDot(dir, parentIno, Hashed(dir));
}

u8 Ext4DirTypeOfMode(u16 mode) {
  switch (mode & EXT4_S_IFMT) {
    case EXT4_S_IFREG: return EXT4_DE_REG;
    case EXT4_S_IFDIR: return EXT4_DE_DIR;
    case EXT4_S_IFLNK: return EXT4_DE_SYMLINK;
    case EXT4_S_IFCHR: return EXT4_DE_CHR;
    case EXT4_S_IFBLK: return EXT4_DE_BLK;
    case EXT4_S_IFIFO: return EXT4_DE_FIFO;
    case EXT4_S_IFSOCK: return EXT4_DE_SOCK;
    default: return EXT4_DE_UNKNOWN;
  }
}
