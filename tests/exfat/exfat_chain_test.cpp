// exFAT damage found cheaply: chains that loop, a bitmap that calls used clusters free, volumes
// marked dirty or failing. Nothing of them is read twice, handed out again or written over.
#include "tests/exfat/exfat_fixtures.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

std::string Bytes(std::size_t n, u32 seed) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 7 + seed) / 13);
  return out;
}

// A file written in turns with another and a folder grown between files have FAT chains; the
// file's chain then runs back into itself inside its size (c0 → c1 → c2 → c1 …), the folder's
// likewise (c0 → c1 → c0 …). Reading the file and listing the folder fail, neither can be
// emptied, deleted, written into or replaced, and the volume's clusters stay as they were.
TEST(ExfatChains, AChainThatLoopsIsAnErrorWhenReadListedWrittenOrFreed) {
  TempDir dir("exfat-chains", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  const std::string data = Bytes(40000, 1);
  u32 file = 0, folder = 0;
  u64 folderSize = 0;
  {
    AttachedImage a(image);
    ASSERT_EQ(DiskMkdir(a.table(), "/ordner"), 0);
    int err = 0;
    const DiskHandle k = DiskFileOpen(a.table(), "/kette.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    const DiskHandle n = DiskFileOpen(a.table(), "/nachbar.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    for (std::size_t at = 0; at < data.size(); at += 5000) {
      ASSERT_EQ(DiskFileWrite(a.table(), k, data.data() + at, 5000), 5000);
      ASSERT_EQ(DiskFileWrite(a.table(), n, data.data(), 5000), 5000);
    }
    ASSERT_EQ(DiskFileClose(a.table(), k), 0);
    ASSERT_EQ(DiskFileClose(a.table(), n), 0);
    for (int i = 100; i < 200; ++i) {
      ASSERT_EQ(a.Put("/ordner/Ein langer Name Nummer " + std::to_string(i), "n"), 0);
      ASSERT_EQ(a.Put("/f" + std::to_string(i), std::string(5000, 'f')), 0);
    }
    ASSERT_FALSE(Node(a, "kette.bin")->flags & EXFAT_NODE_CONTIGUOUS);
    ASSERT_FALSE(Node(a, "ordner")->flags & EXFAT_NODE_CONTIGUOUS);
    file = Node(a, "kette.bin")->firstCluster;
    folder = Node(a, "ordner")->firstCluster;
    folderSize = Node(a, "ordner")->size;
  }
  const RawImage raw(image);
  const u32 second = raw.Fat(file);
  raw.SetFat(raw.Fat(second), second);
  ASSERT_GE(folderSize, 3u * 4096);
  raw.SetFat(raw.Fat(folder), folder);
  ASSERT_FALSE(FsckExfat(image).clean);
  const std::string damaged = ReadFile(image);
  {
    AttachedImage a(image);
    EXPECT_EQ(a.Get("/kette.bin").front(), '<');
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/kette.bin", DISK_OPEN_WRITE, &err);
    EXPECT_EQ(DiskFileSeek(a.table(), h, 0, 2), 40000);
    EXPECT_LT(DiskFileWrite(a.table(), h, "x", 1), 0);
    DiskFileClose(a.table(), h);
    EXPECT_EQ(DiskFileOpen(a.table(), "/kette.bin", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err), 0u);
    EXPECT_NE(DiskDelete(a.table(), "/kette.bin"), 0);
    EXPECT_TRUE(a.Get("/nachbar.bin") == std::string(Bytes(5000, 1)) + Bytes(5000, 1) + Bytes(5000, 1) +
                                             Bytes(5000, 1) + Bytes(5000, 1) + Bytes(5000, 1) + Bytes(5000, 1) +
                                             Bytes(5000, 1));
    const std::vector<std::string> listed = a.List("/ordner");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].front(), '<');
    EXPECT_NE(a.Put("/ordner/neu", "x"), 0);
    EXPECT_NE(DiskRmdir(a.table(), "/ordner"), 0);
  }
  // The boot sector's flags and share in use aside, the volume is as it was.
  const std::string after = ReadFile(image);
  std::size_t differs = 512;
  while (differs < after.size() && after[differs] == damaged[differs]) ++differs;
  EXPECT_EQ(differs, after.size());
  // Nor does a file take the looping one's name.
  AttachedImage a(image);
  ASSERT_EQ(a.Put("/ersatz.bin", "neu"), 0);
  EXPECT_NE(DiskReplaceFile(a.table(), "/ersatz.bin", "/kette.bin"), 0);
  EXPECT_EQ(a.Get("/ersatz.bin"), "neu");
}

// The bitmap calls the clusters of a file free (a volume some other writer left so): listing
// the file's folder finds it, and from then on nothing is allocated, so that no upload takes
// them; the drive's note says why. The file keeps its bytes.
TEST(ExfatDamage, FilesWhoseClustersTheBitmapCallsFreeStopAllocation) {
  TempDir dir("exfat-bitmap", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  const std::string old = Bytes(20000, 2);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/alt.bin", old), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/ordner"), 0);
  }
  const RawImage raw(image);
  const u64 set = raw.FindSet("alt.bin");
  raw.SetBits(raw.Le32(set + 52), 5, false);
  ASSERT_FALSE(FsckExfat(image).clean);
  {
    AttachedImage a(image);
    EXPECT_NE(a.Put("/neu.bin", Bytes(20000, 3)), 0);
    EXPECT_NE(a.Put("/ordner/neu.bin", Bytes(20000, 4)), 0);
    EXPECT_TRUE(a.Get("/alt.bin") == old);
    EXPECT_NE(a.table().note[1].find("fsck.exfat"), std::string::npos) << a.table().note[1];
  }
  EXPECT_TRUE(Icat(image, FlsAll(image).at("alt.bin")) == old);
}

// A volume whose flags say it was not let go cleanly, or that its medium failed, is mounted for
// reading only when attached for writing: it reads, refuses every write with a note, and not a
// byte of it changes (not even the flags).
TEST(ExfatDamage, AVolumeMarkedDirtyOrFailingIsOnlyRead) {
  TempDir dir("exfat-dirty", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/alt.txt", "alt"), 0);
  }
  for (const u8 flag : {0x02, 0x04}) {
    const std::string copy = dir / "copy.img";
    MustRun("cp " + Quote(image) + " " + Quote(copy));
    RawImage(copy).Patch(106, {flag});
    const std::string before = ReadFile(copy);
    {
      AttachedImage a(copy);
      ASSERT_EQ(a.drives(), 2);
      EXPECT_EQ(a.Get("/alt.txt"), "alt");
      EXPECT_EQ(a.Put("/neu.txt", "neu"), SYS_ERR_ACCESS);
      EXPECT_EQ(DiskMkdir(a.table(), "/neu"), SYS_ERR_ACCESS);
      EXPECT_EQ(DiskDelete(a.table(), "/alt.txt"), SYS_ERR_ACCESS);
      EXPECT_NE(a.table().note[1].find("fsck.exfat"), std::string::npos) << a.table().note[1];
    }
    EXPECT_TRUE(ReadFile(copy) == before) << int{flag};
  }
}

}  // namespace
