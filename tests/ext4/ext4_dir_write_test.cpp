// Adding and removing directory entries through the engine, linear and hashed, checked with e2fsck and debugfs.
#include "FileSystem/Ext4/ext4_dir.h"
#include "FileSystem/Ext4/ext4_trans.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <sstream>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

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

// Index entries whose hash carries the continuation bit, in a debugfs htree dump.
int ContinuedHashes(const std::string& htree) {
  int n = 0;
  for (std::size_t at = htree.find(": Hash 0x"); at != std::string::npos; at = htree.find(": Hash 0x", at + 1))
    n += at + 17 < htree.size() && std::strchr("13579bdf", htree[at + 16]) != nullptr;
  return n;
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

// Runs a change in a transaction of its own when the volume's journal runs.
int InTransaction(Ext4Volume* vol, const std::function<int()>& change) {
  if (vol->journal && Ext4TransStart(vol) != EXT4_OK) return EXT4_EIO;
  const int r = change();
  if (vol->journal) {
    if (r) Ext4TransAbort(vol);
    else if (Ext4TransStop(vol) != EXT4_OK) return EXT4_EIO;
  }
  return r;
}

int Add(Ext4Volume* vol, u32 dirIno, const std::string& name, u32 childIno) {
  return InTransaction(vol, [&] {
    Inode dir(vol, dirIno), child(vol, childIno);
    return Ext4DirAddEntry(&dir.ref, name.data(), static_cast<u32>(name.size()), &child.ref);
  });
}

int Remove(Ext4Volume* vol, u32 dirIno, const std::string& name) {
  return InTransaction(vol, [&] {
    Inode dir(vol, dirIno);
    return Ext4DirRemoveEntry(&dir.ref, name.data(), static_cast<u32>(name.size()));
  });
}

void SetLinks(Ext4Volume* vol, u32 ino, u32 links) {
  EXPECT_EQ(InTransaction(vol, [&] {
              Inode i(vol, ino);
              Ext4SetLe16(i.ref.inode + EXT4_I_LINKS, static_cast<u16>(links));
              i.ref.dirty = true;
              return EXT4_OK;
            }),
            EXT4_OK);
}

int DxInit(Ext4Volume* vol, u32 dirIno, u32 parentIno) {
  return InTransaction(vol, [&] {
    Inode folder(vol, dirIno), parent(vol, parentIno);
    return Ext4DxInit(&folder.ref, &parent.ref);
  });
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
    const int r = Ext4DirIteratorNext(&it);
    if (r != EXT4_OK) {
      ADD_FAILURE() << "the iterator failed with " << r;
      break;
    }
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

// A volume with an empty folder e and a folder d that holds count hard links ("<stem>-NNNNN" plus i % 7 letters) of /target.
std::string MakeVolume(const TempDir& dir, const std::string& options, const std::string& size, int count,
                       bool index) {
  const std::string src = dir / "src";
  fs::create_directories(src + "/d");
  fs::create_directories(src + "/e");
  WriteFile(src + "/target", "shared");
  for (int i = 0; i < count; ++i) fs::create_hard_link(src + "/target", src + "/d/" + Name("link", i, i % 7));
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 " + options + " -d " + Quote(src) + " " + Quote(image) + " " + size);
  if (index) Shell("e2fsck -fyD " + Quote(image) + " 2>&1");
  EXPECT_EQ(E2fsckProblems(image), "");
  return image;
}

// Removing the first entry of a block keeps its length; a later one merges into its predecessor;
// adding again takes that space back without growing the folder.
TEST(Ext4DirWrite, LinearRemoveAndReAddInPlace) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 1024 -O ^dir_index", "8M", 300, false);
  std::set<std::string> expected;
  for (int i = 0; i < 300; ++i) expected.insert(Name("link", i, i % 7));
  {
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    Ext4Volume* vol = m.vol;
    const u32 bs = vol->fs.blockSize;
    const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
    const u64 size = DirSize(vol, d);
    // Names in order of their offsets: the first two of block 1 and one in the middle of block 0.
    std::map<u64, std::string> byOffset;
    for (const auto& [name, off] : EntryOffsets(vol, d)) byOffset[off] = name;
    auto at = byOffset.find(bs);
    ASSERT_NE(at, byOffset.end());
    const std::string first = at->second, second = std::next(at)->second;
    const auto later = std::next(byOffset.begin(), 10), pred = std::prev(later);
    const u32 firstLen = RawEntry(vol, d, bs).second, secondLen = RawEntry(vol, d, bs + firstLen).second;
    const u32 predLen = RawEntry(vol, d, pred->first).second, laterLen = RawEntry(vol, d, later->first).second;

    EXPECT_EQ(Remove(vol, d, first), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, bs), (std::pair<u32, u32>{0, firstLen}));
    EXPECT_EQ(Remove(vol, d, second), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, bs), (std::pair<u32, u32>{0, firstLen + secondLen}));
    EXPECT_EQ(Remove(vol, d, later->second), EXT4_OK);
    EXPECT_EQ(RawEntry(vol, d, pred->first).second, predLen + laterLen);
    EXPECT_EQ(Lookup(vol, d, later->second), 0u);
    EXPECT_EQ(Remove(vol, d, later->second), EXT4_ENOENT);

    // The names come back into the freed space.
    for (const std::string& n : {first, second, later->second}) EXPECT_EQ(Add(vol, d, n, target), EXT4_OK) << n;
    EXPECT_EQ(DirSize(vol, d), size);
    for (const std::string& n : expected) EXPECT_EQ(Lookup(vol, d, n), target) << n;
    Inode folder(vol, d), child(vol, target);
    EXPECT_EQ(Ext4DirAddEntry(&folder.ref, "x", 0, &child.ref), EXT4_EINVAL);
    EXPECT_EQ(Ext4DirAddEntry(&folder.ref, std::string(256, 'L').c_str(), 256, &child.ref), EXT4_EINVAL);
    EXPECT_EQ(Ext4DirRemoveEntry(&child.ref, "x", 1), EXT4_ENOTDIR);
    SetLinks(vol, target, static_cast<u32>(expected.size()) + 1);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d"), expected);
}

// In an index e2fsck built, removed names leave their leaves' space, and adding them again fills it.
TEST(Ext4DirWrite, HashedRemoveAndReAddInPlace) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 1024", "16M", 1500, true);
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
    for (int i = 0; i < 1500; i += 3) ASSERT_EQ(Add(vol, d, Name("link", i, i % 7), target), EXT4_OK) << i;
    EXPECT_EQ(DirSize(vol, d), size);
    for (const std::string& n : all) ASSERT_EQ(Lookup(vol, d, n), target) << n;
    SetLinks(vol, target, 1500 + 1);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d"), all);
}

// Groups of four 255-byte names ("<8 hex digits>" and 247 'c') that share one half-MD4 hash under
// kSeed: a 1 KiB leaf holds three at most, so a split must fall inside a group.
const char* const kSeed = "67452301-efcd-ab89-1032-547698badcfe";
const char* const kSameHash[][4] = {
    {"00621c1b", "01012188", "0126b361", "02374b20"}, {"00144ab3", "0163e7c0", "017525f3", "0225e251"},
    {"0088ee04", "00da06d2", "00eb975d", "01e0baba"}, {"001d7eef", "00279a67", "00eede62", "014021f0"},
    {"01910f42", "023252b6", "025f95b7", "02609657"}, {"00ae180c", "0123eb54", "01720c62", "025770d4"},
};

std::string Collider(int group, int i) { return kSameHash[group][i] + std::string(247, 'c'); }

struct Growth {
  const char* name;
  const char* options;
  bool hashed;
  const char* hashing = nullptr;  // debugfs requests that change how names hash (the groups then do not collide)
};

class Ext4DirGrowth : public ::testing::TestWithParam<Growth> {};

// Thousands of names added, two thirds removed, then added again: after each phase e2fsck finds
// nothing, debugfs lists exactly the names, and a hashed folder shows its index (two levels at 1 KiB).
TEST_P(Ext4DirGrowth, ThousandsOfAddsAndRemoves) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  const Growth& g = GetParam();
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, std::string(g.options) + (g.hashed ? "" : " -O ^dir_index"), "64M", 0, false);
  Ext4Tool("printf " + Quote(std::string("ssv hash_seed ") + kSeed + "\n" + (g.hashing ? g.hashing : "")) +
           " | debugfs -w -f - " + Quote(image));
  const bool collide = !g.hashing;
  const bool small = std::string(g.options).find("1024") != std::string::npos;
  const int count = small ? 4000 : 3000;
  auto name = [](int i) { return Name("name", i, static_cast<std::size_t>(i % 41)); };
  std::set<std::string> expected;
  u32 d = 0, target = 0;
  // Runs one phase on a mounted volume, then checks the volume unmounted.
  auto phase = [&](const char* what, const std::function<void(Ext4Volume*)>& body) {
    SCOPED_TRACE(what);
    {
      Ext4Mounted m(image, true);
      ASSERT_EQ(m.result, EXT4_OK);
      // As a drive runs it: the journal started, write-back on, one transaction per change.
      ASSERT_EQ(Ext4JournalStart(m.vol), EXT4_OK);
      ASSERT_TRUE(m.vol->journal);
      ASSERT_EQ(Ext4CacheWriteBack(m.vol, true), EXT4_OK);
      if (!d) {
        d = Lookup(m.vol, 2, "d");
        target = Lookup(m.vol, 2, "target");
      }
      body(m.vol);
      for (const std::string& n : expected) ASSERT_EQ(Lookup(m.vol, d, n), target) << n;
      SetLinks(m.vol, target, static_cast<u32>(expected.size()) + 1);
      EXPECT_EQ(Ext4CacheWriteBack(m.vol, false), EXT4_OK);
      EXPECT_EQ(Ext4JournalStop(m.vol), EXT4_OK);
    }
    EXPECT_EQ(E2fsckProblems(image), "");
    EXPECT_EQ(DebugfsNames(image, "d"), expected);
    const std::string htree = Htree(image, "d");
    EXPECT_EQ(htree.find("Root node dump") != std::string::npos, g.hashed) << htree.substr(0, 400);
    const char* version = collide ? "Hash Version: 1" : std::strstr(g.hashing, "tea") ? "Hash Version: 2" : "Hash Version: 0";
    if (g.hashed) {
      EXPECT_NE(htree.find(version), std::string::npos);
    }
    if (g.hashed && small) {
      EXPECT_NE(htree.find("Indirect levels: 1"), std::string::npos);
      if (collide) {
        EXPECT_GT(ContinuedHashes(htree), 0);
      }
    }
  };
  phase("add", [&](Ext4Volume* vol) {
    if (g.hashed) {
      ASSERT_EQ(DxInit(vol, d, 2), EXT4_OK);
    }
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(Add(vol, d, name(i), target), EXT4_OK) << i;
      expected.insert(name(i));
    }
    for (int group = 0; group < 6; ++group) {
      u32 hash = 0, minor = 0, first = 0;
      for (int i = 0; i < 4; ++i) {
        const std::string n = Collider(group, i);
        ASSERT_EQ(Ext4DirHash(n.data(), 255, 1, reinterpret_cast<const u32*>(vol->fs.sb.data() + EXT4_SB_HASH_SEED),
                              &hash, &minor), EXT4_OK);
        if (i == 0) first = hash;
        if (collide) {
          EXPECT_EQ(hash, first) << "the seed did not take";
        }
        ASSERT_EQ(Add(vol, d, n, target), EXT4_OK);
        expected.insert(n);
      }
    }
  });
  phase("remove", [&](Ext4Volume* vol) {
    for (int i = 0; i < count; ++i) {
      if (i % 3 == 0) continue;
      ASSERT_EQ(Remove(vol, d, name(i)), EXT4_OK) << i;
      expected.erase(name(i));
    }
    for (int group = 0; group < 6; ++group)
      for (int i = 0; i < 4; i += 2) {
        ASSERT_EQ(Remove(vol, d, Collider(group, i)), EXT4_OK);
        expected.erase(Collider(group, i));
      }
    for (int i = 1; i < count; i += 3) ASSERT_EQ(Lookup(vol, d, name(i)), 0u);
  });
  phase("add again", [&](Ext4Volume* vol) {
    for (int i = 0; i < count + count / 2; ++i) {
      if (i < count && i % 3 == 0) continue;
      ASSERT_EQ(Add(vol, d, name(i), target), EXT4_OK) << i;
      expected.insert(name(i));
    }
    for (int group = 0; group < 6; ++group)
      for (int i = 0; i < 4; i += 2) {
        ASSERT_EQ(Add(vol, d, Collider(group, i), target), EXT4_OK);
        expected.insert(Collider(group, i));
      }
  });
}

// When the root and its index level are full, adding gives 28 and leaves a clean folder behind.
TEST(Ext4DirWrite, FullIndexGivesNoSpace) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 1024 -O ^metadata_csum", "64M", 0, false);
  std::set<std::string> expected;
  {
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    const u32 d = Lookup(m.vol, 2, "d"), target = Lookup(m.vol, 2, "target");
    ASSERT_EQ(DxInit(m.vol, d, 2), EXT4_OK);
    int r = EXT4_OK;
    for (int i = 0; i < 60000 && r == EXT4_OK; ++i) {
      const std::string n = Name("full", i, 245);
      r = Add(m.vol, d, n, target);
      if (r == EXT4_OK) expected.insert(n);
    }
    EXPECT_EQ(r, EXT4_ENOSPC);
    for (int i = 0; i < 60000; i += 997) EXPECT_EQ(Lookup(m.vol, d, Name("full", i, 245)) != 0, expected.count(Name("full", i, 245)) == 1);
    SetLinks(m.vol, target, static_cast<u32>(expected.size()) + 1);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d").size(), expected.size());
}

// Moving a folder: ".." follows through the linear block or the index root (with its checksum),
// and e2fsck agrees on the parents and their link counts.
TEST(Ext4DirWrite, ParentOfMovedFolders) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const char* options : {"-b 1024", "-b 4096 -O ^metadata_csum,^filetype"}) {
    SCOPED_TRACE(options);
    TempDir dir("e4dirw", ImageBase());
    const std::string src = dir / "src";
    for (const char* sub : {"a/linear", "a/hashed", "b"}) fs::create_directories(src + "/" + sub);
    WriteFile(src + "/a/linear/inside", "x");
    const std::string image = dir / "vol.img";
    Ext4Tool(std::string("mke2fs -q -F -t ext4 ") + options + " -d " + Quote(src) + " " + Quote(image) + " 8M");
    {
      Ext4Mounted m(image, true);
      ASSERT_EQ(m.result, EXT4_OK);
      Ext4Volume* vol = m.vol;
      const u32 a = Lookup(vol, 2, "a"), b = Lookup(vol, 2, "b");
      const u32 linear = Lookup(vol, a, "linear"), hashed = Lookup(vol, a, "hashed");
      ASSERT_EQ(DxInit(vol, hashed, a), EXT4_OK);
      EXPECT_EQ(DxInit(vol, linear, a), EXT4_EINVAL);  // not a new folder
      for (const u32 moved : {linear, hashed}) {
        Inode folder(vol, moved);
        ASSERT_EQ(moved == hashed ? Ext4DxSetParent(&folder.ref, b) : Ext4DirSetParent(&folder.ref, b), EXT4_OK);
      }
      for (const char* n : {"linear", "hashed"}) {
        ASSERT_EQ(Add(vol, b, n, Lookup(vol, a, n)), EXT4_OK);
        ASSERT_EQ(Remove(vol, a, n), EXT4_OK);
      }
      SetLinks(vol, a, 2);
      SetLinks(vol, b, 4);
      // "." and ".." are found in the index root, which no hash leads to.
      for (const char* n : {"hashed", "linear"}) {
        EXPECT_EQ(Lookup(vol, Lookup(vol, b, n), ".."), b) << n;
        EXPECT_EQ(Lookup(vol, Lookup(vol, b, n), "."), Lookup(vol, b, n)) << n;
      }
      EXPECT_EQ(Remove(vol, hashed, ".."), EXT4_EINVAL);
    }
    EXPECT_EQ(E2fsckProblems(image), "");
    EXPECT_EQ(DebugfsNames(image, "b"), (std::set<std::string>{"hashed", "linear"}));
    EXPECT_EQ(DebugfsNames(image, "b/linear"), std::set<std::string>{"inside"});
    EXPECT_NE(Htree(image, "b/hashed").find("Root node dump"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, Ext4DirGrowth,
                         ::testing::Values(Growth{"hashed_csum_1k", "-b 1024", true},
                                           Growth{"hashed_plain_1k", "-b 1024 -O ^metadata_csum", true},
                                           Growth{"hashed_csum_4k", "-b 4096", true},
                                           Growth{"hashed_plain_4k", "-b 4096 -O ^metadata_csum", true},
                                           Growth{"hashed_tea_unsigned_2k_small_inodes", "-b 2048 -I 128", true,
                                                  "ssv def_hash_version tea\nssv flags 2\n"},
                                           Growth{"hashed_legacy_32bit", "-b 1024 -O ^64bit", true,
                                                  "ssv def_hash_version legacy\n"},
                                           Growth{"linear_csum_1k", "-b 1024", false},
                                           Growth{"linear_plain_4k", "-b 4096 -O ^metadata_csum", false}),
                         [](const auto& info) { return std::string(info.param.name); });


// A malformed entry (a name longer than its entry) stops lookups, inserts and removals with 5
// instead of ending the block's walk early or reading past the entry; a block whose checksum fails
// is not changed.
TEST(Ext4DirWrite, MalformedEntryGivesIoError) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 1024 -O ^dir_index", "8M", 100, false);
  Ext4Mounted m(image, true);
  ASSERT_EQ(m.result, EXT4_OK);
  Ext4Volume* vol = m.vol;
  const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
  auto offsets = EntryOffsets(vol, d);
  // Changes a byte of the folder in the cache, without a new checksum.
  auto damage = [&](u64 at, u8 value) {
    Inode folder(vol, d);
    u64 phys = 0;
    ASSERT_EQ(Ext4InodeGetBlock(&folder.ref, at / 1024, &phys), EXT4_OK);
    Ext4BlockRef b;
    ASSERT_EQ(Ext4BlockGet(*vol->dev, b, phys), EXT4_OK);
    b.data[at % 1024] = value;
    Ext4BlockMarkDirty(*b.buf);
  };
  // Names behind a given one in its block.
  auto behind = [&](const std::string& name) {
    std::string after;
    for (const auto& [n, off] : offsets)
      if (off > offsets.at(name) && off / 1024 == offsets.at(name) / 1024) after = n;
    return after;
  };
  // A changed name byte fails the block's checksum: lookups still read it, changes refuse it.
  const std::string renamed = Name("link", 90, 90 % 7), other = behind(renamed);
  ASSERT_FALSE(other.empty());
  damage(offsets.at(renamed) + 8, 'L');
  EXPECT_EQ(Lookup(vol, d, other), target);
  EXPECT_EQ(Remove(vol, d, other), EXT4_EIO);
  const std::string bad = Name("link", 40, 40 % 7), after = behind(bad);
  ASSERT_FALSE(after.empty());
  damage(offsets.at(bad) + 6, 250);  // name length past the entry
  int code = 0;
  EXPECT_EQ(Lookup(vol, d, after, &code), 0u);
  EXPECT_EQ(code, EXT4_EIO);
  EXPECT_EQ(Lookup(vol, d, "missing", &code), 0u);
  EXPECT_EQ(code, EXT4_EIO);
  EXPECT_EQ(Remove(vol, d, after), EXT4_EIO);
  EXPECT_EQ(Add(vol, d, std::string(200, 'z'), target), EXT4_EIO);
}

// A damaged index: a read-only volume still finds every name by scanning and writes nothing; a
// writable one refuses to change the folder (5) and keeps its index flag.
TEST(Ext4DirWrite, DamagedIndexFallsBackReadOnlyAndRefusesWrites) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 1024", "16M", 600, true);
  Ext4Tool("debugfs -w -R " + Quote("zap_block -f d -o 30 -l 1 -p 7 0") + " " + Quote(image));  // indirect levels 7
  {
    Ext4Mounted m(image, false);
    ASSERT_EQ(m.result, EXT4_OK);
    const u32 d = Lookup(m.vol, 2, "d");
    for (int i = 0; i < 600; i += 37) EXPECT_NE(Lookup(m.vol, d, Name("link", i, i % 7)), 0u) << i;
    EXPECT_EQ(Lookup(m.vol, d, "missing"), 0u);
    EXPECT_EQ(EntryOffsets(m.vol, d).size(), 602u);
    Inode folder(m.vol, d);
    EXPECT_EQ(Ext4DirRemoveEntry(&folder.ref, "link-00001n", 11), EXT4_EROFS);
    EXPECT_EQ(m.Unmount(), EXT4_OK);
    EXPECT_EQ(m.device.writes, 0);
  }
  Ext4Mounted m(image, true);
  ASSERT_EQ(m.result, EXT4_OK);
  const u32 d = Lookup(m.vol, 2, "d"), target = Lookup(m.vol, 2, "target");
  EXPECT_EQ(Add(m.vol, d, "new", target), EXT4_EIO);
  EXPECT_EQ(Remove(m.vol, d, "link-00001n"), EXT4_EIO);
  EXPECT_NE(Lookup(m.vol, d, "link-00001n"), 0u);
  Inode folder(m.vol, d);
  EXPECT_TRUE(Ext4InodeFlags(folder.ref.inode) & EXT4_INODE_INDEX);
}

// A new folder starts as an index root with one empty leaf, or on a volume without DIR_INDEX as
// "." and ".." added to an empty folder; either then takes hundreds of names.
TEST(Ext4DirWrite, NewFolders) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const char* options : {"-b 1024", "-b 4096 -O ^dir_index,^metadata_csum"}) {
    SCOPED_TRACE(options);
    TempDir dir("e4dirw", ImageBase());
    const std::string image = MakeVolume(dir, options, "16M", 0, false);
    {
      Ext4Mounted m(image, true);
      ASSERT_EQ(m.result, EXT4_OK);
      Ext4Volume* vol = m.vol;
      const u32 target = Lookup(vol, 2, "target");
      u32 fresh = 0;
      {
        Ext4InodeRef ref;
        ASSERT_EQ(Ext4InodeAlloc(&vol->fs, &ref, EXT4_DE_DIR), EXT4_OK);
        fresh = ref.index;
        Ext4SetLe16(ref.inode + EXT4_I_LINKS, 2);
        ref.dirty = true;
        Ext4InodePut(&ref);
      }
      if (vol->fs.compat & EXT4_COMPAT_DIR_INDEX) {
        ASSERT_EQ(DxInit(vol, fresh, 2), EXT4_OK);
      } else {
        ASSERT_EQ(Add(vol, fresh, ".", fresh), EXT4_OK);
        ASSERT_EQ(Add(vol, fresh, "..", 2), EXT4_OK);
      }
      ASSERT_EQ(Add(vol, 2, "new", fresh), EXT4_OK);
      {
        Inode root(vol, 2);
        SetLinks(vol, 2, Ext4Le16(root.ref.inode + EXT4_I_LINKS) + 1u);
      }
      for (int i = 0; i < 600; ++i) ASSERT_EQ(Add(vol, fresh, Name("entry", i, i % 30), target), EXT4_OK) << i;
      for (int i = 0; i < 600; ++i) ASSERT_EQ(Lookup(vol, fresh, Name("entry", i, i % 30)), target) << i;
      EXPECT_EQ(Lookup(vol, fresh, ".."), 2u);
      SetLinks(vol, target, 601);
    }
    EXPECT_EQ(E2fsckProblems(image), "");
    EXPECT_EQ(DebugfsNames(image, "new").size(), 600u);
  }
}

// Random damage to folder blocks (linear, index root, nodes and leaves): every lookup, insert,
// removal and listing ends with a code (0, 2, 5 or 28) and reads nothing outside a block.
TEST(Ext4DirWrite, DamagedBlocksNeverReadOutside) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const bool hashed : {false, true}) {
    TempDir dir("e4dirw", ImageBase());
    const std::string image =
        MakeVolume(dir, std::string("-b 1024 -O ^metadata_csum") + (hashed ? "" : ",^dir_index"), "16M", 800, hashed);
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    Ext4Volume* vol = m.vol;
    const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
    const u64 blocks = DirSize(vol, d) / 1024;
    std::mt19937 rng(hashed ? 7 : 11);
    for (int round = 0; round < 400; ++round) {
      u64 phys = 0;
      {
        Inode folder(vol, d);
        ASSERT_EQ(Ext4InodeGetBlock(&folder.ref, rng() % blocks, &phys), EXT4_OK);
      }
      Ext4BlockRef b;
      ASSERT_EQ(Ext4BlockGet(*vol->dev, b, phys), EXT4_OK);
      const std::vector<u8> saved(b.data, b.data + 1024);
      for (u32 n = 1 + rng() % 4; n > 0; --n) b.data[rng() % 1024] = static_cast<u8>(rng() % 3 ? rng() : 0);
      const int i = static_cast<int>(rng() % 800);
      const int codes[] = {Lookup(vol, d, Name("link", i, i % 7)) ? EXT4_OK : EXT4_ENOENT,
                           Add(vol, d, Name("new", round, static_cast<std::size_t>(i % 50)), target),
                           Remove(vol, d, Name("link", (i + 1) % 800, (i + 1) % 7))};
      for (const int code : codes)
        EXPECT_TRUE(code == EXT4_OK || code == EXT4_ENOENT || code == EXT4_EIO || code == EXT4_ENOSPC) << code;
      {
        Inode folder(vol, d);
        Ext4DirIterator it;
        for (int r = Ext4DirIteratorInit(&it, &folder.ref, 0); !it.atEnd; r = Ext4DirIteratorNext(&it))
          ASSERT_EQ(r, EXT4_OK);
        Ext4DirIteratorFini(&it);
      }
      std::memcpy(b.data, saved.data(), 1024);
      Ext4BlockMarkDirty(*b.buf);
    }
  }
}

// 64 KiB blocks store a whole-block entry length as 65535: listing, adding and removing work there.
TEST(Ext4DirWrite, SixtyFourKiBBlocks) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("e4dirw", ImageBase());
  const std::string image = MakeVolume(dir, "-b 65536 -O ^metadata_csum", "1G", 200, false);
  std::set<std::string> expected;
  for (int i = 0; i < 200; ++i)
    if (i % 4) expected.insert(Name("link", i, i % 7));
  {
    Ext4Mounted m(image, true);
    ASSERT_EQ(m.result, EXT4_OK);
    Ext4Volume* vol = m.vol;
    EXPECT_EQ(EntryOffsets(vol, Lookup(vol, 2, "lost+found")).size(), 2u);
    const u32 d = Lookup(vol, 2, "d"), target = Lookup(vol, 2, "target");
    for (int i = 0; i < 200; i += 4) ASSERT_EQ(Remove(vol, d, Name("link", i, i % 7)), EXT4_OK);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(Add(vol, d, Name("more", i, 200), target), EXT4_OK);
    for (int i = 0; i < 300; ++i) expected.insert(Name("more", i, 200));
    for (int i = 0; i < 300; i += 2) ASSERT_EQ(Remove(vol, d, Name("more", i, 200)), EXT4_OK);
    for (int i = 0; i < 300; i += 2) expected.erase(Name("more", i, 200));
    EXPECT_EQ(EntryOffsets(vol, d).size(), expected.size() + 2);
    // A hashed folder whose leaves split: empty blocks and the moved halves end in 65535 too.
    const u32 h = Lookup(vol, 2, "e");
    ASSERT_EQ(DxInit(vol, h, 2), EXT4_OK);
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(Add(vol, h, Name("hashed", i, 200), target), EXT4_OK) << i;
    for (int i = 0; i < 1500; i += 2) ASSERT_EQ(Remove(vol, h, Name("hashed", i, 200)), EXT4_OK) << i;
    for (int i = 0; i < 1500; ++i) EXPECT_EQ(Lookup(vol, h, Name("hashed", i, 200)) != 0, i % 2 == 1) << i;
    SetLinks(vol, target, static_cast<u32>(expected.size()) + 750 + 1);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(DebugfsNames(image, "d"), expected);
  EXPECT_EQ(DebugfsNames(image, "e").size(), 750u);
  EXPECT_NE(Htree(image, "e").find("Root node dump"), std::string::npos);
}

}  // namespace
