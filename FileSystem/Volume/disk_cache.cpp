// Sector cache: hash buckets by the sector's low byte, class lists by hit count, scored eviction.
#include "FileSystem/Volume/disk_cache.h"

#include <cstring>

namespace {

int ClassOf(u32 hits) { return hits > 4 ? 4 : static_cast<int>(hits); }
u8 BucketOf(u64 sector) { return static_cast<u8>(sector); }

u16 Find(const DiskSectorCache& cache, u64 sector) {
  for (u16 e = cache.bucketHead[BucketOf(sector)]; e; e = cache.entries[e].bucketNext)
    if (cache.entries[e].sector == sector && cache.entries[e].hits) return e;
  return 0;
}

void ClassUnlink(DiskSectorCache& cache, u16 e, int cls) {
  DiskCacheEntry& entry = cache.entries[e];
  if (entry.classPrev) cache.entries[entry.classPrev].classNext = entry.classNext;
  else cache.classHead[cls] = entry.classNext;
  if (entry.classNext) cache.entries[entry.classNext].classPrev = entry.classPrev;
  else cache.classTail[cls] = entry.classPrev;
  entry.classNext = entry.classPrev = 0;
}

void ClassPushHead(DiskSectorCache& cache, u16 e, int cls) {
  DiskCacheEntry& entry = cache.entries[e];
  entry.classPrev = 0;
  entry.classNext = cache.classHead[cls];
  if (entry.classNext) cache.entries[entry.classNext].classPrev = e;
  else cache.classTail[cls] = e;
  cache.classHead[cls] = e;
}

void BucketUnlink(DiskSectorCache& cache, u16 e) {
  DiskCacheEntry& entry = cache.entries[e];
  if (entry.bucketPrev) cache.entries[entry.bucketPrev].bucketNext = entry.bucketNext;
  else cache.bucketHead[BucketOf(entry.sector)] = entry.bucketNext;
  if (entry.bucketNext) cache.entries[entry.bucketNext].bucketPrev = entry.bucketPrev;
  entry.bucketNext = entry.bucketPrev = 0;
}

void BucketPushHead(DiskSectorCache& cache, u16 e) {
  DiskCacheEntry& entry = cache.entries[e];
  u16& head = cache.bucketHead[BucketOf(entry.sector)];
  entry.bucketPrev = 0;
  entry.bucketNext = head;
  if (head) cache.entries[head].bucketPrev = e;
  head = e;
}

// A hit: the clock and the hit count rise, and the entry goes to the head of its (new) class.
void Touch(DiskSectorCache& cache, u16 e) {
  DiskCacheEntry& entry = cache.entries[e];
  ClassUnlink(cache, e, ClassOf(entry.hits));
  ++cache.clock;
  ++entry.hits;
  entry.lastAccess = cache.clock;
  ClassPushHead(cache, e, ClassOf(entry.hits));
}

// The least recently touched entry of each class competes; lower classes get the larger bonus, so
// an often-hit sector survives until it is far older than a once-read one.
u16 Victim(const DiskSectorCache& cache) {
  static constexpr u64 kBonus[DISK_CACHE_CLASSES] = {0, 8192, 4096, 2048, 1024};
  u16 victim = 0;
  u64 best = 0;
  for (int cls = 1; cls < DISK_CACHE_CLASSES; ++cls) {
    const u16 e = cache.classTail[cls];
    if (!e) continue;
    const u64 score = u64{static_cast<u32>(cache.clock - cache.entries[e].lastAccess)} + kBonus[cls];
    if (!victim || score > best) {
      victim = e;
      best = score;
    }
  }
  return victim;
}

}  // namespace

void DiskCacheInit(DiskSectorCache& cache) {
  cache.clock = 0;
  cache.bucketHead.fill(0);
  cache.classHead.fill(0);
  cache.classTail.fill(0);
  for (u16 e = 1; e <= DISK_CACHE_ENTRIES; ++e) {
    DiskCacheEntry& entry = cache.entries[e];
    entry = DiskCacheEntry{};
    entry.classPrev = static_cast<u16>(e - 1);
    entry.classNext = e < DISK_CACHE_ENTRIES ? static_cast<u16>(e + 1) : 0;
  }
  cache.classHead[0] = 1;
  cache.classTail[0] = DISK_CACHE_ENTRIES;
}

int DiskCacheGet(DiskSectorCache& cache, u64 sector, void* out) {
  const u16 e = Find(cache, sector);
  if (!e) return 0;
  std::memcpy(out, cache.data[e - 1].data(), 512);
  Touch(cache, e);
  return 1;
}

void DiskCacheInsert(DiskSectorCache& cache, u64 sector, const void* data) {
  u16 e = Find(cache, sector);
  if (e) {
    std::memcpy(cache.data[e - 1].data(), data, 512);
    Touch(cache, e);
    return;
  }
  e = cache.classHead[0];
  if (e) {
    ClassUnlink(cache, e, 0);
  } else {
    e = Victim(cache);
    ClassUnlink(cache, e, ClassOf(cache.entries[e].hits));
    BucketUnlink(cache, e);
  }
  DiskCacheEntry& entry = cache.entries[e];
  std::memcpy(cache.data[e - 1].data(), data, 512);
  ++cache.clock;
  entry.hits = 1;
  entry.lastAccess = cache.clock;
  entry.sector = sector;
  BucketPushHead(cache, e);
  ClassPushHead(cache, e, 1);
}

void DiskCacheUpdate(DiskSectorCache& cache, u64 sector, const void* data) {
  if (const u16 e = Find(cache, sector)) std::memcpy(cache.data[e - 1].data(), data, 512);
}

u32 DiskCacheLookup(const DiskSectorCache& cache, u64 sector, u32 n) {
  u32 absent = 0;
  while (absent < n && !Find(cache, sector + absent)) ++absent;
  return absent;
}

void DiskCacheDrop(DiskSectorCache& cache, u64 sector) {
  const u16 e = Find(cache, sector);
  if (!e) return;
  ClassUnlink(cache, e, ClassOf(cache.entries[e].hits));
  BucketUnlink(cache, e);
  cache.entries[e].hits = 0;
  ClassPushHead(cache, e, 0);
}

u32 DiskCacheHits(const DiskSectorCache& cache, u64 sector) {
  const u16 e = Find(cache, sector);
  return e ? cache.entries[e].hits : 0;
}
