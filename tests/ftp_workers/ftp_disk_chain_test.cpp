// A download row from a FAT volume whose file's chain loops, run by the program: the file fails
// with a message and the local copy stays as it was.
#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Volume/volume_fat.h"
#include "tests/support/fat_images.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace kpwtest;

TEST(FtpDiskChains, ADownloadOfAFileWhoseChainLoopsFailsAndKeepsTheLocalFile) {
  TempDir dir("ftp-disk-chain", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 16, 20480, "-s 4");
  std::string data(40000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 / 13);
  WriteFile(dir / "schleife.bin", data);
  MustRun(Mtools("mcopy", image, Quote(dir / "schleife.bin") + " ::/schleife.bin"));
  MustRun("echo gut | " + Mtools("mcopy", image, "- ::/gut.txt"));
  u32 first = 0;
  {
    AttachedImage a(image, true);
    FatEntryInfo info;
    ASSERT_EQ(FatStat(*dynamic_cast<FatVolume*>(a.table().fileSystem[1].get()), u"/schleife.bin", info), FAT_OK);
    first = info.firstCluster;
  }
  // 2 → 3 → 4 → 3 …: the chain meets its second cluster again inside the file's size.
  const FatTableOf fat(image);
  fat.Set(fat.Get(fat.Get(first)), fat.Get(first));
  Put(dir / "back/schleife.bin", "alt");

  std::string host;
  for (const char c : image) host += c == '/' ? std::string("%2F") : std::string(1, c);
  const std::string job = dir / "chain.kpw";
  WriteJobRows(job, {JobRow("disk://" + host + "/", dir / "back", "", "", "", "/FTP")});
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_NE(run.errors.find("Fehler beim Herunterladen von:\n"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("schleife.bin"), std::string::npos) << run.errors;
  EXPECT_TRUE(ReadFile(dir / "back/schleife.bin") == "alt");
  EXPECT_EQ(ReadFile(dir / "back/gut.txt"), "gut\n");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir / "back")) ++entries;
  EXPECT_EQ(entries, 2u);
}

}  // namespace
