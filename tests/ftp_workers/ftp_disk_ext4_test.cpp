// "Ftp Del" rows from a local tree into an ext4 volume of an image, run by the program; e2fsck and debugfs judge the image.
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kpwtest;

// A disk:// URL of a folder on the image's one volume.
std::string DiskUrl(const std::string& image, const std::string& path) {
  std::string host;
  for (const char c : image) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "disk://" + host + path;
}

// The tree below a folder of the volume, as debugfs dumps it.
std::map<std::string, TreeEntry> VolumeTree(const TempDir& dir, const std::string& image, const std::string& folder) {
  const std::string out = dir / "rdump";
  std::filesystem::remove_all(out);
  std::filesystem::create_directories(out);
  Shell("debugfs -R " + Quote("rdump " + folder + " " + out) + " " + Quote(image) + " 2>/dev/null");
  const std::string name = folder.substr(folder.rfind('/') + 1);
  return std::filesystem::exists(out + "/" + name) ? HostTree(out + "/" + name) : std::map<std::string, TreeEntry>{};
}

TEST(FtpDiskExt4, ATreeGoesIntoTheVolumeAndFtpDelKeepsItEqual) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ftp-disk-ext4", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 32M");
  Put(dir / "src/a.txt", "A");
  Put(dir / "src/Ordner/Tief/b.txt", "B");
  Put(dir / "src/Grüße/日本.txt", "J");
  Put(dir / "src/empty", "");
  Put(dir / "src/big.bin", std::string(300 << 10, 'x') + "end");
  for (int i = 0; i < 60; ++i) Put(dir / ("src/viele/f" + std::to_string(i)), std::to_string(i));
  const std::string job = dir / "disk.kpw";
  const std::string target = DiskUrl(image, "/Ziel/neu");  // made by the row
  WriteJobRows(job, {JobRow(dir / "src", target, "", "", "", "/FTP_DEL")});
  ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(VolumeTree(dir, image, "/Ziel/neu"), HostTree(dir / "src"));

  // Files gone from the source go from the volume; one changed replaces its copy.
  std::filesystem::remove(dir / "src/Ordner/Tief/b.txt");
  for (int i = 0; i < 60; i += 2) std::filesystem::remove(dir / ("src/viele/f" + std::to_string(i)));
  Put(dir / "src/Ordner/Tief/c.txt", "C");
  Put(dir / "src/a.txt", "A2", kT + 100);
  run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(VolumeTree(dir, image, "/Ziel/neu"), HostTree(dir / "src"));
}

}  // namespace
