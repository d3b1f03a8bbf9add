// Adding and removing directory entries through the engine, linear and hashed, checked with e2fsck and debugfs.
#include "FileSystem/Ext4/ext4_dir.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

// What e2fsck -fn reports beyond its passes and the summary line; empty for a clean volume.
std::string FsckProblems(const std::string& image) {
  std::istringstream out(Shell("e2fsck -fn " + Quote(image) + " 2>&1"));
  std::string problems;
  for (std::string line; std::getline(out, line);) {
    if (line.empty() || line.rfind("e2fsck ", 0) == 0 || line.rfind("Pass ", 0) == 0 ||
        line.find(" files (") != std::string::npos)
      continue;
    problems += line + "\n";
  }
  return problems;
}

// The names of a folder as debugfs lists them (it also shows unused entries that start a block).
std::set<std::string> DebugfsNames(const std::string& image, const std::string& folder) {
  std::istringstream out(Shell("debugfs -R " + Quote("ls -p " + folder) + " " + Quote(image) + " 2>/dev/null"));
  std::set<std::string> names;
  for (std::string line; std::getline(out, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '/');) f.push_back(x);
    if (f.size() >= 6 && f[1] != "0" && f[5] != "." && f[5] != "..") names.insert(f[5]);
  }
  return names;
}

std::string Htree(const std::string& image, const std::string& folder) {
  return Shell("debugfs -R " + Quote("htree " + folder) + " " + Quote(image) + " 2>&1");
}

// An inode held while a test uses it.
struct Inode {
  Inode(Ext4Volume* vol, u32 ino) { result = Ext4InodeGet(&vol->fs, ino, &ref); }
  ~Inode() { Ext4InodePut(&ref); }
  Ext4InodeRef ref;
  int result = EXT4_EIO;
};

u32 Lookup(Ext4Volume* vol, u32 dirIno, const std::string& name, int* code = nullptr) {
  Inode dir(vol, dirIno);
  Ext4DirSearchResult found;
  const int r = Ext4DirFindEntry(&found, &dir.ref, name.data(), static_cast<u32>(name.size()));
  if (code) *code = r;
  return r == EXT4_OK ? found.inode : 0;
}

int Add(Ext4Volume* vol, u32 dirIno, const std::string& name, u32 childIno) {
  Inode dir(vol, dirIno), child(vol, childIno);
  return Ext4DirAddEntry(&dir.ref, name.data(), static_cast<u32>(name.size()), &child.ref);
}

int Remove(Ext4Volume* vol, u32 dirIno, const std::string& name) {
  Inode dir(vol, dirIno);
  return Ext4DirRemoveEntry(&dir.ref, name.data(), static_cast<u32>(name.size()));
}

void SetLinks(Ext4Volume* vol, u32 ino, u32 links) {
  Inode i(vol, ino);
  Ext4SetLe16(i.ref.inode + EXT4_I_LINKS, static_cast<u16>(links));
  i.ref.dirty = true;
}

u64 DirSize(Ext4Volume* vol, u32 ino) {
  Inode i(vol, ino);
  return Ext4InodeSize(vol->fs, i.ref.inode);
}

// Offsets of the folder's used entries by name, as the iterator walks them.
std::map<std::string, u64> EntryOffsets(Ext4Volume* vol, u32 ino) {
  Inode dir(vol, ino);
  std::map<std::string, u64> out;
  Ext4DirIterator it;
  EXPECT_EQ(Ext4DirIteratorInit(&it, &dir.ref, 0), EXT4_OK);
  while (!it.atEnd) {
    out[std::string(reinterpret_cast<const char*>(it.entry.name), it.entry.nameLen)] = it.pos;
    EXPECT_EQ(Ext4DirIteratorNext(&it), EXT4_OK);
  }
  Ext4DirIteratorFini(&it);
  return out;
}

// The raw (inode, entry length) at a byte offset of a folder.
std::pair<u32, u32> RawEntry(Ext4Volume* vol, u32 ino, u64 offset) {
  Inode dir(vol, ino);
  const u32 bs = vol->fs.blockSize;
  u64 phys = 0;
  EXPECT_EQ(Ext4InodeGetBlock(&dir.ref, offset / bs, &phys), EXT4_OK);
  Ext4BlockRef b;
  EXPECT_EQ(Ext4BlockGet(*vol->dev, b, phys), EXT4_OK);
  const u8* e = b.data + offset % bs;
  return {Ext4Le32(e), Ext4DirRecLen(bs, Ext4Le16(e + 4))};
}

std::string Name(const char* stem, int i, std::size_t tail = 0) {
  char head[32];
  std::snprintf(head, sizeof head, "%s-%05d", stem, i);
  return head + std::string(tail, 'n');
}

// A volume whose folder d holds count hard links ("<stem>-NNNNN" plus i % 7 letters) of /target.
std::string MakeVolume(const TempDir& dir, const std::string& options, const std::string& size, int count,
                       bool index) {
  const std::string src = dir / "src";
  fs::create_directories(src + "/d");
  WriteFile(src + "/target", "shared");
  for (int i = 0; i < count; ++i) fs::create_hard_link(src + "/target", src + "/d/" + Name("link", i, i % 7));
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 " + options + " -d " + Quote(src) + " " + Quote(image) + " " + size);
  if (index) Shell("e2fsck -fyD " + Quote(image) + " 2>&1");
  EXPECT_EQ(FsckProblems(image), "");
  return image;
}

struct Fixture {
  const char* name;
  const char* options;
};

class Ext4DirInBlock : public ::testing::TestWithParam<Fixture> {};

// Removing the first entry of a block keeps its length; a later one merges into its predecessor;
// adding again takes that space back without growing the folder.
TEST_P(Ext4DirInBlock, LinearRemoveAndReAddInPlace) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, std::string(GetParam().options) + " -O ^dir_index", "8M", 300, false);
  std::set<std::string> expected;
  for (int i = 0; i < 300; ++i) expected.insert(Name("link", i, i % 7));
  {
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    Ext4Volume* vol = m.vol;
    const u32 bs = vol->fs.blockSize;
    const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
    ASSERT_NE(d, 0u);
    ASSERT_NE(target, 0u);
    const u64 size = DirSize(vol, d);
    ASSERT_GE(size, 2u * bs);
    auto offsets = EntryOffsets(vol, d);
    std::string first, second, later;  // first and second of block 1, a later one of block 0
    for (const auto& [name, off] : offsets) {
      if (off == bs) first = name;
      if (off > 24 && off < bs / 2 && later.empty()) later = name;
    }
    for (const auto& [name, off] : offsets)
      if (off > bs && (second.empty() || off < offsets[second])) second = name;
    ASSERT_FALSE(first.empty() || second.empty() || later.empty());
    const u32 firstLen = RawEntry(vol, d, bs).second, secondLen = RawEntry(vol, d, offsets[second]).second;
    ASSERT_EQ(bs + firstLen, offsets[second]);

    EXPECT_EQ(Remove(vol, d, first), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, bs), (std::pair<u32, u32>{0, firstLen}));
    EXPECT_EQ(Remove(vol, d, second), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, bs), (std::pair<u32, u32>{0, firstLen + secondLen}));
    u64 pred = 0;
    for (const auto& [name, off] : offsets)
      if (off < offsets[later] && off >= pred) pred = off;
    const u32 predLen = RawEntry(vol, d, pred).second, laterLen = RawEntry(vol, d, offsets[later]).second;
    EXPECT_EQ(Remove(vol, d, later), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, pred).second, predLen + laterLen);
    EXPECT_EQ(Lookup(vol, d, later), 0u);
    EXPECT_EQ(Remove(vol, d, later), EXT4_ENOENT);

    // The names come back into the freed space.
    for (const std::string& n : {first, second, later}) EXPECT_EQ(Add(vol, d, n, target), EXT4_OK) << n;
    EXPECT_EQ(DirSize(vol, d), size);
    const std::string longest(256, 'L');
    for (const std::string& n : expected) EXPECT_EQ(Lookup(vol, d, n), target) << n;
    Inode folder(vol, d), child(vol, target);
    EXPECT_EQ(Ext4DirAddEntry(&folder.ref, "x", 0, &child.ref), EXT4_EINVAL);
    EXPECT_EQ(Ext4DirAddEntry(&folder.ref, longest.c_str(), 256, &child.ref), EXT4_EINVAL);
    EXPECT_EQ(Ext4DirRemoveEntry(&child.ref, "x", 1), EXT4_ENOTDIR);
    SetLinks(vol, target, static_cast<u32>(expected.size()) + 1);
  }
  EXPECT_EQ(FsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d"), expected);
}

// In a hashed folder, removed names leave their leaves' space, and adding them again fills it.
TEST_P(Ext4DirInBlock, HashedRemoveAndReAddInPlace) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, GetParam().options, "16M", 1500, true);
  ASSERT_NE(Htree(image, "d").find("Root node dump"), std::string::npos);
  std::set<std::string> all;
  for (int i = 0; i < 1500; ++i) all.insert(Name("link", i, i % 7));
  {
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    Ext4Volume* vol = m.vol;
    const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
    const u64 size = DirSize(vol, d);
    for (int i = 0; i < 1500; i += 3) ASSERT_EQ(Remove(vol, d, Name("link", i, i % 7)), EXT4_OK) << i;
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(Lookup(vol, d, Name("link", i, i % 7)) != 0, i % 3 != 0) << i;
    SetLinks(vol, target, 1000 + 1);
    ASSERT_EQ(m.Unmount(), EXT4_OK);
    EXPECT_EQ(FsckProblems(image), "");
    EXPECT_EQ(DebugfsNames(image, "d").size(), 1000u);

    Ext4Mounted again(image, true);
    ASSERT_EQ(again.result, EXT4_OK);
    vol = again.vol;
    for (int i = 0; i < 1500; i += 3) ASSERT_EQ(Add(vol, d, Name("link", i, i % 7), target), EXT4_OK) << i;
    EXPECT_EQ(DirSize(vol, d), size);
    for (const std::string& n : all) ASSERT_EQ(Lookup(vol, d, n), target) << n;
    SetLinks(vol, target, 1500 + 1);
  }
  EXPECT_EQ(FsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d"), all);
}

INSTANTIATE_TEST_SUITE_P(Volumes, Ext4DirInBlock,
                         ::testing::Values(Fixture{"csum_1k", "-b 1024"}, Fixture{"plain_4k", "-b 4096 -O ^metadata_csum"},
                                           Fixture{"csum_4k", "-b 4096"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
