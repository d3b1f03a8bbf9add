// FAT12/16/32 volumes inside partitioned images: trees our engine writes pass fsck.fat and read back in mtools; trees mtools writes read back here.
#include "lib/system/sys_time.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

struct TypeCase {
  int bits;
  u64 kib;
  const char* extra;
  std::size_t cluster;  // bytes
};

void PrintTo(const TypeCase& c, std::ostream* out) { *out << "FAT" << c.bits; }

// Bytes that differ from file to file and from offset to offset.
std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed) * 7) % 251);
  return s;
}

// Every file of a local folder by its path below it ("/a/b"), and every folder as "/a/".
void ReadTree(const std::string& root, std::map<std::string, std::string>& files, std::set<std::string>& folders) {
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = "/" + fs::relative(e.path(), root).string();
    if (e.is_directory()) folders.insert(rel + "/");
    else files[rel] = ReadFile(e.path().string());
  }
}

class FatOracle : public ::testing::TestWithParam<TypeCase> {};

TEST_P(FatOracle, WhatTheEngineWritesFsckFindsCleanAndMtoolsReadsBack) {
  const ScopedTimeZone zone("Europe/Berlin");
  const TypeCase& type = GetParam();
  TempDir dir("fat-forward", ImageBase());
  const std::string image = MakePartitionedFat(dir, "disk.img", type.bits, type.kib, type.extra);
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  const i64 start = std::time(nullptr);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.drives(), 2);
    auto mkdir = [&](const std::string& path) {
      ASSERT_EQ(DiskMkdir(a.table(), path.c_str()), 0) << path;
      folders.insert(path + "/");
    };
    auto put = [&](const std::string& path, const std::string& data) {
      ASSERT_EQ(a.Put(path, data), 0) << path;
      files[path] = data;
    };
    // Deep folders.
    std::string deep;
    for (int i = 0; i < 12; ++i) mkdir(deep += "/level " + std::to_string(i));
    put(deep + "/bottom.txt", "deep");
    // Names of every kind: short, lower, mixed, lossy, with blanks, dots, non-ASCII, the longest.
    mkdir("/names");
    const std::string longest(255 - 4, 'L');
    for (const std::string& name : std::vector<std::string>{"readme.txt", "Makefile", "MixedCase.Txt", "a+b.txt", "my file.txt", ".gitignore",
                                   "Grüße aus Köln.txt", "日本.txt", "中国.txt", "Õdd.txt", "UPPER.TXT", "lower", "x",
                                   "name.with.many.dots.tar.gz", "[brackets];and=more,txt", longest + ".txt"})
      put("/names/" + name, "content of " + name);
    mkdir("/names/.config");
    put("/names/.config/settings", "s");
    // Sizes around sectors and clusters.
    mkdir("/sizes");
    int seed = 0;
    for (const std::size_t size : {0, 1, 511, 512, 513, 2047, 2048, 2049, 4096, 70000, 300000})
      put("/sizes/s" + std::to_string(size), Pattern(size, ++seed));
    // A folder that grows past its first cluster.
    mkdir("/many");
    for (int i = 0; i < 150; ++i) put("/many/file number " + std::to_string(i) + ".data", Pattern(i, i));
    // Deleted, renamed and moved entries.
    put("/gone.txt", "x");
    ASSERT_EQ(DiskDelete(a.table(), "/gone.txt"), 0);
    files.erase("/gone.txt");
    for (int i = 0; i < 150; i += 3) {
      const std::string path = "/many/file number " + std::to_string(i) + ".data";
      ASSERT_EQ(DiskDelete(a.table(), path.c_str()), 0);
      files.erase(path);
    }
    put("/old name.txt", "renamed");
    ASSERT_EQ(DiskRename(a.table(), "/old name.txt", "/names/new name.txt"), 0);
    files.erase("/old name.txt");
    files["/names/new name.txt"] = "renamed";
    mkdir("/moving");
    put("/moving/inside.txt", "in");
    ASSERT_EQ(DiskRename(a.table(), "/moving", "/level 0/moved"), 0);
    folders.erase("/moving/");
    folders.insert("/level 0/moved/");
    files.erase("/moving/inside.txt");
    files["/level 0/moved/inside.txt"] = "in";
    ASSERT_EQ(DiskRename(a.table(), "/names/readme.txt", "/names/README.txt"), 0);
    files["/names/README.txt"] = files["/names/readme.txt"];
    files.erase("/names/readme.txt");
    // A file that grows after a seek past its end, and one that is cut.
    {
      int err = 0;
      const DiskHandle h = DiskFileOpen(a.table(), "/sizes/s2049", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
      ASSERT_NE(h, 0u) << err;
      ASSERT_EQ(DiskSetFileSize(a.table(), h, 1000), 0);
      ASSERT_EQ(DiskFileSeek(a.table(), h, 5000, 0), 5000);
      ASSERT_EQ(DiskFileWrite(a.table(), h, "end", 3), 3);
      ASSERT_EQ(DiskFileClose(a.table(), h), 0);
      files["/sizes/s2049"] = files["/sizes/s2049"].substr(0, 1000) + std::string(4000, '\0') + "end";
    }
    // A write time set before the file is closed stays.
    {
      int err = 0;
      const DiskHandle h = DiskFileOpen(a.table(), "/sizes/s1", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
      ASSERT_NE(h, 0u) << err;
      ASSERT_EQ(DiskSetFileTime(a.table(), h, 1714979289, 0, 0), 0);
      ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    }
    EXPECT_EQ(a.Get("/sizes/s2049"), files["/sizes/s2049"]);
  }
  const i64 end = std::time(nullptr);
  EXPECT_FSCK_CLEAN(image, kPartitionOffset, type.kib * 1024);

  std::set<std::string> expected = folders;
  for (const auto& [path, data] : files) expected.insert(path);
  const std::vector<std::string> listed = MdirAll(image, kPartitionOffset);
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);

  TempDir out("fat-forward-out");
  MtoolsExtract(image, out.path(), "Europe/Berlin", kPartitionOffset);
  std::map<std::string, std::string> read;
  std::set<std::string> readFolders;
  ReadTree(out.path(), read, readFolders);
  EXPECT_EQ(readFolders, folders);
  ASSERT_EQ(read.size(), files.size());
  for (const auto& [path, data] : files) EXPECT_TRUE(read[path] == data) << path;
  // Times in two-second steps of local time: the one set, and now for every other file.
  EXPECT_EQ(MTime(out / "sizes/s1"), 1714979288);
  EXPECT_GE(MTime(out / "names/日本.txt"), start - 2);
  EXPECT_LE(MTime(out / "names/日本.txt"), end + 2);
}

TEST_P(FatOracle, TreesMtoolsWritesReadBackExactly) {
  const TypeCase& type = GetParam();
  TempDir dir("fat-reverse", ImageBase());
  const std::string image = MakePartitionedFat(dir, "disk.img", type.bits, type.kib, type.extra);
  // A tree with long and non-ASCII names, and a file made fragmented: clusters freed between
  // others are taken again by a larger file.
  TempDir tree("fat-reverse-tree");
  WriteFile(tree / "docs/Read Me.TXT", "read me");
  WriteFile(tree / "docs/sub/Ärger.md", Pattern(3000, 3));
  WriteFile(tree / "UPPER.DAT", Pattern(700, 4));
  WriteFile(tree / ".hidden", "h");
  MustRun(Mtools("mcopy", image, "-s " + Quote(tree / "docs") + " " + Quote(tree / "UPPER.DAT") + " " +
                                     Quote(tree / ".hidden") + " ::/", kPartitionOffset));
  for (int i = 0; i < 12; ++i) WriteFile(tree / ("smalls/small" + std::to_string(i)), Pattern(type.cluster, i));
  MustRun(Mtools("mcopy", image, Quote(tree / "smalls") + "/* ::/", kPartitionOffset));
  // The rest of the volume filled (the root may still grow by a cluster), every other small file
  // deleted, then a file as large as all that is free: it can only be fragmented.
  const auto freeBytes = [&] {
    const std::string info = MustRun(Mtools("mdir", image, "::/", kPartitionOffset));
    std::string digits;
    const std::size_t at = info.rfind(" bytes free");
    for (std::size_t i = info.rfind('\n', at) + 1; i < at; ++i)
      if (std::isdigit(static_cast<unsigned char>(info[i]))) digits += info[i];
    return std::stoull(digits);
  };
  WriteDenseFile(tree / "filler", freeBytes() - 2 * type.cluster);
  MustRun(Mtools("mcopy", image, Quote(tree / "filler") + " ::/", kPartitionOffset));
  for (int i = 0; i < 12; i += 2) MustRun(Mtools("mdel", image, "::/small" + std::to_string(i), kPartitionOffset));
  const std::string fragmented = Pattern(freeBytes(), 9);
  ASSERT_GE(fragmented.size(), 6 * type.cluster);
  WriteFile(tree / "fragmented.bin", fragmented);
  MustRun(Mtools("mcopy", image, Quote(tree / "fragmented.bin") + " ::/", kPartitionOffset));
  // sleuthkit shows where its sectors lie: not in one run.
  const std::string sectors = MustRun("istat -o 2048 " + Quote(image) + " $(fls -o 2048 " + Quote(image) +
                                      " | awk '/fragmented.bin/ {print $2}' | tr -d :)");
  std::istringstream words(sectors.substr(sectors.find("Sectors:") + 8));
  std::vector<u64> list;
  for (u64 s; words >> s;) list.push_back(s);
  ASSERT_GT(list.size(), 1u);
  bool gap = false;
  for (std::size_t i = 1; i < list.size(); ++i) gap = gap || list[i] != list[i - 1] + 1;
  EXPECT_TRUE(gap) << sectors;

  AttachedImage a(image, true);
  ASSERT_EQ(a.drives(), 2);
  EXPECT_EQ(a.List("/"), (std::vector<std::string>{".hidden", "UPPER.DAT", "docs/", "filler", "fragmented.bin", "small1",
                                                   "small11", "small3", "small5", "small7", "small9"}));
  EXPECT_EQ(a.List("/docs"), (std::vector<std::string>{"Read Me.TXT", "sub/"}));
  EXPECT_EQ(a.List("/docs/sub"), (std::vector<std::string>{"Ärger.md"}));
  EXPECT_EQ(a.Get("/docs/sub/Ärger.md"), Pattern(3000, 3));
  EXPECT_EQ(a.Get("/DOCS/read me.txt"), "read me");
  EXPECT_EQ(a.Get("/UPPER.DAT"), Pattern(700, 4));
  EXPECT_TRUE(a.Get("/fragmented.bin") == fragmented);
  for (int i = 1; i < 12; i += 2) EXPECT_EQ(a.Get("/small" + std::to_string(i)), Pattern(type.cluster, i));
}

INSTANTIATE_TEST_SUITE_P(Types, FatOracle,
                         ::testing::Values(TypeCase{12, 4000, "-s 4", 2048}, TypeCase{16, 20000, "-s 4", 2048},
                                           TypeCase{32, 40000, "-s 1", 512}),
                         [](const ::testing::TestParamInfo<TypeCase>& info) {
                           return "FAT" + std::to_string(info.param.bits);
                         });

}  // namespace
