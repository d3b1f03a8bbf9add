// The sector cache of a disk: hits, read-ahead, long runs, write-through, failures and eviction.
#include "FileSystem/Volume/disk_cache.h"
#include "FileSystem/Volume/drive_table.h"
#include "tests/disks/disk_images.h"
#include "tests/support/fake_medium.h"

#include <cstring>
#include <string>
#include <vector>

using namespace kpwtest;

namespace {

using ReadLog = std::vector<std::pair<u64, u32>>;

// A disk of 4096 sectors whose sector n is filled with the byte n % 251, with one partition from
// sector 64 on; attached read/write through a fake medium.
class CachedDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    state = std::make_shared<FakeMediumState>();
    state->byteSize = 4096 * 512;
    for (u64 s = 0; s < 4096; ++s) state->Put(s, std::string(512, static_cast<char>(s % 251)).data(), 512);
    CraftedImage mbr(1);
    mbr.MbrEntry(0, 0, 0x83, 64, 4096 - 64);
    state->Put(0, mbr.bytes().data(), 512);
    ASSERT_EQ(DiskAttachMedium(table, std::make_unique<FakeMedium>(state, true), "fake", 0, nullptr,
                               DISK_ALL_PARTITIONS),
              2);
    ASSERT_NE(table.cache[1], nullptr);
    ASSERT_EQ(table.cache[1], table.cache[0]);
    DiskCacheInit(*table.cache[0]);
    state->reads = 0;
    state->readLog.clear();
  }

  // Reads sectors of the partition, checking their bytes against the medium's.
  void Read(u64 sector, u32 count) {
    std::vector<u8> buffer(count * 512u);
    ASSERT_EQ(DiskRead(table, 1, buffer.data(), sector, count), DISK_OK);
    for (u32 i = 0; i < count; ++i) {
      const auto expected = state->Get(64 + sector + i);
      ASSERT_EQ(std::memcmp(buffer.data() + i * 512u, expected.data(), 512), 0) << "sector " << sector + i;
    }
  }
  u32 Hits(u64 absolute) { return DiskCacheHits(*table.cache[0], absolute); }

  std::shared_ptr<FakeMediumState> state;
  DiskDriveTable table;
};

}  // namespace

TEST_F(CachedDisk, AnAlignedSingleSectorBringsItsNeighbours) {
  Read(8, 1);  // sector 72 of the disk, a multiple of 8
  EXPECT_EQ(state->readLog, (ReadLog{{72, 8}}));
  Read(9, 1);
  Read(15, 1);
  EXPECT_EQ(state->reads, 1);
  EXPECT_EQ(Hits(73), 2u);
  // Not aligned: the sector alone.
  Read(17, 1);
  EXPECT_EQ(state->readLog.back(), (std::pair<u64, u32>{81, 1}));
  // A run: the uncached part from the disk in one call, the cached sectors from the cache.
  state->readLog.clear();
  Read(6, 5);  // sectors 70-74: 70 and 71 uncached, 72-74 cached
  EXPECT_EQ(state->readLog, (ReadLog{{70, 2}}));
  EXPECT_EQ(Hits(70), 1u);
}

TEST_F(CachedDisk, LongRunsPassTheCacheBy) {
  Read(100, 20);
  // All but the last sector in one call, uncached; the last (not aligned) alone.
  EXPECT_EQ(state->readLog, (ReadLog{{164, 19}, {183, 1}}));
  EXPECT_EQ(Hits(164), 0u);
  EXPECT_EQ(Hits(182), 0u);
  EXPECT_EQ(Hits(183), 1u);
  Read(200, 16);
  // Sixteen sectors and fewer are cached.
  EXPECT_EQ(state->readLog.back(), (std::pair<u64, u32>{279, 1}));
  EXPECT_EQ(Hits(264), 1u);
  EXPECT_EQ(Hits(278), 1u);
}

TEST_F(CachedDisk, ReadsTryFiveTimes) {
  state->failReads = 2;
  Read(9, 1);
  EXPECT_EQ(state->reads, 3);
  state->reads = 0;
  state->failReads = 5;
  std::vector<u8> buffer(512);
  EXPECT_EQ(DiskRead(table, 1, buffer.data(), 11, 1), DISK_ERROR);
  EXPECT_EQ(state->reads, 5);
  state->badSectors = {100};
  // The aligned read-ahead fails on a bad neighbour; the sector itself is still read.
  Read(32, 1);
  EXPECT_EQ(state->readLog.back(), (std::pair<u64, u32>{96, 1}));
}

TEST_F(CachedDisk, WritesGoThroughAndTheCacheFollowsOnlyWhatTheDiskHas) {
  Read(0, 8);  // sectors 64-71 cached
  ASSERT_EQ(Hits(66), 1u);
  // A 17-sector write: cached copies are overwritten, uncached sectors stay uncached.
  std::vector<u8> data(17 * 512, 'n');
  ASSERT_EQ(DiskWrite(table, 1, data.data(), 2, 17), DISK_OK);
  EXPECT_EQ(state->Get(66)[0], 'n');
  EXPECT_EQ(Hits(66), 1u);
  EXPECT_EQ(Hits(75), 0u);
  state->reads = 0;
  Read(2, 6);
  EXPECT_EQ(state->reads, 0);
  // A short write is cached.
  std::vector<u8> one(512, 'o');
  ASSERT_EQ(DiskWrite(table, 1, one.data(), 40, 1), DISK_OK);
  EXPECT_EQ(Hits(104), 1u);

  // A failed write leaves nothing in the cache that the disk does not hold.
  state->failWrites = 5;
  std::vector<u8> lost(2 * 512, 'l');
  state->writes = 0;
  EXPECT_EQ(DiskWrite(table, 1, lost.data(), 4, 2), DISK_ERROR);
  EXPECT_EQ(state->writes, 5);
  EXPECT_EQ(Hits(68), 0u);
  Read(4, 2);  // what the disk holds: 'n'
  EXPECT_EQ(state->Get(68)[0], 'n');
  EXPECT_EQ(DiskWrite(table, 1, lost.data(), 4, 2), DISK_OK);
  Read(4, 2);

  // Read-only access writes nothing, cached or not.
  DiskDriveTable reader;
  ASSERT_EQ(DiskAttachMedium(reader, std::make_unique<FakeMedium>(state, true), "fake", DISK_ATTACH_READ_ONLY,
                             nullptr, DISK_ALL_PARTITIONS),
            2);
  EXPECT_EQ(reader.access[1], DISK_ACCESS_DISK_RO);
  EXPECT_EQ(DiskStatus(reader, 1), DISK_BAD_PARAMETER);
  state->writes = 0;
  EXPECT_EQ(DiskWrite(reader, 1, one.data(), 0, 1), DISK_WRITE_PROTECTED);
  EXPECT_EQ(DiskIoctl(reader, 1, DISK_IOCTL_SYNC, nullptr), DISK_OK);
  EXPECT_EQ(state->writes, 0);
}

TEST(SectorCache, EvictionPrefersOldOnceReadSectors) {
  auto cache = std::make_unique<DiskSectorCache>();
  DiskCacheInit(*cache);
  std::vector<u8> data(512, 0);
  std::vector<u8> out(512);
  EXPECT_EQ(DiskCacheLookup(*cache, 0, 10), 10u);

  // All class 1: the least recently touched goes first.
  for (u64 s = 0; s < DISK_CACHE_ENTRIES; ++s) DiskCacheInsert(*cache, 1000 + s, data.data());
  EXPECT_EQ(DiskCacheGet(*cache, 1000, out.data()), 1);  // 1000 touched again, 1001 is the oldest now
  DiskCacheInsert(*cache, 1, data.data());
  EXPECT_EQ(DiskCacheHits(*cache, 1001), 0u);
  EXPECT_EQ(DiskCacheHits(*cache, 1000), 2u);
  EXPECT_EQ(DiskCacheHits(*cache, 1002), 1u);
  EXPECT_EQ(DiskCacheLookup(*cache, 1000, 3), 0u);
  EXPECT_EQ(DiskCacheLookup(*cache, 1001, 3), 1u);

  // An often-read sector outlives thousands of once-read ones, but not forever.
  DiskCacheInit(*cache);
  DiskCacheInsert(*cache, 7, data.data());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(DiskCacheGet(*cache, 7, out.data()), 1);
  for (u64 s = 1; s < DISK_CACHE_ENTRIES; ++s) DiskCacheInsert(*cache, 10000 + s, data.data());
  int survived = 0;
  for (u64 s = 0; s < 8000 && DiskCacheHits(*cache, 7); ++s, ++survived)
    DiskCacheInsert(*cache, 100000 + s, data.data());
  EXPECT_GT(survived, 7000);
  EXPECT_LT(survived, 7400);

  // Updating touches nothing; dropping frees the entry.
  DiskCacheInit(*cache);
  DiskCacheInsert(*cache, 5, data.data());
  std::vector<u8> other(512, 'u');
  DiskCacheUpdate(*cache, 5, other.data());
  DiskCacheUpdate(*cache, 6, other.data());
  EXPECT_EQ(DiskCacheHits(*cache, 5), 1u);
  EXPECT_EQ(DiskCacheHits(*cache, 6), 0u);
  EXPECT_EQ(DiskCacheGet(*cache, 5, out.data()), 1);
  EXPECT_EQ(out, other);
  DiskCacheDrop(*cache, 5);
  EXPECT_EQ(DiskCacheGet(*cache, 5, out.data()), 0);
  // Sectors 256 apart share a bucket and stay apart.
  DiskCacheInsert(*cache, 5 + 256, data.data());
  DiskCacheInsert(*cache, 5 + (u64{1} << 40), other.data());
  EXPECT_EQ(DiskCacheGet(*cache, 5 + 256, out.data()), 1);
  EXPECT_EQ(out, data);
  EXPECT_EQ(DiskCacheGet(*cache, 5 + (u64{1} << 40), out.data()), 1);
  EXPECT_EQ(out, other);
}
