// Damaged ext4 images attached writable through the volume file API: operations fail with errors, nothing is written outside the image.
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/deadline.h"
#include "tests/support/ext4_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

using namespace kpwtest;

// A small image made by mke2fs from a tree, then damaged by the test.
struct Damaged {
  TempDir dir{"e4damage"};
  std::string path = dir.path() + "/v.img";
  Damaged(const std::string& mkfs, const std::string& size) {
    const std::string tree = dir.path() + "/tree";
    std::filesystem::create_directories(tree + "/ordner");
    WriteFile(tree + "/klein.txt", "kopiwart\n");
    WriteFile(tree + "/ordner/mittel.bin", std::string(20000, 'a'));
    Ext4Tool("mke2fs -q -F -b 1024 -N 128 " + mkfs + " -d " + Quote(tree) + " " + Quote(path) + " " + size);
  }
  std::string Debugfs(const std::string& cmd) {
    return Ext4Tool("debugfs -w -R " + Quote(cmd) + " " + Quote(path));
  }
  u64 Number(const std::string& cmd) {
    return std::strtoull(Shell("debugfs -R " + Quote(cmd) + " " + Quote(path) + " 2>/dev/null").c_str(), nullptr, 0);
  }
  void Poke(u64 offset, const std::string& bytes) {
    std::string image = ReadFile(path);
    image.replace(offset, bytes.size(), bytes);
    WriteFile(path, image);
  }
};

constexpr u32 kAttach = DISK_ATTACH_CLEAR | DISK_ATTACH_FIXED_DRIVE;

std::string Be32(u32 v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

TEST(Ext4Damage, JournalLongerThanTheVolumeIsRefused) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Damaged img("-t ext4 -O ^metadata_csum", "2M");
  // The journal inode claims 4 TiB and its superblock a log of nearly 2^32 blocks.
  img.Debugfs("sif <8> size 0x40000000000");
  const u64 jsb = img.Number("bmap <8> 0");
  ASSERT_GT(jsb, 0u);
  img.Poke(jsb * 1024 + 0x10, Be32(0xFFFFFF00));
  DiskDriveTable table;
  if (DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS) > 1) {
    EXPECT_NE(DiskMkdir(table, "/neu"), 0);
  }
  DiskDetach(table, 0);
}

}  // namespace

// Sizes no file of the volume can have: every operation still ends, and in time.
TEST(Ext4Damage, HugeSizesEnd) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  const Deadline deadline("operations on damaged sizes");  // a loop over a damaged size
  for (const char* mkfs : {"-t ext4 -O ^metadata_csum", "-t ext3 -O ^metadata_csum"}) {
    SCOPED_TRACE(mkfs);
    Damaged img(mkfs, "2M");
    // The journal inode's size: the zone of blocks never handed out is built from it.
    img.Debugfs("sif <8> size 0x4000000000000");
    // Files far longer than their blocks: cutting them steps through nothing but holes.
    img.Debugfs("sif klein.txt size 0x4000000000000");
    img.Debugfs("sif ordner/mittel.bin size 0x4000000000000");
    DiskDriveTable table;
    ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
    int err = 0;
    DiskHandle f = DiskFileOpen(table, "/neu.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_TRUE(f);
    EXPECT_EQ(DiskFileWrite(table, f, "abc", 3), 3);
    DiskFileClose(table, f);
    f = DiskFileOpen(table, "/klein.txt", DISK_OPEN_WRITE, &err);
    ASSERT_TRUE(f);
    DiskFileSeek(table, f, 0, 2);
    EXPECT_LT(DiskFileWrite(table, f, "abc", 3), 0);  // past what the file can map
    EXPECT_EQ(DiskSetFileSize(table, f, 100), 0);
    DiskFileClose(table, f);
    EXPECT_EQ(DiskDelete(table, "/ordner/mittel.bin"), 0);
    EXPECT_EQ(DiskDetach(table, 0), 1);
  }
}

// A descriptor whose bitmap or inode table lies on other metadata: the volume is only read.
TEST(Ext4Damage, OverlappingGroupMetadataIsOnlyRead) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (const char* damage : {"set_bg 1 inode_bitmap 1", "set_bg 1 block_bitmap 2", "set_bg 0 inode_table 3"}) {
    SCOPED_TRACE(damage);
    Damaged img("-t ext4 -g 1024", "2M");
    img.Debugfs(damage);
    const std::string before = ReadFile(img.path);
    DiskDriveTable table;
    ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
    for (int i = 0; i < 20; ++i) EXPECT_NE(DiskMkdir(table, ("/neu" + std::to_string(i)).c_str()), 0);
    EXPECT_NE(table.note[1].find("Gruppendeskriptoren"), std::string::npos) << table.note[1];
    DiskDetach(table, 0);
    EXPECT_TRUE(ReadFile(img.path) == before);
  }
}

// Names that lead to the volume's reserved inodes (journal, resize, boot loader): removing them
// fails and frees nothing.
TEST(Ext4Damage, ReservedInodesAreNeverFreed) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Damaged img("-t ext4", "2M");
  for (const char* ino : {"1", "5", "7", "8"}) img.Debugfs(std::string("link <") + ino + "> /r" + ino);
  DiskDriveTable table;
  ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
  for (const char* ino : {"1", "5", "7", "8"}) EXPECT_NE(DiskDelete(table, (std::string("/r") + ino).c_str()), 0) << ino;
  DiskDetach(table, 0);
  const std::string fsck = Shell("e2fsck -fn " + Quote(img.path) + " 2>&1");
  EXPECT_EQ(fsck.find("bitmap differences"), std::string::npos) << fsck;
  EXPECT_NE(img.Debugfs("stats").find("with errors"), std::string::npos);
}

// A file whose mapping names the inode table or a descriptor block: writing it is refused (and the
// volume then refuses all work) and those blocks keep their bytes.
TEST(Ext4Damage, FileDataNeverLandsOnMetadata) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (const bool ext3 : {false, true}) {
    for (const bool direct : {true, false}) {
      SCOPED_TRACE(std::string(ext3 ? "ext3" : "ext4") + (direct ? " data block" : " mapping block"));
      Damaged img(ext3 ? "-t ext3" : "-t ext4 -O ^metadata_csum", "2M");
      const std::string imap = img.Debugfs("imap <2>");
      const u64 table = std::strtoull(imap.c_str() + imap.find("located at block ") + 17, nullptr, 10);
      ASSERT_GT(table, 2u);
      // In an extent inode, block[5] is the first extent's start; block[IND] names the indirect block.
      const std::string file = direct ? "klein.txt" : "ordner/mittel.bin";
      img.Debugfs("sif " + file + (ext3 ? (direct ? " block[0] " : " block[IND] ") : " block[5] ") +
                  (direct ? std::to_string(table) : "2"));
      if (ext3 && !direct) img.Debugfs("sif " + file + " size 130000");
      const std::string before = ReadFile(img.path);
      DiskDriveTable drives;
      ASSERT_GT(DiskAttach(drives, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
      int err = 0;
      const DiskHandle f = DiskFileOpen(drives, ("/" + file).c_str(), DISK_OPEN_WRITE, &err);
      ASSERT_TRUE(f);
      // Block-mapped: far into the pointer block, where it holds no pointer, a hole that must not be
      // filled in there.
      if (ext3 && !direct) {
        ASSERT_EQ(DiskFileSeek(drives, f, 112 * 1024, 0), 112 * 1024);
      }
      const std::string data(15000, 'x');
      const int size = ext3 && !direct ? 1024 : 15000;
      EXPECT_LT(DiskFileWrite(drives, f, data.data(), size), 0);
      DiskFileClose(drives, f);
      DiskDetach(drives, 0);
      const std::string after = ReadFile(img.path);
      EXPECT_TRUE(after.substr(2048, 1024) == before.substr(2048, 1024));
      EXPECT_TRUE(after.substr(table * 1024, 1024) == before.substr(table * 1024, 1024));
      EXPECT_NE(img.Debugfs("stats").find("with errors"), std::string::npos);
    }
  }
}

// A journal superblock that does not fit the volume or itself: nothing is written through it.
TEST(Ext4Damage, UnsoundJournalSuperblocksAreNotWritten) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  // Field offset and value: block size, first log block 0, first past the end, log longer than the
  // journal file; the checksum type of a v3 journal (whose checksum then fails too).
  const std::pair<u32, u32> fields[] = {{0x0C, 4096}, {0x14, 0}, {0x14, 1024}, {0x10, 1025}, {0x50, 1}};
  for (const auto& [field, value] : fields) {
    SCOPED_TRACE(field);
    Damaged img(field == 0x50 ? "-t ext4" : "-t ext4 -O ^metadata_csum", "2M");
    const u64 jsb = img.Number("bmap <8> 0");
    ASSERT_GT(jsb, 0u);
    if (field == 0x50) {
      // debugfs opens and closes the journal once, which gives it version 3 checksums.
      Shell("printf 'jo -c\\njc\\n' | debugfs -w -f - " + Quote(img.path) + " >/dev/null 2>&1");
      ASSERT_NE(Shell("dumpe2fs -h " + Quote(img.path) + " 2>/dev/null").find("journal_checksum_v3"), std::string::npos);
      img.Poke(jsb * 1024 + field, std::string(1, static_cast<char>(value)));
    } else {
      img.Poke(jsb * 1024 + field, Be32(value));
    }
    const std::string log = ReadFile(img.path).substr(jsb * 1024, 1024 * 1024);
    DiskDriveTable table;
    if (DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS) > 1) {
      EXPECT_NE(DiskMkdir(table, "/neu"), 0);
    }
    DiskDetach(table, 0);
    EXPECT_TRUE(ReadFile(img.path).substr(jsb * 1024, 1024 * 1024) == log);
  }
}

// An inode that fails its checksum is not changed (which would stamp a fresh checksum over the
// damage); the volume is marked.
TEST(Ext4Damage, InodesFailingTheirChecksumAreNotRestamped) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Damaged img("-t ext4", "2M");
  const std::string imap = img.Debugfs("imap klein.txt");
  const std::size_t at = imap.find("located at block ");
  ASSERT_NE(at, std::string::npos) << imap;
  char* rest = nullptr;
  const u64 block = std::strtoull(imap.c_str() + at + 17, &rest, 10);
  const u64 inode = block * 1024 + std::strtoull(std::strstr(rest, "offset ") + 7, nullptr, 16);
  // A byte of the modification time, flipped.
  img.Poke(inode + 0x10, std::string(1, static_cast<char>(ReadFile(img.path)[inode + 0x10] ^ 0xFF)));
  const std::string before = ReadFile(img.path).substr(inode, 256);
  DiskDriveTable table;
  ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
  int err = 0;
  const DiskHandle f = DiskFileOpen(table, "/klein.txt", DISK_OPEN_WRITE, &err);
  if (f) {
    DiskFileSeek(table, f, 0, 2);
    EXPECT_LT(DiskFileWrite(table, f, "mehr", 4), 0);
    DiskFileClose(table, f);
  }
  DiskDetach(table, 0);
  EXPECT_TRUE(ReadFile(img.path).substr(inode, 256) == before);
  EXPECT_NE(img.Debugfs("stats").find("with errors"), std::string::npos);
}

namespace {

// The first number after a label of group 0 in what dumpe2fs lists ("  Free blocks: ").
u64 GroupZero(const std::string& image, const std::string& label) {
  const std::string dump = Shell("dumpe2fs " + Quote(image) + " 2>/dev/null");
  const std::size_t at = dump.find(label);
  return at == std::string::npos ? 0 : std::strtoull(dump.c_str() + at + label.size(), nullptr, 10);
}

}  // namespace

// Blocks the bad-block inode lists are never allocated, even where a damaged bitmap marks them
// free: the write fails as damage, and those blocks keep their bytes.
TEST(Ext4Damage, ListedBadBlocksAreNeverAllocated) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  TempDir lists("e4badlist");
  u64 first = 0;
  {
    Damaged probe("-t ext4", "2M");
    first = GroupZero(probe.path, "  Free blocks: ");
  }
  ASSERT_GT(first, 0u);
  std::string listed;
  for (u64 b = first; b < first + 40; ++b) listed += std::to_string(b) + "\n";
  WriteFile(lists.path() + "/bad", listed);
  Damaged img("-t ext4 -l " + Quote(lists.path() + "/bad"), "2M");
  ASSERT_NE(img.Debugfs("stat <1>").find(std::to_string(first)), std::string::npos);
  // The bitmap damaged: the listed blocks marked free.
  img.Debugfs("freeb " + std::to_string(first) + " 40");
  img.Poke(first * 1024, std::string(40 * 1024, 'B'));
  const std::string before = ReadFile(img.path).substr(first * 1024, 40 * 1024);
  DiskDriveTable table;
  ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
  int err = 0;
  const DiskHandle f = DiskFileOpen(table, "/neu.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
  if (f) {
    const std::string data(60000, 'x');
    DiskFileWrite(table, f, data.data(), static_cast<int>(data.size()));
    DiskFileClose(table, f);
  }
  DiskDetach(table, 0);
  EXPECT_TRUE(ReadFile(img.path).substr(first * 1024, 40 * 1024) == before);
  const std::string owners = Shell("debugfs -R " + Quote("icheck " + std::to_string(first) + " " +
                                                           std::to_string(first + 39)) + " " + Quote(img.path) +
                                   " 2>/dev/null");
  EXPECT_EQ(owners.find("\t12\n"), std::string::npos) << owners;
}

// Group metadata on blocks the bad-block inode lists, or a list that cannot be read: the volume
// is only read.
TEST(Ext4Damage, MetadataOnListedBadBlocksIsOnlyRead) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (const char* damage : {"Block bitmap at ", "Inode table at ", ""}) {
    SCOPED_TRACE(damage);
    Damaged img("-t ext4 -O ^flex_bg", "2M");
    if (*damage) {
      const u64 block = GroupZero(img.path, damage) + (std::string(damage).find("table") != std::string::npos);
      ASSERT_GT(block, 2u);
      img.Debugfs("sif <1> block[1] " + std::to_string(block));
      img.Debugfs("sif <1> size 2048");
    } else {
      // A pointer block outside the volume.
      img.Debugfs("sif <1> block[IND] 5000000");
      img.Debugfs("sif <1> size 20480");
    }
    const std::string before = ReadFile(img.path);
    DiskDriveTable drives;
    ASSERT_GT(DiskAttach(drives, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
    EXPECT_NE(DiskMkdir(drives, "/neu"), 0);
    EXPECT_NE(drives.note[1].find("defekt"), std::string::npos) << drives.note[1];
    DiskDetach(drives, 0);
    EXPECT_TRUE(ReadFile(img.path) == before);
  }
}

// A volume marked as having errors is written, with a warning in the drive's note.
TEST(Ext4Damage, AVolumeMarkedWithErrorsIsWrittenWithAWarning) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Damaged img("-t ext4", "2M");
  img.Debugfs("ssv state 3");
  DiskDriveTable table;
  ASSERT_GT(DiskAttach(table, img.path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
  EXPECT_NE(table.note[1].find("fehlerhaft markiert"), std::string::npos) << table.note[1];
  EXPECT_EQ(DiskMkdir(table, "/neu"), 0);
  DiskDetach(table, 0);
  EXPECT_EQ(E2fsckProblems(img.path), "");
  EXPECT_NE(img.Debugfs("stats").find("with errors"), std::string::npos);  // e2fsck alone clears the mark
}
