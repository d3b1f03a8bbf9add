// Journal recovery against e2fsck's own replay: logs that debugfs writes in every tag format, and the journals of e2fsprogs' tests.
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_ext4.h"
#include "tests/support/corpus.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

std::string CorpusFolder() { return kpwtest::CorpusFolder("ext4"); }

// Recovers the image through the drive table's writable attach: the drive's type and note.
std::pair<int, std::string> RecoverHere(const std::string& image) {
  DiskDriveTable table;
  const int drives = DiskAttach(table, image.c_str(), 0, nullptr, DISK_ALL_PARTITIONS);
  if (drives != 2) return {-1, table.message};
  std::pair<int, std::string> out{table.fsType[1], table.note[1]};
  DiskDetach(table, 0);
  return out;
}

std::set<u64> JournalBlocks(const std::string& image) {
  std::set<u64> blocks;
  std::istringstream in(Shell("debugfs -R 'blocks <8>' " + Quote(image) + " 2>/dev/null"));
  for (u64 b; in >> b;) blocks.insert(b);
  return blocks;
}

u32 BlockSize(const std::string& image) {
  const std::string sb = ReadFile(image).substr(1024, 1024);
  return 1024u << static_cast<u8>(sb[0x18]);
}

// The blocks in which two images differ, leaving out the primary superblock's bytes and the journal.
std::vector<u64> Differences(const std::string& a, const std::string& b, const std::set<u64>& journal) {
  const std::string x = ReadFile(a), y = ReadFile(b);
  std::vector<u64> diff;
  if (x.size() != y.size()) return {~u64{0}};
  const u32 bs = BlockSize(a);
  for (u64 block = 0; block * bs < x.size(); ++block) {
    if (journal.count(block)) continue;
    const u64 at = block * bs, end = std::min<u64>(at + bs, x.size());
    // Whole blocks at once; the primary superblock's bytes alone are left out.
    auto same = [&](u64 from, u64 to) { return from >= to || std::memcmp(x.data() + from, y.data() + from, to - from) == 0; };
    const bool equal = same(at, std::min<u64>(end, std::max<u64>(at, 1024))) && same(std::max<u64>(at, 2048), end);
    if (!equal) diff.push_back(block);
  }
  return diff;
}

// e2fsck's verdict on a volume, without its first line (the version) and with the name taken out;
// also without the superblock's free counts (and the summary made from them), which our recovery
// sums again from the group descriptors and e2fsck's does not.
std::string Verdict(const std::string& image) {
  std::string out = Shell("e2fsck -fn " + Quote(image) + " 2>&1; echo status $?");
  out = out.substr(out.find('\n') + 1);
  for (std::size_t at; (at = out.find(image)) != std::string::npos;) out.replace(at, image.size(), "IMAGE");
  for (const char* count : {"Free blocks count wrong (", "Free inodes count wrong ("})
    for (std::size_t at; (at = out.find(count)) != std::string::npos;) out.erase(at, out.find("\n\n", at) + 2 - at);
  if (const std::size_t at = out.find("IMAGE: "); at != std::string::npos) out.erase(at, out.find('\n', at) + 1 - at);
  return out;
}

struct JournalFormat {
  const char* name;
  const char* mkfs;  // mke2fs options
  const char* open;  // debugfs journal_open options
};

const JournalFormat kFormats[] = {
    {"csum_v3_64bit", "-t ext4 -b 1024", "-c"},
    {"csum_v2_64bit", "-t ext4 -b 1024", "-c -v 2"},
    {"csum_v2_32bit", "-t ext4 -b 1024 -O ^64bit", "-c -v 2"},
    {"csum_v3_32bit", "-t ext4 -b 4096 -O ^64bit", "-c"},
    {"plain_64bit", "-t ext4 -b 1024 -O ^metadata_csum", ""},
    {"plain_32bit_ext3", "-t ext3 -b 1024", ""},
};

class Ext4JournalFormats : public ::testing::TestWithParam<JournalFormat> {};

TEST_P(Ext4JournalFormats, ReplayEqualsE2fsck) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  const JournalFormat& f = GetParam();
  TempDir dir("ext4jnl", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool(std::string("mke2fs -q -F ") + f.mkfs + " " + Quote(image) + " 32M");
  const u32 bs = BlockSize(image);
  const u64 base = bs == 1024 ? 10000 : 3000;
  const std::string d1 = RandomBytes(2 * bs, 1), d2 = RandomBytes(bs, 2), d3 = RandomBytes(bs, 3), d5 = RandomBytes(2 * bs, 5);
  std::string escaped = RandomBytes(bs, 4);
  escaped.replace(0, 4, "\xC0\x3B\x39\x98");  // the journal's magic at a block's start is logged escaped
  WriteFile(dir / "d1", d1);
  WriteFile(dir / "d2", d2);
  WriteFile(dir / "d3", d3);
  WriteFile(dir / "d4", escaped);
  WriteFile(dir / "d5", d5);
  auto b = [&](u64 i) { return std::to_string(base + i); };
  // One debugfs session per transaction: T1 writes 0 and 1; T2 writes 2 and revokes 0; T3 writes
  // 3 escaped; T4 writes 4 and revokes it in the same transaction; T5 writes 5, 6 without a commit.
  const std::vector<std::string> sessions = {
      std::string("jo ") + f.open + "\njw -b " + b(0) + "," + b(1) + " " + (dir / "d1") + "\njc\n",
      "jo\njw -b " + b(2) + " -r " + b(0) + " " + (dir / "d2") + "\njc\n",
      "jo\njw -b " + b(3) + " " + (dir / "d4") + "\njc\n",
      "jo\njw -b " + b(4) + " -r " + b(4) + " " + (dir / "d3") + "\njc\n",
      "jo\njw -b " + b(5) + "," + b(6) + " -c " + (dir / "d5") + "\njc\n",
  };
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    WriteFile(dir / ("t" + std::to_string(i)), sessions[i]);
    Ext4Tool("debugfs -w -f " + Quote(dir / ("t" + std::to_string(i))) + " " + Quote(image));
  }
  const std::string before = ReadFile(image);
  ASSERT_NE(Shell("dumpe2fs -h " + Quote(image) + " 2>&1").find("needs_recovery"), std::string::npos);

  // Read-only, the log is replayed into memory alone: the volume reads as after the replay, and
  // nothing is written.
  {
    DiskDriveTable table;
    ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS), 2);
    ASSERT_EQ(table.fsType[1], DISK_TYPE_EXT4) << table.note[1];
    Ext4BlockDevice& dev = *static_cast<Ext4DriveVolume*>(table.fileSystem[1].get())->volume()->dev;
    std::string seen(7 * bs, '\0');
    ASSERT_EQ(Ext4BlocksGetDirect(dev, seen.data(), base, 7), EXT4_OK);
    const std::string expected = before.substr(base * bs, bs) + d1.substr(bs, bs) + d2 + escaped +
                                 before.substr((base + 4) * bs, 3 * bs);
    EXPECT_TRUE(seen == expected);
  }
  EXPECT_TRUE(ReadFile(image) == before);

  const std::string ours = dir / "ours/vol.img", ref = dir / "ref/vol.img";
  fs::create_directories(dir / "ours");
  fs::create_directories(dir / "ref");
  fs::copy_file(image, ours);
  fs::copy_file(image, ref);
  const auto [type, note] = RecoverHere(ours);
  EXPECT_EQ(type, DISK_TYPE_EXT4) << note;
  int status = 0;
  const std::string replay = Shell("e2fsck -E journal_only -y " + Quote(ref) + " 2>&1", &status);
  EXPECT_LE(status, 1) << replay;

  const auto diff = Differences(ours, ref, JournalBlocks(image));
  EXPECT_TRUE(diff.empty()) << diff.size() << " blocks differ, the first " << diff.front();
  const std::string mine = ReadFile(ours);
  auto block = [&](u64 i) { return mine.substr((base + i) * bs, bs); };
  EXPECT_TRUE(block(0) == before.substr((base + 0) * bs, bs));  // revoked by T2
  EXPECT_TRUE(block(1) == d1.substr(bs, bs));
  EXPECT_TRUE(block(2) == d2);
  EXPECT_TRUE(block(3) == escaped);
  EXPECT_TRUE(block(4) == before.substr((base + 4) * bs, bs));  // revoked in its own transaction
  EXPECT_TRUE(block(5) == before.substr((base + 5) * bs, bs));  // never committed
  EXPECT_EQ(Verdict(ours), Verdict(ref));
  const std::string header = Shell("dumpe2fs -h " + Quote(ours) + " 2>&1");
  EXPECT_EQ(header.find("needs_recovery"), std::string::npos);
  EXPECT_NE(header.find("Journal start:            0"), std::string::npos) << header;
  EXPECT_NE(header.find("Filesystem state:         clean"), std::string::npos) << header;
  // A second writable attach finds nothing to replay: only the superblock's mount count changes.
  std::string recovered = ReadFile(ours);
  EXPECT_EQ(RecoverHere(ours).first, DISK_TYPE_EXT4);
  std::string again = ReadFile(ours);
  recovered.replace(1024, 1024, 1024, '\0');
  again.replace(1024, 1024, 1024, '\0');
  EXPECT_TRUE(again == recovered);
}

// A logged block whose checksum fails is skipped, as e2fsck skips it, the rest of its transaction
// replayed; the volume is marked with errors and the drive says so.
TEST(Ext4Journal, ABlockWithABadChecksumIsSkippedAndReported) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4badtag", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 " + Quote(image) + " 32M");
  const std::string data = RandomBytes(8192, 11);
  WriteFile(dir / "data", data);
  WriteFile(dir / "t", "jo -c\njw -b 3000,3001 " + (dir / "data") + "\njc\n");
  Ext4Tool("debugfs -w -f " + Quote(dir / "t") + " " + Quote(image));
  auto block = [&](u64 n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(n * 4096));
    std::string out(4096, '\0');
    in.read(out.data(), 4096);
    return out;
  };
  const std::string old = block(3000);
  // The journal's second block holds the copy of block 3000.
  const u64 logged = std::stoull(Shell("debugfs -R 'bmap <8> 2' " + Quote(image) + " 2>/dev/null"));
  std::string copy = block(logged);
  copy[100] ^= 0x55;
  {
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(logged * 4096));
    out.write(copy.data(), 4096);
  }
  const auto [type, note] = RecoverHere(image);
  EXPECT_EQ(type, DISK_TYPE_EXT4);
  EXPECT_NE(note.find("1 Blöcke mit falscher Prüfsumme"), std::string::npos) << note;
  EXPECT_TRUE(block(3000) == old);
  EXPECT_TRUE(block(3001) == data.substr(4096));
  EXPECT_NE(Shell("dumpe2fs -h " + Quote(image) + " 2>&1").find("clean with errors"), std::string::npos);
}

// With 1 KiB blocks the superblock lies in block 1: a logged copy of it replays like any block, and
// the volume keeps it (the label changed in the copy survives the end of our recovery).
TEST(Ext4Journal, TheSuperblockBlockReplaysAt1KiB) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4sbblk", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 -O ^metadata_csum -L before " + Quote(image) + " 16M");
  std::string copy = ReadFile(image).substr(1024, 1024);
  copy.replace(0x78, 6, "after\0", 6);
  WriteFile(dir / "sb", copy);
  WriteFile(dir / "t", "jo\njw -b 1 " + (dir / "sb") + "\njc\n");
  Ext4Tool("debugfs -w -f " + Quote(dir / "t") + " " + Quote(image));
  fs::copy_file(image, dir / "ref.img");
  EXPECT_EQ(RecoverHere(image).first, DISK_TYPE_EXT4);
  Shell("e2fsck -E journal_only -y " + Quote(dir / "ref.img") + " 2>&1");
  for (const std::string& img : {image, dir / "ref.img"})
    EXPECT_NE(Shell("dumpe2fs -h " + Quote(img) + " 2>&1").find("Filesystem volume name:   after"), std::string::npos) << img;
  EXPECT_EQ(Verdict(image), Verdict(dir / "ref.img"));
}

// With the compatible checksum, a commit block whose CRC-32 does not match its transaction ends the
// log there: nothing of it is replayed, as e2fsck does.
TEST(Ext4Journal, ACommitWithAWrongCrc32IsNotReplayed) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4v1", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext3 -b 1024 " + Quote(image) + " 16M");
  const std::string data = RandomBytes(2048, 12);
  WriteFile(dir / "data", data);
  WriteFile(dir / "t", "jo -c -v 1\njw -b 5000,5001 " + (dir / "data") + "\njc\n");
  Ext4Tool("debugfs -w -f " + Quote(dir / "t") + " " + Quote(image));
  ASSERT_NE(Shell("dumpe2fs -h " + Quote(image) + " 2>&1").find("journal_checksum"), std::string::npos);
  const u64 commit = std::stoull(Shell("debugfs -R 'bmap <8> 4' " + Quote(image) + " 2>/dev/null"));
  std::string img = ReadFile(image);
  const std::string old = img.substr(5000 * 1024, 2048);
  for (const bool spoil : {false, true}) {
    std::string copy = img;
    if (spoil) copy[commit * 1024 + 17] ^= 0x40;
    WriteFile(image, copy);
    WriteFile(dir / "ref.img", copy);
    EXPECT_EQ(RecoverHere(image).first, DISK_TYPE_EXT4);
    Shell("e2fsck -E journal_only -y " + Quote(dir / "ref.img") + " 2>&1");
    EXPECT_TRUE(ReadFile(image).substr(5000 * 1024, 2048) == (spoil ? old : data)) << spoil;
    EXPECT_TRUE(ReadFile(dir / "ref.img").substr(5000 * 1024, 2048) == (spoil ? old : data)) << spoil;
  }
}

INSTANTIATE_TEST_SUITE_P(Debugfs, Ext4JournalFormats, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<JournalFormat>& i) { return std::string(i.param.name); });

std::vector<std::string> JournalImages() {
  return CorpusNames("ext4", [](const fs::path& p) {
    const std::string name = p.filename().string();
    const bool recovers = name.rfind("j_", 0) == 0 || name == "f_jnl_32bit" || name == "f_jnl_errno";
    return recovers && fs::exists(p / "image.gz");
  });
}

TEST(Ext4JournalCorpusPresent, HoldsJournalImages) { EXPECT_GE(JournalImages().size(), 8u) << CorpusFolder(); }

class Ext4JournalCorpus : public ::testing::TestWithParam<std::string> {};

// After our replay on a copy, e2fsck finds the volume as it finds it after its own replay.
TEST_P(Ext4JournalCorpus, AsCleanAsAfterE2fsck) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  const std::string name = GetParam();
  TempDir dir("ext4jc", ImageBase());
  const std::string ours = dir / "ours/vol.img", ref = dir / "ref/vol.img";
  fs::create_directories(dir / "ours");
  fs::create_directories(dir / "ref");
  Ext4Tool("gzip -dc " + Quote(CorpusFolder() + "/" + name + "/image.gz") + " > " + Quote(ours));
  fs::copy_file(ours, ref);
  const std::set<u64> journal = JournalBlocks(ours);
  const auto [type, note] = RecoverHere(ours);
  Shell("e2fsck -E journal_only -y " + Quote(ref) + " 2>&1");
  if (type != DISK_TYPE_EXT4) {
    // Refused: then with a reason, and nothing replayed.
    EXPECT_FALSE(note.empty());
    Shell("gzip -dc " + Quote(CorpusFolder() + "/" + name + "/image.gz") + " > " + Quote(dir / "orig.img"));
    EXPECT_TRUE(Differences(ours, dir / "orig.img", {}).empty()) << note;
    RecordProperty("refused", note);
    return;
  }
  EXPECT_EQ(Verdict(ours), Verdict(ref));
  const auto diff = Differences(ours, ref, journal);
  EXPECT_TRUE(diff.empty()) << diff.size() << " blocks differ, the first " << diff.front();
}

INSTANTIATE_TEST_SUITE_P(E2fsprogs, Ext4JournalCorpus, ::testing::ValuesIn(JournalImages()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                           std::string n = i.param;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
