// Allocation, extents, block maps and truncation written by the engine into e2fsprogs images, checked with
// e2fsck and debugfs.
#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_trans.h"
#include "tests/support/ext4_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>

namespace {

using namespace kpwtest;

// An image made by mke2fs, with debugfs and e2fsck on it.
struct Image {
  TempDir dir{"e4alloc"};
  std::string path = dir.path() + "/v.img";
  Image(const std::string& mkfs, const std::string& size) {
    Ext4Tool("mke2fs -q -F " + mkfs + " " + Quote(path) + " " + size);
  }
  std::string Debugfs(const std::string& cmd, bool write = false) {
    return Ext4Tool(std::string("debugfs ") + (write ? "-w " : "") + "-R " + Quote(cmd) + " " + Quote(path));
  }
  // A file of the host written into the image.
  void Put(const std::string& name, const std::string& data) {
    WriteFile(dir.path() + "/in", data);
    Debugfs("write " + dir.path() + "/in " + name, true);
  }
  std::string Get(const std::string& name) {
    std::remove((dir.path() + "/out").c_str());
    Debugfs("dump " + name + " " + dir.path() + "/out");
    return ReadFile(dir.path() + "/out");
  }
  // What e2fsck -fn reports beyond its pass headings and summary: empty when the volume is clean.
  std::string Problems(const std::string& options = "") {
    int status = 0;
    std::string bad = E2fsckProblems(path, options, &status);
    if (status != 0) bad += "status " + std::to_string(status);
    return bad;
  }
  std::string Raw(u64 offset, std::size_t n) { return ReadFile(path).substr(offset, n); }
};

std::string Pattern(u32 bs, char tag, u64 logical) {
  std::string s(bs, tag);
  const std::string head = std::to_string(logical) + "/" + tag;
  s.replace(0, head.size(), head);
  return s;
}

// A writable mount with the journal running, as the drive binding makes it.
struct Session : Ext4Mounted {
  explicit Session(const std::string& path) : Ext4Mounted(path, true) {
    if (result == EXT4_OK) result = Ext4JournalStart(vol);
  }
  ~Session() { Unmount(); }
  int Unmount() {
    const int r = vol ? Ext4JournalStop(vol) : EXT4_OK;
    const int u = Ext4Mounted::Unmount();
    return r ? r : u;
  }
};

// A held inode of a mounted volume, put when it goes (and before its transaction commits).
struct Held {
  Ext4InodeRef ref;
  Held(Ext4Volume* vol, u32 ino) { EXPECT_EQ(Ext4InodeGet(&vol->fs, ino, &ref), EXT4_OK); }
  ~Held() { Put(); }
  void Put() { EXPECT_EQ(Ext4InodePut(&ref), EXT4_OK); }
};

u32 InodeOf(Ext4Volume* vol, const std::string& path) {
  Ext4File f;
  EXPECT_EQ(Ext4Lookup(vol, &f, path.c_str()), EXT4_OK) << path;
  const u32 ino = f.inode;
  Ext4FileClose(&f);
  return ino;
}

// Appends a block with data written directly, as the file operations do; the model follows.
void AppendBlock(Ext4Volume* vol, Held& h, char tag, std::string& model) {
  u64 phys = 0;
  u32 logical = 0;
  ASSERT_EQ(Ext4InodeAppendBlock(&h.ref, &phys, &logical), EXT4_OK);
  ASSERT_FALSE(Ext4InSystemZone(&vol->fs, phys, 1)) << phys;
  const std::string data = Pattern(vol->fs.blockSize, tag, logical);
  ASSERT_EQ(Ext4BlocksSetDirect(*vol->dev, data.data(), phys, 1), EXT4_OK);
  ASSERT_EQ(model.size(), u64{logical} * vol->fs.blockSize);
  model += data;
}

// Writes a block of the file at logical through InitBlock.
void WriteAt(Ext4Volume* vol, Held& h, u64 logical, char tag, std::string& model, bool* fresh = nullptr) {
  u64 phys = 0;
  ASSERT_EQ(Ext4InodeInitBlock(&h.ref, logical, &phys, fresh), EXT4_OK);
  ASSERT_NE(phys, 0u);
  ASSERT_FALSE(Ext4InSystemZone(&vol->fs, phys, 1)) << phys;
  const u32 bs = vol->fs.blockSize;
  const std::string data = Pattern(bs, tag, logical);
  ASSERT_EQ(Ext4BlocksSetDirect(*vol->dev, data.data(), phys, 1), EXT4_OK);
  if (model.size() < (logical + 1) * bs) model.resize((logical + 1) * bs, '\0');
  model.replace(logical * bs, bs, data);
}

// The deepest level debugfs lists for a file's extent tree.
int TreeDepth(Image& img, const std::string& name) {
  const std::string out = img.Debugfs("ex " + name);
  int depth = 0;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    int level = 0, max = 0;
    if (std::sscanf(line.c_str(), " %d/ %d", &level, &max) == 2) depth = std::max(depth, max);
  }
  return depth;
}

struct Layout {
  const char* mkfs;
  const char* size;
};

TEST(Ext4Alloc, AppendsGrowExtentTreesAndBlockMaps) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  const Layout layouts[] = {
      {"-t ext4 -b 1024", "16M"},
      {"-t ext4 -b 1024 -O ^64bit,^metadata_csum,uninit_bg", "16M"},
      {"-t ext4 -b 4096 -O ^metadata_csum,^64bit", "32M"},
      {"-t ext4 -b 4096 -I 128", "32M"},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.mkfs);
    Image img(l.mkfs, l.size);
    std::string a = Pattern(1024, 'a', 0), b;
    img.Put("a", a);
    img.Put("b", "");
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      const u32 bs = m.vol->fs.blockSize;
      a.resize(bs, '\0');  // the first block as debugfs left it
      Held ha(m.vol, InodeOf(m.vol, "/a")), hb(m.vol, InodeOf(m.vol, "/b"));
      // Alternating appends fragment both files: every block its own extent, beyond one leaf at 1 KiB.
      const int blocks = bs == 1024 ? 420 : 60;
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      for (int i = 0; i < blocks; ++i) {
        AppendBlock(m.vol, ha, 'a', a);
        AppendBlock(m.vol, hb, 'b', b);
      }
      Ext4InodeSetSize(m.vol->fs, ha.ref.inode, a.size() - 10);
      a.resize(a.size() - 10);
      ha.Put();
      hb.Put();
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_EQ(img.Get("a"), a);
    EXPECT_EQ(img.Get("b"), b);
    EXPECT_EQ(TreeDepth(img, "b"), std::string(l.mkfs).find("1024") != std::string::npos ? 2 : 1);
    // Space removed from the front (whole leaves), the middle and single blocks; holes read as zeros.
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      const u32 bs = m.vol->fs.blockSize;
      Held hb(m.vol, InodeOf(m.vol, "/b"));
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      for (auto [from, to] : {std::pair<u32, u32>{0, 99}, {150, 160}, {30, 30}, {57, 57}, {101, 101}}) {
        if (to * bs >= b.size()) continue;
        ASSERT_EQ(Ext4ExtentRemoveSpace(&hb.ref, from, to), EXT4_OK);
        std::fill(b.begin() + from * bs, b.begin() + (to + 1) * bs, '\0');
      }
      hb.Put();
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_TRUE(img.Get("b") == b);
    // Down to nothing: every node freed, the root a leaf again.
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      ASSERT_EQ(Ext4Truncate(m.vol, InodeOf(m.vol, "/b"), 0), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_EQ(TreeDepth(img, "b"), 0);
  }
}

TEST(Ext4Alloc, ConversionsFragmentUnwrittenExtentsIntoDeeperTrees) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Image img("-t ext4 -b 1024", "16M");
  img.Put("u", "");
  img.Debugfs("fallocate u 0 1999", true);
  std::string model(2000 * 1024, '\0');
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held h(m.vol, InodeOf(m.vol, "/u"));
    ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
    Ext4InodeSetSize(m.vol->fs, h.ref.inode, model.size());
    // Every other block from the front, every third from the back, then a few next to written ones.
    for (u64 i = 0; i < 500; ++i) WriteAt(m.vol, h, 2 * i, 'v', model);
    for (u64 i = 0; i < 300; ++i) WriteAt(m.vol, h, 1999 - 3 * i, 'w', model);
    for (u64 at : {1, 3, 1000, 998, 1002}) WriteAt(m.vol, h, at, 'x', model);
    // Removal inside an unwritten extent splits it.
    ASSERT_EQ(Ext4ExtentRemoveSpace(&h.ref, 1500, 1500), EXT4_OK);
    h.Put();
    ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
  }
  EXPECT_EQ(img.Problems(), "");
  EXPECT_TRUE(img.Get("u") == model);
  EXPECT_EQ(TreeDepth(img, "u"), 2);
}

TEST(Ext4Alloc, BlockMapAppendsAcrossEveryIndirectLevel) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Image img("-t ext3 -b 1024", "80M");
  img.Put("f", "");
  std::string model;
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held h(m.vol, InodeOf(m.vol, "/f"));
    ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
    for (int i = 0; i < 12 + 256 + 65536 + 20; ++i) {
      AppendBlock(m.vol, h, static_cast<char>('a' + i % 26), model);
      if (HasFatalFailure()) return;
    }
    h.Put();
    ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
  }
  EXPECT_EQ(img.Problems(), "");
  EXPECT_TRUE(img.Get("f") == model);
  EXPECT_NE(img.Debugfs("stat f").find("(TIND)"), std::string::npos);
}

TEST(Ext4Alloc, WritesIntoHolesAndUnwrittenExtents) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  const Layout layouts[] = {
      {"-t ext4 -b 1024", "8M"}, {"-t ext4 -b 4096 -O ^metadata_csum", "16M"}, {"-t ext3 -b 1024", "8M"}};
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.mkfs);
    Image img(l.mkfs, l.size);
    const bool ext3 = std::string(l.mkfs).find("ext3") != std::string::npos;
    const u32 bs = std::string(l.mkfs).find("4096") != std::string::npos ? 4096 : 1024;
    std::string model;
    for (u64 i = 0; i < 400; ++i) model += Pattern(bs, 'd', i);
    img.Put("f", model);
    img.Debugfs("punch f 2 5", true);
    img.Debugfs("punch f 20 300", true);
    std::fill(model.begin() + 2 * bs, model.begin() + 6 * bs, '\0');
    std::fill(model.begin() + 20 * bs, model.begin() + 301 * bs, '\0');
    if (!ext3) {
      img.Debugfs("fallocate f 40 60", true);
      // Stale bytes under the unwritten extent must not show through.
      const std::string out = img.Debugfs("bmap f 50");
      const u64 phys = std::stoull(out.substr(out.find('\n') + 1));
      std::string junk(bs, 'J');
      const int fd = ::open(img.path.c_str(), O_WRONLY);
      ASSERT_EQ(::pwrite(fd, junk.data(), bs, static_cast<off_t>(phys * bs)), static_cast<ssize_t>(bs));
      ::close(fd);
    }
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      Held h(m.vol, InodeOf(m.vol, "/f"));
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      bool fresh = false;
      WriteAt(m.vol, h, 3, 'h', model, &fresh);
      EXPECT_TRUE(fresh);
      WriteAt(m.vol, h, 150, 'h', model);
      WriteAt(m.vol, h, 5, 'h', model);
      WriteAt(m.vol, h, 7, 'o', model, &fresh);  // an existing block
      EXPECT_FALSE(fresh);
      if (!ext3) {
        for (u64 at : {45, 40, 41, 60, 59, 52}) WriteAt(m.vol, h, at, 'u', model, &fresh);
        EXPECT_FALSE(fresh);
        u64 phys = 0;
        ASSERT_EQ(Ext4InodeInitBlock(&h.ref, 50, &phys, &fresh), EXT4_OK);  // converted, not written
      }
      h.Put();
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_TRUE(img.Get("f") == model);
  }
}

TEST(Ext4Alloc, TruncationFreesAndZeroesTheTail) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  {
    // 100 MiB to 0 under the running journal: six 16 MiB steps and the last one, each committed.
    Image img("-t ext4 -b 4096", "160M");
    img.Put("big", std::string(100u << 20, 'x'));
    auto nextId = [&] {
      const std::string out = img.Debugfs("logdump");
      return std::stoul(out.substr(out.find("transaction ") + 12));
    };
    const unsigned long first = nextId();
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    ASSERT_EQ(Ext4JournalStart(m.vol), EXT4_OK);
    const u32 ino = InodeOf(m.vol, "/big");
    ASSERT_EQ(Ext4Truncate(m.vol, ino, 0), EXT4_OK);
    EXPECT_FALSE(Ext4TransRunning(m.vol));
    ASSERT_EQ(Ext4JournalStop(m.vol), EXT4_OK);
    ASSERT_EQ(m.Unmount(), EXT4_OK);
    EXPECT_EQ(img.Problems(), "");
    EXPECT_NE(img.Debugfs("stat big").find("Size: 0"), std::string::npos);
    EXPECT_EQ(nextId() - first, 7u);
  }
  const Layout layouts[] = {{"-t ext4 -b 1024", "8M"}, {"-t ext3 -b 1024", "8M"}};
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.mkfs);
    Image img(l.mkfs, l.size);
    std::string model;
    for (u64 i = 0; i < 400; ++i) model += Pattern(1024, 'z', i);
    img.Put("f", model);
    img.Put("g", model);
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      {
        Held h(m.vol, InodeOf(m.vol, "/f"));
        EXPECT_EQ(Ext4InodeTruncate(&h.ref, 500 * 1024), EXT4_EINVAL);  // only shrinks here
        ASSERT_EQ(Ext4InodeTruncate(&h.ref, 300 * 1024 + 7), EXT4_OK);
        ASSERT_EQ(Ext4InodeTruncate(&h.ref, 13 * 1024), EXT4_OK);
        ASSERT_EQ(Ext4InodeTruncate(&h.ref, 5 * 1024 + 100), EXT4_OK);
        EXPECT_EQ(Ext4InodeBlockCount(m.vol->fs, h.ref.inode), 6u * 2);
      }
      const u32 g = InodeOf(m.vol, "/g");
      ASSERT_EQ(Ext4Truncate(m.vol, g, 300 * 1024 + 7), EXT4_OK);
      ASSERT_EQ(Ext4Truncate(m.vol, g, 5 * 1024 + 100), EXT4_OK);
      EXPECT_TRUE(Ext4TransRunning(m.vol));
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    model.resize(5 * 1024 + 100);
    for (const char* name : {"f", "g"}) {
      EXPECT_EQ(img.Get(name), model);
      // The rest of the last block was zeroed on the volume.
      const std::string out = img.Debugfs(std::string("bmap ") + name + " 5");
      const u64 phys = std::stoull(out.substr(out.find('\n') + 1));
      EXPECT_EQ(img.Raw(phys * 1024 + 100, 924), std::string(924, '\0'));
    }
  }
}

// Unlinks the name with debugfs, then frees the inode the way file removal does.
void RemoveThroughEngine(Image& img, const std::string& name) {
  const std::string stat = img.Debugfs("stat " + name);
  const u32 ino = static_cast<u32>(std::stoul(stat.substr(stat.find("Inode: ") + 7)));
  img.Debugfs("unlink " + name, true);
  Session m(img.path);
  ASSERT_EQ(m.result, EXT4_OK);
  ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
  if (stat.find("Type: regular") != std::string::npos) {
    ASSERT_EQ(Ext4Truncate(m.vol, ino, 0), EXT4_OK);
  }
  Held h(m.vol, ino);
  ASSERT_EQ(Ext4InodeReleaseAll(&h.ref), EXT4_OK);
  Ext4SetLe16(h.ref.inode + EXT4_I_LINKS, 0);
  ASSERT_EQ(Ext4InodeFree(&h.ref), EXT4_OK);
  h.Put();
  ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
}

TEST(Ext4Alloc, RemovalFreesBlocksPastTheEndAndSharedAttributeBlocksByCount) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (const char* mkfs : {"-t ext4 -b 1024", "-t ext3 -b 1024"}) {
    SCOPED_TRACE(mkfs);
    Image img(mkfs, "8M");
    const std::string free = img.Debugfs("stats");
    img.Put("f", std::string(20 * 1024, 'p'));
    img.Debugfs("fallocate f 30 400", true);
    RemoveThroughEngine(img, "f");
    // A device keeps its number where a file keeps its blocks; nothing is freed for it.
    img.Debugfs("mknod dev c 1 3", true);
    RemoveThroughEngine(img, "dev");
    EXPECT_EQ(img.Problems(), "");
  }
  // Two files share one attribute block with a reference count of 2 (a fresh checksum by hand).
  for (const char* mkfs : {"-t ext4 -I 128 -O ^metadata_csum -b 1024", "-t ext4 -I 128 -b 1024"}) {
    SCOPED_TRACE(mkfs);
    Image img(mkfs, "8M");
    img.Put("a", "one");
    img.Put("b", "two");
    WriteFile(img.dir.path() + "/v", std::string(600, 'A'));
    img.Debugfs("ea_set -f " + img.dir.path() + "/v a user.big", true);
    const std::string stat = img.Debugfs("stat a");
    const u64 acl = std::stoull(stat.substr(stat.find("File ACL: ") + 10));
    img.Debugfs("sif b file_acl " + std::to_string(acl), true);
    img.Debugfs("sif b blocks 4", true);
    {
      std::string block = img.Raw(acl * 1024, 1024);
      block[4] = 2;
      if (std::string(mkfs).find("^metadata_csum") == std::string::npos) {
        const std::string uuid = img.Raw(1024 + EXT4_SB_UUID, 16);
        u8 le[8] = {};
        Ext4SetLe32(le, static_cast<u32>(acl));
        std::fill(block.begin() + 0x10, block.begin() + 0x14, '\0');
        u32 c = Ext4Crc32c(Ext4Crc32c(0xFFFFFFFF, uuid.data(), 16), le, 8);
        Ext4SetLe32(reinterpret_cast<u8*>(block.data()) + 0x10, Ext4Crc32c(c, block.data(), 1024));
      }
      const int fd = ::open(img.path.c_str(), O_WRONLY);
      ASSERT_EQ(::pwrite(fd, block.data(), 1024, static_cast<off_t>(acl * 1024)), 1024);
      ::close(fd);
    }
    ASSERT_EQ(img.Problems(), "");
    RemoveThroughEngine(img, "b");
    EXPECT_EQ(img.Problems(), "");
    EXPECT_EQ(img.Raw(acl * 1024 + 4, 4), std::string("\1\0\0\0", 4));
    EXPECT_NE(img.Debugfs("ea_list a").find("user.big"), std::string::npos);
    RemoveThroughEngine(img, "a");
    EXPECT_EQ(img.Problems(), "");
    EXPECT_NE(img.Debugfs("testb " + std::to_string(acl)).find("not in use"), std::string::npos);
  }
}

TEST(Ext4Alloc, FullVolumeGives28AndChangesNothing) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  const Layout layouts[] = {{"-t ext4 -b 1024 -N 64", "2M"},
                            {"-t ext4 -b 1024 -g 1024 -N 256", "12M"},
                            {"-t ext4 -b 4096 -g 2048 -N 256 -O ^metadata_csum", "24M"},
                            {"-t ext3 -b 1024 -g 1024 -N 256", "8M"},
                            {"-t ext4 -b 1024 -g 256 -N 512 -O meta_bg,^resize_inode", "12M"}};
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.mkfs);
    Image img(l.mkfs, l.size);
    img.Put("a", "");
    img.Put("b", "");
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      const u32 a = InodeOf(m.vol, "/a"), b = InodeOf(m.vol, "/b");
      // Two files in alternation, committed every few hundred blocks.
      bool full = false;
      for (int round = 0; !full; ++round) {
        ASSERT_LT(round, 100);
        ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
        {
          Held ha(m.vol, a), hb(m.vol, b);
          for (int i = 0; i < 1000 && !full; ++i) {
            u64 phys = 0;
            u32 logical = 0;
            const int r = Ext4InodeAppendBlock(&(i % 2 ? hb : ha).ref, &phys, &logical);
            full = r == EXT4_ENOSPC;
            if (!full) {
              ASSERT_EQ(r, EXT4_OK);
            }
          }
        }
        ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
      }
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      Ext4InodeRef fresh;
      EXPECT_EQ(Ext4InodeAlloc(&m.vol->fs, &fresh, 1), EXT4_OK);  // inodes are still there
      Ext4SetLe16(fresh.inode + EXT4_I_LINKS, 0);
      EXPECT_EQ(Ext4InodeFree(&fresh), EXT4_OK);
      Ext4InodePut(&fresh);
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    const std::string full = Shell("dumpe2fs " + Quote(img.path) + " 2>/dev/null");
    EXPECT_NE(full.find("Free blocks:              0\n"), std::string::npos);
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      Held h(m.vol, InodeOf(m.vol, "/a"));
      u64 phys = 0;
      u32 logical = 0;
      EXPECT_EQ(Ext4InodeAppendBlock(&h.ref, &phys, &logical), EXT4_ENOSPC);
      Held other(m.vol, InodeOf(m.vol, "/b"));
      EXPECT_EQ(Ext4InodeInitBlock(&other.ref, 100000, &phys, nullptr), EXT4_ENOSPC);
    }
    EXPECT_EQ(img.Problems(), "");
    const std::string after = Shell("dumpe2fs " + Quote(img.path) + " 2>/dev/null");
    auto groups = [](const std::string& s) { return s.substr(s.find("Group 0:")); };
    EXPECT_EQ(groups(after), groups(full));
  }
}

TEST(Ext4Alloc, NewInodesAreWholeAndLazyGroupsInitialised) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (const char* mkfs :
       {"-t ext4 -b 1024 -E root_owner=1234:5678,lazy_itable_init=1 -g 1024 -N 2048",
        "-t ext4 -b 1024 -I 128 -O ^metadata_csum,uninit_bg -E root_owner=1234:5678 -g 1024",
        "-t ext3 -b 1024 -E root_owner=1234:5678 -g 1024"}) {
    SCOPED_TRACE(mkfs);
    Image img(mkfs, "16M");
    // A deleted file leaves stale fields in its record.
    img.Put("old", std::string(5000, 'o'));
    img.Debugfs("sif old size_high 7", true);
    img.Debugfs("rm old", true);
    const bool big = std::string(mkfs).find("-I 128") == std::string::npos;
    const bool lazy = std::string(mkfs).find("lazy_itable_init=1") != std::string::npos;
    // Stale bytes in a never-used inode table are zeroed before its first inode is handed out.
    u64 table = 0, tableBytes = 0, made3 = 0;
    if (lazy) {
      Ext4Mounted ro(img.path);
      Ext4GroupRef g;
      ASSERT_EQ(Ext4GroupGet(&ro.vol->fs, 13, &g), EXT4_OK);
      table = Ext4GroupInodeTable(ro.vol->fs, g.desc) * 1024;
      tableBytes = u64{ro.vol->fs.inodesPerGroup} * ro.vol->fs.inodeSize;
      made3 = 3 * ro.vol->fs.inodeSize;
      EXPECT_FALSE(Ext4GroupFlags(g.desc) & EXT4_BG_INODE_ZEROED);
      Ext4GroupPut(&g);
      const std::string junk(tableBytes, 'J');
      const int fd = ::open(img.path.c_str(), O_WRONLY);
      ASSERT_EQ(::pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(table)),
                static_cast<ssize_t>(junk.size()));
      ::close(fd);
    }
    std::vector<u32> made;
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      // A folder's inode counts in its group until it is freed again.
      Ext4InodeRef dir;
      ASSERT_EQ(Ext4InodeAlloc(&m.vol->fs, &dir, 2), EXT4_OK);
      EXPECT_EQ(Ext4InodeMode(dir.inode), EXT4_S_IFDIR | 0777);
      ASSERT_EQ(Ext4InodeFree(&dir), EXT4_OK);
      ASSERT_EQ(Ext4InodePut(&dir), EXT4_OK);
      for (u32 group : {0u, 9u, 13u}) {
        m.vol->fs.lastInodeGroup = group;
        for (u32 type : {1u, 7u, 1u}) {
          Ext4InodeRef ref;
          ASSERT_EQ(Ext4InodeAlloc(&m.vol->fs, &ref, type), EXT4_OK);
          EXPECT_EQ((ref.index - 1) / m.vol->fs.inodesPerGroup, group);
          Ext4SetLe16(ref.inode + EXT4_I_LINKS, 1);
          if (type == 7) {
            std::memcpy(ref.inode + EXT4_I_BLOCK, "target", 6);
            Ext4InodeSetSize(m.vol->fs, ref.inode, 6);
          }
          if (type == 1) {
            // A block in a group whose bitmap was never written.
            u64 phys = 0;
            ASSERT_EQ(Ext4BlockAlloc(&ref, Ext4GroupFirstBlock(m.vol->fs, group + 1), &phys), EXT4_OK);
            ASSERT_EQ(Ext4BlockFree(&ref, phys), EXT4_OK);
            ASSERT_EQ(Ext4InodeTruncate(&ref, 0), EXT4_OK);
          }
          made.push_back(ref.index);
          ASSERT_EQ(Ext4InodePut(&ref), EXT4_OK);
        }
      }
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    if (lazy) {
      // Past the three inodes made there (whose checksums may hold any byte).
      const std::string t = img.Raw(table + made3, tableBytes - made3);
      EXPECT_EQ(t.find('J'), std::string::npos);
    }
    for (std::size_t i = 0; i < made.size(); ++i)
      img.Debugfs("ln <" + std::to_string(made[i]) + "> n" + std::to_string(i), true);
    EXPECT_EQ(img.Problems(), "");
    const std::string st = img.Debugfs("stat n0"), link = img.Debugfs("stat n1");
    EXPECT_NE(st.find("Mode:  0666"), std::string::npos) << st;
    EXPECT_NE(st.find("User:  1234   Group:  5678"), std::string::npos) << st;
    EXPECT_NE(st.find("Size: 0"), std::string::npos) << st;
    EXPECT_EQ(st.find("Size: 30064771072"), std::string::npos);
    EXPECT_NE(link.find("Type: symlink"), std::string::npos) << link;
    if (big) {
      EXPECT_NE(st.find("Size of extra inode fields: 28"), std::string::npos) << st;
      EXPECT_NE(st.find("crtime:"), std::string::npos);
    }
    EXPECT_NE(st.find(std::string(mkfs).find("ext3") != std::string::npos ? "Flags: 0x0" : "Flags: 0x80000"),
              std::string::npos);
  }
}

TEST(Ext4Alloc, ZeroingALargeInodeTableCommitsOnTheWay) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Image img("-t ext4 -b 4096 -E lazy_itable_init=1 -N 65536 -J size=4", "160M");
  auto nextId = [&] {
    const std::string out = img.Debugfs("logdump");
    return std::stoul(out.substr(out.find("transaction ") + 12));
  };
  const unsigned long first = nextId();
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
    m.vol->fs.lastInodeGroup = 1;
    Ext4InodeRef ref;
    ASSERT_EQ(Ext4InodeAlloc(&m.vol->fs, &ref, 1), EXT4_OK);
    Ext4SetLe16(ref.inode + EXT4_I_LINKS, 1);
    const u32 ino = ref.index;
    ASSERT_EQ(Ext4InodePut(&ref), EXT4_OK);
    ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    ASSERT_EQ(m.Unmount(), EXT4_OK);
    img.Debugfs("ln <" + std::to_string(ino) + "> new", true);
  }
  EXPECT_EQ(img.Problems(), "");
  EXPECT_GT(nextId() - first, 2u);
  const std::string groups = Shell("dumpe2fs " + Quote(img.path) + " 2>/dev/null");
  const std::size_t at = groups.find("Group 1:");
  const std::string group1 = groups.substr(at, groups.find('\n', at) - at);
  EXPECT_NE(group1.find("[ITABLE_ZEROED]"), std::string::npos) << group1;
}

TEST(Ext4Alloc, DamageIsRefusedAndMarksTheVolume) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Image img("-t ext4 -b 1024", "8M");
  std::string model;
  for (u64 i = 0; i < 12; ++i) model += Pattern(1024, 'c', i);
  img.Put("f", model);
  img.Put("g", "");
  const std::string before = ReadFile(img.path);
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held h(m.vol, InodeOf(m.vol, "/f"));
    // Inode numbers and groups outside the volume.
    Ext4InodeRef none;
    EXPECT_EQ(Ext4InodeGet(&m.vol->fs, 0, &none), EXT4_EIO);
    EXPECT_EQ(Ext4InodeGet(&m.vol->fs, m.vol->fs.inodesCount + 1, &none), EXT4_EIO);
    Ext4GroupRef outside;
    EXPECT_EQ(Ext4GroupGet(&m.vol->fs, m.vol->fs.groupCount, &outside), EXT4_EIO);
    // Extent trees deeper than five levels are not followed.
    u8* root = h.ref.inode + EXT4_I_BLOCK;
    const u16 depth = Ext4Le16(root + 6);
    Ext4SetLe16(root + 6, 6);
    u64 phys = 0;
    EXPECT_EQ(Ext4InodeInitBlock(&h.ref, 100, &phys, nullptr), EXT4_EIO);
    Ext4SetLe16(root + 6, depth);
    // The inode table is no data block; freeing it is refused and the volume marked.
    Ext4GroupRef g;
    ASSERT_EQ(Ext4GroupGet(&m.vol->fs, 0, &g), EXT4_OK);
    const u64 table = Ext4GroupInodeTable(m.vol->fs, g.desc);
    Ext4GroupPut(&g);
    EXPECT_EQ(Ext4BlocksFree(&h.ref, table, 2), EXT4_EIO);
    EXPECT_TRUE(m.vol->broken);
    EXPECT_TRUE(Ext4Le16(m.vol->fs.sb.data() + EXT4_SB_STATE) & EXT4_STATE_ERROR);
  }
  EXPECT_NE(img.Debugfs("stats").find("with errors"), std::string::npos);
  {
    WriteFile(img.path, before);
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held h(m.vol, InodeOf(m.vol, "/g"));
    u64 phys = 0;
    ASSERT_EQ(Ext4InodeInitBlock(&h.ref, 0, &phys, nullptr), EXT4_OK);
    ASSERT_EQ(Ext4BlockFree(&h.ref, phys + 1), EXT4_EIO);  // never allocated
    EXPECT_TRUE(m.vol->broken);
  }
  // A leaf that fails its checksum is refused, not given a fresh one.
  WriteFile(img.path, before);
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held f(m.vol, InodeOf(m.vol, "/f")), g(m.vol, InodeOf(m.vol, "/g"));
    ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
    std::string a = model, b;
    for (int i = 0; i < 6; ++i) {
      AppendBlock(m.vol, f, 'f', a);
      AppendBlock(m.vol, g, 'g', b);
    }
    f.Put();
    g.Put();
    ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
  }
  ASSERT_EQ(img.Problems(), "");
  const std::string ex = img.Debugfs("ex f");
  const std::size_t row = ex.find(" 0/ 1 ");
  ASSERT_NE(row, std::string::npos) << ex;
  u64 leaf = 0;
  ASSERT_EQ(std::sscanf(ex.c_str() + row, " 0/ 1 %*d/ %*d %*u - %*u %lu", &leaf), 1);
  {
    const int fd = ::open(img.path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "X", 1, static_cast<off_t>(leaf * 1024 + 1000)), 1);
    ::close(fd);
  }
  const std::string damaged = img.Raw(leaf * 1024, 1024);
  {
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held f(m.vol, InodeOf(m.vol, "/f"));
    u64 phys = 0;
    u32 logical = 0;
    EXPECT_EQ(Ext4InodeAppendBlock(&f.ref, &phys, &logical), EXT4_EIO);
  }
  EXPECT_TRUE(img.Raw(leaf * 1024, 1024) == damaged);
}

TEST(Ext4Alloc, MetaGroupDescriptorCopiesAreNoData) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  Image img("-t ext4 -b 1024 -g 256 -N 512 -O meta_bg,^resize_inode", "12M");
  img.Put("f", "");
  Session m(img.path);
  ASSERT_EQ(m.result, EXT4_OK);
  const Ext4Fs& fs = m.vol->fs;
  Held f(m.vol, InodeOf(m.vol, "/f"));
  for (u32 group : {1u, fs.descPerBlock - 1}) {
    const u64 copy = Ext4GroupFirstBlock(fs, group) + (Ext4GroupHasSuper(fs, group) ? 1 : 0);
    EXPECT_TRUE(Ext4InSystemZone(&m.vol->fs, copy, 1)) << group;
    EXPECT_EQ(Ext4BlocksFree(&f.ref, copy, 1), EXT4_EIO) << group;
  }
}

TEST(Ext4Alloc, SizeAndCountLimits) {
  Ext4Fs fs;
  fs.blockSize = 4096;
  std::array<u8, 256> inode{};
  EXPECT_EQ(Ext4InodeSetBlockCount(fs, inode.data(), 0xFFFFFFFFull), EXT4_OK);
  EXPECT_EQ(Ext4InodeSetBlockCount(fs, inode.data(), 1ull << 33), EXT4_EINVAL);  // no HUGE_FILE
  EXPECT_EQ(Ext4InodeBlockCount(fs, inode.data()), 0xFFFFFFFFull);
  fs.roCompat = EXT4_RO_COMPAT_HUGE_FILE;
  EXPECT_EQ(Ext4InodeSetBlockCount(fs, inode.data(), 1ull << 33), EXT4_OK);
  EXPECT_EQ(Ext4InodeBlockCount(fs, inode.data()), 1ull << 33);
  EXPECT_FALSE(Ext4InodeFlags(inode.data()) & EXT4_INODE_HUGE_FILE);
  EXPECT_EQ(Ext4InodeSetBlockCount(fs, inode.data(), 1ull << 50), EXT4_OK);  // counted in blocks
  EXPECT_TRUE(Ext4InodeFlags(inode.data()) & EXT4_INODE_HUGE_FILE);
  EXPECT_EQ(Ext4InodeBlockCount(fs, inode.data()), 1ull << 50);
  EXPECT_EQ(Ext4InodeSetBlockCount(fs, inode.data(), 8), EXT4_OK);
  EXPECT_EQ(Ext4InodeFlags(inode.data()), 0u);
  if (!HaveE2fsprogs()) GTEST_SKIP();
  // A block past 2 GiB on a volume made without LARGE_FILE turns the feature on.
  for (const char* mkfs : {"-t ext4 -b 4096", "-t ext3 -b 4096"}) {
    SCOPED_TRACE(mkfs);
    Image img(mkfs, "16M");
    img.Put("f", "x");
    img.Debugfs("feature -large_file", true);
    ASSERT_EQ(img.Debugfs("stats").find("large_file"), std::string::npos);
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      {
        Held f(m.vol, InodeOf(m.vol, "/f"));
        u64 phys = 0;
        ASSERT_EQ(Ext4InodeInitBlock(&f.ref, 600000, &phys, nullptr), EXT4_OK);
        Ext4InodeSetSize(m.vol->fs, f.ref.inode, 600001ull * 4096);
        f.ref.dirty = true;
      }
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_NE(img.Debugfs("stats").find("large_file"), std::string::npos);
  }
  // An initialised extent holds at most 32768 blocks; appending goes on in the next one.
  {
    Image img("-t ext4 -b 4096", "800M");  // group 4 is free from end to end
    img.Put("f", "");
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
      {
        Held f(m.vol, InodeOf(m.vol, "/f"));
        for (int i = 0; i < 170000; ++i) {
          u64 phys = 0;
          u32 logical = 0;
          ASSERT_EQ(Ext4InodeAppendBlock(&f.ref, &phys, &logical), EXT4_OK);
        }
      }
      ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(img.Problems(), "");
    EXPECT_NE(img.Debugfs("ex f").find(" 32768 "), std::string::npos) << img.Debugfs("ex f");
  }
  // Logical blocks past what extents or the block map can address are refused with 27.
  for (const char* mkfs : {"-t ext4 -b 1024", "-t ext3 -b 1024"}) {
    Image img(mkfs, "8M");
    img.Put("f", "x");
    Session m(img.path);
    ASSERT_EQ(m.result, EXT4_OK);
    Held f(m.vol, InodeOf(m.vol, "/f"));
    const bool ext3 = std::string(mkfs).find("ext3") != std::string::npos;
    u64 phys = 0;
    EXPECT_EQ(Ext4InodeInitBlock(&f.ref, ext3 ? m.vol->fs.levelLimit[3] : 0xFFFFFFFFull, &phys, nullptr),
              EXT4_EFBIG);
    EXPECT_EQ(phys, 0u);
  }
}

TEST(Ext4Alloc, RandomWritesAndRemovalsKeepTheTreeSound) {
  if (!HaveE2fsprogs()) GTEST_SKIP();
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    Image img("-t ext4 -b 1024", "16M");
    img.Put("r", "");
    img.Debugfs("fallocate r 1000 2999", true);
    std::mt19937 rng(seed);
    const u64 blocks = 3000;
    std::string model(blocks * 1024, '\0');
    {
      Session m(img.path);
      ASSERT_EQ(m.result, EXT4_OK);
      for (int round = 0; round < 6; ++round) {
        ASSERT_EQ(Ext4TransStart(m.vol), EXT4_OK);
        {
          Held h(m.vol, InodeOf(m.vol, "/r"));
          Ext4InodeSetSize(m.vol->fs, h.ref.inode, model.size());
          for (int i = 0; i < 120; ++i) {
            const u64 at = rng() % blocks;
            if (rng() % 4) {
              WriteAt(m.vol, h, at, static_cast<char>('a' + rng() % 26), model);
            } else {
              const u64 to = std::min<u64>(blocks - 1, at + rng() % 40);
              ASSERT_EQ(Ext4ExtentRemoveSpace(&h.ref, static_cast<u32>(at), static_cast<u32>(to)), EXT4_OK);
              std::fill(model.begin() + at * 1024, model.begin() + (to + 1) * 1024, '\0');
            }
            if (HasFatalFailure()) return;
          }
        }
        ASSERT_EQ(Ext4TransStop(m.vol), EXT4_OK);
      }
    }
    // Random splits leave leaves partly empty, which e2fsck offers to compact: that offer is no
    // inconsistency, so it is not asked for here.
    EXPECT_EQ(img.Problems("-E no_optimize_extents"), "");
    EXPECT_TRUE(img.Get("r") == model);
  }
}

}  // namespace
