// The write-through sector cache of one attached disk: 4096 sectors kept by how often they are hit.
#pragma once

#include "platform/win_types.h"

#include <array>

inline constexpr int DISK_CACHE_ENTRIES = 4096;
inline constexpr int DISK_CACHE_BUCKETS = 256;
inline constexpr int DISK_CACHE_CLASSES = 5;  // 0 the free list, 1-4 by hit count (capped at 4)

// Entry numbers are 1-based; 0 ends a chain.
struct DiskCacheEntry {
  u64 sector = 0;
  u32 hits = 0;        // 0: free
  u32 lastAccess = 0;  // the clock at the last touch
  u16 bucketNext = 0, bucketPrev = 0;
  u16 classNext = 0, classPrev = 0;
};

struct DiskSectorCache {
  u32 clock = 0;
  std::array<u16, DISK_CACHE_BUCKETS> bucketHead{};
  std::array<DiskCacheEntry, DISK_CACHE_ENTRIES + 1> entries{};  // [0] unused
  std::array<u16, DISK_CACHE_CLASSES> classHead{};
  std::array<u16, DISK_CACHE_CLASSES> classTail{};
  std::array<std::array<u8, 512>, DISK_CACHE_ENTRIES> data{};
};

// Empties the cache: every entry in the free list in index order, the clock at 0.
void DiskCacheInit(DiskSectorCache& cache);
// Copies a cached sector out and counts the hit: 1, or 0 when it is not cached.
int DiskCacheGet(DiskSectorCache& cache, u64 sector, void* out);
// Caches a sector's data: a cached one is overwritten and counts a hit; else a free entry, or the
// one with the highest eviction score, takes it.
void DiskCacheInsert(DiskSectorCache& cache, u64 sector, const void* data);
// Overwrites a cached sector's data and nothing else; nothing when it is not cached.
void DiskCacheUpdate(DiskSectorCache& cache, u64 sector, const void* data);
// How many consecutive sectors from sector on, at most n, are not cached (0 when it is).
u32 DiskCacheLookup(const DiskSectorCache& cache, u64 sector, u32 n);
// Forgets a sector (its copy may no longer be what the medium holds).
void DiskCacheDrop(DiskSectorCache& cache, u64 sector);
// Whether a sector is cached, and with how many hits (tests and diagnostics).
u32 DiskCacheHits(const DiskSectorCache& cache, u64 sector);
