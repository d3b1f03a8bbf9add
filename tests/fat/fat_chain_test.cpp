// FAT chains that loop: reading, writing, listing and freeing stop with an error and change nothing.
#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Volume/volume_fat.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

u32 FirstCluster(AttachedImage& a, const std::u16string& path) {
  FatEntryInfo info;
  EXPECT_EQ(FatStat(*dynamic_cast<FatVolume*>(a.table().fileSystem[1].get()), path, info), FAT_OK);
  return info.firstCluster;
}

class FatChains : public ::testing::TestWithParam<int> {};

// A file whose chain runs back into itself inside its size (c0 → c1 → c2 → c1 …) and a folder
// whose last cluster leads to its first: the file fails to open, the folder to list, neither can
// be emptied, deleted or written into, and the image stays as it was. Other files read as ever.
TEST_P(FatChains, AChainThatLoopsIsAnErrorWhenReadListedWrittenOrFreed) {
  const int bits = GetParam();
  TempDir dir("fat-chains", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", bits, bits == 32 ? 40960 : 20480, bits == 32 ? "-s 1" : "-s 4");
  std::string data(40000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 / 13);
  u32 file = 0, folder = 0;
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/schleife.bin", data), 0);
    ASSERT_EQ(a.Put("/gut.txt", "gut"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/ordner"), 0);
    for (int i = 10; i < 80; ++i) ASSERT_EQ(a.Put("/ordner/n" + std::to_string(i), "n"), 0);
    file = FirstCluster(a, u"/schleife.bin");
    folder = FirstCluster(a, u"/ordner");
  }
  const FatTableOf fat(image);
  const u32 second = fat.Get(file), third = fat.Get(second);
  fat.Set(third, second);
  ASSERT_NE(fat.Last(folder), folder) << "the folder takes one cluster only";
  fat.Set(fat.Last(folder), folder);
  ASSERT_FALSE(Fsck(image).clean);
  const std::string damaged = ReadFile(image);
  {
    AttachedImage a(image);
    int err = 0;
    for (const int mode : {+DISK_OPEN_READ, DISK_OPEN_READ | DISK_OPEN_WRITE, DISK_OPEN_WRITE | DISK_OPEN_CREATE}) {
      EXPECT_EQ(DiskFileOpen(a.table(), "/schleife.bin", mode, &err), 0u) << mode;
      EXPECT_EQ(err, SYS_ERR_OTHER);
    }
    EXPECT_EQ(DiskDelete(a.table(), "/schleife.bin"), SYS_ERR_OTHER);
    EXPECT_EQ(a.List("/"), (std::vector<std::string>{"gut.txt", "ordner/", "schleife.bin"}));
    EXPECT_EQ(a.Get("/gut.txt"), "gut");
    const std::vector<std::string> listed = a.List("/ordner");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].front(), '<');
    EXPECT_NE(a.Put("/ordner/neu", "x"), 0);
    EXPECT_NE(DiskMkdir(a.table(), "/ordner/neu"), 0);
    EXPECT_NE(DiskDelete(a.table(), "/ordner/n10"), 0);
  }
  EXPECT_TRUE(ReadFile(image) == damaged);
  {
    // Nor does a file take the looping one's name.
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/ersatz.bin", "neu"), 0);
    EXPECT_EQ(DiskReplaceFile(a.table(), "/ersatz.bin", "/schleife.bin"), SYS_ERR_OTHER);
    EXPECT_EQ(a.Get("/ersatz.bin"), "neu");
  }
  if (bits == 32) {
    // The root of FAT32 is a chain as well.
    fat.Set(fat.Last(fat.RootCluster()), fat.RootCluster());
    AttachedImage a(image, true);
    const std::vector<std::string> listed = a.List("/");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].front(), '<');
  }
}

INSTANTIATE_TEST_SUITE_P(Types, FatChains, ::testing::Values(16, 32),
                         [](const ::testing::TestParamInfo<int>& info) { return "fat" + std::to_string(info.param); });

}  // namespace
