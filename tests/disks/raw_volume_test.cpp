// Disks and volumes asked by name: one-shot transfers, partition information, geometry with free
// room, volume information and identity, the search by identity; checked against the kernel,
// blkid and the partitioning tools.
#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Media/raw_volumes.h"
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "FileSystem/Volume/volume_info.h"
#include "platform/last_error.h"
#include "tests/disks/disk_images.h"
#include "tests/support/files.h"
#include "tests/support/loop_device.h"
#include "tests/support/mounted_volume.h"
#include "tests/support/temp_dir.h"

#include <sys/stat.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

using namespace kpwtest;

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// What blkid reads of a device or image, one tag.
std::string Blkid(const std::string& path, const char* tag) {
  return Trimmed(Shell("blkid -p -o value -s " + std::string(tag) + " " + Quote(path) + " 2>/dev/null"));
}

std::string RandomHex(int digits) {
  static std::mt19937_64 random{std::random_device{}()};
  std::string s;
  while (static_cast<int>(s.size()) < digits) s += "0123456789abcdef"[random() % 16];
  return s;
}

bool HaveTools(std::initializer_list<const char*> tools, std::string* missing) {
  for (const char* t : tools)
    if (!HaveTool(t)) {
      *missing = std::string(t) + " is not installed";
      return false;
    }
  return true;
}

}  // namespace

TEST(RawVolumes, OneShotTransfersOnImagesAndDevices) {
  TempDir dir("rawvol");
  const std::string image = dir / "a.img";
  WriteFile(image, std::string(16 * 512, 'a'));
  const std::string data(2 * 512, 'b');
  ASSERT_TRUE(DrvWriteTargetSectors(image.c_str(), 3, 2, data.data()));
  EXPECT_EQ(ReadFile(image), std::string(3 * 512, 'a') + data + std::string(11 * 512, 'a'));
  std::string back(3 * 512, '\0');
  ASSERT_TRUE(DrvReadTargetSectors(image.c_str(), 2, 3, back.data()));
  EXPECT_EQ(back, std::string(512, 'a') + data);

  EXPECT_FALSE(DrvReadTargetSectors(image.c_str(), 15, 2, back.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(DrvWriteTargetSectors(image.c_str(), 16, 1, data.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadFile(image).size(), 16u * 512);
  EXPECT_FALSE(DrvReadTargetSectors((dir / "none.img").c_str(), 0, 1, back.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);

  // A connection writing the image has it alone.
  {
    auto writer = DrvOpenSlot(image.c_str(), DRV_ACCESS_READ_WRITE, false);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(DrvWriteTargetSectors(image.c_str(), 0, 1, data.data()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DrvReadTargetSectors(image.c_str(), 0, 1, back.data()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
  EXPECT_FALSE(DrvWriteTargetSectors(image.c_str(), 0, 1, data.data()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // Nothing is written under a mounted file system; reading it is allowed.
  std::string missing;
  if (!HaveTools({"mkfs.ext4"}, &missing)) GTEST_SKIP() << missing;
  const std::string volume = dir / "ext4.img";
  Tool("mkfs.ext4 -q -F " + Quote(volume) + " 4M");
  LoopDevice loop(volume);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  const std::string before = ReadFile(volume);
  {
    MountedVolume mounted(loop.path(), dir / "mnt", "ro");
    if (!mounted.ok()) GTEST_SKIP() << mounted.why();
    EXPECT_FALSE(DrvWriteTargetSectors(loop.path().c_str(), 100, 2, data.data()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(DrvReadTargetSectors(loop.path().c_str(), 0, 1, back.data()));
    EXPECT_EQ(back.substr(0, 512), before.substr(0, 512));
  }
  EXPECT_EQ(ReadFile(volume), before);
  ASSERT_TRUE(DrvWriteTargetSectors(loop.path().c_str(), 7000, 2, data.data()));
  EXPECT_EQ(ReadFile(volume).substr(7000 * 512, 1024), data);
}

TEST(RawVolumes, PartitionInformationAsThePartitioningToolsWroteIt) {
  std::string missing;
  if (!HaveTools({"sfdisk"}, &missing)) GTEST_SKIP() << missing;
  TempDir dir("rawvol");
  const std::string gpt = dir / "gpt.img";
  MakeImage(gpt, 16 << 20);
  const std::string unique = "a" + RandomHex(7) + "-1234-4abc-8def-0123456789ab";
  Tool("printf 'label: gpt\\nstart=2048, size=4096, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
       "start=8192, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=" + unique +
       ", name=\"Daten \\303\\244\", attrs=\"RequiredPartition\"\\n' | sfdisk -q " + Quote(gpt));

  DrvPartitionInfo info;
  ASSERT_TRUE(DrvGetPartitionInfoEx(gpt.c_str(), &info)) << GetLastError();
  EXPECT_EQ(info.style, DISK_STYLE_GPT);
  EXPECT_EQ(info.number, 0u);
  EXPECT_EQ(info.length, u64{16} << 20);
  EXPECT_EQ(DiskGuidText(info.table.diskGuid), Lower(Trimmed(Tool("sfdisk --disk-id " + Quote(gpt)))));

  const std::string mbr = dir / "mbr.img";
  MakeImage(mbr, 16 << 20);
  Tool("printf 'label: dos\\nlabel-id: 0x1234abcd\\nstart=2048, size=2048, type=c, bootable\\nstart=4096, type=5\\n"
       "size=2048, type=83\\nsize=2048, type=7\\n' | sfdisk -q " + Quote(mbr));
  std::vector<u64> logical;  // the starts of the two logical partitions, as sfdisk placed them
  for (const auto& [span, type] : SfdiskPartitions(mbr))
    if (type == "83" || type == "7") logical.push_back(span.start);
  ASSERT_EQ(logical.size(), 2u);
  ASSERT_TRUE(DrvGetPartitionInfoEx(mbr.c_str(), &info));
  EXPECT_EQ(info.style, DISK_STYLE_MBR);
  EXPECT_EQ(info.table.diskSignature, 0x1234abcdu);

  // A volume without a table.
  if (HaveTool("mkfs.fat")) {
    const std::string fat = dir / "fat.img";
    Tool("mkfs.fat -C " + Quote(fat) + " 2048");
    ASSERT_TRUE(DrvGetPartitionInfoEx(fat.c_str(), &info));
    EXPECT_EQ(info.style, DISK_STYLE_RAW);
  }

  // The partition nodes of a loop device: their numbers, places and entries.
  LoopDevice gptLoop(gpt, 0, true);
  if (!gptLoop.ok()) GTEST_SKIP() << gptLoop.why();
  ASSERT_TRUE(DrvGetPartitionInfoEx(gptLoop.partition(2).c_str(), &info)) << GetLastError();
  EXPECT_EQ(info.style, DISK_STYLE_GPT);
  EXPECT_EQ(info.number, 2u);
  EXPECT_EQ(info.startingOffset, 8192u * 512);
  EXPECT_EQ(info.length, 8192u * 512);
  ASSERT_TRUE(info.table.found);
  EXPECT_EQ(DiskGuidText(info.table.uniqueGuid), unique);
  EXPECT_EQ(DiskGuidText(info.table.typeGuid), "0fc63daf-8483-4772-8e79-3d69d8477de4");
  EXPECT_EQ(info.table.name, "Daten \xC3\xA4");
  EXPECT_EQ(info.table.attributes, 1u);
  EXPECT_EQ(Lower(DiskGuidText(info.table.uniqueGuid)), Blkid(gptLoop.partition(2), "PART_ENTRY_UUID"));

  LoopDevice mbrLoop(mbr, 0, true);
  if (!mbrLoop.ok()) GTEST_SKIP() << mbrLoop.why();
  ASSERT_TRUE(DrvGetPartitionInfoEx(mbrLoop.partition(1).c_str(), &info));
  EXPECT_EQ(info.number, 1u);
  EXPECT_EQ(info.table.mbrType, 0x0C);
  EXPECT_TRUE(info.table.boot);
  // Logical partitions count from 5 in the order of their chain, as the kernel numbers them.
  for (const auto& [number, type, start] :
       {std::tuple<u32, u8, u64>{5, 0x83, logical[0]}, {6, 0x07, logical[1]}}) {
    ASSERT_TRUE(DrvGetPartitionInfoEx(mbrLoop.partition(static_cast<int>(number)).c_str(), &info)) << number;
    EXPECT_EQ(info.style, DISK_STYLE_MBR);
    EXPECT_EQ(info.number, number);
    EXPECT_EQ(info.startingOffset, start * 512);
    EXPECT_EQ(info.table.mbrType, type);
    EXPECT_EQ(info.table.start, start);
    EXPECT_EQ(info.table.count, 2048u);
    EXPECT_FALSE(info.table.boot);
  }
  // The whole device, opened: the disk's word.
  auto medium = DrvOpenSlot(mbrLoop.path().c_str(), DRV_ACCESS_READ, false);
  ASSERT_TRUE(medium);
  ASSERT_TRUE(DrvGetPartitionInfoEx(medium.get(), &info));
  EXPECT_EQ(info.number, 0u);
  EXPECT_EQ(info.length, u64{16} << 20);
  EXPECT_FALSE(DrvGetPartitionInfoEx(static_cast<RawMedium*>(nullptr), &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The engines' own counts of a volume equal what the checking tools count, and for ext4 what the
// kernel reports for it mounted.
TEST(RawVolumes, GeometryWithFreeRoomByTheEnginesAndByTheSystem) {
  std::string missing;
  if (!HaveTools({"mkfs.fat", "fsck.fat", "mcopy", "mkfs.exfat", "dump.exfat", "mkfs.ext4", "dumpe2fs"}, &missing))
    GTEST_SKIP() << missing;
  TempDir dir("rawvol");
  WriteFile(dir / "eins.bin", std::string(300000, 'x'));

  // FAT16 keeps no count of its free clusters: they are counted. FAT32 tells them in FSInfo.
  for (const char* bits : {"16", "32"}) {
    SCOPED_TRACE(bits);
    const std::string image = dir / ("fat" + std::string(bits) + ".img");
    Tool("mkfs.fat -F " + std::string(bits) + " -C " + Quote(image) + " 40000");
    Tool("mcopy -i " + Quote(image) + " " + Quote(dir / "eins.bin") + " ::EINS.BIN");
    DrvVolumeGeometry ours;
    ASSERT_TRUE(DrvGetVolumeGeometry(image.c_str(), DISK_ALL_PARTITIONS, &ours)) << GetLastError();
    EXPECT_TRUE(ours.mountPoint.empty());
    EXPECT_EQ(ours.bytesPerSector, 512u);
    // fsck.fat: "x.img: 1 files, 75/39869 clusters"
    const std::string out = Tool("fsck.fat -n " + Quote(image) + " | tail -1");
    const std::size_t slash = out.rfind('/'), blank = out.rfind(' ', slash);
    ASSERT_NE(slash, std::string::npos) << out;
    const u64 used = std::stoull(out.substr(blank + 1)), total = std::stoull(out.substr(slash + 1));
    EXPECT_EQ(ours.totalClusters, total);
    EXPECT_EQ(ours.freeClusters, total - used);
    EXPECT_EQ(ours.availableClusters, ours.freeClusters);
  }

  {
    const std::string image = dir / "exfat.img";
    Tool("truncate -s 24M " + Quote(image) + " && mkfs.exfat " + Quote(image));
    {
      DiskDriveTable table;
      ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_FIXED_DRIVE, nullptr, DISK_ALL_PARTITIONS), 2);
      int err = 0;
      const DiskHandle h = DiskFileOpen(table, "/eins.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
      ASSERT_NE(h, 0u) << err;
      const std::string data(300000, 'x');
      EXPECT_EQ(DiskFileWrite(table, h, data.data(), static_cast<int>(data.size())), 300000);
      DiskFileClose(table, h);
    }
    DrvVolumeGeometry ours;
    ASSERT_TRUE(DrvGetVolumeGeometry(image.c_str(), DISK_ALL_PARTITIONS, &ours)) << GetLastError();
    const std::string dump = Tool("dump.exfat " + Quote(image));
    auto number = [&](const char* key) {
      const std::size_t at = dump.find(key);
      return at == std::string::npos ? ~u64{0} : std::stoull(dump.substr(dump.find_first_of("0123456789", at)));
    };
    EXPECT_EQ(ours.totalClusters, number("Total Clusters:"));
    EXPECT_EQ(ours.freeClusters, number("Free Clusters:"));
    EXPECT_EQ(ours.sectorsPerCluster, number("Cluster size:") / 512);
  }

  const std::string image = dir / "ext4.img";
  Tool("mkfs.ext4 -q -F " + Quote(image) + " 12M");
  LoopDevice loop(image);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  {
    MountedVolume mounted(loop.path(), dir / "mnt");
    if (!mounted.ok()) GTEST_SKIP() << mounted.why();
    ::mkdir((dir / "mnt/Ordner").c_str(), 0755);
    WriteFile(dir / "mnt/Ordner/eins.bin", std::string(300000, 'x'));
  }
  DrvVolumeGeometry ours;
  ASSERT_TRUE(DrvGetVolumeGeometry(image.c_str(), DISK_ALL_PARTITIONS, &ours)) << GetLastError();
  const std::string blocks = Tool("dumpe2fs -h " + Quote(image) + " 2>/dev/null | sed -n 's/^Block count: *//p'");
  EXPECT_EQ(ours.totalClusters, std::stoull(blocks));
  EXPECT_LT(ours.availableClusters, ours.freeClusters);
  // The device unmounted is read by the engines as the image is.
  DrvVolumeGeometry device;
  ASSERT_TRUE(DrvGetVolumeGeometry(loop.path().c_str(), DISK_ALL_PARTITIONS, &device));
  EXPECT_TRUE(device.mountPoint.empty());
  EXPECT_EQ(device.freeClusters, ours.freeClusters);

  MountedVolume mounted(loop.path(), dir / "mnt", "ro");
  if (!mounted.ok()) GTEST_SKIP() << mounted.why();
  DrvVolumeGeometry system;
  ASSERT_TRUE(DrvGetVolumeGeometry(loop.path().c_str(), DISK_ALL_PARTITIONS, &system)) << GetLastError();
  EXPECT_EQ(system.mountPoint, dir / "mnt");
  EXPECT_EQ(system.sectorsPerCluster, ours.sectorsPerCluster);
  EXPECT_EQ(system.freeClusters, ours.freeClusters);

  // Nothing to measure: no file system, no image.
  const std::string blank = dir / "blank.img";
  MakeImage(blank, 1 << 20);
  DrvVolumeGeometry g;
  EXPECT_FALSE(DrvGetVolumeGeometry(blank.c_str(), DISK_ALL_PARTITIONS, &g));
  EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
  EXPECT_FALSE(DrvGetVolumeGeometry((dir / "none.img").c_str(), DISK_ALL_PARTITIONS, &g));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
}

TEST(RawVolumes, InformationAndIdentityAsBlkidReadsThem) {
  std::string missing;
  if (!HaveTools({"mkfs.fat", "mkfs.exfat", "mkfs.ext4", "blkid"}, &missing)) GTEST_SKIP() << missing;
  TempDir dir("rawvol");
  const std::string fat = dir / "fat.img", exfat = dir / "exfat.img", ext4 = dir / "ext4.img";
  Tool("mkfs.fat -n KOPIWART -i 1a2b3c4d -C " + Quote(fat) + " 8192");
  Tool("truncate -s 16M " + Quote(exfat) + " && mkfs.exfat -L Stick " + Quote(exfat));
  const std::string uuid = RandomHex(8) + "-0000-4000-8000-" + RandomHex(12);
  Tool("mkfs.ext4 -q -F -L daten -U " + uuid + " " + Quote(ext4) + " 8M");

  for (const auto& [image, fs, label] : {std::tuple<std::string, const char*, const char*>{fat, "FAT", "KOPIWART"},
                                         {exfat, "exFAT", "Stick"}, {ext4, "ext4", "daten"}}) {
    SCOPED_TRACE(image);
    DrvVolumeInformation info;
    ASSERT_EQ(DrvGetVolumeInformation(image.c_str(), DISK_ALL_PARTITIONS, &info), 2) << GetLastError();
    EXPECT_EQ(info.fileSystem, fs);
    EXPECT_EQ(info.label, label);
    EXPECT_EQ(info.label, Blkid(image, "LABEL"));
    EXPECT_EQ(info.uuid, Blkid(image, "UUID"));
    EXPECT_EQ(info.maxComponentLength, 255u);
    EXPECT_TRUE(info.mountPoint.empty());
    DrvVolumeIdentity id;
    ASSERT_TRUE(DrvGetVolumeIdentity(image.c_str(), DISK_ALL_PARTITIONS, &id));
    EXPECT_EQ(id.uuid, info.uuid);
    EXPECT_TRUE(id.partUuid.empty());
  }
  DrvVolumeInformation info;
  ASSERT_EQ(DrvGetVolumeInformation(fat.c_str(), DISK_ALL_PARTITIONS, &info), 2);
  EXPECT_EQ(info.serialNumber, 0x1a2b3c4du);
  EXPECT_EQ(info.uuid, "1A2B-3C4D");
  ASSERT_EQ(DrvGetVolumeInformation(ext4.c_str(), DISK_ALL_PARTITIONS, &info), 2);
  EXPECT_EQ(info.uuid, uuid);

  // Unformatted is told apart from a medium that cannot be read: that is a failure, never a volume.
  const std::string blank = dir / "blank.img";
  MakeImage(blank, 1 << 20);
  EXPECT_EQ(DrvGetVolumeInformation(blank.c_str(), DISK_ALL_PARTITIONS, &info), 1);
  EXPECT_EQ(DrvGetVolumeInformation((dir / "none.img").c_str(), DISK_ALL_PARTITIONS, &info), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  {
    LoopDevice loop(blank);
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    const std::string node = loop.path();
    ASSERT_EQ(DrvGetVolumeInformation(node.c_str(), DISK_ALL_PARTITIONS, &info), 1);
  }

  // Mounted, the system tells what it has: the mount point, the longest name, read-only.
  LoopDevice loop(ext4);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  MountedVolume mounted(loop.path(), dir / "mnt", "ro");
  if (!mounted.ok()) GTEST_SKIP() << mounted.why();
  ASSERT_EQ(DrvGetVolumeInformation(loop.path().c_str(), DISK_ALL_PARTITIONS, &info), 2);
  EXPECT_EQ(info.mountPoint, dir / "mnt");
  EXPECT_EQ(info.fileSystem, "ext4");
  EXPECT_EQ(info.label, "daten");
  EXPECT_EQ(info.uuid, uuid);
  EXPECT_EQ(info.flags & DRV_VOLUME_READ_ONLY, DRV_VOLUME_READ_ONLY);
  EXPECT_GT(info.maxComponentLength, 0u);
}

TEST(RawVolumes, AVolumeIsFoundByItsIdentity) {
  std::string missing;
  if (!HaveTools({"sfdisk", "mkfs.fat", "mkfs.ext4", "blkid"}, &missing)) GTEST_SKIP() << missing;
  TempDir dir("rawvol");
  const std::string image = dir / "disk.img";
  MakeImage(image, 32 << 20);
  const std::string prefix = RandomHex(8);
  const std::string part1 = prefix + "-0000-4000-8000-000000000001", part2 = prefix + "-0000-4000-8000-000000000002";
  Tool("printf 'label: gpt\\nstart=2048, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=" + part1 +
       "\\nstart=20480, size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=" + part2 + "\\n' | sfdisk -q " +
       Quote(image));
  LoopDevice loop(image, 0, true);
  if (!loop.ok()) GTEST_SKIP() << loop.why();
  const std::string fsUuid = RandomHex(8) + "-1111-4000-8000-" + RandomHex(12);
  const std::string volumeId = RandomHex(8);
  Tool("mkfs.ext4 -q -F -U " + fsUuid + " " + Quote(loop.partition(1)));
  Tool("mkfs.fat -i " + volumeId + " " + Quote(loop.partition(2)));
  const std::string fatUuid = Blkid(loop.partition(2), "UUID");
  ASSERT_EQ(fatUuid.size(), 9u);

  // The identity of each partition, through the disk and through the node.
  DrvVolumeIdentity id;
  ASSERT_TRUE(DrvGetVolumeIdentity(image.c_str(), 1, &id));
  EXPECT_EQ(id.uuid, fatUuid);
  EXPECT_EQ(id.partUuid, part2);
  ASSERT_TRUE(DrvGetVolumeIdentity(loop.partition(1).c_str(), DISK_ALL_PARTITIONS, &id));
  EXPECT_EQ(id.uuid, fsUuid);
  EXPECT_EQ(id.partUuid, part1);
  EXPECT_EQ(id.partUuid, Blkid(loop.partition(1), "PART_ENTRY_UUID"));

  std::string device;
  EXPECT_EQ(DrvFindVolume(("UUID=" + fsUuid).c_str(), &device), 1);
  EXPECT_EQ(device, loop.partition(1));
  EXPECT_EQ(DrvFindVolume(fatUuid.c_str(), &device), 1);
  EXPECT_EQ(device, loop.partition(2));
  EXPECT_EQ(DrvFindVolume(("/dev/disk/by-partuuid/" + part2).c_str(), &device), 1);
  EXPECT_EQ(device, loop.partition(2));
  // Wildcards and letters in any case; the first by name.
  std::string upper = prefix;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(DrvFindVolume(("PARTUUID=" + upper + "-0000-4000-8000-00000000000?").c_str(), &device), 2);
  EXPECT_EQ(device, loop.partition(1));
  // A partition's identity is no file system's.
  EXPECT_EQ(DrvFindVolume(("UUID=" + part1).c_str(), &device), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_TRUE(device.empty());
  EXPECT_EQ(DrvFindVolume("PARTUUID=", &device), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The names of /dev/disk attach, with or without the links that udev makes.
  DiskDriveTable table;
  ASSERT_EQ(DiskAttach(table, ("/dev/disk/by-uuid/" + fsUuid).c_str(), DISK_ATTACH_READ_ONLY, nullptr,
                       DISK_ALL_PARTITIONS),
            2)
      << table.message;
  EXPECT_EQ(table.fsType[1], DISK_TYPE_EXT4);
  DiskDriveTable both;
  EXPECT_EQ(DiskAttach(both, ("/dev/disk/by-partuuid/" + prefix + "*").c_str(), DISK_ATTACH_READ_ONLY, nullptr,
                       DISK_ALL_PARTITIONS),
            0);
  EXPECT_NE(both.message.find("bezeichnet 2 Laufwerke"), std::string::npos) << both.message;
}
