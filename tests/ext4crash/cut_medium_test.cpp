// The recording medium itself: prefixes, torn and failing writes, and finding journal blocks in the log.
#include "FileSystem/Volume/drive_table.h"
#include "tests/support/ext4_cut_medium.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fake_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace kpwtest;

// A 1 KiB journal-like block of the type, with the id.
std::vector<u8> JournalBlock(u32 type, u32 id) {
  std::vector<u8> b(1024, 0x5A);
  Ext4SetBe32(&b[0], 0xC03B3998u);
  Ext4SetBe32(&b[4], type);
  Ext4SetBe32(&b[8], id);
  return b;
}

TEST(CutMedium, RecordsAndRebuildsPrefixesTornAndFailedWrites) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("cut-medium", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 4M");
  auto rec = CutRecorder::FromFile(image);
  ASSERT_EQ(rec->BlockSize(), 1024u);

  // Through the drive table: a commit block two blocks into a three-block write, then a sync.
  DiskDriveTable table;
  FakeEngines engines;  // the medium alone: no engine writes in between
  table.engines = &engines;
  ASSERT_EQ(DiskAttachMedium(table, std::make_unique<CutMedium>(rec), "cut", 0, nullptr, DISK_ALL_PARTITIONS), 2)
      << table.message;
  std::vector<u8> run(3072, 0x11);
  const auto commit = JournalBlock(2, 77);
  std::copy(commit.begin(), commit.end(), run.begin() + 2048);
  ASSERT_EQ(DiskWrite(table, 1, run.data(), 2000, 6), DISK_OK);
  ASSERT_EQ(DiskIoctl(table, 1, DISK_IOCTL_SYNC, nullptr), DISK_OK);
  // Through the block device: a journal superblock, then a failing write, then a descriptor.
  CutDevice device(rec);
  Ext4BlockDevice& dev = *device.dev();
  const auto super = JournalBlock(4, 0), descriptor = JournalBlock(1, 78);
  ASSERT_EQ(dev.write(dev, super.data(), 3000, 2), 0);
  rec->failAt = rec->calls;
  EXPECT_EQ(dev.write(dev, descriptor.data(), 3002, 2), EXT4_EIO);
  ASSERT_EQ(dev.write(dev, descriptor.data(), 3004, 2), 0);
  dev.sync(dev);
  DiskDetach(table, 0);

  ASSERT_EQ(rec->writes.size(), 3u);
  EXPECT_EQ(rec->failed, (std::vector<long long>{2}));
  EXPECT_EQ(rec->syncs, (std::vector<std::size_t>{1, 3}));
  EXPECT_EQ(rec->writes[1].syncsBefore, 1u);
  EXPECT_EQ(rec->CommitWrites(), (std::vector<std::size_t>{0}));
  EXPECT_EQ(rec->CommitId(0), 77u);
  EXPECT_EQ(rec->JournalSuperWrites(), (std::vector<std::size_t>{1}));
  EXPECT_EQ(rec->WritesOfJournalType({1}), (std::vector<std::size_t>{2}));

  // Prefixes: nothing, the first write, the first write torn after one sector; the whole log is
  // the image now.
  EXPECT_EQ(rec->Prefix(0), rec->baseline);
  EXPECT_EQ(rec->Prefix(3), rec->image);
  const auto one = rec->Prefix(1), torn = rec->Prefix(1, 1);
  EXPECT_EQ(one[2000 * 512 + 2048], 0xC0);
  EXPECT_EQ(one[3000 * 512], rec->baseline[3000 * 512]);
  EXPECT_EQ(torn[3000 * 512], 0xC0);
  EXPECT_EQ(torn[3000 * 512 + 512], rec->baseline[3000 * 512 + 512]);
  // A write that lost sectors in its middle.
  const auto lost = rec->PrefixLosing(3, 0, 1, 5);
  EXPECT_EQ(lost[2000 * 512], 0x11);
  EXPECT_EQ(lost[2000 * 512 + 512], rec->baseline[2000 * 512 + 512]);
  EXPECT_EQ(lost[2000 * 512 + 2560], 0x5A);
  // Writes after the last sync before the cut arrive in any part; those before it always.
  std::set<bool> seen;
  for (u64 seed = 1; seed <= 16; ++seed) {
    std::size_t epoch = 0;
    const auto part = rec->PrefixShuffled(3, seed, &epoch);
    EXPECT_EQ(epoch, 1u);
    EXPECT_EQ(part[2000 * 512], 0x11);
    seen.insert(part[3004 * 512] == 0xC0);
  }
  EXPECT_EQ(seen.size(), 2u);
  // A saved prefix is the same bytes, holes and all.
  ASSERT_TRUE(rec->SavePrefix(dir / "cut.img", 1, 1));
  const std::string saved = ReadFile(dir / "cut.img");
  EXPECT_TRUE(saved.size() == torn.size() && std::memcmp(saved.data(), torn.data(), torn.size()) == 0);

  // A new session records from the image as it is.
  rec->Rebase();
  EXPECT_TRUE(rec->writes.empty());
  EXPECT_EQ(rec->Prefix(0), rec->image);
}

}  // namespace
