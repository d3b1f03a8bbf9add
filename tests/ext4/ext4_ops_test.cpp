// The writing file operations on every volume layout, each run judged by e2fsck and read back with debugfs.
#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Ext4/ext4_trans.h"
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

// A volume mounted for writing as a writable drive is: journal started, write-back on.
struct Writable {
  explicit Writable(const std::string& image) : m(image, true) {
    if (m.result == EXT4_OK) {
      EXPECT_EQ(Ext4JournalStart(m.vol), EXT4_OK);
      Ext4CacheWriteBack(m.vol, true);
    }
  }
  ~Writable() { Detach(); }
  int Detach() {
    if (!m.vol) return EXT4_OK;
    int r = Ext4CacheWriteBack(m.vol, false);
    if (const int s = Ext4JournalStop(m.vol); r == EXT4_OK) r = s;
    if (const int u = m.Unmount(); r == EXT4_OK) r = u;
    return r;
  }
  Ext4Volume* operator->() const { return m.vol; }
  operator Ext4Volume*() const { return m.vol; }
  Ext4Mounted m;
};

std::string Debugfs(const std::string& image, const std::string& request) {
  return Shell("debugfs -R " + Quote(request) + " " + Quote(image) + " 2>/dev/null");
}

// What debugfs dumps of a file.
std::string Dump(const TempDir& dir, const std::string& image, const std::string& path) {
  const std::string out = dir / "dumped";
  fs::remove(out);
  Debugfs(image, "dump \"" + path + "\" " + out);
  return fs::exists(out) ? ReadFile(out) : std::string("<missing>");
}

// debugfs's entries of a folder: name -> "mode size" (octal mode, as "ls -p" gives them).
std::map<std::string, std::string> Ls(const std::string& image, const std::string& folder) {
  std::map<std::string, std::string> out;
  std::istringstream in(Debugfs(image, "ls -p \"" + folder + "\""));
  for (std::string line; std::getline(in, line);) {
    // /ino/mode/uid/gid/name/size/
    std::vector<std::string> f;
    std::size_t at = 1;
    for (int i = 0; i < 4; ++i) {
      const std::size_t next = line.find('/', at);
      if (next == std::string::npos) break;
      f.push_back(line.substr(at, next - at));
      at = next + 1;
    }
    const std::size_t end = line.rfind('/', line.size() - 2);
    if (f.size() < 4 || end == std::string::npos || end < at) continue;
    const std::string name = line.substr(at, end - at);
    if (name != "." && name != "..") out[name] = f[1] + " " + line.substr(end + 1, line.size() - end - 2);
  }
  return out;
}

u32 Field(const std::string& stat, const std::string& key) {
  const std::size_t at = stat.find(key);
  return at == std::string::npos ? ~0u : static_cast<u32>(std::stoul(stat.substr(at + key.size()), nullptr, 0));
}

int Put(Ext4Volume* vol, const std::string& path, const std::string& data, const char* mode = "w",
        std::initializer_list<u32> chunks = {}) {
  Ext4File f;
  if (const int r = Ext4FileOpenMode(vol, &f, path.c_str(), mode, true); r) return r;
  std::size_t at = 0;
  auto chunk = chunks.begin();
  while (at < data.size()) {
    const u32 n = static_cast<u32>(std::min<std::size_t>(chunk == chunks.end() ? data.size() : *chunk++, data.size() - at));
    u32 done = 0;
    if (const int r = Ext4FileWrite(&f, data.data() + at, n, &done); r || done != n) {
      Ext4FileClose(&f);
      return r ? r : -1;
    }
    at += n;
  }
  return Ext4FileClose(&f);
}

std::string Get(Ext4Volume* vol, const std::string& path) {
  Ext4File f;
  if (Ext4FileOpen(vol, &f, path.c_str(), 0)) return "<missing>";
  std::string out;
  Ext4ReadAll(f, &out, ~u64{0});
  Ext4FileClose(&f);
  return out;
}

struct Layout {
  const char* name;
  const char* options;
  u32 blockSize;
};

const Layout kLayouts[] = {
    {"ext4_4k", "-t ext4 -b 4096", 4096},
    {"ext4_1k", "-t ext4 -b 1024", 1024},
    {"ext4_4k_32bit_nocsum", "-t ext4 -b 4096 -O ^64bit,^metadata_csum", 4096},
    {"ext4_1k_64bit_nocsum_linear", "-t ext4 -b 1024 -O 64bit,^metadata_csum,^dir_index", 1024},
    {"ext3_1k", "-t ext3 -b 1024", 1024},
    {"ext3_4k_128", "-t ext3 -b 4096 -I 128", 4096},
    {"ext2_1k_nojournal", "-t ext2 -b 1024", 1024},
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class Ext4Ops : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  }
  std::string Make(const std::string& extra = "", const std::string& size = "16M") {
    Ext4Tool("mke2fs -q -F " + std::string(GetParam().options) + " " + extra + " " + Quote(image) + " " + size);
    return image;
  }
  TempDir dir{"ext4-ops", ImageBase()};
  const std::string image = dir / "vol.img";
};

TEST_P(Ext4Ops, FilesAreWrittenOverwrittenCutAndGrown) {
  Make();
  const u32 bs = GetParam().blockSize;
  const std::string a = RandomBytes(3 * bs + 123, 1), b = RandomBytes(bs * 70 + 5, 2);
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    // Pieces that start and end inside blocks, whole blocks, and one write of many blocks.
    EXPECT_EQ(Put(vol, "/a.bin", a, "w", {1, 100, bs, 2 * bs - 101, 5}), EXT4_OK);
    EXPECT_EQ(Put(vol, "/b.bin", b), EXT4_OK);
    EXPECT_EQ(Put(vol, "/4100", std::string(4100, 'z')), EXT4_OK);
    EXPECT_EQ(Put(vol, "/empty", ""), EXT4_OK);
    // Append, and overwrite inside the file from a seek.
    EXPECT_EQ(Put(vol, "/a.bin", "tail", "a"), EXT4_OK);
    Ext4File f;
    ASSERT_EQ(Ext4FileOpenMode(vol, &f, "/a.bin", "r+b", true), EXT4_OK);
    EXPECT_EQ(Ext4FileSeek(&f, static_cast<u64>(-10), 2), EXT4_OK);  // from the end, as fseek counts
    EXPECT_EQ(Ext4FileTell(&f), a.size() + 4 - 10);
    EXPECT_EQ(Ext4FileSeek(&f, bs - 2, 0), EXT4_OK);
    u32 done = 0;
    EXPECT_EQ(Ext4FileWrite(&f, "XXXX", 4, &done), EXT4_OK);
    EXPECT_EQ(Ext4FileSeek(&f, 1, 2), EXT4_EINVAL);
    // Cut in the middle of a block, then grown again: the cut bytes read as zeros, and so does the hole.
    EXPECT_EQ(Ext4FileTruncate(&f, bs + 7), EXT4_OK);
    EXPECT_EQ(Ext4FileTruncate(&f, 5 * bs + 3), EXT4_OK);
    EXPECT_EQ(f.size, 5 * bs + 3);
    // A write into the hole maps a block for it.
    EXPECT_EQ(Ext4FileSeek(&f, 3 * bs + 10, 0), EXT4_OK);
    EXPECT_EQ(Ext4FileWrite(&f, "hole", 4, &done), EXT4_OK);
    EXPECT_EQ(Ext4FileClose(&f), EXT4_OK);
    // "w" empties an existing file; modes outside the table are refused.
    EXPECT_EQ(Put(vol, "/b.bin", "short"), EXT4_OK);
    EXPECT_EQ(Ext4FileOpenMode(vol, &f, "/a.bin", "x", true), EXT4_EINVAL);
    EXPECT_EQ(Ext4FileOpenMode(vol, &f, "/b.bin", "r+", true), EXT4_OK);
    EXPECT_EQ(Ext4FileClose(&f), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  std::string expect = a + "tail";
  expect.replace(bs - 2, 4, "XXXX");
  expect.resize(bs + 7);
  expect.resize(5 * bs + 3, '\0');
  expect.replace(3 * bs + 10, 4, "hole");
  EXPECT_TRUE(Dump(dir, image, "/a.bin") == expect);
  EXPECT_EQ(Dump(dir, image, "/b.bin"), "short");
  EXPECT_TRUE(Dump(dir, image, "/4100") == std::string(4100, 'z'));
  const auto root = Ls(image, "/");
  EXPECT_EQ(root.at("4100"), "100666 4100");
  EXPECT_EQ(root.at("empty"), "100666 0");
  // 4100 bytes take two 4 KiB blocks (five of 1 KiB), counted in 512-byte units.
  EXPECT_EQ(Field(Debugfs(image, "stat /4100"), "Blockcount: "), bs == 4096 ? 16u : 10u);
}

TEST_P(Ext4Ops, FoldersAndNamesAreMadeMovedAndRemoved) {
  Make();
  const std::string longest(255, 'n');
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d/e"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d/e/f"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d"), EXT4_OK);  // already there
    EXPECT_EQ(Ext4Mkdir(vol, "/"), EXT4_EEXIST);
    EXPECT_EQ(Ext4Mkdir(vol, "/no/such"), EXT4_ENOTDIR);
    EXPECT_EQ(Put(vol, "/d/file", "data"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d/file"), EXT4_EEXIST);
    // Names of 255 bytes and bytes above 0x7F; 256 bytes are too long.
    EXPECT_EQ(Put(vol, "/d/" + longest, "long"), EXT4_OK);
    EXPECT_EQ(Get(vol, "/d/" + longest), "long");
    EXPECT_EQ(Put(vol, "/d/" + longest + "n", "x"), EXT4_EINVAL);
    EXPECT_EQ(Put(vol, "/gr\xC3\xBC\xC3\x9F" "e\xE9\xFF", "bytes"), EXT4_OK);
    EXPECT_EQ(Put(vol, "/gone", "bye"), EXT4_OK);
    EXPECT_EQ(Put(vol, "/d/" + longest + "2", "x"), EXT4_EINVAL);

    // A folder moves into another: ".." and both link counts follow. Into its own subtree it cannot.
    EXPECT_EQ(Ext4Rename(vol, "/d/e", "/moved"), EXT4_OK);
    EXPECT_EQ(Ext4Rename(vol, "/moved", "/moved/f/inside"), EXT4_EINVAL);
    EXPECT_EQ(Ext4Rename(vol, "/d", "/d/x"), EXT4_EINVAL);
    EXPECT_EQ(Ext4Rename(vol, "/d/file", "/gone"), EXT4_EEXIST);
    EXPECT_EQ(Ext4Rename(vol, "/d/file", "/moved/f/file2"), EXT4_OK);
    EXPECT_EQ(Ext4Rename(vol, ("/d/" + longest).c_str(), "/d/short"), EXT4_OK);
    EXPECT_EQ(Ext4Rename(vol, "/missing", "/x"), EXT4_ENOENT);

    // Removal: a folder is no file; a folder with entries stays whole.
    EXPECT_EQ(Ext4FileRemove(vol, "/moved"), EXT4_EISDIR);
    EXPECT_EQ(Ext4DirRemove(vol, "/moved", false), EXT4_ENOTEMPTY);
    EXPECT_EQ(Ext4DirRemove(vol, "/moved/f", false), EXT4_ENOTEMPTY);
    EXPECT_EQ(Ext4DirRemove(vol, "/", false), EXT4_EACCES);
    EXPECT_EQ(Ext4FileRemove(vol, "/gone"), EXT4_OK);
    EXPECT_EQ(Ext4FileRemove(vol, "/gone"), EXT4_ENOENT);
    EXPECT_EQ(Ext4Mkdir(vol, "/empty"), EXT4_OK);
    EXPECT_EQ(Ext4DirRemove(vol, "/empty", false), EXT4_OK);
    EXPECT_EQ(Ext4DirRemove(vol, "/empty", false), EXT4_ENOENT);
    // A whole tree goes only when asked for.
    EXPECT_EQ(Ext4Mkdir(vol, "/tree/"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/tree/sub"), EXT4_OK);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(Put(vol, "/tree/sub/f" + std::to_string(i), "x"), EXT4_OK);
    EXPECT_EQ(Put(vol, "/tree/top", std::string(5000, 't')), EXT4_OK);
    EXPECT_EQ(Ext4DirRemove(vol, "/tree", true), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  const auto root = Ls(image, "/");
  EXPECT_EQ(root.count("gone") + root.count("empty") + root.count("tree"), 0u);
  EXPECT_EQ(root.at("d"), "040777 ");
  EXPECT_EQ(root.at("gr\xC3\xBC\xC3\x9F" "e\xE9\xFF").substr(0, 7), "100666 ");
  EXPECT_EQ(Ls(image, "/moved/f").count("file2"), 1u);
  EXPECT_EQ(Dump(dir, image, "/moved/f/file2"), "data");
  EXPECT_EQ(Dump(dir, image, "/d/short"), "long");
  // "/" holds d, moved and lost+found: 5 links; "/moved" holds f: 3.
  EXPECT_EQ(Field(Debugfs(image, "stat /"), "Links: "), 5u);
  EXPECT_EQ(Field(Debugfs(image, "stat /moved"), "Links: "), 3u);
  EXPECT_EQ(Field(Debugfs(image, "stat /d"), "Links: "), 2u);
  EXPECT_NE(Debugfs(image, "ls /moved").find(".."), std::string::npos);
}

// Pipes, devices and sockets are listed, described and removed, but not opened as files; a
// hard-linked file loses one name at a time; times and modes are kept as set.
TEST_P(Ext4Ops, SpecialFilesLinksTimesAndModes) {
  const std::string src = dir / "src";
  fs::create_directories(src + "/hl");
  MustRun("mkfifo " + Quote(src + "/pipe") + " && mknod " + Quote(src + "/dev") + " c 1 3");
  MustRun("python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"" + src + "/sock\")'");
  WriteFile(src + "/hl/file", "shared");
  fs::create_hard_link(src + "/hl/file", src + "/other");
  fs::create_symlink("other", src + "/fast-link");
  fs::create_symlink(std::string(100, 'y') + "/" + std::string(100, 'z'), src + "/slow-link");
  Make("-d " + Quote(src));
  const bool wide = std::string(GetParam().options).find("-I 128") == std::string::npos;
  // Stale epoch bits (a date in 2435) must not survive a new time.
  if (wide) Ext4Tool("debugfs -w -R 'sif /other mtime_extra 3' " + Quote(image));
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    std::set<std::string> listed;
    Ext4Dir d;
    ASSERT_EQ(Ext4DirOpen(vol, &d, "/"), EXT4_OK);
    for (const Ext4DirEntryInfo* e; (e = Ext4DirNext(&d));) {
      listed.insert(std::string(e->name, e->nameLen));
      Ext4FileInfo info;
      EXPECT_EQ(Ext4DirEntryStat(&d, &info), EXT4_OK);
    }
    Ext4DirClose(&d);
    EXPECT_EQ(listed.count("pipe") + listed.count("dev") + listed.count("sock"), 3u);
    Ext4File f;
    // Links go as names; their text is no file.
    EXPECT_EQ(Ext4FileRemove(vol, "/fast-link"), EXT4_OK);
    EXPECT_EQ(Ext4FileRemove(vol, "/slow-link"), EXT4_OK);
    for (const char* path : {"/pipe", "/dev", "/sock"}) {
      EXPECT_EQ(Ext4FileOpen(vol, &f, path, 0), EXT4_EINVAL) << path;
      ASSERT_EQ(Ext4Lookup(vol, &f, path), EXT4_OK);
      Ext4FileInfo info;
      EXPECT_EQ(Ext4FileStat(&f, &info), EXT4_OK);
      EXPECT_NE(info.mode & 0xF000, 0x8000u);
      Ext4FileClose(&f);
      EXPECT_EQ(Ext4FileRemove(vol, path), EXT4_OK) << path;
    }
    // The folder with a hard-linked file is not empty; the file keeps its data under its other name.
    EXPECT_EQ(Ext4DirRemove(vol, "/hl", false), EXT4_ENOTEMPTY);
    EXPECT_EQ(Ext4FileRemove(vol, "/hl/file"), EXT4_OK);
    EXPECT_EQ(Ext4DirRemove(vol, "/hl", false), EXT4_OK);

    // A created file takes its change time at creation and its modification time at close; set
    // times survive the close.
    ASSERT_EQ(Ext4FileOpenMode(vol, &f, "/timed", "w", true), EXT4_OK);
    u32 done = 0;
    EXPECT_EQ(Ext4FileWrite(&f, "t", 1, &done), EXT4_OK);
    Ext4FileAttributes times;
    times.mtime = 1000000000;
    times.atime = 1100000000;
    EXPECT_EQ(Ext4FileSetAttributes(&f, &times), EXT4_OK);
    EXPECT_EQ(Ext4FileClose(&f), EXT4_OK);
    // Beyond 2038 where the inode has room for the epoch bits; a 128-byte inode keeps the last
    // second it holds, never a time before 1970 wrapped from it.
    ASSERT_EQ(Ext4FileOpenMode(vol, &f, "/future", "w", true), EXT4_OK);
    times.mtime = 3000000000u;
    EXPECT_EQ(Ext4FileSetAttributes(&f, &times), EXT4_OK);
    Ext4FileInfo info;
    EXPECT_EQ(Ext4FileStat(&f, &info), EXT4_OK);
    EXPECT_EQ(info.mtime, wide ? i64{3000000000} : i64{INT32_MAX});
    EXPECT_EQ(Ext4StoredTime(vol, 3000000000), info.mtime);
    EXPECT_EQ(Ext4StoredTime(vol, -3000000000), i64{INT32_MIN});
    EXPECT_EQ(Ext4FileClose(&f), EXT4_OK);
    // A mode without write bits refuses writing opens, but attributes still change, and the file
    // can go.
    ASSERT_EQ(Ext4Lookup(vol, &f, "/other"), EXT4_OK);
    f.flags = EXT4_O_RDWR;
    Ext4FileAttributes ro;
    ro.mode = 0444;
    ro.modeMask = 0777;
    EXPECT_EQ(Ext4FileSetAttributes(&f, &ro), EXT4_OK);
    Ext4FileClose(&f);
    EXPECT_EQ(Ext4FileOpen(vol, &f, "/other", EXT4_O_RDWR), EXT4_EACCES);
    ASSERT_EQ(Ext4FileOpen(vol, &f, "/other", EXT4_O_RDWR | 0x800), EXT4_OK);
    ro.mode = 0640;
    ro.mtime = 1200000000;
    EXPECT_EQ(Ext4FileSetAttributes(&f, &ro), EXT4_OK);
    ro.mtime = 0;
    Ext4FileClose(&f);
    ASSERT_EQ(Ext4FileOpen(vol, &f, "/other", EXT4_O_RDWR), EXT4_OK);
    Ext4FileClose(&f);
    EXPECT_EQ(Put(vol, "/readonly", "r"), EXT4_OK);
    ASSERT_EQ(Ext4FileOpen(vol, &f, "/readonly", EXT4_O_RDWR), EXT4_OK);
    ro.mode = 0;
    ro.modeMask = 0222;
    EXPECT_EQ(Ext4FileSetAttributes(&f, &ro), EXT4_OK);
    Ext4FileClose(&f);
    EXPECT_EQ(Ext4FileRemove(vol, "/readonly"), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  const auto root = Ls(image, "/");
  EXPECT_EQ(root.count("pipe") + root.count("dev") + root.count("sock") + root.count("hl") + root.count("readonly") +
                root.count("fast-link") + root.count("slow-link"),
            0u);
  EXPECT_EQ(root.at("other"), "100640 6");
  EXPECT_EQ(Field(Debugfs(image, "stat /other"), "Links: "), 1u);
  EXPECT_EQ(Dump(dir, image, "/other"), "shared");
  const std::string timed = Debugfs(image, "stat /timed");
  EXPECT_EQ(Field(timed, "mtime: "), 1000000000u);
  EXPECT_EQ(Field(timed, "atime: "), 1100000000u);
  if (wide) {
    EXPECT_NE(Debugfs(image, "stat /future").find("mtime: 0xb2d05e00:00000001"), std::string::npos);
    EXPECT_NE(Debugfs(image, "stat /other").find("mtime: 0x47868c00:00000000"), std::string::npos);
  }
  const u32 ctime = Field(timed, "ctime: ");
  EXPECT_GT(ctime, 1700000000u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Ext4Ops, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// Writes, cuts and removals larger than a transaction may hold commit on their way (a small
// journal), and the volume stays whole.
TEST(Ext4OpsLarge, WritesAndCutsBeyondOneTransaction) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-large", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 -J size=1 " + Quote(image) + " 96M");
  const std::string big = RandomBytes(40 << 20, 9), other = RandomBytes(3 << 20, 10);
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    // Two files written in turns, so that their extents interleave.
    Ext4File a, b;
    ASSERT_EQ(Ext4FileOpenMode(vol, &a, "/a", "w", true), EXT4_OK);
    ASSERT_EQ(Ext4FileOpenMode(vol, &b, "/b", "w", true), EXT4_OK);
    u32 done = 0;
    for (std::size_t at = 0; at < other.size(); at += 3000) {
      const u32 n = static_cast<u32>(std::min<std::size_t>(3000, other.size() - at));
      ASSERT_EQ(Ext4FileWrite(&a, other.data() + at, n, &done), EXT4_OK);
      ASSERT_EQ(Ext4FileWrite(&b, other.data() + at, n, &done), EXT4_OK);
    }
    EXPECT_EQ(Ext4FileClose(&a), EXT4_OK);
    EXPECT_EQ(Ext4FileClose(&b), EXT4_OK);
    // One write of 40 MiB, then "w" empties it in steps and it is written again.
    EXPECT_EQ(Put(vol, "/big", big), EXT4_OK);
    EXPECT_EQ(Put(vol, "/big", big.substr(0, 5 << 20)), EXT4_OK);
    EXPECT_EQ(Put(vol, "/gone", big), EXT4_OK);
    EXPECT_EQ(Ext4FileRemove(vol, "/gone"), EXT4_OK);
    EXPECT_EQ(Ext4FileRemove(vol, "/a"), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_TRUE(Dump(dir, image, "/big") == big.substr(0, 5 << 20));
  EXPECT_TRUE(Dump(dir, image, "/b") == other);
  EXPECT_EQ(Ls(image, "/").count("gone") + Ls(image, "/").count("a"), 0u);
}

// A full volume: a write keeps what fit and says why it stopped; folders and files that do not
// fit leave nothing behind.
TEST(Ext4OpsFull, WhatFitsStaysAndTheVolumeStaysWhole) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-full", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 -N 64 " + Quote(image) + " 4M");
  const std::string data = RandomBytes(6 << 20, 11);
  u32 done = 0;
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    Ext4File f;
    ASSERT_EQ(Ext4FileOpenMode(vol, &f, "/big", "w", true), EXT4_OK);
    EXPECT_EQ(Ext4FileWrite(&f, data.data(), static_cast<u32>(data.size()), &done), EXT4_ENOSPC);
    EXPECT_GT(done, 1u << 20);
    EXPECT_EQ(f.size, done);
    EXPECT_EQ(Ext4FileClose(&f), EXT4_OK);
    EXPECT_EQ(Put(vol, "/more", std::string(5000, 'm')), EXT4_ENOSPC);
    int made = 0, r = EXT4_OK;
    while (r == EXT4_OK && made < 100) r = Ext4Mkdir(vol, ("/d" + std::to_string(made++)).c_str());
    EXPECT_EQ(r, EXT4_ENOSPC);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_TRUE(Dump(dir, image, "/big") == data.substr(0, done));
}

// Immutable files are neither written, renamed nor removed; append-only ones only grow.
TEST(Ext4OpsFlags, ImmutableAndAppendOnlyFiles) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-flags", ImageBase());
  WriteFile(dir / "src/imm", "fixed");
  WriteFile(dir / "src/app", "log");
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -d " + Quote(dir / "src") + " " + Quote(image) + " 8M");
  Ext4Tool("debugfs -w -R 'sif /imm flags 0x80010' " + Quote(image));
  Ext4Tool("debugfs -w -R 'sif /app flags 0x80020' " + Quote(image));
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    Ext4File f;
    EXPECT_EQ(Ext4FileOpen(vol, &f, "/imm", EXT4_O_RDWR), 1);
    EXPECT_EQ(Put(vol, "/imm", "new"), 1);
    EXPECT_EQ(Ext4FileRemove(vol, "/imm"), 1);
    EXPECT_EQ(Ext4Rename(vol, "/imm", "/other"), 1);
    EXPECT_EQ(Ext4FileOpenMode(vol, &f, "/app", "r+", true), 1);
    EXPECT_EQ(Put(vol, "/app", "+more", "a"), EXT4_OK);
    EXPECT_EQ(Ext4FileRemove(vol, "/app"), 1);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(Dump(dir, image, "/imm"), "fixed");
  EXPECT_EQ(Dump(dir, image, "/app"), "log+more");
}

// A read-only volume refuses every writing operation before it reads or writes a block.
TEST(Ext4OpsReadOnly, RefusesWithoutTouchingTheDevice) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-ro", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 " + Quote(image) + " 8M");
  Ext4Mounted m(image);
  ASSERT_EQ(m.result, EXT4_OK);
  const int reads = m.device.reads, writes = m.device.writes;
  Ext4File f;
  EXPECT_EQ(Ext4FileOpenMode(m.vol, &f, "/new", "w", true), EXT4_EROFS);
  EXPECT_EQ(Ext4Mkdir(m.vol, "/d"), EXT4_EROFS);
  EXPECT_EQ(Ext4FileRemove(m.vol, "/lost+found"), EXT4_EROFS);
  EXPECT_EQ(Ext4DirRemove(m.vol, "/lost+found", false), EXT4_EROFS);
  EXPECT_EQ(Ext4Rename(m.vol, "/lost+found", "/x"), EXT4_EROFS);
  EXPECT_EQ(m.device.reads, reads);
  EXPECT_EQ(m.device.writes, writes);
}

// A linear folder refuses a subfolder at 65000 links; an indexed one counts "many" as 1 beyond.
// A rename inside one folder holds the folder twice: its first, changed hold must not make the
// second one take the folder for damaged (a folder last changed in an earlier second).
TEST(Ext4OpsRename, WithinAFolderChangedEarlier) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-rename", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 8M");
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d"), EXT4_OK);
    EXPECT_EQ(Put(vol, "/d/a", "x"), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  Ext4Tool("debugfs -w -R 'sif /d mtime 20000101000000' " + Quote(image));
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    EXPECT_EQ(Ext4Rename(vol, "/d/a", "/d/b"), EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/d/c"), EXT4_OK);
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(Ls(image, "/d").count("b"), 1u);
}

TEST(Ext4OpsLinks, FolderLinkLimits) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ext4-ops-links", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -O ^metadata_csum " + Quote(image) + " 8M");
  Ext4Tool("debugfs -w -R 'mkdir /lin' " + Quote(image));  // debugfs makes it linear
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/idx"), EXT4_OK);  // ours is indexed
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_NE(Debugfs(image, "stat /idx").find("Flags: 0x81000"), std::string::npos) << Debugfs(image, "stat /idx");
  Ext4Tool("debugfs -w -R 'sif /lin links_count 65000' " + Quote(image));
  Ext4Tool("debugfs -w -R 'sif /idx links_count 64999' " + Quote(image));
  {
    Writable vol(image);
    ASSERT_EQ(vol.m.result, EXT4_OK);
    EXPECT_EQ(Ext4Mkdir(vol, "/lin/sub"), EXT4_EMLINK);
    EXPECT_EQ(Ext4Mkdir(vol, "/idx/a"), EXT4_OK);  // 65000: still counted
    EXPECT_EQ(Ext4Mkdir(vol, "/idx/b"), EXT4_OK);  // beyond: "many"
    EXPECT_EQ(vol.Detach(), EXT4_OK);
  }
  EXPECT_EQ(Field(Debugfs(image, "stat /lin"), "Links: "), 65000u);
  EXPECT_EQ(Ls(image, "/lin").size(), 0u);
  EXPECT_EQ(Field(Debugfs(image, "stat /idx"), "Links: "), 1u);
  EXPECT_NE(Shell("dumpe2fs -h " + Quote(image) + " 2>/dev/null").find("dir_nlink"), std::string::npos);
}

}  // namespace
