// Directory entries, iteration, linear and hashed lookup, and the legacy, half-MD4 and TEA name hashes.
#include "FileSystem/Ext4/ext4_dir.h"

#include <algorithm>

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

// Searches one directory block for the name.
bool SearchBlock(const Ext4Fs& fs, const u8* block, u64 blockStart, const char* name, u32 len,
                 Ext4DirSearchResult* result) {
  Ext4DirEntryView e;
  for (u32 off = 0; off < fs.blockSize && Ext4DirEntryAt(fs, block, off, &e); off += e.recLen) {
    if (!Matches(e, name, len)) continue;
    result->inode = e.inode;
    result->type = e.type;
    result->offset = blockStart + off;
    return true;
  }
  return false;
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
    if (SearchBlock(fs, b.data, n * fs.blockSize, name, len, result)) return EXT4_OK;
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
    if (SearchBlock(fs, b.data, leaf * bs, name, len, result)) return EXT4_OK;
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
  if ((fs.compat & EXT4_COMPAT_DIR_INDEX) && (Ext4InodeFlags(dir->inode) & EXT4_INODE_INDEX)) {
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

int Ext4DirAddEntry(Ext4InodeRef*, const char*, u32, Ext4InodeRef*) { return EXT4_ENOTSUP; }
int Ext4DirRemoveEntry(Ext4InodeRef*, const char*, u32) { return EXT4_ENOTSUP; }
int Ext4DxInit(Ext4InodeRef*, Ext4InodeRef*) { return EXT4_ENOTSUP; }
int Ext4DxSetParent(Ext4InodeRef*, u32) { return EXT4_ENOTSUP; }
int Ext4DirSetParent(Ext4InodeRef*, u32) { return EXT4_ENOTSUP; }
