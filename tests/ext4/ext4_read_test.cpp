// Volumes that today's mke2fs and debugfs write, in every layout, read back whole and compared with the source and with debugfs.
#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Ext4/ext4_crc.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

// A file written at the given offsets only, the rest holes.
void WriteSparse(const std::string& path, u64 size, const std::vector<std::pair<u64, std::string>>& pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  for (const auto& [at, data] : pieces)
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)), static_cast<ssize_t>(data.size()));
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  ::close(fd);
}

// The source tree every layout is filled with.
void MakeSource(const std::string& root, int bigFolder) {
  WriteFile(root + "/small.txt", "hello ext4\n");
  WriteFile(root + "/empty", "");
  WriteFile(root + "/one-meg.bin", RandomBytes(1 << 20, 1));
  WriteFile(root + "/odd.bin", RandomBytes(70001, 2));
  // Data every other 4 KiB for 2 MiB: hundreds of extents, a tree of depth one at least.
  std::vector<std::pair<u64, std::string>> pieces;
  for (u64 at = 0; at < (2u << 20); at += 8192) pieces.emplace_back(at, RandomBytes(4096, static_cast<unsigned>(at)));
  WriteSparse(root + "/fragmented.bin", 2u << 20, pieces);
  WriteSparse(root + "/holes.bin", 12u << 20, {{0, "head"}, {5u << 20, RandomBytes(5000, 3)}, {(12u << 20) - 3, "end"}});
  WriteSparse(root + "/all-hole.bin", 3u << 20, {});
  fs::create_directories(root + "/a/b/c/d/e");
  WriteFile(root + "/a/b/c/d/e/deep.txt", "deep");
  WriteFile(root + "/a/" + std::string(255, 'n'), "longest name");
  WriteFile(root + "/a/gr\xC3\xBC\xC3\x9F" "e.txt", "umlauts");
  WriteFile(root + "/a/raw\xE9\xFF.bin", "latin-1 bytes in a name");
  fs::create_symlink("small.txt", root + "/fast-link");
  fs::create_symlink(std::string(40, 'x') + "/" + std::string(100, 'y'), root + "/slow-link");
  fs::create_symlink("a/b/c", root + "/dir-link");
  fs::create_symlink("nowhere/at/all", root + "/dangling");
  fs::create_hard_link(root + "/small.txt", root + "/a/hard-link.txt");
  for (int i = 0; i < bigFolder; ++i)
    WriteFile(root + "/big/entry-" + std::to_string(i) + std::string(i % 40, 'q') + ".txt", std::to_string(i));
  for (int i = 0; i < 40; ++i) WriteFile(root + "/big/h\xE9\xFF\x80-" + std::to_string(i), "high bytes");
}

struct Layout {
  const char* name;
  const char* options;  // for mke2fs
  const char* size;
  int bigFolder;        // names in the folder that gets a hashed index
  const char* before;   // debugfs -w request before the index is built, or null
};

const Layout kLayouts[] = {
    {"ext4_4k", "-t ext4 -b 4096", "64M", 4000, nullptr},
    {"ext4_1k", "-t ext4 -b 1024", "64M", 4000, nullptr},
    {"ext4_1k_unsigned_hash", "-t ext4 -b 1024", "64M", 800, "ssv flags 2"},
    {"ext4_2k_small_inodes", "-t ext4 -b 2048 -I 128", "64M", 300, nullptr},
    {"ext4_64k", "-t ext4 -b 65536 -O ^metadata_csum", "1G", 300, nullptr},
    {"ext4_32bit", "-t ext4 -b 4096 -O ^64bit", "64M", 300, nullptr},
    {"ext4_crc16", "-t ext4 -b 1024 -O ^metadata_csum,uninit_bg", "64M", 300, nullptr},
    {"ext4_meta_bg", "-t ext4 -b 1024 -O meta_bg,^resize_inode", "64M", 300, nullptr},
    {"ext4_no_flex_bg", "-t ext4 -b 4096 -O ^flex_bg", "64M", 300, nullptr},
    {"ext4_no_huge_file_no_index", "-t ext4 -b 4096 -O ^huge_file,^dir_index", "64M", 300, nullptr},
    {"ext3", "-t ext3 -b 1024", "64M", 300, nullptr},
    {"ext2", "-t ext2 -b 4096", "64M", 300, nullptr},
    {"ext2_revision_0", "-t ext2 -b 1024 -r 0", "64M", 300, nullptr},
    // Below 512 MiB mke2fs gives bigalloc 1 KiB blocks: the first group starts at block 0, the
    // superblock is block 1 and the descriptors follow it.
    {"ext4_bigalloc_1k", "-t ext4 -O bigalloc", "300M", 300, nullptr},
    {"ext4_bigalloc_1k_no_flex_bg", "-t ext4 -O bigalloc,^flex_bg -C 4096", "64M", 300, nullptr},
    {"ext4_bigalloc_4k", "-t ext4 -b 4096 -O bigalloc", "64M", 300, nullptr},
};

// Builds the layout from the source, with hashed folders where the layout has them.
std::string MakeImage(const TempDir& dir, const Layout& l, const std::string& source) {
  const std::string image = dir / "vol.img";
  Ext4Tool(std::string("mke2fs -q -F ") + l.options + " -d " + Quote(source) + " " + Quote(image) + " " + l.size);
  if (l.before) Ext4Tool("debugfs -w -R " + Quote(l.before) + " " + Quote(image));
  int status = 0;
  const std::string out = Shell("e2fsck -fyD " + Quote(image) + " 2>&1", &status);
  EXPECT_LE(status, 1) << out;
  return image;
}

class Ext4Layouts : public ::testing::TestWithParam<Layout> {};

TEST_P(Ext4Layouts, ReadAsTheSourceAndAsDebugfs) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  const Layout& l = GetParam();
  TempDir dir("ext4read", ImageBase());
  const std::string source = dir / "src";
  MakeSource(source, l.bigFolder);
  const auto expected = HostTree(source);
  const std::string image = MakeImage(dir, l, source);
  Ext4Mounted m(image);
  ASSERT_EQ(m.result, EXT4_OK);
  EXPECT_TRUE(m.vol->fs.readOnly);
  std::map<std::string, int> errors;
  auto tree = Ext4ReadTree(m.vol, &errors);
  EXPECT_TRUE(errors.empty()) << errors.begin()->first << ": " << errors.begin()->second;
  ASSERT_EQ(tree.count("lost+found"), 1u);
  tree.erase("lost+found");
  EXPECT_EQ(tree.size(), expected.size());
  for (const auto& [path, entry] : tree)
    if (!expected.count(path)) ADD_FAILURE() << "extra " << path;
  for (const auto& [path, entry] : expected) {
    auto it = tree.find(path);
    if (it == tree.end()) ADD_FAILURE() << "missing " << path;
    else EXPECT_EQ(it->second, entry) << path;
  }
  // Every name of the hashed folder is found by lookup, not only by listing.
  for (int i = 0; i < l.bigFolder; i += 7) {
    const std::string name = "/big/entry-" + std::to_string(i) + std::string(i % 40, 'q') + ".txt";
    Ext4File f;
    ASSERT_EQ(Ext4FileOpen(m.vol, &f, name.c_str(), 0), EXT4_OK) << name;
    std::string data;
    EXPECT_EQ(Ext4ReadAll(f, &data, 100), EXT4_OK);
    EXPECT_EQ(data, std::to_string(i));
    Ext4FileClose(&f);
  }
  Ext4File missing;
  EXPECT_EQ(Ext4FileOpen(m.vol, &missing, "/big/entry-x.txt", 0), EXT4_ENOENT);
  // Where the folder has its index, a lookup reads a few blocks, not the whole folder.
  const bool indexed = Shell("debugfs -R 'htree big' " + Quote(image) + " 2>&1").find("Root node dump") != std::string::npos;
  const std::string options = l.options;
  EXPECT_EQ(indexed, options.find("dir_index") == std::string::npos && options.find("-r 0") == std::string::npos &&
                         options.find("65536") == std::string::npos);
  if (indexed) {
    Ext4Mounted fresh(image);
    ASSERT_EQ(fresh.result, EXT4_OK);
    const int before = fresh.device.reads;
    Ext4File f;
    EXPECT_EQ(Ext4FileOpen(fresh.vol, &f, "/big/entry-1234qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq.txt", 0),
              l.bigFolder > 1234 ? EXT4_OK : EXT4_ENOENT);
    EXPECT_LT(fresh.device.reads - before, 16);
  }
  if (l.bigFolder >= 4000 && std::string(l.options).find("-b 1024") != std::string::npos) {
    EXPECT_NE(Shell("debugfs -R 'htree big' " + Quote(image) + " 2>&1").find("Indirect levels: 1"), std::string::npos);
  }
  // debugfs reads the same volume the same way.
  const std::string dump = dir / "dump";
  fs::create_directories(dump);
  Ext4Tool("debugfs -R " + Quote("rdump / " + dump) + " " + Quote(image));
  auto theirs = HostTree(dump);
  theirs.erase("lost+found");
  EXPECT_EQ(theirs.size(), tree.size());
  for (const auto& [path, entry] : theirs) {
    auto it = tree.find(path);
    if (it == tree.end() || !(it->second == entry)) ADD_FAILURE() << "differs from debugfs: " << path;
  }
  // A read-only mount writes nothing at all, and the cache stays bounded over thousands of files.
  EXPECT_EQ(m.device.writes, 0);
  EXPECT_LE(m.vol->dev->cache->maxHeld, Ext4CacheCapacity(m.vol->fs.blockSize) + 8);
}

// CRC-32C of whole blocks (computed in interleaved parts where the processor helps) and of odd
// lengths equals the bit-by-bit definition, from any starting register.
TEST(Ext4Read, Crc32cOfBlocksAndOddLengths) {
  std::mt19937 rng(5);
  std::vector<u8> data(4096 + 7);
  for (auto& b : data) b = static_cast<u8>(rng());
  for (std::size_t n : {0, 1, 7, 100, 1020, 1024, 2048, 4095, 4096}) {
    for (std::size_t at : {0, 3}) {
      const u32 seed = rng();
      u32 want = seed;
      for (std::size_t i = 0; i < n; ++i) {
        want ^= data[at + i];
        for (int k = 0; k < 8; ++k) want = (want & 1) ? (want >> 1) ^ 0x82F63B78u : want >> 1;
      }
      EXPECT_EQ(Ext4Crc32c(seed, data.data() + at, n), want) << n << " at " << at;
    }
  }
}

// Punched holes and preallocated (unwritten) blocks read as zeros, whatever the blocks hold.
TEST(Ext4Read, PunchedAndPreallocatedBlocksReadAsDebugfsReadsThem) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const char* options : {"-t ext4 -b 1024", "-t ext4 -b 4096", "-t ext3 -b 1024"}) {
    TempDir dir("ext4punch", ImageBase());
    const std::string source = dir / "src", image = dir / "vol.img";
    WriteFile(source + "/data", RandomBytes(409600, 9));
    WriteFile(source + "/pre", "");
    Ext4Tool(std::string("mke2fs -q -F ") + options + " -d " + Quote(source) + " " + Quote(image) + " 16M");
    WriteFile(dir / "cmds", "punch /data 10 19\nfallocate /pre 0 49\nsif /pre size 51200\n");
    Ext4Tool("debugfs -w -f " + Quote(dir / "cmds") + " " + Quote(image));
    // What lies in the preallocated blocks must not show through.
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const u32 bs = std::string(options).find("4096") != std::string::npos ? 4096 : 1024;
    std::istringstream blocks(Ext4Tool("debugfs -R 'blocks /pre' " + Quote(image)));
    std::string word;
    while (blocks >> word)
      if (word.find_first_not_of("0123456789") == std::string::npos) {
        ASSERT_EQ(::pwrite(fd, RandomBytes(bs, 3).data(), bs, static_cast<off_t>(std::stoull(word) * bs)), static_cast<ssize_t>(bs));
      }
    ::close(fd);
    Ext4Mounted m(image);
    ASSERT_EQ(m.result, EXT4_OK) << options;
    auto tree = Ext4ReadTree(m.vol);
    for (const char* name : {"data", "pre"}) {
      Ext4Tool("debugfs -R " + Quote(std::string("dump /") + name + " " + (dir / name)) + " " + Quote(image));
      EXPECT_TRUE(tree[name].data == ReadFile(dir / name)) << options << " " << name;
    }
    EXPECT_NE(tree["data"].data, RandomBytes(409600, 9)) << options;  // something was punched
    if (std::string(options).find("ext4") != std::string::npos) {
      EXPECT_EQ(tree["pre"].data, std::string(51200, '\0'));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Mke2fs, Ext4Layouts, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

}  // namespace
