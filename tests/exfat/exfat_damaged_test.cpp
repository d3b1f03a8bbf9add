// exFAT volumes written by hand and taken from other projects' tests: honest lengths, errors instead of crashes.
#include "tests/exfat/exfat_fixtures.h"
#include "tests/support/corpus.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

// Every folder listed and every file read below a folder: the entries seen, errors as "<code>".
void Walk(AttachedImage& a, const std::string& folder, std::map<std::string, std::string>& seen, int depth = 0) {
  for (const std::string& name : a.List(folder)) {
    const std::string path = folder + "/" + name;
    if (name.front() == '<') seen[path] = name;
    else if (name.back() == '/' && depth < 16) {
      seen[path] = "";
      Walk(a, path.substr(0, path.size() - 1), seen, depth + 1);
    }
    else seen[path] = a.Get(path);
  }
}

// A volume from our test-only writer: chains out of order, no FAT chain, a valid length below
// the size, names beyond ASCII through the volume's own upcase table, times with UTC offsets.
TEST(ExfatFixtures, AVolumeOfAnotherWriterReadsAsItWasWritten) {
  const ScopedTimeZone zone("America/New_York");
  TempDir dir("exfat-writer", ImageBase());
  const std::string image = dir / "fixture.img";
  MustRun("python3 " + Quote(std::string(KPW_TEST_DATA) + "/make_fixture.py") + " " + Quote(image));
  EXPECT_EXFAT_CLEAN(image);
  std::string pattern(3 * 4096, '\0');
  for (std::size_t k = 0; k < pattern.size(); ++k) pattern[k] = static_cast<char>((k * 7 + 3) % 251);
  const std::string fragmented = pattern.substr(0, 3 * 4096 - 100);
  {
    AttachedImage a(image, true);
    ASSERT_EQ(a.drives(), 2);
    EXPECT_EQ(a.List("/"), (std::vector<std::string>{"Grüße – ÄÖü.txt", "Ordner/", "contiguous.bin", "fragmented.bin",
                                                     "reserved.bin"}));
    EXPECT_TRUE(a.Get("/fragmented.bin") == fragmented);
    EXPECT_TRUE(a.Get("/contiguous.bin") == pattern.substr(100, 10000));
    EXPECT_TRUE(a.Get("/reserved.bin") == std::string(1000, 'v') + std::string(7192, '\0'));
    EXPECT_EQ(a.Get("/grÜße – äöü.TXT"), "Grüße");
    EXPECT_EQ(DiskFileInfo(a.table(), "/reserved.bin"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_ARCHIVE));
    auto times = [&](const char* path) {
      int err = 0;
      const DiskHandle h = DiskFileOpen(a.table(), path, DISK_OPEN_READ, &err);
      i64 w = 0, c = 0;
      DiskGetFileTime(a.table(), h, &w, &c, nullptr);
      DiskFileClose(a.table(), h);
      return std::make_pair(c, w);
    };
    // 12:00:00 UTC, and 13:00:01 at UTC+1.
    EXPECT_EQ(times("/fragmented.bin"), std::make_pair(i64{1717243200}, i64{1717243201}));
    EXPECT_EQ(times("/Ordner/utc.txt"), std::make_pair(i64{1717243201}, i64{1717243200}));
  }
  {
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/fragmented.bin", DISK_OPEN_WRITE, &err);
    ASSERT_EQ(DiskFileSeek(a.table(), h, 0, 2), static_cast<i64>(fragmented.size()));
    ASSERT_EQ(DiskFileWrite(a.table(), h, pattern.data(), 5000), 5000);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    EXPECT_EQ(a.Put("/Ordner/neu.txt", "neu"), 0);
  }
  EXPECT_EXFAT_CLEAN(image);
  EXPECT_TRUE(Icat(image, FlsAll(image).at("fragmented.bin")) == fragmented + pattern.substr(0, 5000));
}

TEST(ExfatFixtures, ValidLengthBelowSizeReadsZerosAndStaysHonest) {
  TempDir dir("exfat-vdl", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/a.txt", std::string(8192, 'x')), 0);
  }
  RawImage raw(image);
  const u64 set = raw.FindSet("a.txt");
  ASSERT_NE(set, 0u);
  raw.Patch(set + 32 + 8, RawImage::Bytes64(1000));
  raw.SealSet(set);
  EXPECT_EXFAT_CLEAN(image);
  {
    AttachedImage a(image);
    EXPECT_TRUE(a.Get("/a.txt") == std::string(1000, 'x') + std::string(7192, '\0'));
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/a.txt", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    ASSERT_EQ(DiskSetFileTime(a.table(), h, 1700000000, 0, 0), 0);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
  }
  EXPECT_EQ(RawImage(image).Read(set + 32 + 8, 8), RawImage::Bytes64(1000)) << "a flush of the times keeps the valid length";
  {
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/a.txt", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    ASSERT_EQ(DiskFileSeek(a.table(), h, 4000, 0), 4000);
    ASSERT_EQ(DiskFileWrite(a.table(), h, "y", 1), 1);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
  }
  EXPECT_EXFAT_CLEAN(image);
  // sleuthkit reads the clusters whole; the bytes past the valid length are ours to hide.
  EXPECT_TRUE(Icat(image, FlsAll(image).at("a.txt")).substr(0, 4001) == std::string(1000, 'x') + std::string(3000, '\0') + "y");
  AttachedImage a(image);
  EXPECT_TRUE(a.Get("/a.txt") == std::string(1000, 'x') + std::string(3000, '\0') + "y" + std::string(4191, '\0'));
}

TEST(ExfatFixtures, BrokenSetsAndTablesGiveErrors) {
  TempDir dir("exfat-broken", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/a.txt", std::string(9000, 'a')), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/d"), 0);
  }
  const u64 set = RawImage(image).FindSet("a.txt");
  auto damaged = [&](const std::function<void(RawImage&)>& damage) {
    const std::string copy = dir / "copy.img";
    MustRun("cp " + Quote(image) + " " + Quote(copy));
    RawImage raw(copy);
    damage(raw);
    AttachedImage a(copy, true);
    std::map<std::string, std::string> seen;
    if (a.drives() == 2) Walk(a, "", seen);
    return seen;
  };
  // The root cannot be listed: a folder that does not open.
  const std::map<std::string, std::string> broken = {{"/<-7>", "<-7>"}};
  EXPECT_TRUE(damaged([](RawImage&) {}).at("/a.txt") == std::string(9000, 'a'));
  for (const u8 count : {0, 1, 19, 30})
    EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 1, {count}), r.SealSet(set); }), broken) << int{count};
  // A name longer than its name entries, a critical secondary of no known kind, clusters outside the heap.
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 35, {200}), r.SealSet(set); }), broken);
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 64, {0xC5}), r.SealSet(set); }), broken);
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 52, RawImage::Bytes32(0xFFFFFF00)), r.SealSet(set); }), broken);
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 56, RawImage::Bytes64(u64{1} << 40)), r.SealSet(set); }), broken);
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 2, {0, 0}); }), broken);
  // A benign secondary of no known kind is passed over.
  EXPECT_EQ(damaged([&](RawImage& r) { r.Patch(set + 64, {0xE5}), r.SealSet(set); }).count("/a.txt"), 0u);
  // An upcase table whose run of unchanged characters reaches past 65536 entries.
  RawImage raw(image);
  u64 upcase = 0;
  for (u64 at = raw.RootAt(); at < raw.RootAt() + 4096; at += 32)
    if (raw.Read(at, 1)[0] == 0x82) upcase = raw.ClusterAt(raw.Le32(at + 20));
  ASSERT_NE(upcase, 0u);
  const auto seen = damaged([&](RawImage& r) { r.Patch(upcase, {0xFF, 0xFF, 0xF0, 0xFF}); });
  EXPECT_TRUE(seen.at("/a.txt") == std::string(9000, 'a'));
  EXPECT_EQ(seen.count("/d/<-4>"), 0u);
}

// The images of exfatprogs' tests (see the corpus README).
TEST(ExfatCorpus, EveryImageReadsWithoutHarmAndCleanOnesAsSleuthkitReadsThem) {
  const std::string folder = CorpusFolder("exfat");
  ASSERT_GE(CorpusNames("exfat", [](const fs::path& p) { return p.string().ends_with(".img.tar.xz"); }).size(), 10u)
      << "the exFAT images are missing from " << folder;
  int clean = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    TempDir dir("exfat-corpus", ImageBase());
    MustRun("tar -xJf " + Quote(e.path().string()) + " -C " + Quote(dir.path()));
    const std::string image = dir / "exfat.img";
    const bool fsckClean = FsckExfat(image).clean;
    std::map<std::string, std::string> seen;
    {
      AttachedImage a(image, true);
      if (a.drives() == 2) Walk(a, "", seen);
      if (fsckClean) {
        EXPECT_EQ(a.drives(), 2);
      }
    }
    if (!fsckClean) continue;
    ++clean;
    // Every name sleuthkit lists is seen here; the bytes of the first files are the same.
    int compared = 0;
    for (const auto& [path, inode] : FlsAll(image)) {
      const auto it = seen.find("/" + path);
      if (it == seen.end()) {
        EXPECT_TRUE(seen.count("/" + path + "/")) << path;
        continue;
      }
      if (!inode.empty() && ++compared <= 40) {
        EXPECT_TRUE(it->second == Icat(image, inode)) << path;
      }
    }
    // Written on a copy: still clean.
    {
      AttachedImage a(image);
      ASSERT_EQ(a.drives(), 2);
      EXPECT_EQ(DiskMkdir(a.table(), "/neu"), 0);
      EXPECT_EQ(a.Put("/neu/datei.txt", std::string(20000, 'n')), 0);
    }
    EXPECT_EXFAT_CLEAN(image);
  }
  EXPECT_GT(clean, 0);
}

}  // namespace
