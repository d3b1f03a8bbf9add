// exFAT volumes from mkfs.exfat: trees our engine writes pass fsck.exfat and read back byte-exact in sleuthkit.
#include "tests/support/exfat_images.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed) * 7) % 251);
  return s;
}

class ExfatOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(ExfatOracle, TreesTheEngineWritesAreCleanAndReadBackElsewhere) {
  const ScopedTimeZone zone("Europe/Berlin");
  TempDir dir("exfat-forward", ImageBase());
  // Room for 300 small files of one cluster each.
  const std::string image = MakeExfatImage(dir, "v.img", GetParam(), std::string(GetParam()) == "1M" ? 400 : 64);
  std::map<std::string, std::string> files;
  {
    AttachedImage a(image);
    ASSERT_EQ(a.drives(), 2);
    ASSERT_EQ(DiskMkdir(a.table(), "/Ordner"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/Ordner/Tiefer"), 0);
    files["Ordner/klein.txt"] = "hallo";
    files["Ordner/Tiefer/Größe über 15 Zeichen.bin"] = Pattern(70000, 1);
    files["leer"] = "";
    files["Fünfzehn_Zeich"] = Pattern(3 * 4096 + 7, 2);
    for (const auto& [path, data] : files) ASSERT_EQ(a.Put("/" + path, data), 0) << path;
    // Two files written in turns: their clusters interleave and become FAT chains.
    int err = 0;
    const DiskHandle x = DiskFileOpen(a.table(), "/a.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    const DiskHandle y = DiskFileOpen(a.table(), "/b.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_TRUE(x && y);
    for (int i = 0; i < 6; ++i) {
      const std::string px = Pattern(40000, 10 + i), py = Pattern(30000, 20 + i);
      ASSERT_EQ(DiskFileWrite(a.table(), x, px.data(), static_cast<int>(px.size())), 40000);
      ASSERT_EQ(DiskFileWrite(a.table(), y, py.data(), static_cast<int>(py.size())), 30000);
      files["a.bin"] += px;
      files["b.bin"] += py;
    }
    EXPECT_EQ(DiskFileClose(a.table(), x), 0);
    EXPECT_EQ(DiskFileClose(a.table(), y), 0);
    // A folder grows past one cluster.
    ASSERT_EQ(DiskMkdir(a.table(), "/viele"), 0);
    for (int i = 0; i < 300; ++i) {
      const std::string name = "viele/datei_" + std::to_string(i) + (i % 3 ? "" : "_äöü");
      files[name] = std::to_string(i);
      ASSERT_EQ(a.Put("/" + name, files[name]), 0) << name;
    }
    // Removed and renamed entries leave their slots for later names.
    for (int i = 0; i < 300; i += 7) {
      const std::string name = "viele/datei_" + std::to_string(i) + (i % 3 ? "" : "_äöü");
      ASSERT_EQ(DiskDelete(a.table(), ("/" + name).c_str()), 0);
      files.erase(name);
    }
    ASSERT_EQ(DiskRename(a.table(), "/leer", "/Ordner/Tiefer/LEER.txt"), 0);
    files["Ordner/Tiefer/LEER.txt"] = files["leer"];
    files.erase("leer");
  }
  EXPECT_EXFAT_CLEAN(image);
  // What sleuthkit lists and reads.
  const std::map<std::string, std::string> names = FlsAll(image);
  for (const auto& [path, data] : files) {
    ASSERT_TRUE(names.count(path)) << path;
    if (path.rfind("viele/", 0) != 0) {
      EXPECT_TRUE(Icat(image, names.at(path)) == data) << path;
    }
  }
  AttachedImage again(image, true);
  for (const auto& [path, data] : files) EXPECT_EQ(again.Get("/" + path), data) << path;
  EXPECT_EQ(again.List("/Ordner/Tiefer"), (std::vector<std::string>{"Größe über 15 Zeichen.bin", "LEER.txt"}));
}

// In a partition (type 7) of an MBR image the volume is found by its boot sector and named "0".
TEST(ExfatPartition, AVolumeInsideAPartitionIsServedAndStaysClean) {
  TempDir dir("exfat-part", ImageBase());
  const std::string image = MakePartitionedExfat(dir, "disk.img", "4K", 16);
  {
    DiskDriveTable table;
    ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_CLEAR, nullptr, DISK_ALL_PARTITIONS), 2);
    ASSERT_EQ(DiskMkdir(table, "/0/Ordner"), 0);
    int err = 0;
    const DiskHandle h = DiskFileOpen(table, "/0:/Ordner/datei.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u) << err;
    EXPECT_EQ(DiskFileWrite(table, h, "inhalt", 6), 6);
    EXPECT_EQ(DiskFileClose(table, h), 0);
    EXPECT_EQ(DiskPathKind(table, "\\0\\Ordner\\datei.txt"), 1);
  }
  EXPECT_EXFAT_CLEAN(image, kPartitionOffset, 16 << 20);
  EXPECT_NE(MustRun("fls -r -p -o 2048 " + Quote(image)).find("Ordner/datei.txt"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExfatOracle, ::testing::Values("512", "4K", "32K", "1M"),
                         [](const auto& info) { return std::string("c") + info.param; });

}  // namespace
