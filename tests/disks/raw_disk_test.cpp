// Raw media: names, open modes and sharing, the five tries, loop devices as whole disks.
#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Volume/drive_table.h"
#include "platform/last_error.h"
#include "tests/disks/disk_images.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_medium.h"
#include "tests/support/files.h"
#include "tests/support/loop_device.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kpwtest;

namespace {

std::unique_ptr<RawMedium> Open(const std::string& name, int access, std::string* why = nullptr) {
  return DrvOpenSlot(name.c_str(), access, false, why);
}

}  // namespace

TEST(RawDisk, WindowsNamesAndMissingNamesFailWithInvalidDrive) {
  for (const char* name : {"\\\\.\\PhysicalDrive0", "PhysicalDrive26", "physicaldrive1", "Physical1", "PhysicalE",
                           "E:", "e:\\", "C:/", "\\\\.\\E:", "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(DrvIsWindowsDiskName(name));
    std::string why;
    SetLastError(0);
    EXPECT_EQ(Open(name, DRV_ACCESS_READ, &why), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
    EXPECT_NE(why.find("Windows-Laufwerksname"), std::string::npos) << why;

    DiskDriveTable table;
    int first = 0;
    EXPECT_EQ(DiskAttach(table, name, DISK_ATTACH_READ_ONLY, &first, DISK_ALL_PARTITIONS), 0);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
    EXPECT_EQ(table.message, why);
  }
  for (const char* name : {"/dev/sdb", "/srv/a.img", "PhysicalDrive123", "Physical", "EF:", "disk.img"})
    EXPECT_FALSE(DrvIsWindowsDiskName(name)) << name;

  TempDir dir("rawdisk");
  std::string why;
  EXPECT_EQ(Open(dir / "missing.img", DRV_ACCESS_READ, &why), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_NE(why.find("gibt es nicht"), std::string::npos) << why;
  EXPECT_EQ(Open(dir.path(), DRV_ACCESS_READ, &why), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_NE(why.find("weder ein Abbild noch ein Laufwerk"), std::string::npos) << why;
  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  {
    const kpwtest::Deadline deadline("opening a FIFO as a disk");
    EXPECT_EQ(Open(dir / "fifo", DRV_ACCESS_READ_WRITE), nullptr);
  }
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);

  MakeImage(dir / "a.img", 4096);
  EXPECT_EQ(Open(dir / "a.img", 3), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(DrvGetSectorInfo(nullptr, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  char buffer[512];
  EXPECT_FALSE(DrvReadSectors(nullptr, 0, 1, buffer));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(RawDisk, ImagesAreSharedByReadersAndHeldAloneByAWriter) {
  TempDir dir("rawdisk");
  const std::string image = dir / "a.img";
  MakeImage(image, 8192);
  ASSERT_EQ(::link(image.c_str(), (dir / "b.img").c_str()), 0);

  auto reader1 = Open(image, DRV_ACCESS_READ);
  auto reader2 = Open(dir / "b.img", DRV_ACCESS_READ);
  ASSERT_TRUE(reader1 && reader2);
  std::string why;
  EXPECT_EQ(Open(image, DRV_ACCESS_READ_WRITE, &why), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_NE(why.find("schon von einer anderen Verbindung benutzt"), std::string::npos) << why;
  DrvCloseSlot(reader1, false);
  DrvCloseSlot(reader2, false);

  // A writer has it alone, under either of its names.
  auto writer = Open(image, DRV_ACCESS_READ_WRITE);
  ASSERT_TRUE(writer);
  EXPECT_EQ(Open(dir / "b.img", DRV_ACCESS_READ_WRITE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(image, DRV_ACCESS_READ), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(DrvCloseSlot(writer, false));
  EXPECT_EQ(writer, nullptr);
  EXPECT_TRUE(Open(dir / "b.img", DRV_ACCESS_READ_WRITE));

  // Read-only means no owner write bit.
  ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
  EXPECT_EQ(Open(image, DRV_ACCESS_READ_WRITE, &why), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_NE(why.find("schreibgeschützt"), std::string::npos) << why;
  EXPECT_TRUE(Open(image, DRV_ACCESS_READ));
}

TEST(RawDisk, TransfersAreWholeWithinTheMediumAndNeverGrowAnImage) {
  TempDir dir("rawdisk");
  const std::string image = dir / "a.img";
  WriteFile(image, std::string(4096, 'x'));
  auto medium = Open(image, DRV_ACCESS_READ_WRITE);
  ASSERT_TRUE(medium);
  u32 sectorSize = 0;
  EXPECT_EQ(DrvGetSectorInfo(medium.get(), &sectorSize), 8u);
  EXPECT_EQ(sectorSize, 512u);
  EXPECT_FALSE(medium->IsDisk());

  std::vector<char> data(1024, 'y');
  EXPECT_TRUE(DrvWriteSectors(medium.get(), 6, 2, data.data()));
  // Zero sectors at the end succeed; at or past the end nothing is moved.
  EXPECT_TRUE(DrvReadSectors(medium.get(), 8, 0, data.data()));
  EXPECT_FALSE(DrvReadSectors(medium.get(), 9, 0, data.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(DrvWriteSectors(medium.get(), 7, 2, data.data()));
  EXPECT_FALSE(DrvReadSectors(medium.get(), ~u64{0} / 256, 1, data.data()));
  EXPECT_FALSE(medium->WriteAt(4096, data.data(), 512));
  EXPECT_TRUE(DrvCloseSlot(medium, false));
  EXPECT_EQ(ReadFile(image), std::string(3072, 'x') + std::string(1024, 'y'));

  // Someone cut the image behind our back: a read that comes back short is a failure.
  medium = Open(image, DRV_ACCESS_READ);
  ASSERT_TRUE(medium);
  ASSERT_EQ(::truncate(image.c_str(), 3000), 0);
  EXPECT_FALSE(DrvReadSectors(medium.get(), 5, 1, data.data()));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_TRUE(DrvReadSectors(medium.get(), 4, 1, data.data()));
}

TEST(RawDisk, SectorTransfersTryFiveTimes) {
  auto state = std::make_shared<FakeMediumState>();
  state->byteSize = 64 * 512;
  FakeMedium medium(state, true);
  std::vector<u8> buffer(512);

  state->failReads = 2;
  EXPECT_TRUE(DrvReadSectors(&medium, 3, 1, buffer.data()));
  EXPECT_EQ(state->reads, 3);

  state->reads = 0;
  state->failReads = 5;
  EXPECT_FALSE(DrvReadSectors(&medium, 3, 1, buffer.data()));
  EXPECT_EQ(state->reads, 5);
  EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);

  state->failWrites = 4;
  EXPECT_TRUE(DrvWriteSectors(&medium, 3, 1, buffer.data()));
  EXPECT_EQ(state->writes, 5);
  state->writes = 0;
  state->failWrites = 6;
  EXPECT_FALSE(DrvWriteSectors(&medium, 3, 1, buffer.data()));
  EXPECT_EQ(state->writes, 5);

  // Beyond the end there is nothing to try again.
  state->reads = 0;
  state->failReads = 0;
  EXPECT_FALSE(DrvReadSectors(&medium, 63, 2, buffer.data()));
  EXPECT_EQ(state->reads, 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// A loop device over an image of our own, as a whole disk. The tests never open any other
// block device.
TEST(RawDisk, LoopDeviceAsWholeDisk) {
  TempDir dir("rawdisk");
  const std::string image = dir / "disk.img";
  MakeImage(image, 8 << 20);
  Tool("printf 'label: dos\\nstart=2048, size=4096, type=c\\nstart=8192, type=83\\n' | sfdisk -q " + Quote(image));
  LoopDevice loop(image);
  if (!loop.ok()) GTEST_SKIP() << loop.why();

  auto medium = Open(loop.path(), DRV_ACCESS_READ);
  ASSERT_TRUE(medium) << GetLastError();
  u32 sectorSize = 0;
  EXPECT_EQ(DrvGetSectorInfo(medium.get(), &sectorSize), std::stoull(Tool("blockdev --getsz " + loop.path())));
  EXPECT_EQ(sectorSize, 512u);
  EXPECT_TRUE(medium->IsDisk());
  DrvCloseSlot(medium, false);

  // Attached read/write, the device is held exclusively: a second writer is refused, a reader not.
  {
    DiskDriveTable table;
    int first = 0;
    ASSERT_EQ(DiskAttach(table, loop.path().c_str(), 0, &first, DISK_ALL_PARTITIONS), 3) << table.message;
    EXPECT_EQ(table.access[0], DISK_ACCESS_DISK_RW);
    EXPECT_NE(table.cache[0], nullptr);
    EXPECT_EQ(TablePartitions(table), (std::vector<PartitionSpan>{{2048, 4096}, {8192, 8192}}));

    DiskDriveTable other;
    EXPECT_EQ(DiskAttach(other, loop.path().c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 0);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(other.message.find("eingehängt oder wird schon"), std::string::npos) << other.message;
    EXPECT_EQ(DiskAttach(other, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 3);

    std::vector<char> data(2 * 512, 'k');
    const int p = DriveAt(table, 8192);
    ASSERT_GE(p, 0);
    EXPECT_EQ(DiskWrite(table, p, data.data(), 10, 2), DISK_OK);
    DiskDetach(table, first);
    // Detaching synced the device (while another still has it open): the image holds the sectors.
    EXPECT_EQ(ReadFile(image).substr((8192 + 10) * 512, 1024), std::string(1024, 'k'));
  }

  // A device that someone else holds exclusively (as a mount does) is not written.
  const int holder = ::open(loop.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  DiskDriveTable table;
  EXPECT_EQ(DiskAttach(table, loop.path().c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 3);
  ::close(holder);
}

TEST(RawDisk, LoopDeviceWithLargeSectorsIsRefused) {
  TempDir dir("rawdisk");
  const std::string image = dir / "disk.img";
  MakeImage(image, 4 << 20);
  LoopDevice loop(image, 4096);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  DiskDriveTable table;
  EXPECT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_NE(table.message.find("Sektoren zu 4096 Bytes"), std::string::npos) << table.message;
  EXPECT_EQ(table.driveCount, 0u);
}

// A device that holds one volume without a table, as a partition node does.
TEST(RawDisk, LoopDeviceHoldingOneVolume) {
  if (!HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is not installed";
  TempDir dir("rawdisk");
  const std::string image = dir / "volume.img";
  Tool("mkfs.fat -C " + Quote(image) + " 4096");
  LoopDevice loop(image);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  FakeEngines engines;
  DiskDriveTable table;
  table.engines = &engines;
  ASSERT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2)
      << table.message;
  EXPECT_EQ(table.access[1], DISK_ACCESS_DISK_RO);
  EXPECT_EQ(table.fsType[1], DISK_TYPE_FAT);
  EXPECT_EQ(table.sectorCount[1], 8192u);
  EXPECT_EQ(engines.log->mounted, (std::vector<int>{1}));
}
