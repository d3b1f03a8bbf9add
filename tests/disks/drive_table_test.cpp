// The drive table: attaching and detaching, volume names, mounting, and the disk I/O results.
#include "FileSystem/Media/partitions.h"
#include "FileSystem/Volume/drive_table.h"
#include "platform/last_error.h"
#include "tests/disks/disk_images.h"
#include "tests/support/fake_medium.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <string>
#include <vector>

using namespace kpwtest;

namespace {

// A FAT boot sector's marks at a partition's first sector.
void FatMarks(CraftedImage& image, u64 sector) {
  image.Bytes(sector * 512 + 54, "FAT16   ");
  image.Signature(sector);
}

// An image of 64 sectors with FAT partitions at 8, 16, 24, ... (count of them) in the MBR and
// its chain.
CraftedImage FatPartitions(int count) {
  CraftedImage image(64 + 8 * count);
  for (int i = 0; i < count && i < 3; ++i) {
    image.MbrEntry(0, i, 0x0E, static_cast<u32>(8 + 8 * i), 8);
    FatMarks(image, 8 + 8 * i);
  }
  if (count > 3) {
    // One logical partition in each table of the chain from sector 32 on.
    image.MbrEntry(0, 3, 0x0F, 32, static_cast<u32>(8 * (count - 3) + 32));
    for (int i = 3; i < count; ++i) {
      const u32 ebr = static_cast<u32>(32 + 8 * (i - 3));
      image.MbrEntry(ebr, 0, 0x0C, 4, 4);
      FatMarks(image, ebr + 4);
      if (i + 1 < count) image.MbrEntry(ebr, 1, 0x05, ebr + 8 - 32, 8);
    }
  }
  return image;
}

// Attaches an in-memory medium.
int Attach(DiskDriveTable& table, std::shared_ptr<FakeMediumState> state, bool disk, u32 mode = 0,
           int* first = nullptr, u32 selector = DISK_ALL_PARTITIONS) {
  return DiskAttachMedium(table, std::make_unique<FakeMedium>(std::move(state), disk), "fake", mode, first, selector);
}

std::shared_ptr<FakeMediumState> Medium(CraftedImage& image) {
  auto state = std::make_shared<FakeMediumState>();
  state->byteSize = image.bytes().size();
  state->Put(0, image.bytes().data(), image.bytes().size());
  return state;
}

std::string Names(const DiskDriveTable& table) {
  std::string names;
  for (int d = 0; d < DISK_MAX_DRIVES; ++d)
    if (table.nameIndex[d]) names += DiskVolumeName(table.nameIndex[d]);
  return names;
}

}  // namespace

TEST(DriveTable, ImageSizesAndTheBoundsOfEveryTransfer) {
  TempDir dir("drives");
  CraftedImage small(2);
  small.MbrEntry(0, 0, 0x0C, 1, 1);
  WriteFile(dir / "1023.img", small.bytes().substr(0, 1023));
  WriteFile(dir / "1024.img", small.bytes());

  DiskDriveTable table;
  EXPECT_EQ(DiskAttach(table, (dir / "1023.img").c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_NE(table.message.find("kleiner als 1024 Bytes"), std::string::npos) << table.message;
  int first = 0;
  ASSERT_EQ(DiskAttach(table, (dir / "1024.img").c_str(), DISK_ATTACH_READ_ONLY, &first, DISK_ALL_PARTITIONS), 2);
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(table.message.empty());
  EXPECT_EQ(table.sectorCount[0], 2u);
  EXPECT_EQ(table.access[0], DISK_ACCESS_IMAGE_RO);
  EXPECT_EQ(table.cache[0], nullptr);
  EXPECT_EQ(table.fsType[1], DISK_TYPE_NO_FS);
  EXPECT_EQ(DiskStatus(table, 0), DISK_BAD_PARAMETER);  // read-only
  EXPECT_EQ(DiskStatus(table, 2), DISK_ERROR);
  EXPECT_EQ(DiskStatus(table, -1), DISK_ERROR);
  EXPECT_EQ(DiskStatus(table, 8), DISK_ERROR);

  char buffer[1024];
  EXPECT_EQ(DiskRead(table, 0, buffer, 0, 2), DISK_OK);
  EXPECT_EQ(DiskRead(table, 0, buffer, 1, 2), DISK_ERROR);
  EXPECT_EQ(DiskRead(table, 1, buffer, 0, 1), DISK_OK);
  EXPECT_EQ(DiskRead(table, 1, buffer, 1, 1), DISK_ERROR);
  // A sector number near 2^64 does not wrap round into the drive.
  EXPECT_EQ(DiskRead(table, 1, buffer, ~u64{0}, 2), DISK_ERROR);
  EXPECT_EQ(DiskRead(table, 0, buffer, ~u64{0} - 1, 3), DISK_ERROR);

  const std::string before = ReadFile(dir / "1024.img");
  std::memset(buffer, 'w', sizeof buffer);
  EXPECT_EQ(DiskWrite(table, 1, buffer, 0, 1), DISK_WRITE_PROTECTED);
  EXPECT_EQ(DiskWrite(table, 0, buffer, 0, 2), DISK_WRITE_PROTECTED);
  EXPECT_EQ(DiskWrite(table, 3, buffer, 0, 1), DISK_ERROR);

  u32 word = 77;
  EXPECT_EQ(DiskIoctl(table, 1, 9, &word), DISK_BAD_PARAMETER);
  for (int command : {4, 5, 6}) EXPECT_EQ(DiskIoctl(table, 1, command, &word), DISK_OK);
  EXPECT_EQ(word, 77u);
  EXPECT_EQ(DiskIoctl(table, 5, 1, &word), DISK_ERROR);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_READ_ONLY, &word), DISK_OK);
  EXPECT_EQ(word, 1u);
  EXPECT_EQ(DiskIoctl(table, 0, DISK_IOCTL_READ_ONLY, &word), DISK_OK);
  EXPECT_EQ(word, 0u);  // the container itself carries no file system
  u16 sectorSize = 0;
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SECTOR_SIZE, &sectorSize), DISK_OK);
  EXPECT_EQ(sectorSize, 512);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_BLOCK_SIZE, &word), DISK_OK);
  EXPECT_EQ(word, 1u);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SYNC, nullptr), DISK_OK);
  DiskDetach(table, 0);
  EXPECT_EQ(table.driveCount, 0u);
  EXPECT_EQ(ReadFile(dir / "1024.img"), before);
}

TEST(DriveTable, WritesReachTheImageAndItsEndStaysWhereItWas) {
  TempDir dir("drives");
  CraftedImage crafted(64);
  // The partition claims to run far past the image's end: it is cut at the end.
  crafted.MbrEntry(0, 0, 0x83, 16, 1000);
  WriteFile(dir / "a.img", crafted.bytes());
  DiskDriveTable table;
  ASSERT_EQ(DiskAttach(table, (dir / "a.img").c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 2) << table.message;
  EXPECT_EQ(table.access[1], DISK_ACCESS_IMAGE_RW);
  EXPECT_EQ(table.sectorCount[0], 64u);
  EXPECT_EQ(TablePartitions(table), (std::vector<PartitionSpan>{{16, 48}}));
  const std::string data(3 * 512, 'd');
  EXPECT_EQ(DiskWrite(table, 1, data.data(), 45, 3), DISK_OK);
  EXPECT_EQ(DiskWrite(table, 1, data.data(), 46, 3), DISK_ERROR);
  EXPECT_EQ(DiskStatus(table, 1), DISK_OK);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SYNC, nullptr), DISK_OK);
  DiskDetach(table, 1);
  const std::string after = ReadFile(dir / "a.img");
  EXPECT_EQ(after.size(), 64u * 512);
  EXPECT_EQ(after.substr(61 * 512), data);

  // Someone cut the image behind our back: reads past the new end fail, they bring no old bytes.
  ASSERT_EQ(DiskAttach(table, (dir / "a.img").c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  ASSERT_EQ(::truncate((dir / "a.img").c_str(), 40 * 512 + 100), 0);
  char buffer[512];
  EXPECT_EQ(DiskRead(table, 1, buffer, 23, 1), DISK_OK);
  EXPECT_EQ(DiskRead(table, 1, buffer, 24, 1), DISK_ERROR);
}

TEST(DriveTable, TwoAttachesOfOneImage) {
  TempDir dir("drives");
  CraftedImage crafted = FatPartitions(1);
  WriteFile(dir / "a.img", crafted.bytes());
  const std::string image = dir / "a.img";

  DiskDriveTable writer, second;
  ASSERT_EQ(DiskAttach(writer, image.c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 2) << writer.message;
  EXPECT_EQ(DiskAttach(second, image.c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(second.message, "Das Abbild " + image + " wird schon von einer anderen Verbindung benutzt.");
  EXPECT_EQ(DiskAttach(second, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(second.driveCount, 0u);
  DiskDetach(writer, 0);

  DiskDriveTable reader;
  EXPECT_EQ(DiskAttach(reader, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  EXPECT_EQ(DiskAttach(second, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  EXPECT_EQ(DiskAttach(writer, image.c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

TEST(DriveTable, MountingKeepsOrDropsWhatDoesNotMount) {
  CraftedImage crafted = FatPartitions(2);
  crafted.MbrEntry(0, 2, 0x83, 40, 8);  // no file system there
  FakeEngines engines;
  DiskDriveTable table;
  table.engines = &engines;
  int first = 0;
  ASSERT_EQ(Attach(table, Medium(crafted), false, 0, &first), 4);
  EXPECT_EQ(engines.log->mounted, (std::vector<int>{1, 2}));
  EXPECT_EQ(table.fsType[3], DISK_TYPE_NO_FS);
  EXPECT_EQ(table.attachMode[1], 0u);
  EXPECT_EQ(Names(table), "012");

  // A failed mount leaves the partition listed without a file system, or with mode 2 takes it
  // out, its volume name with it.
  engines.failTypes = {DISK_TYPE_FAT};
  ASSERT_EQ(Attach(table, Medium(crafted), false), 4);
  EXPECT_EQ(table.fsType[5], DISK_TYPE_NO_FS);
  EXPECT_EQ(table.fileSystem[5], nullptr);
  DiskDetach(table, 5);
  ASSERT_EQ(Attach(table, Medium(crafted), false, DISK_ATTACH_DROP_UNMOUNTABLE), 1);
  EXPECT_EQ(table.driveCount, 5u);
  EXPECT_EQ(table.partitionCount, 3u);
  EXPECT_EQ(table.link[4], 0u);
  EXPECT_EQ(Names(table), "012");
  for (int i = 3; i < DISK_MAX_NAMES; ++i) EXPECT_EQ(table.nameMap[i], 0) << i;

  // Detaching unmounts every mounted volume of that container, and only those.
  DiskDetach(table, first);
  EXPECT_EQ(engines.log->unmounted, (std::vector<int>{1, 2}));
  EXPECT_EQ(table.driveCount, 1u);
  DiskDetach(table, 0);
  EXPECT_EQ(table.driveCount, 0u);

  // The program's own engines register a FAT volume at once and read it at its first operation.
  DiskDriveTable plain;
  ASSERT_EQ(Attach(plain, Medium(crafted), false), 4);
  EXPECT_EQ(plain.fsType[1], DISK_TYPE_FAT);
  EXPECT_NE(plain.fileSystem[1], nullptr);
  EXPECT_EQ(Attach(plain, Medium(crafted), false, DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE), 3);
  EXPECT_EQ(plain.driveCount, 3u);  // the partition without a file system goes
}

TEST(DriveTable, VolumeNamesAreTheLowestFreeAndStayUnique) {
  FakeEngines engines;
  DiskDriveTable table;
  table.engines = &engines;
  CraftedImage two = FatPartitions(2);
  CraftedImage one = FatPartitions(1);
  int a = 0, b = 0, c = 0;
  ASSERT_EQ(Attach(table, Medium(two), false, 0, &a), 3);
  ASSERT_EQ(Attach(table, Medium(one), false, 0, &b), 2);
  EXPECT_EQ(Names(table), "012");
  const int bPartition = table.nameMap[2] - 1;
  EXPECT_EQ(table.link[bPartition], static_cast<u32>(b - 1));

  DiskDetach(table, a);
  ASSERT_EQ(Attach(table, Medium(two), false, 0, &c), 3);
  EXPECT_EQ(c, a);
  // The new container's partitions take "0" and "1"; "2" still names the other one.
  EXPECT_EQ(table.nameMap[2] - 1, bPartition);
  int seen[3] = {};
  for (int d = 0; d < DISK_MAX_DRIVES; ++d)
    if (table.nameIndex[d]) ++seen[table.nameIndex[d] - 1];
  EXPECT_EQ(seen[0] + seen[1] + seen[2], 3);
  EXPECT_EQ(seen[0], 1);
  EXPECT_EQ(seen[1], 1);

  // A drive behind a freed entry stays reachable.
  DiskDetach(table, c);
  EXPECT_EQ(table.driveCount, 2u);
  char buffer[512];
  EXPECT_EQ(DiskStatus(table, bPartition), DISK_OK);
  EXPECT_EQ(DiskRead(table, bPartition, buffer, 0, 1), DISK_OK);
  EXPECT_EQ(std::string(buffer + 54, 5), "FAT16");

  // A full table of seven partitions; names go "0"-"9", then "A".
  DiskDriveTable names;
  CraftedImage seven = FatPartitions(7);
  ASSERT_EQ(Attach(names, Medium(seven), false), 8);
  EXPECT_EQ(Names(names), "0123456");
  EXPECT_EQ(Attach(names, Medium(one), false), 0);
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(DiskVolumeName(10), '9');
  EXPECT_EQ(DiskVolumeName(18), 'A');
}

TEST(DriveTable, ClearingATableInUseDetachesItFirst) {
  FakeEngines engines;
  DiskDriveTable table;
  table.engines = &engines;
  CraftedImage one = FatPartitions(1);
  auto state = Medium(one);
  ASSERT_EQ(Attach(table, state, true), 2);
  table.currentDrive = 2;
  table.currentPath = "/0/dir";
  int first = 0;
  ASSERT_EQ(Attach(table, Medium(one), true, DISK_ATTACH_CLEAR | DISK_ATTACH_FIXED_DRIVE, &first), 2);
  EXPECT_EQ(engines.log->unmounted, (std::vector<int>{1}));
  EXPECT_EQ(state->closes, 1);
  EXPECT_EQ(table.currentDrive, 0u);
  EXPECT_EQ(table.currentPath, "/");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(table.fixedDrive, 2u);
  EXPECT_EQ(Names(table), "0");
  DiskDetach(table, 1);
  EXPECT_EQ(table.fixedDrive, 0u);
}

TEST(DriveTable, NothingToReadIsNoDrive) {
  TempDir dir("drives");
  MakeImage(dir / "blank.img", 1 << 20);
  DiskDriveTable table;
  EXPECT_EQ(DiskAttach(table, (dir / "blank.img").c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_NE(table.message.find("keine Partition gefunden"), std::string::npos) << table.message;
  EXPECT_EQ(table.driveCount, 0u);
  // Nothing stays locked behind a failed attach.
  CraftedImage crafted = FatPartitions(1);
  WriteFile(dir / "blank.img", crafted.bytes());
  EXPECT_EQ(DiskAttach(table, (dir / "blank.img").c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 2);

  // Sector 0 cannot be read.
  auto state = Medium(crafted);
  state->badSectors = {0};
  DiskDriveTable broken;
  EXPECT_EQ(Attach(broken, state, true), 0);
  EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
  EXPECT_EQ(broken.driveCount, 0u);
  EXPECT_EQ(state->closes, 1);
  EXPECT_EQ(DiskAttach(broken, "", 0, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
}

TEST(DriveTable, LargeDisksReportTheirSectorCount) {
  auto state = std::make_shared<FakeMediumState>();
  state->byteSize = (u64{3} << 40) + 512;  // 3 TiB and a sector
  CraftedImage crafted(64);
  crafted.Bytes(1024 + 1080 - 1024, "\x53\xEF");
  crafted.Put32(1024, 1);
  state->Put(0, crafted.bytes().data(), crafted.bytes().size());
  DiskDriveTable table;
  ASSERT_EQ(Attach(table, state, true), 2);
  EXPECT_EQ(table.fsType[1], DISK_TYPE_NO_FS);  // an ext4 superblock, and no ext4 engine yet
  u64 count64 = 0;
  u32 count32 = 0;
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SECTOR_COUNT64, &count64), DISK_OK);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SECTOR_COUNT, &count32), DISK_OK);
  EXPECT_EQ(count64, (u64{3} << 31) + 1);
  EXPECT_EQ(count32, static_cast<u32>(count64));
  char buffer[512];
  EXPECT_EQ(DiskRead(table, 1, buffer, count64 - 1, 1), DISK_OK);
  EXPECT_EQ(DiskRead(table, 1, buffer, count64, 1), DISK_ERROR);
  EXPECT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SYNC, nullptr), DISK_OK);
  EXPECT_EQ(state->flushes, 1);
}
