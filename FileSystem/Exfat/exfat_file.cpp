// exFAT file contents: reads and writes cluster by cluster, truncation and growth, zeros past the valid length.
#include "FileSystem/Exfat/exfat_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace exfat {

namespace {

// Runs over the clusters of [offset, offset + size), one call per cluster piece.
template <typename Piece>
int EachPiece(ExfatFs& v, ExfatNode& node, u64 offset, u64 size, Piece piece) {
  if (size)
    if (const int r = CheckClusters(v, node)) return r;
  u64 done = 0;
  while (done < size) {
    const u64 at = offset + done;
    const u64 index = at / v.clusterBytes;
    if (index > 0xFFFFFFFFu) return EXFAT_EIO;
    u32 c = 0;
    if (const int r = NodeCluster(v, node, static_cast<u32>(index), &c)) return r;
    const u64 within = at % v.clusterBytes;
    u64 n = std::min<u64>(size - done, v.clusterBytes - within);
    // Contiguous clusters are taken in one transfer.
    if (node.flags & EXFAT_NODE_CONTIGUOUS) n = size - done;
    if (piece(ClusterOffset(v, c) + within, done, n)) return EXFAT_EIO;
    done += n;
  }
  return 0;
}

}  // namespace

int ReadRaw(ExfatFs& v, ExfatNode& node, u64 offset, void* buffer, u64 size) {
  auto* out = static_cast<u8*>(buffer);
  return EachPiece(v, node, offset, size, [&](u64 at, u64 done, u64 n) {
    return ExfatDevPread(v.dev, out + done, n, at) != static_cast<i64>(n);
  });
}

int WriteRaw(ExfatFs& v, ExfatNode& node, u64 offset, const void* buffer, u64 size) {
  const auto* in = static_cast<const u8*>(buffer);
  return EachPiece(v, node, offset, size, [&](u64 at, u64 done, u64 n) {
    return ExfatDevPwrite(v.dev, in + done, n, at) != static_cast<i64>(n);
  });
}

int WriteZeros(ExfatFs& v, ExfatNode& node, u64 offset, u64 size) {
  static const std::vector<u8> zeros(1 << 16, 0);
  while (size > 0) {
    const u64 n = std::min<u64>(size, zeros.size());
    if (const int r = WriteRaw(v, node, offset, zeros.data(), n)) return r;
    offset += n;
    size -= n;
  }
  return 0;
}

}  // namespace exfat

using namespace exfat;

int ExfatTruncate(ExfatFs& v, ExfatNode& node, u64 size, bool erase) {
  if (v.readOnly) return EXFAT_EACCES;
  const u64 oldCount = ClustersFor(v, node.size), newCount = ClustersFor(v, size);
  if (newCount < oldCount && node.parent && !(node.flags & EXFAT_NODE_UNLINKED)) {
    // The entry set lets the clusters go on the medium before they are free for anything else.
    if (const int r = CheckClusters(v, node)) return r;
    const u32 first = node.firstCluster;
    const bool contiguous = node.flags & EXFAT_NODE_CONTIGUOUS;
    node.size = size;
    node.validSize = std::min(node.validSize, size);
    if (newCount == 0) {
      node.firstCluster = 0;
      node.flags &= ~u32{EXFAT_NODE_CONTIGUOUS};
    }
    node.cachedIndex = 0;
    node.cachedCluster = 0;
    node.flags |= EXFAT_NODE_DIRTY;
    if (const int r = ExfatFlushNode(v, node)) return r;
    if (const int r = FreeClusters(v, first, contiguous, newCount, oldCount)) return r;
    return FlushBitmap(v);
  }
  if (const int r = ResizeChain(v, node, oldCount, newCount, erase)) return r;
  if (size > node.size && erase) {
    // New clusters came zeroed; what lies between the valid length and their start is zeroed here.
    const u64 end = std::min(size, oldCount * v.clusterBytes);
    if (end > node.validSize)
      if (const int r = WriteZeros(v, node, node.validSize, end - node.validSize)) return r;
    node.validSize = size;
  }
  node.size = size;
  node.validSize = std::min(node.validSize, size);
  node.flags |= EXFAT_NODE_DIRTY;
  return 0;
}

i64 ExfatRead(ExfatFs& v, ExfatNode& node, void* buffer, u64 size, u64 offset) {
  if (offset >= node.size) return 0;
  size = std::min(size, node.size - offset);
  auto* out = static_cast<u8*>(buffer);
  // What lies past the valid length was never written: zeros.
  const u64 valid = offset < node.validSize ? std::min(size, node.validSize - offset) : 0;
  if (valid && ReadRaw(v, node, offset, out, valid)) return EXFAT_EPERM;
  std::memset(out + valid, 0, size - valid);
  if (!v.readOnly && !v.noatime) {
    node.atime = Now();
    node.flags |= EXFAT_NODE_DIRTY;
  }
  return static_cast<i64>(size);
}

i64 ExfatWrite(ExfatFs& v, ExfatNode& node, const void* buffer, u64 size, u64 offset) {
  if (v.readOnly) return EXFAT_EPERM;
  if (size == 0) return 0;
  const u64 end = offset + size;
  if (end < offset) return EXFAT_EPERM;
  if (end > node.size)
    if (const int r = ExfatTruncate(v, node, end, false)) return r == EXFAT_ENOSPC ? r : EXFAT_EPERM;
  // The stretch between the valid length and the write holds no data yet.
  if (offset > node.validSize && WriteZeros(v, node, node.validSize, offset - node.validSize)) return EXFAT_EPERM;
  if (WriteRaw(v, node, offset, buffer, size)) return EXFAT_EPERM;
  node.validSize = std::max(node.validSize, end);
  node.mtime = Now();
  node.flags |= EXFAT_NODE_DIRTY;
  return static_cast<i64>(size);
}

void ExfatSetTimes(ExfatNode& node, i64 mtime, i64 ctime, i64 atime) {
  if (mtime) node.mtime = mtime;
  if (ctime) node.ctime = ctime;
  if (atime) node.atime = atime;
  if (mtime || ctime || atime) node.flags |= EXFAT_NODE_DIRTY;
}
