// exFAT clusters: FAT links, the allocation bitmap block by block, chains and their turn from contiguous to linked.
#include "FileSystem/Exfat/exfat_internal.h"

#include "FileSystem/Media/chain_marks.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace exfat {

namespace {

u64 BlockBits(const ExfatFs& v) { return u64{v.clusterBytes} * 8; }

int LoadBlock(ExfatFs& v, u64 block) {
  if (v.blockLoaded[block]) return 0;
  const u64 begin = block * v.clusterBytes;
  const u64 n = std::min<u64>(v.clusterBytes, v.bitmap.size() - begin);
  if (ExfatDevPread(v.dev, v.bitmap.data() + begin, n, ClusterOffset(v, v.bitmapClusters[block])) != static_cast<i64>(n))
    return EXFAT_EIO;
  v.blockLoaded[block] = 1;
  return 0;
}

// Bit of cluster c; -5 when its block cannot be read.
int TestBit(ExfatFs& v, u32 c, bool* set) {
  const u64 bit = c - 2;
  if (const int r = LoadBlock(v, bit / BlockBits(v))) return r;
  *set = (v.bitmap[bit / 8] >> (bit % 8)) & 1;
  return 0;
}

int SetBit(ExfatFs& v, u32 c, bool value) {
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
int Allocate(ExfatFs& v, u32 hint, u32* out) {
  if (v.damaged) return EXFAT_EACCES;
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

int ZeroCluster(ExfatFs& v, u32 c) {
  static const std::vector<u8> zeros(1 << 16, 0);
  for (u64 done = 0; done < v.clusterBytes;) {
    const u64 n = std::min<u64>(zeros.size(), v.clusterBytes - done);
    if (ExfatDevPwrite(v.dev, zeros.data(), n, ClusterOffset(v, c) + done) != static_cast<i64>(n)) return EXFAT_EIO;
    done += n;
  }
  return 0;
}

// Adds clusters to a node: taken from the bitmap (and zeroed first with zero), then linked in.
// A link written to the FAT follows the bitmap on the medium and is written from the chain's new
// end backwards, so that no chain on the medium ever reaches a cluster the bitmap calls free or
// one not linked on yet.
int Grow(ExfatFs& v, ExfatNode& node, u64 oldCount, u64 newCount, bool zero) {
  u32 last = 0;
  if (oldCount > 0)
    if (const int r = NodeCluster(v, node, static_cast<u32>(oldCount - 1), &last)) return r;
  std::vector<u32> added;
  const auto undo = [&](int r) {
    // Gives back what this call took, so that a full volume keeps the node as it was.
    for (const u32 c : added) SetBit(v, c, false);
    return r;
  };
  for (u64 i = oldCount; i < newCount; ++i) {
    u32 c = 0;
    const u32 hint = !added.empty() ? added.back() + 1 : last ? last + 1 : v.allocHint;
    if (const int r = Allocate(v, hint, &c)) return undo(r);
    added.push_back(c);
    if (zero)
      if (const int r = ZeroCluster(v, c)) return undo(r);
  }
  // Files and folders begin contiguous; the root is always linked through the FAT.
  const bool wasRun = node.parent && (oldCount == 0 || (node.flags & EXFAT_NODE_CONTIGUOUS));
  bool run = wasRun;
  for (std::size_t i = 0; i < added.size() && run; ++i)
    run = i == 0 ? (oldCount == 0 || added[0] == last + 1) : added[i] == added[i - 1] + 1;
  if (!run) {
    if (const int r = FlushBitmap(v)) return r;
    if (const int r = PutFat(v, added.back(), kEndOfChain)) return r;
    for (std::size_t i = added.size() - 1; i-- > 0;)
      if (const int r = PutFat(v, added[i], added[i + 1])) return r;
    if (wasRun && oldCount > 0) {
      // The first cluster out of line: the run so far goes into the FAT too.
      for (u32 k = last; k-- > node.firstCluster;)
        if (const int r = PutFat(v, k, k + 1)) return r;
    }
    if (oldCount > 0)
      if (const int r = PutFat(v, last, added.front())) return r;
  }
  if (oldCount == 0) node.firstCluster = added.front();
  if (run) node.flags |= EXFAT_NODE_CONTIGUOUS;
  else node.flags &= ~u32{EXFAT_NODE_CONTIGUOUS};
  node.cachedIndex = static_cast<u32>(newCount - 1);
  node.cachedCluster = added.back();
  return 0;
}

}  // namespace

int GetFat(ExfatFs& v, u32 c, u32* next) {
  u8 raw[4];
  if (ExfatDevPread(v.dev, raw, 4, v.fatOffset + u64{c} * 4) != 4) return EXFAT_EIO;
  *next = Le32(raw);
  return 0;
}

int PutFat(ExfatFs& v, u32 c, u32 next) {
  u8 raw[4];
  Put32(raw, next);
  return ExfatDevPwrite(v.dev, raw, 4, v.fatOffset + u64{c} * 4) == 4 ? 0 : EXFAT_EIO;
}

int ChainLength(ExfatFs& v, u32 first, u32* count) {
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

int NodeCluster(ExfatFs& v, ExfatNode& node, u32 index, u32* cluster) {
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

int CheckClusters(ExfatFs& v, ExfatNode& node) {
  if (node.flags & EXFAT_NODE_CHECKED) return 0;
  const u64 count = ClustersFor(v, node.size);
  // The bitmap matters only where clusters are handed out (and is known only after the root).
  const bool bits = !v.readOnly && !v.bitmap.empty();
  bool marked = true;
  if (count && (node.flags & EXFAT_NODE_CONTIGUOUS)) {
    // The range itself was checked when the set was read.
    for (u64 i = 0; i < count && marked && bits; ++i)
      if (const int r = TestBit(v, static_cast<u32>(node.firstCluster + i), &marked)) return r;
  } else if (count) {
    ChainWalk walk(v.chainMarks, u64{v.clusterCount} + 2);
    u32 c = node.firstCluster;
    for (u64 i = 0; i < count; ++i) {
      // A chain that ends early, leaves the volume or meets a cluster again is broken.
      if (!IsCluster(v, c) || !walk.Visit(c)) return EXFAT_EIO;
      if (marked && bits)
        if (const int r = TestBit(v, c, &marked)) return r;
      if (i + 1 < count)
        if (const int r = GetFat(v, c, &c)) return r;
    }
  }
  if (!marked) MarkDamaged(v);
  if (v.readOnly || !v.bitmap.empty()) node.flags |= EXFAT_NODE_CHECKED;
  return 0;
}

int ClustersMarked(ExfatFs& v, const ExfatNode& node, bool* marked) {
  *marked = true;
  const u64 count = ClustersFor(v, node.size);
  if (!count) return 0;
  // A chain costs a walk of the FAT: its first cluster stands for it here.
  const u64 checked = (node.flags & EXFAT_NODE_CONTIGUOUS) ? count : 1;
  for (u64 i = 0; i < checked && *marked; ++i)
    if (const int r = TestBit(v, static_cast<u32>(node.firstCluster + i), marked)) return r;
  return 0;
}

void MarkDamaged(ExfatFs& v) {
  if (v.damaged || v.readOnly) return;
  v.damaged = true;
  if (v.dev.device)
    v.dev.device->Note(
        "Die Belegungstabelle des exFAT-Dateisystems führt belegte Cluster als frei; es wird nichts mehr "
        "hinzugefügt. Prüfen Sie das Dateisystem mit fsck.exfat.");
}

int FreeClusters(ExfatFs& v, u32 first, bool contiguous, u64 keep, u64 count) {
  if (keep >= count) return 0;
  if (contiguous) {
    for (u64 i = keep; i < count; ++i)
      if (const int r = SetBit(v, static_cast<u32>(first + i), false)) return r;
    return 0;
  }
  u32 c = first, prev = 0;
  for (u64 i = 0; i < keep; ++i) {
    if (!IsCluster(v, c)) return EXFAT_EIO;
    prev = c;
    if (const int r = GetFat(v, c, &c)) return r;
  }
  // The chain ends before what goes, then each cluster goes.
  if (prev && PutFat(v, prev, kEndOfChain)) return EXFAT_EIO;
  for (u64 i = keep; i < count; ++i) {
    if (!IsCluster(v, c)) return EXFAT_EIO;
    u32 next = 0;
    if (const int r = GetFat(v, c, &next)) return r;
    if (const int r = SetBit(v, c, false)) return r;
    if (const int r = PutFat(v, c, 0)) return r;
    c = next;
  }
  return 0;
}

int ResizeChain(ExfatFs& v, ExfatNode& node, u64 oldCount, u64 newCount, bool zero) {
  if (newCount > v.clusterCount) return EXFAT_ENOSPC;
  if (oldCount > 0)
    if (const int r = CheckClusters(v, node)) return r;
  node.cachedIndex = 0;
  node.cachedCluster = 0;
  if (newCount > oldCount) return Grow(v, node, oldCount, newCount, zero);
  if (newCount == oldCount) return 0;
  if (const int r = FreeClusters(v, node.firstCluster, node.flags & EXFAT_NODE_CONTIGUOUS, newCount, oldCount))
    return r;
  if (newCount == 0) {
    node.firstCluster = 0;
    if (node.parent) node.flags &= ~u32{EXFAT_NODE_CONTIGUOUS};
  }
  return 0;
}

int FlushBitmap(ExfatFs& v) {
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

}  // namespace exfat

using namespace exfat;

int ExfatUsedClusters(ExfatFs& v, u64* used) {
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
