// Partitions.txt on a mounted partition of the disk being attached: read, used, and what it
// allows to be written beside the mounted partition.
#include "FileSystem/Media/partitions.h"
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"
#include "tests/disks/disk_images.h"
#include "tests/support/files.h"
#include "tests/support/loop_device.h"
#include "tests/support/mounted_volume.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>
#include <string>

using namespace kpwtest;

namespace {

// A 64 MiB disk: partition 1 (sectors 2048-18431) in the table, a FAT volume holding HIER.TXT at
// sector 32768 that no entry lists, the second primary entry empty.
constexpr u64 kHidden = 32768;
constexpr u64 kHiddenSize = 16384;

void MakeDisk(const std::string& image, const std::string& dir) {
  MakeImage(image, 64 << 20);
  Tool("printf 'label: dos\\nstart=2048, size=16384, type=83\\n' | sfdisk -q " + Quote(image));
  const std::string hidden = dir + "/hidden.img";
  Tool("mkfs.fat -C " + Quote(hidden) + " 8192");
  WriteFile(dir + "/hier.txt", "verborgen");
  Tool("mcopy -i " + Quote(hidden) + " " + Quote(dir + "/hier.txt") + " ::HIER.TXT");
  Tool("dd if=" + Quote(hidden) + " of=" + Quote(image) + " bs=512 seek=" + std::to_string(kHidden) +
       " conv=notrunc status=none");
}

std::string Description(u64 start, u64 size, u32 show) {
  return "[DRIVES]\r\nDISK=1\r\n[PARTITION1]\r\nSECT=" + std::to_string(start) + "\r\nSIZE=0x" +
         FmtString("%llx", static_cast<unsigned long long>(size)) + "\r\nSHOW=" + std::to_string(show) + "\r\n";
}

// Puts a Partitions.txt into partition 1 (mounted for it), then mounts it read-only, so that the
// kernel leaves it as it is.
std::unique_ptr<MountedVolume> PutDescription(const std::string& partition, const std::string& dir,
                                              const std::string& text) {
  {
    MountedVolume writable(partition, dir + "/mnt");
    if (!writable.ok()) return std::make_unique<MountedVolume>(partition, dir + "/mnt", "ro");
    WriteFile(dir + "/mnt/Partitions.txt", text);
  }
  return std::make_unique<MountedVolume>(partition, dir + "/mnt", "ro");
}

std::string ReadVolumeFile(DiskDriveTable& table, const char* path) {
  int err = 0;
  const DiskHandle h = DiskFileOpen(table, path, DISK_OPEN_READ, &err);
  if (!h) return "error " + std::to_string(err);
  std::string data(64, '\0');
  const int n = DiskFileRead(table, h, data.data(), static_cast<int>(data.size()));
  DiskFileClose(table, h);
  data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return data;
}

}  // namespace

TEST(PartitionsFile, ReadFromAMountedPartitionOfTheDiskAtAttach) {
  for (const char* tool : {"sfdisk", "mkfs.fat", "mkfs.ext4", "mcopy", "mtype"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  TempDir dir("partsmnt");
  const std::string image = dir / "disk.img";
  MakeDisk(image, dir.path());
  LoopDevice loop(image, 0, true);
  if (!loop.ok()) GTEST_SKIP() << loop.why();

  Tool("mkfs.ext4 -q -F " + Quote(loop.partition(1)));
  auto mounted = PutDescription(loop.partition(1), dir.path(), Description(kHidden, kHiddenSize, 462));
  if (!mounted->ok()) GTEST_SKIP() << mounted->why();

  // No partition mounted: nothing is described, even with the file on partition 1.
  mounted->Unmount();
  {
    DiskDriveTable table;
    ASSERT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2)
        << table.message;
    DiskPartitionRecord record;
    struct stat st{};
    ASSERT_EQ(::stat(loop.path().c_str(), &st), 0);
    EXPECT_EQ(DiskReadMountedPartitionsFile(st.st_rdev, record), -1);
  }
  // Nor on an image, which no system mounts.
  {
    DiskDriveTable table;
    EXPECT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  }

  mounted = std::make_unique<MountedVolume>(loop.partition(1), dir / "mnt", "ro");
  ASSERT_TRUE(mounted->ok()) << mounted->why();
  struct stat st{};
  ASSERT_EQ(::stat(loop.path().c_str(), &st), 0);
  DiskPartitionRecord record;
  std::string where;
  ASSERT_EQ(DiskReadMountedPartitionsFile(st.st_rdev, record, &where), 0);
  EXPECT_EQ(where, dir / "mnt/Partitions.txt");
  EXPECT_EQ(record.start[1], kHidden);
  EXPECT_EQ(record.size[1], kHiddenSize);
  EXPECT_EQ(record.show[1], 462u);
  EXPECT_EQ(record.drives, 1u);
  // A partition is no disk: its own partitions are none.
  struct stat part{};
  ASSERT_EQ(::stat(loop.partition(1).c_str(), &part), 0);
  EXPECT_EQ(DiskReadMountedPartitionsFile(part.st_rdev, record), -1);

  // The described volume shows beside partition 1, read through the engines.
  {
    DiskDriveTable table;
    ASSERT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 3)
        << table.message;
    const int d = DriveAt(table, kHidden);
    ASSERT_GE(d, 0);
    EXPECT_EQ(table.sectorCount[d], kHiddenSize);
    EXPECT_EQ(table.described[d], 1);
    EXPECT_EQ(table.fsType[d], DISK_TYPE_FAT);
    EXPECT_EQ(ReadVolumeFile(table, "/1/HIER.TXT"), "verborgen");
    EXPECT_EQ(table.fsType[static_cast<std::size_t>(DriveAt(table, 2048))], DISK_TYPE_EXT4);
    // Written, the disk would have to be had exclusively: partition 1 is mounted.
    DiskDriveTable writer;
    EXPECT_EQ(DiskAttach(writer, loop.path().c_str(), 0, nullptr, DISK_ALL_PARTITIONS), 0);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(writer.message.find("eingehängt"), std::string::npos) << writer.message;
  }

  // The described partition alone is written beside the mounted one, which stays as it was.
  const std::string mountedBefore = ReadFile(image).substr(2048 * 512, 16384 * 512);
  {
    DiskDriveTable table;
    ASSERT_EQ(DiskAttach(table, loop.path().c_str(), 0, nullptr, 1), 2) << table.message;
    EXPECT_EQ(table.access[0], DISK_ACCESS_DISK_RW);
    int err = 0;
    const DiskHandle h = DiskFileOpen(table, "/0/NEU.TXT", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u) << err;
    EXPECT_EQ(DiskFileWrite(table, h, "neu", 3), 3);
    EXPECT_EQ(DiskFileClose(table, h), 0);
    // A second writer of this program is kept out, exclusive or not.
    DiskDriveTable second;
    EXPECT_EQ(DiskAttach(second, loop.path().c_str(), 0, nullptr, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(DiskDetach(table, 1), 1);
  }
  const std::string offset = "@@" + std::to_string(kHidden * 512);
  EXPECT_EQ(Tool("mtype -i " + Quote(image) + offset + " ::NEU.TXT"), "neu");
  EXPECT_EQ(Tool("mtype -i " + Quote(image) + offset + " ::HIER.TXT"), "verborgen");
  if (HaveTool("fsck.fat")) {
    Tool("dd if=" + Quote(image) + " of=" + Quote(dir / "check.img") + " bs=512 skip=" + std::to_string(kHidden) +
         " count=" + std::to_string(kHiddenSize) + " status=none");
    Tool("fsck.fat -n " + Quote(dir / "check.img"));
  }
  EXPECT_EQ(ReadFile(image).substr(2048 * 512, 16384 * 512), mountedBefore);

  // A description over the mounted partition is never written without holding the disk.
  mounted.reset();
  mounted = PutDescription(loop.partition(1), dir.path(), Description(2048, 16384, 462));
  ASSERT_TRUE(mounted->ok()) << mounted->why();
  {
    DiskDriveTable table;
    EXPECT_EQ(DiskAttach(table, loop.path().c_str(), 0, nullptr, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(DiskAttach(table, loop.path().c_str(), DISK_ATTACH_READ_ONLY, nullptr, 1), 2);
    EXPECT_EQ(table.described[static_cast<std::size_t>(DriveAt(table, 2048))], 1);
  }
}

TEST(PartitionsFile, FoundInAFolderInAnyCaseButNeverThroughALink) {
  TempDir dir("partsdir");
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  DiskPartitionRecord record;
  EXPECT_EQ(DiskReadPartitionsFileAt(fd, record), -2);
  WriteFile(dir / "partitions.TXT", "[PARTITION2]\nSECT=99\n");
  ASSERT_EQ(DiskReadPartitionsFileAt(fd, record), 0);
  EXPECT_EQ(record.start[2], 99u);
  // The exact name is taken first.
  WriteFile(dir / "Partitions.txt", "[PARTITION2]\nSECT=7\n");
  ASSERT_EQ(DiskReadPartitionsFileAt(fd, record), 0);
  EXPECT_EQ(record.start[2], 7u);
  // A link or a FIFO is no description (and never waited for).
  ASSERT_EQ(::unlink((dir / "Partitions.txt").c_str()), 0);
  ASSERT_EQ(::unlink((dir / "partitions.TXT").c_str()), 0);
  WriteFile(dir / "elsewhere.txt", "[PARTITION0]\nSECT=5\n");
  ASSERT_EQ(::symlink("elsewhere.txt", (dir / "Partitions.txt").c_str()), 0);
  EXPECT_EQ(DiskReadPartitionsFileAt(fd, record), -2);
  EXPECT_EQ(record.start[0], 0u);
  ASSERT_EQ(::unlink((dir / "Partitions.txt").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "Partitions.txt").c_str(), 0600), 0);
  EXPECT_EQ(DiskReadPartitionsFileAt(fd, record), -2);
  ::close(fd);
}
