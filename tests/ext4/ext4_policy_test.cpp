// ext4 mounts by feature and superblock, group counts at their edges, the stop after an internal fault, and the name hashes compared with debugfs.
#include "FileSystem/Ext4/ext4.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <vector>

namespace {

using namespace kpwtest;

struct Policy {
  const char* options;
  const char* size;
  int result;     // of a writable mount
  bool readOnly;  // when it mounts
};

TEST(Ext4Policy, FeaturesRefuseOrOnlyRead) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  const Policy cases[] = {
      {"-O inline_data", "8M", EXT4_ENOTSUP, false},
      {"-O encrypt", "8M", EXT4_ENOTSUP, false},
      {"-O casefold", "8M", EXT4_ENOTSUP, false},
      {"-O large_dir", "8M", EXT4_ENOTSUP, false},
      {"-O metadata_csum_seed", "8M", EXT4_ENOTSUP, false},
      {"-O bigalloc", "64M", EXT4_OK, true},
      {"-O quota", "8M", EXT4_OK, true},
      {"-O sparse_super2", "8M", EXT4_OK, true},
      {"-O fast_commit", "8M", EXT4_OK, true},
      {"-O orphan_file", "8M", EXT4_OK, false},
      {"-O ^has_journal", "8M", EXT4_OK, false},
  };
  TempDir dir("ext4policy", ImageBase());
  const std::string image = dir / "vol.img";
  for (const Policy& p : cases) {
    Ext4Tool(std::string("mke2fs -q -F -t ext4 -b 4096 ") + p.options + " " + Quote(image) + " " + p.size);
    Ext4Mounted m(image, true);
    EXPECT_EQ(m.result, p.result) << p.options;
    if (m.result != EXT4_OK) {
      EXPECT_FALSE(m.device.dev()->mountNote.empty()) << p.options;
      EXPECT_EQ(m.device.writes, 0) << p.options;
      continue;
    }
    EXPECT_EQ(m.vol->fs.readOnly, p.readOnly) << p.options;
    EXPECT_EQ(m.vol->note.empty(), !p.readOnly) << p.options << ": " << m.vol->note;
    if (p.readOnly) {
      EXPECT_EQ(m.device.writes, 0) << p.options;
    }
    // What only reads refuses a new file; the others take it.
    Ext4File f;
    EXPECT_EQ(Ext4FileOpen(m.vol, &f, "/new", EXT4_O_RDWR | EXT4_O_CREAT), p.readOnly ? EXT4_EROFS : EXT4_OK)
        << p.options;
    if (f.volume) Ext4FileClose(&f);
  }
}

std::string Header(const std::string& image, const char* field) {
  std::istringstream in(Ext4Tool("dumpe2fs -h " + Quote(image)));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return line.substr(line.find_first_not_of(' ', std::string(field).size() + 1));
  return {};
}

// A writable session clears "clean" while it runs and sets it at the end; an error mark stays;
// a write that fails at the end is reported.
TEST(Ext4Policy, StateBitsOfAWritableSession) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4state", ImageBase());
  const std::string image = dir / "vol.img";
  for (const char* state : {"1", "3"}) {
    Ext4Tool("mke2fs -q -F -t ext4 -b 4096 " + Quote(image) + " 8M");
    Ext4Tool(std::string("debugfs -w -R 'ssv state ") + state + "' " + Quote(image));
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    EXPECT_FALSE(m.vol->fs.readOnly);
    EXPECT_EQ(Header(image, "Filesystem state:"), std::string(state) == "1" ? "not clean" : "not clean with errors");
    EXPECT_EQ(m.Unmount(), EXT4_OK);
    EXPECT_EQ(Header(image, "Filesystem state:"), std::string(state) == "1" ? "clean" : "clean with errors");
    EXPECT_EQ(Header(image, "Mount count:"), "1");
  }
  Ext4Mounted m(image, true);
  ASSERT_EQ(m.result, EXT4_OK);
  m.device.failWrites = true;
  EXPECT_EQ(m.Unmount(), EXT4_EIO);
}

void Poke(const std::string& image, u64 at, u32 value) {
  FILE* f = std::fopen(image.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, static_cast<long>(at), SEEK_SET);
  const unsigned char b[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                              static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::fwrite(b, 1, 4, f);
  std::fclose(f);
}

TEST(Ext4Policy, SuperblockEdges) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4sb", ImageBase());
  const std::string image = dir / "vol.img";
  // The first data block does not count: 16385 blocks of 1 KiB are two groups, 131073 sixteen.
  for (const auto& [blocks, groups] : {std::pair<const char*, u32>{"16385", 2}, {"131073", 16}, {"8193", 1}}) {
    Ext4Tool(std::string("mke2fs -q -F -t ext4 -b 1024 ") + Quote(image) + " " + blocks);
    Ext4Mounted m(image);
    ASSERT_EQ(m.result, EXT4_OK) << blocks;
    EXPECT_EQ(Ext4GroupCount(m.vol->fs), groups) << blocks;
    EXPECT_TRUE(Ext4ReadTree(m.vol).count("lost+found")) << blocks;
  }
  // A wrong superblock checksum; a block size beyond 64 KiB, tested before it is computed.
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 " + Quote(image) + " 8M");
  Poke(image, 1024 + 0x3FC, 0x12345678);
  EXPECT_EQ(Ext4Mounted(image).result, EXT4_ENOTSUP);
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 -O ^metadata_csum " + Quote(image) + " 8M");
  Poke(image, 1024 + 0x18, 7);
  EXPECT_EQ(Ext4Mounted(image).result, EXT4_ENXIO);
  Poke(image, 1024 + 0x18, 0xFFFFFFFF);
  EXPECT_EQ(Ext4Mounted(image).result, EXT4_ENXIO);
}

// A cache that cannot take another buffer stops the volume: the fault is printed and every later
// operation fails until the volume is mounted again.
TEST(Ext4Policy, AnInternalFaultStopsTheVolume) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4stop", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 70M");
  Ext4Mounted m(image);
  ASSERT_EQ(m.result, EXT4_OK);
  std::vector<Ext4BlockRef> held(EXT4_CACHE_HARD_LIMIT);
  for (u32 i = 0; i < EXT4_CACHE_HARD_LIMIT; ++i) ASSERT_EQ(Ext4BlockGetNoRead(*m.vol->dev, held[i], i + 1), EXT4_OK);
  Ext4BlockRef more;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Ext4BlockGetNoRead(*m.vol->dev, more, EXT4_CACHE_HARD_LIMIT + 1), EXT4_EIO);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("assertion failed:\nfile: FileSystem/Ext4/ext4_blockdev\nline: "),
            std::string::npos);
  held.clear();
  Ext4File f;
  EXPECT_EQ(Ext4Lookup(m.vol, &f, "/lost+found"), EXT4_EIO);
  EXPECT_EQ(m.Unmount(), EXT4_OK);
  Ext4Mounted again(image);
  ASSERT_EQ(again.result, EXT4_OK);
  EXPECT_EQ(Ext4Lookup(again.vol, &f, "/lost+found"), EXT4_OK);
  Ext4FileClose(&f);
}

TEST(Ext4Policy, NameHashesAsDebugfsComputesThem) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4hash", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 8M");
  const std::string names[] = {"a", "hello", "lost+found", std::string(31, 'x') + "yz", std::string(255, 'n'),
                               "gr\xC3\xBC\xC3\x9F" "e-\xE9\xFF\x80.txt", "0123456789abcdef0123456789abcdef0"};
  const char* seedText = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  const u8 seedBytes[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                            0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
  u32 seed[4];
  for (int i = 0; i < 4; ++i) seed[i] = Ext4Le32(seedBytes + 4 * i);
  std::ostringstream requests;
  for (int version = 0; version <= 5; ++version)
    for (const std::string& name : names)
      for (const bool seeded : {false, true})
        requests << "dx_hash -h " << version << (seeded ? " -s " : "") << (seeded ? seedText : "") << " " << name << "\n";
  WriteFile(dir / "requests", requests.str());
  std::istringstream out(Ext4Tool("debugfs -f " + Quote(dir / "requests") + " " + Quote(image)));
  std::string line;
  int compared = 0;
  for (int version = 0; version <= 5; ++version)
    for (const std::string& name : names)
      for (const bool seeded : {false, true}) {
        while (std::getline(out, line) && line.rfind("Hash of ", 0) != 0) {
        }
        u32 hash = 0, minor = 0;
        ASSERT_EQ(Ext4DirHash(name.data(), static_cast<u32>(name.size()), static_cast<u32>(version),
                              seeded ? seed : nullptr, &hash, &minor),
                  EXT4_OK);
        char mine[64];
        std::snprintf(mine, sizeof mine, " is 0x%x (minor 0x%x)", hash, minor);
        EXPECT_NE(line.find(mine), std::string::npos) << "version " << version << " seeded " << seeded << " " << line;
        ++compared;
      }
  EXPECT_EQ(compared, 6 * 7 * 2);
}

}  // namespace
