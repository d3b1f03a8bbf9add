// Partition tables made by sfdisk, parted and sgdisk, whole volumes, crafted and cut tables, Partitions.txt.
#include "FileSystem/Media/partitions.h"
#include "FileSystem/Volume/drive_table.h"
#include "platform/last_error.h"
#include "tests/disks/disk_images.h"
#include "tests/support/fake_medium.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace kpwtest;

namespace {

bool AcceptedType(const std::string& type) {
  static const std::vector<std::string> mbr = {"1", "4", "6", "7", "b", "c", "e", "11", "14", "16", "1b", "1c", "1e", "83"};
  static const std::vector<std::string> gpt = {"EBD0A0A2", "0FC63DAF", "44479540", "4F68BCE3", "B921B045", "3B8F8425"};
  if (type.size() > 8) return std::find(gpt.begin(), gpt.end(), type.substr(0, 8)) != gpt.end();
  return std::find(mbr.begin(), mbr.end(), type) != mbr.end();
}

// The partitions of accepted types that sfdisk reads.
std::vector<PartitionSpan> SfdiskAccepted(const std::string& image) {
  std::vector<PartitionSpan> parts;
  for (const auto& [span, type] : SfdiskPartitions(image))
    if (AcceptedType(type)) parts.push_back(span);
  std::sort(parts.begin(), parts.end());
  return parts;
}

// Attaches an image read-only: the partitions registered, empty when the attach fails.
std::vector<PartitionSpan> Scan(const std::string& image, u32 selector = DISK_ALL_PARTITIONS) {
  DiskDriveTable table;
  if (!DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, selector)) return {};
  return TablePartitions(table);
}

bool Have(const char* tool) { return HaveTool(tool); }

std::shared_ptr<FakeMediumState> Medium(CraftedImage& image) {
  auto state = std::make_shared<FakeMediumState>();
  state->byteSize = image.bytes().size();
  state->Put(0, image.bytes().data(), image.bytes().size());
  return state;
}

std::vector<PartitionSpan> ScanFake(CraftedImage& image, u32 selector = DISK_ALL_PARTITIONS,
                                    std::shared_ptr<FakeMediumState>* keep = nullptr) {
  auto state = Medium(image);
  if (keep) *keep = state;
  DiskDriveTable table;
  if (!DiskAttachMedium(table, std::make_unique<FakeMedium>(state, false), "crafted", DISK_ATTACH_READ_ONLY, nullptr,
                        selector))
    return {};
  return TablePartitions(table);
}

}  // namespace

TEST(PartitionTables, SfdiskMbrWithSeveralLogicalPartitions) {
  if (!Have("sfdisk") || !Have("mmls")) GTEST_SKIP() << "sfdisk or mmls is not installed";
  TempDir dir("parts");
  const std::string image = dir / "mbr.img";
  MakeImage(image, 64 << 20);
  Tool("printf 'label: dos\\nstart=2048, size=8192, type=c\\nstart=10240, type=5\\nsize=4096, type=83\\n"
       "size=4096, type=7\\nsize=4096, type=c\\nsize=4096, type=83\\nsize=4096, type=b\\n' | sfdisk -q " +
       Quote(image));
  const auto ours = Scan(image);
  EXPECT_EQ(ours.size(), 6u);
  EXPECT_EQ(ours, SfdiskAccepted(image));
  EXPECT_EQ(ours, MmlsPartitions(image));
  // Four ordinals to each table sector: the primary table, then the chain in the order read.
  const std::vector<std::pair<u32, u64>> ordinals = {{0, 2048}, {4, 12288}, {8, 18432}, {12, 24576},
                                                     {16, 30720}, {20, 36864}};
  for (const auto& [ordinal, start] : ordinals) {
    const auto one = Scan(image, ordinal);
    ASSERT_EQ(one.size(), 1u) << ordinal;
    EXPECT_EQ(one[0].start, start) << ordinal;
  }
  EXPECT_TRUE(Scan(image, 1).empty());  // the extended partition itself
  EXPECT_TRUE(Scan(image, 5).empty());  // a link of the chain
}

TEST(PartitionTables, PartedMbrWithLogicalPartitions) {
  if (!Have("parted") || !Have("mmls") || !Have("sfdisk")) GTEST_SKIP() << "parted, sfdisk or mmls is not installed";
  TempDir dir("parts");
  const std::string image = dir / "parted.img";
  MakeImage(image, 64 << 20);
  // parted puts each extended boot record well before its partition.
  Tool("parted -s " + Quote(image) +
       " mklabel msdos mkpart primary fat32 1MiB 5MiB mkpart extended 5MiB 60MiB"
       " mkpart logical ext4 6MiB 10MiB mkpart logical fat32 11MiB 15MiB mkpart logical ext4 16MiB 20MiB"
       " mkpart logical ext4 21MiB 30MiB 2>&1 | grep -v udevadm; true");
  const auto ours = Scan(image);
  EXPECT_EQ(ours.size(), 5u);
  EXPECT_EQ(ours, SfdiskAccepted(image));
  EXPECT_EQ(ours, MmlsPartitions(image));
  std::vector<PartitionSpan> printed;
  std::istringstream lines(Tool("parted -m -s " + Quote(image) + " unit s print"));
  std::string line;
  while (std::getline(lines, line)) {
    unsigned number = 0;
    unsigned long long start = 0, end = 0, size = 0;
    if (std::sscanf(line.c_str(), "%u:%llus:%llus:%llus", &number, &start, &end, &size) == 4 && number != 2)
      printed.push_back({start, size});
  }
  std::sort(printed.begin(), printed.end());
  EXPECT_EQ(ours, printed);
}

TEST(PartitionTables, SgdiskGpt) {
  if (!Have("sgdisk") || !Have("mmls") || !Have("sfdisk")) GTEST_SKIP() << "sgdisk, sfdisk or mmls is not installed";
  TempDir dir("parts");
  const std::string image = dir / "gpt.img";
  MakeImage(image, 32 << 20);
  // Basic data, Linux data, an EFI system partition (not taken) and a Linux root.
  Tool("sgdisk -o -n 1:2048:+4M -t 1:0700 -n 2:0:+4M -t 2:8300 -n 3:0:+2M -t 3:ef00 -n 4:0:+2M -t 4:8304 " +
       Quote(image));
  const auto ours = Scan(image);
  EXPECT_EQ(ours, SfdiskAccepted(image));
  EXPECT_EQ(ours, (std::vector<PartitionSpan>{{2048, 8192}, {10240, 8192}, {22528, 4096}}));
  const auto all = MmlsPartitions(image);
  for (const auto& p : ours) EXPECT_NE(std::find(all.begin(), all.end(), p), all.end()) << p;
  // Ordinals are entry indexes.
  EXPECT_EQ(Scan(image, 1), (std::vector<PartitionSpan>{{10240, 8192}}));
  EXPECT_EQ(Scan(image, 3), (std::vector<PartitionSpan>{{22528, 4096}}));
  EXPECT_TRUE(Scan(image, 2).empty());

  // Only types that are not taken: the protective MBR alone is no partition either.
  Tool("printf 'label: gpt\\nsize=4M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
       "size=4M, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F\\n' | sfdisk -q " + Quote(image));
  DiskDriveTable table;
  EXPECT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
}

TEST(PartitionTables, WholeVolumesWithoutATable) {
  struct Volume {
    const char* tool;
    std::string command;
    u8 type;
  };
  TempDir dir("parts");
  const std::string image = dir / "volume.img";
  const std::vector<Volume> volumes = {
      {"mkfs.fat", "mkfs.fat -C " + Quote(image) + " 8192", DISK_TYPE_FAT},
      {"mkfs.fat", "mkfs.fat -F 32 -C " + Quote(image) + " 40000", DISK_TYPE_FAT},
      {"mkfs.exfat", "truncate -s 8M " + Quote(image) + " && mkfs.exfat " + Quote(image), DISK_TYPE_EXFAT},
      {"mkfs.ext4", "truncate -s 8M " + Quote(image) + " && mkfs.ext4 -q -F " + Quote(image), DISK_TYPE_EXT4},
  };
  for (const auto& v : volumes) {
    SCOPED_TRACE(v.command);
    if (!Have(v.tool)) GTEST_SKIP() << v.tool << " is not installed";
    std::remove(image.c_str());
    Tool(v.command);
    FakeEngines engines;
    DiskDriveTable table;
    table.engines = &engines;
    for (u32 selector : {DISK_ALL_PARTITIONS, 0u}) {
      ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY | DISK_ATTACH_CLEAR, nullptr, selector), 2);
      EXPECT_EQ(table.fsType[1], v.type);
      EXPECT_EQ(table.startSector[1], 0u);
      EXPECT_EQ(table.sectorCount[1], table.sectorCount[0]);
      EXPECT_EQ(engines.log->mounted.back(), 1);
    }
  }
}

TEST(PartitionTables, ChainsThatLoopOrRunLongStop) {
  // A chain whose second table links to itself: each partition once.
  CraftedImage loop(64);
  loop.MbrEntry(0, 0, 0x05, 8, 40);
  loop.MbrEntry(8, 0, 0x83, 2, 4);
  loop.MbrEntry(8, 1, 0x05, 8, 8);    // the table at 16
  loop.MbrEntry(16, 0, 0x83, 2, 4);
  loop.MbrEntry(16, 1, 0x05, 8, 8);   // 8 + 8 = 16 again
  EXPECT_EQ(ScanFake(loop), (std::vector<PartitionSpan>{{10, 4}, {18, 4}}));

  // Forty tables in a chain: only the partitions of the first 32 tables read are seen.
  CraftedImage chain(8 + 4 * 40 + 8);
  chain.MbrEntry(0, 0, 0x0F, 8, 4 * 40);
  for (u32 k = 0; k < 40; ++k) {
    chain.MbrEntry(8 + 4 * k, 0, 0x83, 2, 2);
    if (k + 1 < 40) chain.MbrEntry(8 + 4 * k, 1, 0x05, 4 * (k + 1), 4);
  }
  EXPECT_EQ(ScanFake(chain, 4 * 31), (std::vector<PartitionSpan>{{8 + 4 * 30 + 2, 2}}));
  EXPECT_TRUE(ScanFake(chain, 4 * 32).empty());
  EXPECT_EQ(ScanFake(chain).size(), 7u);  // a full table

  // Selector 5, the second entry of the first logical table: that partition alone, and the
  // scan ends there.
  CraftedImage second(64);
  second.MbrEntry(0, 0, 0x0C, 56, 8);
  second.MbrEntry(0, 1, 0x05, 8, 40);
  second.MbrEntry(8, 0, 0x0C, 2, 4);
  second.MbrEntry(8, 1, 0x83, 8, 4);
  second.MbrEntry(8, 2, 0x05, 24, 8);
  second.MbrEntry(32, 0, 0x83, 2, 4);
  std::shared_ptr<FakeMediumState> state;
  EXPECT_EQ(ScanFake(second, 5, &state), (std::vector<PartitionSpan>{{16, 4}}));
  for (const auto& [sector, count] : state->readLog) EXPECT_NE(sector, 32u);
  EXPECT_EQ(ScanFake(second, 8), (std::vector<PartitionSpan>{{34, 4}}));
  EXPECT_EQ(ScanFake(second).size(), 4u);

  // A link that a tool wrote relative to its own table is still followed.
  CraftedImage relative(64);
  relative.MbrEntry(0, 0, 0x05, 8, 48);
  relative.MbrEntry(8, 0, 0x83, 2, 4);
  relative.MbrEntry(8, 1, 0x05, 8, 8);    // 16 by either reading
  relative.MbrEntry(16, 0, 0x83, 2, 4);
  relative.MbrEntry(16, 1, 0x05, 16, 8);  // meant as 16 + 16; by the rule 8 + 16 = 24 holds no table
  relative.MbrEntry(32, 0, 0x83, 2, 4);
  EXPECT_EQ(ScanFake(relative), (std::vector<PartitionSpan>{{10, 4}, {18, 4}, {34, 4}}));
}

TEST(PartitionTables, CraftedAndCutGpt) {
  // Four billion entries claimed: bounded by what the disk holds, and done quickly.
  CraftedImage many(64);
  many.GptHeader(2, 0xFFFFFFFF, 128);
  many.GptEntry(2, 128, 0, 0xEBD0A0A2, 40, 47);
  many.GptEntry(2, 128, 247, 0x0FC63DAF, 48, 55);  // in the last sector of the disk
  std::shared_ptr<FakeMediumState> state;
  EXPECT_EQ(ScanFake(many, DISK_ALL_PARTITIONS, &state), (std::vector<PartitionSpan>{{40, 8}, {48, 8}}));
  EXPECT_LT(state->reads, 80);

  // Entries of 256 bytes are stepped by 256.
  CraftedImage wide(64);
  wide.GptHeader(2, 128, 256);
  wide.GptEntry(2, 256, 0, 0xEBD0A0A2, 34, 39);
  wide.GptEntry(2, 256, 1, 0x0FC63DAF, 40, 47);
  wide.GptEntry(2, 256, 3, 0x44479540, 48, 49);
  EXPECT_EQ(ScanFake(wide), (std::vector<PartitionSpan>{{34, 6}, {40, 8}, {48, 2}}));
  EXPECT_EQ(ScanFake(wide, 3), (std::vector<PartitionSpan>{{48, 2}}));

  // An entry size that is no such step, an array past the end, a header past the end: no GPT.
  for (const auto& [size, start] : std::vector<std::pair<u32, u64>>{{100, 2}, {0, 2}, {128, 64}, {128, 0}}) {
    CraftedImage bad(64);
    bad.GptHeader(start, 4, size);
    bad.GptEntry(2, 128, 0, 0xEBD0A0A2, 34, 39);
    EXPECT_TRUE(ScanFake(bad).empty()) << size << " " << start;
  }
  CraftedImage away(64);
  away.GptHeader(2, 4, 128);
  away.Put32(446 + 8, 1000);
  EXPECT_TRUE(ScanFake(away).empty());

  // Entries reaching the end, or empty, or inverted, are passed over.
  CraftedImage edges(64);
  edges.GptHeader(2, 8, 128);
  edges.GptEntry(2, 128, 0, 0xEBD0A0A2, 40, 64);
  edges.GptEntry(2, 128, 1, 0xEBD0A0A2, 50, 40);
  edges.GptEntry(2, 128, 2, 0xEBD0A0A2, 50, 50);
  edges.GptEntry(2, 128, 3, 0xEBD0A0A2, 40, 63);
  EXPECT_EQ(ScanFake(edges), (std::vector<PartitionSpan>{{40, 24}}));

  // The image ends inside the entry array: what was read counts, nothing past the end.
  TempDir dir("parts");
  CraftedImage cut(64);
  cut.GptHeader(2, 128, 128);
  cut.GptEntry(2, 128, 0, 0xEBD0A0A2, 12, 15);
  cut.GptEntry(2, 128, 70, 0xEBD0A0A2, 16, 19);
  cut.GptEntry(2, 128, 100, 0xEBD0A0A2, 30, 39);
  WriteFile(dir / "cut.img", cut.bytes().substr(0, 20 * 512 + 100));
  EXPECT_EQ(Scan(dir / "cut.img"), (std::vector<PartitionSpan>{{12, 4}, {16, 4}}));
}

TEST(PartitionTables, CraftedAndCutMbr) {
  TempDir dir("parts");
  // The image ends inside the chain: the partitions before the cut count.
  CraftedImage chain(64);
  chain.MbrEntry(0, 0, 0x0C, 2, 4);
  chain.MbrEntry(0, 1, 0x05, 8, 56);
  chain.MbrEntry(8, 0, 0x83, 2, 4);
  chain.MbrEntry(8, 1, 0x05, 30, 8);
  chain.MbrEntry(38, 0, 0x83, 2, 4);
  WriteFile(dir / "cut.img", chain.bytes().substr(0, 20 * 512));
  EXPECT_EQ(Scan(dir / "cut.img"), (std::vector<PartitionSpan>{{2, 4}, {10, 4}}));
  WriteFile(dir / "whole.img", chain.bytes());
  EXPECT_EQ(Scan(dir / "whole.img"), (std::vector<PartitionSpan>{{2, 4}, {10, 4}, {40, 4}}));

  // Overlapping entries: the first one found keeps its sectors.
  CraftedImage overlap(64);
  overlap.MbrEntry(0, 0, 0x0C, 8, 16);
  overlap.MbrEntry(0, 1, 0x83, 20, 8);
  overlap.MbrEntry(0, 2, 0x83, 24, 8);
  overlap.MbrEntry(0, 3, 0x07, 0, 8);  // starts at 0: no partition
  EXPECT_EQ(ScanFake(overlap), (std::vector<PartitionSpan>{{8, 16}, {24, 8}}));

  // Entries of unknown types, counts of zero or all ones, starts past the end.
  CraftedImage odd(64);
  odd.MbrEntry(0, 0, 0x42, 8, 8);
  odd.MbrEntry(0, 1, 0x83, 16, 0xFFFFFFFF);
  odd.MbrEntry(0, 2, 0x83, 64, 8);
  odd.MbrEntry(0, 3, 0x83, 16, 0);
  EXPECT_TRUE(ScanFake(odd).empty());
}

TEST(PartitionsFile, KeysSectionsAndLongLines) {
  TempDir dir("parts");
  const std::string path = dir / "Partitions.txt";
  DiskPartitionRecord record;
  record.drives = 9;
  EXPECT_EQ(DiskReadPartitionsFile((dir / "none.txt").c_str(), record), -2);
  EXPECT_EQ(record.drives, 0u);
  EXPECT_EQ(DiskReadPartitionsFile("", record), -1);
  EXPECT_EQ(DiskReadPartitionsFile(nullptr, record), -1);

  const std::string longLine = "SIZE=7" + std::string(340, ' ') + "SECT=99\n";  // 354 bytes: the rest is no line
  WriteFile(path, "SECT=1\n"  // before any section: nothing
                  "[DRIVES]\nDISK=0x1F\n"
                  "  [PARTITION0]\r\n"
                  "\tSECT\t = \t2048\r\n"
                  "SIZE=0x100000\n"
                  "SHOW=446\n"
                  "SHOW 462\n"  // no "=": ignored
                  "[PARTITION1]\n"
                  "SHOW=0X1ce\n"
                  "[OTHER]\nSECT=5\n"  // the section stays
                  "[PARTITION2]\n" +
                      longLine +
                  "[PARTITION4]\nSECT=77\n"
                  "[PARTITION3]\nSECT=12abc\nSIZE=18446744073709551615\n");
  ASSERT_EQ(DiskReadPartitionsFile(path.c_str(), record), 0);
  EXPECT_EQ(record.drives, 0x1Fu);
  EXPECT_EQ(record.start[0], 2048u);
  EXPECT_EQ(record.size[0], 0x100000u);
  EXPECT_EQ(record.show[0], 446u);
  EXPECT_EQ(record.start[1], 5u);
  EXPECT_EQ(record.show[1], 462u);
  EXPECT_EQ(record.size[2], 7u);
  EXPECT_EQ(record.start[2], 0u);
  EXPECT_EQ(record.start[3], 12u);
  EXPECT_EQ(record.size[3], ~u64{0});
}

TEST(PartitionsFile, DescriptionsFillEmptyEntries) {
  TempDir dir("parts");
  const std::string image = dir / "disk.img";
  CraftedImage mbr(1);
  mbr.MbrEntry(0, 2, 0x83, 4, 4);
  WriteFile(image, mbr.bytes());
  ASSERT_EQ(::truncate(image.c_str(), (2048 + 0x100000 + 64) * u64{512}), 0);

  DiskDriveTable table;
  ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  WriteFile(dir / "Partitions.txt", "[PARTITION0]\nSECT=2048\nSIZE=0x100000\nSHOW=446\n");
  DiskPartitionRecord record;
  ASSERT_EQ(DiskReadPartitionsFile((dir / "Partitions.txt").c_str(), record), 0);
  EXPECT_EQ(DiskScanPartitions(table, 0, DISK_ALL_PARTITIONS, false, record), 1);
  const int d = DriveAt(table, 2048);
  ASSERT_GE(d, 0);
  EXPECT_EQ(table.sectorCount[d], 0x100000u);  // 512 MiB
  EXPECT_EQ(table.described[d], 1);

  // SHOW for the second entry fills that one only.
  DiskDriveTable second;
  ASSERT_EQ(DiskAttach(second, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
  record.show[0] = 462;
  EXPECT_EQ(DiskScanPartitions(second, 0, 0, false, record), 0);
  EXPECT_EQ(DiskScanPartitions(second, 0, 1, false, record), 1);
  EXPECT_GE(DriveAt(second, 2048), 0);
  // A description over a used entry does nothing.
  record.show[0] = 478;
  EXPECT_EQ(DiskScanPartitions(second, 0, DISK_ALL_PARTITIONS, false, record), 0);

  // In a GPT an empty entry is filled by its byte position.
  CraftedImage gpt(64);
  gpt.GptHeader(2, 8, 128);
  gpt.GptEntry(2, 128, 0, 0x0FC63DAF, 40, 47);
  auto state = std::make_shared<FakeMediumState>();
  state->byteSize = gpt.bytes().size();
  state->Put(0, gpt.bytes().data(), gpt.bytes().size());
  DiskDriveTable third;
  ASSERT_EQ(DiskAttachMedium(third, std::make_unique<FakeMedium>(state, false), "gpt", DISK_ATTACH_READ_ONLY, nullptr,
                             DISK_ALL_PARTITIONS),
            2);
  DiskPartitionRecord gptRecord;
  gptRecord.start[2] = 20;
  gptRecord.size[2] = 10;
  gptRecord.show[2] = 2 * 512 + 3 * 128;
  gptRecord.start[3] = 4;
  gptRecord.size[3] = ~u64{0};
  gptRecord.show[3] = 2 * 512 + 4 * 128;
  EXPECT_EQ(DiskScanPartitions(third, 0, DISK_ALL_PARTITIONS, false, gptRecord), 1);
  const int g = DriveAt(third, 20);
  ASSERT_GE(g, 0);
  EXPECT_EQ(third.sectorCount[g], 10u);
  EXPECT_EQ(third.described[g], 1);
}

// The fuzz target's seeds (small images made by the tools), whole and cut at every length that
// ends a sector or falls inside one.
TEST(PartitionTables, SmallImagesAndEveryCutOfThem) {
  const std::string data = KPW_TEST_DATA;
  struct Seed {
    const char* name;
    std::vector<PartitionSpan> parts;
  };
  const std::vector<Seed> seeds = {
      {"mbr_logical.img", {{4, 4}, {10, 4}, {16, 4}, {22, 4}}},
      {"gpt.img", {{34, 8}, {42, 8}}},
      {"fat_volume.img", {{0, 8}}},
      {"ext4_volume.img", {{0, 8}}},
      {"exfat_volume.img", {{0, 8}}},
  };
  for (const auto& seed : seeds) {
    SCOPED_TRACE(seed.name);
    const std::string bytes = ReadFile(data + "/" + seed.name);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(Scan(data + "/" + seed.name), seed.parts);
    for (std::size_t cut = 0; cut < bytes.size(); cut += cut < 4096 ? 100 : 512) {
      CraftedImage image(0);
      image.bytes() = bytes.substr(0, cut);
      for (const auto& p : ScanFake(image)) EXPECT_LE(p.start + p.count, cut / 512);
    }
  }
}
