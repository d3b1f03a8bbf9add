// "Ftp Del" rows from a local tree into an ext4 volume of an image, and rows that only read images, run by the program; e2fsck, debugfs and cmp judge the images.
#include "tests/support/exfat_images.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// Downloads and server-to-server sources attach their images read-only: images the owner may not
// write are read, and every image stays byte for byte as it was; an upload into such an image
// still fails.
TEST(FtpDiskExt4, ImagesThatRowsOnlyReadAreLeftAsTheyWere) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ftp-disk-source", ImageBase());
  Put(dir / "src/a.txt", "A");
  Put(dir / "src/Ordner/b.bin", RandomBytes(200 << 10, 7));
  Put(dir / "src/Ordner/Tief/c.txt", "C");
  const std::string ext4 = dir / "e.img";
  Ext4Tool("mke2fs -q -F -t ext4 " + Quote(ext4) + " 16M");
  const std::string fat = MakeFatImage(dir, "f.img", 16, 16384);
  const std::string exfat = MakeExfatImage(dir, "x.img", "4K", 16);
  const std::string target = MakeFatImage(dir, "target.img", 16, 16384);
  const std::string job = dir / "disk.kpw";
  const std::vector<std::string> images{ext4, fat, exfat};
  std::vector<JobRow> fill;
  for (const std::string& image : images) fill.emplace_back(dir / "src", DiskUrl(image, "/t"), "", "", "", "/FTP");
  WriteJobRows(job, fill);
  ProgramRun run = RunJobFile(job);
  ASSERT_EQ(run.status, 0) << run.errors;
  for (const std::string& image : images) {
    MustRun("cp " + Quote(image) + " " + Quote(image + ".orig"));
    ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
  }
  // A local folder holding a file the source lacks, for "Ftp Del".
  Put(dir / "down-fat/extra.txt", "X");
  WriteJobRows(job, {JobRow(DiskUrl(ext4, "/t"), dir / "down-ext4", "", "", "", "/FTP"),
                     JobRow(DiskUrl(fat, "/t"), dir / "down-fat", "", "", "", "/FTP_DEL"),
                     JobRow(DiskUrl(exfat, "/t"), dir / "down-exfat", "", "", "", "/FTP"),
                     JobRow(DiskUrl(ext4, "/t"), DiskUrl(target, "/copy"), "", "", "", "/FTP_DEL")});
  run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  for (const char* down : {"down-ext4", "down-fat", "down-exfat"}) EXPECT_EQ(HostTree(dir / down), HostTree(dir / "src")) << down;
  EXPECT_EQ(Mtype(target, "/copy/Ordner/Tief/c.txt"), "C");
  for (const std::string& image : images) {
    int status = -1;
    Shell("cmp " + Quote(image) + " " + Quote(image + ".orig"), &status);
    EXPECT_EQ(status, 0) << image << " was changed";
  }

  // Writing into an image the owner may not write is refused, and nothing is written.
  WriteJobRows(job, {JobRow(dir / "src", DiskUrl(ext4, "/neu"), "", "", "", "/FTP")});
  run = RunJobFile(job);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("schreibgeschützt"), std::string::npos) << run.errors;
  int status = -1;
  Shell("cmp " + Quote(ext4) + " " + Quote(ext4 + ".orig"), &status);
  EXPECT_EQ(status, 0);
}

// An upload into a volume marked as having errors is done, and the row warns of it.
TEST(FtpDiskExt4, AVolumeMarkedWithErrorsIsWrittenWithAWarning) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("ftp-disk-errors", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 " + Quote(image) + " 16M");
  Ext4Tool("debugfs -w -R 'ssv state 3' " + Quote(image));
  Put(dir / "src/a.txt", "A");
  const std::string job = dir / "disk.kpw";
  WriteJobRows(job, {JobRow(dir / "src", DiskUrl(image, "/neu"), "", "", "", "/FTP")});
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_NE(run.errors.find("fehlerhaft markiert"), std::string::npos) << run.errors;
  EXPECT_EQ(VolumeTree(dir, image, "/neu"), HostTree(dir / "src"));
}

}  // namespace
