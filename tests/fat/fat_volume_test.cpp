// FAT volumes: the type by cluster count at the limits, FSInfo, full volumes, the 4 GiB limit, growth with zeros, times.
#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Fat/fat_time.h"
#include "FileSystem/Volume/volume_fat.h"
#include "tests/support/fake_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

namespace {

using namespace kpwtest;

void Put16(std::string& b, std::size_t at, u16 v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::size_t at, u32 v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}
u32 Get32(const std::string& b, std::size_t at) {
  u32 v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<u8>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

// A volume of exactly so many clusters of one sector, with a FAT12/16 layout (512 root entries)
// or a FAT32 one, as a file.
std::string CraftVolume(const TempDir& dir, u32 clusters, bool fat32) {
  const u32 entries = clusters + 2;
  const u32 bytes = fat32 ? entries * 4 : clusters < 4085 ? (entries * 3 + 1) / 2 : entries * 2;
  const u32 fatSize = (bytes + 511) / 512;
  const u32 reserved = fat32 ? 32 : 1;
  const u32 rootSectors = fat32 ? 0 : 32;
  const u32 total = reserved + 2 * fatSize + rootSectors + clusters;
  std::string b(std::size_t{total} * 512, '\0');
  b[0] = '\xEB', b[1] = '\x3C', b[2] = '\x90';
  std::memcpy(&b[3], "KOPIWART", 8);
  Put16(b, 11, 512);
  b[13] = 1;
  Put16(b, 14, static_cast<u16>(reserved));
  b[16] = 2;
  Put16(b, 17, fat32 ? 0 : 512);
  if (total < 65536) Put16(b, 19, static_cast<u16>(total));
  else Put32(b, 32, total);
  b[21] = '\xF8';
  Put16(b, 24, 32);
  Put16(b, 26, 2);
  if (fat32) {
    Put32(b, 36, fatSize);
    Put32(b, 44, 2);  // the root's cluster
    Put16(b, 48, 1);  // FSInfo
    Put16(b, 50, 6);  // backup boot sector
    b[64] = '\x80';
    b[66] = 0x29;
    std::memcpy(&b[71], "NO NAME    FAT32   ", 19);
    Put32(b, 512, 0x41615252);
    Put32(b, 512 + 484, 0x61417272);
    Put32(b, 512 + 488, clusters - 1);
    Put32(b, 512 + 492, 2);
    Put32(b, 512 + 508, 0xAA550000);
  } else {
    Put16(b, 22, static_cast<u16>(fatSize));
    b[36] = '\x80';
    b[38] = 0x29;
    std::memcpy(&b[43], clusters < 4085 ? "NO NAME    FAT12   " : "NO NAME    FAT16   ", 19);
  }
  b[510] = '\x55', b[511] = '\xAA';
  if (fat32) std::memcpy(&b[6 * 512], b.data(), 512);
  for (u32 f = 0; f < 2; ++f) {
    const std::size_t at = std::size_t{reserved + f * fatSize} * 512;
    if (fat32) {
      Put32(b, at, 0x0FFFFFF8);
      Put32(b, at + 4, 0x0FFFFFFF);
      Put32(b, at + 8, 0x0FFFFFFF);  // the root's cluster
    } else if (clusters < 4085) {
      b[at] = '\xF8', b[at + 1] = '\xFF', b[at + 2] = '\xFF';
    } else {
      Put32(b, at, 0xFFFFFFF8);
    }
  }
  const std::string path = dir / ("crafted" + std::to_string(clusters) + ".img");
  WriteFile(path, b);
  return path;
}

TEST(FatVolume, TheTypeFollowsThePublishedClusterThresholds) {
  TempDir dir("fat-types", ImageBase());
  const struct {
    u32 clusters;
    bool fat32;
    u8 type;
  } cases[] = {{4084, false, 1}, {4085, false, 2}, {65524, false, 2}, {65525, true, 3}};
  for (const auto& c : cases) {
    const std::string image = CraftVolume(dir, c.clusters, c.fat32);
    {
      AttachedImage a(image);
      ASSERT_EQ(a.drives(), 2) << c.clusters;
      FatVolume& v = *dynamic_cast<FatVolume*>(a.table().fileSystem[1].get());
      ASSERT_EQ(FatCheckVolume(v, false), FAT_OK) << c.clusters;
      EXPECT_EQ(v.fsType, c.type) << c.clusters;
      EXPECT_EQ(v.fatEntries, c.clusters + 2);
      // Entries of the wrong width would corrupt the volume on the first write.
      ASSERT_EQ(DiskMkdir(a.table(), "/folder"), 0);
      ASSERT_EQ(a.Put("/folder/file.bin", std::string(3000, 'c')), 0);
    }
    EXPECT_FSCK_CLEAN(image);
    EXPECT_EQ(Mtype(image, "/folder/file.bin"), std::string(3000, 'c')) << c.clusters;
  }
  // A FAT16 layout with a FAT32 count is no volume that could be read right.
  const std::string odd = CraftVolume(dir, 65525, false);
  AttachedImage a(odd);
  FatVolume& v = *dynamic_cast<FatVolume*>(a.table().fileSystem[1].get());
  EXPECT_EQ(FatCheckVolume(v, false), FAT_NO_FILESYSTEM);
}

TEST(FatVolume, Fat12EntriesAcrossSectorBoundaries) {
  TempDir dir("fat12-straddle", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000, "-s 1");
  std::string data;
  for (int i = 0; i < 1100 * 512; ++i) data += static_cast<char>(i % 253);
  {
    AttachedImage a(image);
    // Clusters 341 and 682 have entries that start in one FAT sector and end in the next.
    ASSERT_EQ(a.Put("/big.bin", data), 0);
    ASSERT_EQ(a.Put("/odd.bin", "o"), 0);
    EXPECT_TRUE(a.Get("/big.bin") == data);
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_TRUE(Mtype(image, "/big.bin") == data);
}

TEST(FatVolume, AFullVolumeGivesShortWritesAndTrueFreeCounts) {
  TempDir dir("fat-full", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 32, 4096, "-s 1");
  {
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/fill.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u);
    const std::string block(65536, 'f');
    int n = 0;
    u64 total = 0;
    while ((n = DiskFileWrite(a.table(), h, block.data(), static_cast<int>(block.size()))) == 65536) total += 65536;
    EXPECT_GE(n, 0);
    EXPECT_LT(n, 65536);  // short: the bytes that fitted
    total += static_cast<u64>(n);
    EXPECT_EQ(DiskFileWrite(a.table(), h, block.data(), 512), 0);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    EXPECT_EQ(DiskGetFileSizeByPath(a.table(), "/fill.bin"), static_cast<i64>(total));
    EXPECT_EQ(a.Put("/more.txt", "x"), SYS_ERR_DISK_FULL);
    EXPECT_EQ(DiskMkdir(a.table(), "/dir"), SYS_ERR_DISK_FULL);
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_EQ(Get32(ReadFile(image), 512 + 488), 0u);  // FSInfo: nothing free
  {
    AttachedImage a(image);
    EXPECT_EQ(DiskDelete(a.table(), "/fill.bin"), 0);
    EXPECT_EQ(DiskDelete(a.table(), "/more.txt"), 0);
  }
  EXPECT_FSCK_CLEAN(image);

  // FSInfo values that cannot be right are not taken up, nor counted down.
  std::string bytes = ReadFile(image);
  Put32(bytes, 512 + 488, 0x00100000);
  Put32(bytes, 512 + 492, 0x7FFFFFFF);
  WriteFile(image, bytes);
  {
    AttachedImage a(image);
    EXPECT_EQ(a.Put("/after.txt", std::string(5000, 'a')), 0);
    FatVolume& v = *dynamic_cast<FatVolume*>(a.table().fileSystem[1].get());
    EXPECT_EQ(v.freeCount, FAT_UNKNOWN);
  }
  const FsckResult r = Fsck(image);
  EXPECT_TRUE(r.clean) << r.text;
  EXPECT_EQ(Get32(ReadFile(image), 512 + 488), FAT_UNKNOWN);
}

TEST(FatVolume, FilesStopAtFourGibibytesAndGrowWithZeros) {
  TempDir dir("fat-limits", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 16, 20000);
  {
    AttachedImage a(image);
    // Old bytes of a deleted file must never come back as the content of a new one.
    ASSERT_EQ(a.Put("/secret", std::string(65536, 'S')), 0);
    ASSERT_EQ(DiskDelete(a.table(), "/secret"), 0);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/grown", DISK_OPEN_READ | DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(DiskSetFileSize(a.table(), h, 40000), 0);
    EXPECT_EQ(DiskGetFileSize(a.table(), h), 40000);
    EXPECT_EQ(DiskFileSeek(a.table(), h, 60000, 0), 60000);
    ASSERT_EQ(DiskFileWrite(a.table(), h, "end", 3), 3);
    ASSERT_EQ(DiskSetFileSize(a.table(), h, 59000), 0);
    ASSERT_EQ(DiskSetFileSize(a.table(), h, 61000), 0);
    EXPECT_EQ(DiskFileTell(a.table(), h), 60003);

    // A write that would end past 4 GiB - 1 writes nothing and says so.
    FatFile& f = *dynamic_cast<FatVolume*>(a.table().fileSystem[1].get())->files[h >> 16];
    const u32 size = f.size;
    f.position = 0xFFFFFFF0;
    EXPECT_EQ(DiskFileWrite(a.table(), h, "0123456789abcdefX", 17), SYS_ERR_DISK_FULL);
    EXPECT_EQ(f.size, size);
    EXPECT_EQ(DiskFileSeek(a.table(), h, 0x100000000LL, 0), SYS_ERR_INVALID);
    EXPECT_EQ(DiskSetFileSize(a.table(), h, 0x100000000ULL), SYS_ERR_DISK_FULL);
    f.position = 0;
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    EXPECT_TRUE(a.Get("/grown") == std::string(61000, '\0')) << "old bytes came back";
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_TRUE(Mtype(image, "/grown") == std::string(61000, '\0'));
}

TEST(FatVolume, DiskErrorsAreToldAndLeaveNothingBroken) {
  TempDir dir("fat-errors", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 16, 20000);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/file", std::string(10000, 'x')), 0);
  }
  auto state = std::make_shared<FakeMediumState>();
  const std::string bytes = ReadFile(image);
  state->byteSize = bytes.size();
  state->Put(0, bytes.data(), bytes.size());
  DiskDriveTable table;
  ASSERT_EQ(DiskAttachMedium(table, std::make_unique<FakeMedium>(state, false), "fake", DISK_ATTACH_FIXED_DRIVE,
                             nullptr, DISK_ALL_PARTITIONS),
            2);
  int err = 0;
  const DiskHandle h = DiskFileOpen(table, "/file", DISK_OPEN_READ, &err);
  ASSERT_NE(h, 0u);
  char buffer[4096];
  state->failReads = 100;
  EXPECT_EQ(DiskFileRead(table, h, buffer, sizeof buffer), SYS_ERR_OTHER);
  state->failReads = 0;
  EXPECT_EQ(DiskFileRead(table, h, buffer, sizeof buffer), SYS_ERR_OTHER);  // the file stays failed
  EXPECT_EQ(DiskFileClose(table, h), SYS_ERR_OTHER);
  state->failWrites = 1000;
  EXPECT_EQ(DiskMkdir(table, "/d"), SYS_ERR_OTHER);
}

// A path through folders already indexed reads the entries of none of them again: uploads of
// thousands of files into one deep folder each look their path up several times.
TEST(FatVolume, PathsThroughIndexedFoldersReadOnlyTheLastOne) {
  TempDir dir("fat-paths", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 32, 40000, "-s 1");
  {
    AttachedImage a(image);
    for (const char* folder : {"/a", "/a/b", "/a/b/c", "/a/b/c/d"}) ASSERT_EQ(DiskMkdir(a.table(), folder), 0);
    ASSERT_EQ(a.Put("/a/b/c/d/f", "f"), 0);
    ASSERT_EQ(a.Put("/g", "g"), 0);
  }
  auto state = std::make_shared<FakeMediumState>();
  const std::string bytes = ReadFile(image);
  state->byteSize = bytes.size();
  state->Put(0, bytes.data(), bytes.size());
  DiskDriveTable table;
  ASSERT_EQ(DiskAttachMedium(table, std::make_unique<FakeMedium>(state, false), "fake", DISK_ATTACH_FIXED_DRIVE,
                             nullptr, DISK_ALL_PARTITIONS),
            2);
  ASSERT_EQ(DiskPathKind(table, "/a/b/c/d/f"), 1);
  const int before = state->reads;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(DiskPathKind(table, "/a/b/c/d/f"), 1);
    EXPECT_EQ(DiskPathKind(table, "/g"), 1);  // the window moves away meanwhile
  }
  EXPECT_LE(state->reads - before, 20);  // the folder sectors of "f" and of "g", no more
  // A folder renamed or removed is no way any more.
  ASSERT_EQ(DiskRename(table, "/a/b", "/a/x"), 0);
  EXPECT_EQ(DiskPathKind(table, "/a/b/c/d/f"), 0);
  EXPECT_EQ(DiskPathKind(table, "/a/x/c/d/f"), 1);
  // The FSInfo sector (1) is written whole after each change, never read back for it.
  state->readLog.clear();
  for (const char* name : {"/a/x/c/d/n1", "/a/x/c/d/n2"}) {
    int err = 0;
    const DiskHandle h = DiskFileOpen(table, name, DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u) << err;
    EXPECT_EQ(DiskFileWrite(table, h, "data", 4), 4);
    EXPECT_EQ(DiskFileClose(table, h), 0);
  }
  for (const auto& [sector, count] : state->readLog) EXPECT_FALSE(sector <= 1 && 1 < sector + count) << sector;
}

TEST(FatTime, LocalTimesThroughTheZoneRulesBothWays) {
  const auto local = [](int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<i64>(std::mktime(&tm));
  };
  const auto dos = [](int y, int mo, int d, int h, int mi, int s) {
    return static_cast<u32>(y - 1980) << 25 | static_cast<u32>(mo) << 21 | static_cast<u32>(d) << 16 |
           static_cast<u32>(h) << 11 | static_cast<u32>(mi) << 5 | static_cast<u32>(s / 2);
  };
  for (const char* zone : {"Europe/Berlin", "America/New_York", "Australia/Sydney", "UTC"}) {
    const ScopedTimeZone tz(zone);
    // Summer and winter: a stamp written is the stamp read, in every zone.
    for (const i64 t : {local(2024, 7, 15, 12, 30, 44), local(2024, 1, 15, 12, 30, 44), local(2107, 12, 31, 23, 59, 58),
                        local(2044, 3, 1, 0, 0, 0)}) {
      const u32 stamp = UtcToFatTime(t);
      ASSERT_NE(stamp, 0u) << zone << " " << t;
      EXPECT_EQ(FatTimeToUtc(static_cast<u16>(stamp >> 16), static_cast<u16>(stamp)), t) << zone;
    }
    EXPECT_EQ(UtcToFatTime(local(2024, 7, 15, 12, 30, 45)), dos(2024, 7, 15, 12, 30, 44)) << zone;
    // Outside the DOS years a time is kept as the nearest one they hold.
    EXPECT_EQ(UtcToFatTime(local(2108, 1, 1, 0, 0, 0)), dos(2107, 12, 31, 23, 59, 58)) << zone;
    EXPECT_EQ(UtcToFatTime(local(2300, 6, 1, 0, 0, 0)), dos(2107, 12, 31, 23, 59, 58)) << zone;
    EXPECT_EQ(UtcToFatTime(local(1979, 12, 31, 23, 59, 58)), dos(1980, 1, 1, 0, 0, 0)) << zone;
    EXPECT_EQ(UtcToFatTime(-1000000000), dos(1980, 1, 1, 0, 0, 0)) << zone;
    // The clock rounds up to even seconds before the date is taken apart.
    EXPECT_EQ(FatTimeFromUtc(local(2023, 12, 31, 23, 59, 59), true), dos(2024, 1, 1, 0, 0, 0)) << zone;
    EXPECT_EQ(FatTimeFromUtc(local(1979, 6, 1, 0, 0, 0), true), 0x210000u);
    EXPECT_EQ(FatTimeToUtc(0, 0), 0);
    EXPECT_EQ(FatTimeToUtc(static_cast<u16>(13 << 5 | 1), 0), 0);  // month 13
  }
  // In Berlin the stamps of the European rule come out as before.
  const ScopedTimeZone tz("Europe/Berlin");
  EXPECT_EQ(FatTimeToUtc(static_cast<u16>(dos(2024, 7, 15, 12, 0, 0) >> 16), static_cast<u16>(dos(2024, 7, 15, 12, 0, 0))),
            1721037600);
  EXPECT_EQ(FatTimeToUtc(static_cast<u16>(dos(2024, 1, 15, 12, 0, 0) >> 16), static_cast<u16>(dos(2024, 1, 15, 12, 0, 0))),
            1705316400);
}

TEST(FatTime, FileTimesSetThroughTheVolumeReadBackOutsideEurope) {
  const ScopedTimeZone tz("America/New_York");
  TempDir dir("fat-times", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000);
  const i64 july = 1721059200;  // 2024-07-15 16:00:00 UTC
  {
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/t", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(DiskSetFileTime(a.table(), h, july, july - 3600, 0), 0);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    const DiskHandle r = DiskFileOpen(a.table(), "/t", DISK_OPEN_READ, &err);
    EXPECT_EQ(DiskSetFileTime(a.table(), r, july, 0, 0), SYS_ERR_ACCESS);
    i64 write = 0, creation = 0, access = 9;
    ASSERT_EQ(DiskGetFileTime(a.table(), r, &write, &creation, &access), 0);
    EXPECT_EQ(write, july);
    EXPECT_EQ(creation, july - 3600);
    EXPECT_EQ(access, 0);
    DiskFileClose(a.table(), r);
  }
  EXPECT_EQ(WriteTimes(image, "America/New_York")["/t"], july);
}

}  // namespace
