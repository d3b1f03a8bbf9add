// exFAT clusters: FAT links, the allocation bitmap block by block, chains and their turn from contiguous to linked.
#include "FileSystem/exfat_internal.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace exfat {

namespace {

u64 BlockBits(const ExfatVolume& v) { return u64{v.clusterBytes} * 8; }

int LoadBlock(ExfatVolume& v, u64 block) {
  if (v.blockLoaded[block]) return 0;
  const u64 begin = block * v.clusterBytes;
  const u64 n = std::min<u64>(v.clusterBytes, v.bitmap.size() - begin);
  if (ExfatDevPread(v.dev, v.bitmap.data() + begin, n, ClusterOffset(v, v.bitmapClusters[block])) != static_cast<i64>(n))
    return EXFAT_EIO;
  v.blockLoaded[block] = 1;
  return 0;
}

// Bit of cluster c; -5 when its block cannot be read.
int TestBit(ExfatVolume& v, u32 c, bool* set) {
  const u64 bit = c - 2;
  if (const int r = LoadBlock(v, bit / BlockBits(v))) return r;
  *set = (v.bitmap[bit / 8] >> (bit % 8)) & 1;
  return 0;
}

int SetBit(ExfatVolume& v, u32 c, bool value) {
  const u64 bit = c - 2;
  const u64 block = bit / BlockBits(v);
  if (const int r = LoadBlock(v, block)) return r;
  const u8 mask = static_cast<u8>(1u << (bit % 8));
  if (value) v.bitmap[bit / 8] |= mask;
  else v.bitmap[bit / 8] &= static_cast<u8>(~mask);
  v.blockChanged[block] = 1;
  v.bitmapDirty = true;
  return 0;
}

// A free cluster from the hint to the end, then from the start; it is marked used.
int Allocate(ExfatVolume& v, u32 hint, u32* out) {
  if (!IsCluster(v, hint)) hint = 2;
  for (int pass = 0; pass < 2; ++pass) {
    const u32 from = pass == 0 ? hint : 2;
    const u32 to = pass == 0 ? v.clusterCount + 2 : hint;
    for (u32 c = from; c < to;) {
      const u64 bit = c - 2;
      if (const int r = LoadBlock(v, bit / BlockBits(v))) return r;
      if (bit % 8 == 0 && v.bitmap[bit / 8] == 0xFF && c + 8 <= to) {
        c += 8;
        continue;
      }
      if (!((v.bitmap[bit / 8] >> (bit % 8)) & 1)) {
        if (const int r = SetBit(v, c, true)) return r;
        *out = c;
        v.allocHint = c + 1;
        return 0;
      }
      ++c;
    }
  }
  return EXFAT_ENOSPC;
}

}  // namespace

int GetFat(ExfatVolume& v, u32 c, u32* next) {
  u8 raw[4];
  if (ExfatDevPread(v.dev, raw, 4, v.fatOffset + u64{c} * 4) != 4) return EXFAT_EIO;
  *next = Le32(raw);
  return 0;
}

int PutFat(ExfatVolume& v, u32 c, u32 next) {
  u8 raw[4];
  Put32(raw, next);
  return ExfatDevPwrite(v.dev, raw, 4, v.fatOffset + u64{c} * 4) == 4 ? 0 : EXFAT_EIO;
}

int ChainLength(ExfatVolume& v, u32 first, u32* count) {
  *count = 0;
  if (first == 0) return 0;
  u32 c = first;
  for (;;) {
    if (!IsCluster(v, c) || *count >= v.clusterCount) return EXFAT_EIO;
    ++*count;
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (next == kEndOfChain) return 0;
    c = next;
  }
}

int NodeCluster(ExfatVolume& v, ExfatNode& node, u32 index, u32* cluster) {
  if (node.flags & EXFAT_NODE_CONTIGUOUS) {
    const u64 c = u64{node.firstCluster} + index;
    if (c > 0xFFFFFFFFu || !IsCluster(v, static_cast<u32>(c))) return EXFAT_EIO;
    *cluster = static_cast<u32>(c);
    return 0;
  }
  u32 at = 0, c = node.firstCluster;
  if (node.cachedCluster && node.cachedIndex <= index) {
    at = node.cachedIndex;
    c = node.cachedCluster;
  }
  if (!IsCluster(v, c)) return EXFAT_EIO;
  while (at < index) {
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (!IsCluster(v, next)) return EXFAT_EIO;
    c = next;
    ++at;
  }
  node.cachedIndex = index;
  node.cachedCluster = c;
  *cluster = c;
  return 0;
}

int ResizeChain(ExfatVolume& v, ExfatNode& node, u64 oldCount, u64 newCount) {
  if (newCount > v.clusterCount) return EXFAT_ENOSPC;
  node.cachedIndex = 0;
  node.cachedCluster = 0;
  if (newCount > oldCount) {
    u32 last = 0;
    if (oldCount > 0)
      if (const int r = NodeCluster(v, node, static_cast<u32>(oldCount - 1), &last)) return r;
    for (u64 i = oldCount; i < newCount; ++i) {
      u32 c = 0;
      if (const int r = Allocate(v, last ? last + 1 : v.allocHint, &c)) {
        // Give back what this call took, so that a full volume keeps the node as it was.
        if (i > oldCount) ResizeChain(v, node, i, oldCount);
        return r;
      }
      if (i == 0) {
        node.firstCluster = c;
        // Files and folders begin contiguous; the root is always linked through the FAT.
        if (node.parent) node.flags |= EXFAT_NODE_CONTIGUOUS;
        else if (const int r = PutFat(v, c, kEndOfChain)) return r;
      } else if (node.flags & EXFAT_NODE_CONTIGUOUS) {
        if (c != last + 1) {
          // The first cluster out of line: the chain so far goes into the FAT.
          for (u32 k = node.firstCluster; k < last; ++k)
            if (const int r = PutFat(v, k, k + 1)) return r;
          if (const int r = PutFat(v, last, c)) return r;
          if (const int r = PutFat(v, c, kEndOfChain)) return r;
          node.flags &= ~u32{EXFAT_NODE_CONTIGUOUS};
        }
      } else {
        if (const int r = PutFat(v, last, c)) return r;
        if (const int r = PutFat(v, c, kEndOfChain)) return r;
      }
      last = c;
      node.cachedIndex = static_cast<u32>(i);
      node.cachedCluster = c;
    }
    return 0;
  }
  if (newCount == oldCount) return 0;
  if (node.flags & EXFAT_NODE_CONTIGUOUS) {
    for (u64 i = newCount; i < oldCount; ++i)
      if (const int r = SetBit(v, static_cast<u32>(node.firstCluster + i), false)) return r;
  } else {
    u32 c = node.firstCluster;
    u32 prev = 0;
    for (u64 i = 0; i < newCount; ++i) {
      if (!IsCluster(v, c)) return EXFAT_EIO;
      prev = c;
      if (const int r = GetFat(v, c, &c)) return r;
    }
    if (prev && PutFat(v, prev, kEndOfChain)) return EXFAT_EIO;
    for (u64 i = newCount; i < oldCount; ++i) {
      if (!IsCluster(v, c)) return EXFAT_EIO;
      u32 next = 0;
      if (const int r = GetFat(v, c, &next)) return r;
      if (const int r = SetBit(v, c, false)) return r;
      if (const int r = PutFat(v, c, 0)) return r;
      c = next;
    }
  }
  if (newCount == 0) {
    node.firstCluster = 0;
    if (node.parent) node.flags &= ~u32{EXFAT_NODE_CONTIGUOUS};
  }
  return 0;
}

int FlushBitmap(ExfatVolume& v) {
  if (!v.bitmapDirty) return 0;
  for (std::size_t b = 0; b < v.blockChanged.size(); ++b) {
    if (!v.blockChanged[b]) continue;
    const u64 begin = b * u64{v.clusterBytes};
    const u64 n = std::min<u64>(v.clusterBytes, v.bitmap.size() - begin);
    if (ExfatDevPwrite(v.dev, v.bitmap.data() + begin, n, ClusterOffset(v, v.bitmapClusters[b])) != static_cast<i64>(n))
      return EXFAT_EIO;
    v.blockChanged[b] = 0;
  }
  v.bitmapDirty = false;
  return 0;
}

int UsedClusters(ExfatVolume& v, u64* used) {
  *used = 0;
  for (std::size_t b = 0; b < v.blockLoaded.size(); ++b)
    if (const int r = LoadBlock(v, b)) return r;
  const u64 whole = v.clusterCount / 8;
  for (u64 i = 0; i < whole; ++i) *used += static_cast<u64>(std::popcount(v.bitmap[i]));
  for (u32 c = static_cast<u32>(whole * 8) + 2; c < v.clusterCount + 2; ++c) {
    bool set = false;
    if (const int r = TestBit(v, c, &set)) return r;
    *used += set;
  }
  return 0;
}

}  // namespace exfat
