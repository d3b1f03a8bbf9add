// "Ftp" and "Ftp Del" rows between local trees and a FAT volume of an image, run by the program;
// fsck.fat and mtools judge the image.
#include "tests/support/fat_images.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kpwtest;

constexpr u64 kKib = 64 << 10;
constexpr u64 kVolume = kKib * 1024;

// A disk:// URL of a folder on the image's one volume.
std::string DiskUrl(const std::string& image, const std::string& path) {
  std::string host;
  for (const char c : image) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "disk://" + host + path;
}

class FtpDisk : public ::testing::Test {
 protected:
  ProgramRun Run(const std::vector<JobRow>& rows) {
    WriteJobRows(job, rows);
    return RunJobFile(job);
  }
  TempDir dir{"ftp-disk", ImageBase()};
  const std::string image = MakePartitionedFat(dir, "stick.img", 32, kKib);
  const std::string job = dir / "disk.kpw";
};

TEST_F(FtpDisk, ATreeGoesIntoTheVolumeAndBackAndFtpDelTrimsIt) {
  const std::string big(300 << 10, 'x');
  Put(dir / "src/a.txt", "A");
  Put(dir / "src/Ordner/Tief/b.txt", "B");
  Put(dir / "src/Grüße/日本.txt", "J");
  Put(dir / "src/MixedCase.Txt", "M");
  Put(dir / "src/big.bin", big);
  const std::string target = DiskUrl(image, "/Ziel/neu");  // made by the row
  ProgramRun run = Run({JobRow(dir / "src", target, "", "", "", "/FTP_DEL"), JobRow(target, dir / "back", "", "", "", "/FTP")});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_FSCK_CLEAN(image, kPartitionOffset, kVolume);
  EXPECT_EQ(MdirAll(image, kPartitionOffset),
            (std::vector<std::string>{"/Ziel/", "/Ziel/neu/", "/Ziel/neu/Grüße/", "/Ziel/neu/Grüße/日本.txt",
                                      "/Ziel/neu/MixedCase.Txt", "/Ziel/neu/Ordner/", "/Ziel/neu/Ordner/Tief/",
                                      "/Ziel/neu/Ordner/Tief/b.txt", "/Ziel/neu/a.txt", "/Ziel/neu/big.bin"}));
  EXPECT_EQ(Mtype(image, "/Ziel/neu/big.bin", kPartitionOffset), big);
  EXPECT_EQ(Contents(dir / "back"), Contents(dir / "src"));

  // A file gone from the source goes from the volume; one changed replaces its copy.
  std::filesystem::remove(dir / "src/Ordner/Tief/b.txt");
  Put(dir / "src/Ordner/Tief/c.txt", "C");
  Put(dir / "src/a.txt", "A2");
  run = Run({JobRow(dir / "src", target, "", "", "", "/FTP_DEL")});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_FSCK_CLEAN(image, kPartitionOffset, kVolume);
  EXPECT_EQ(Mtype(image, "/Ziel/neu/a.txt", kPartitionOffset), "A2");
  EXPECT_EQ(Mtype(image, "/Ziel/neu/Ordner/Tief/c.txt", kPartitionOffset), "C");
  EXPECT_EQ(MdirAll(image, kPartitionOffset).size(), 10u);  // b.txt went, c.txt came
}

// FAT tells names apart without regard to case and trailing dots, and cannot hold some at all:
// such entries are named and passed over, and "Ftp Del" never deletes the file just written
// under a name the volume lists in another case.
TEST_F(FtpDisk, NamesTheVolumeCannotHoldOrTellApartArePassedOverWithAMessage) {
  MustRun(Mtools("mmd", image, "::/Ziel", kPartitionOffset));
  MustRun("echo old | " + Mtools("mcopy", image, "- ::/Ziel/README.TXT", kPartitionOffset));
  Put(dir / "src/readme.txt", "new");
  Put(dir / "src/A.txt", "1");
  Put(dir / "src/a.txt", "2");
  Put(dir / "src/abc", "3");
  Put(dir / "src/abc.", "4");
  Put(dir / "src/x:y", "5");
  Put(dir / "src/tab\tx", "6");
  Put(dir / "src/l\xE4t", "7");
  Put(dir / "src/a\\b/f", "8");
  Put(dir / "src/Sub/x", "9");
  Put(dir / "src/sub/x", "10");
  // One byte more than a FAT file holds: refused before a byte is read.
  Put(dir / "src/huge.bin", "");
  std::filesystem::resize_file(dir / "src/huge.bin", u64{4} << 30);
  const ProgramRun run = Run({JobRow(dir / "src", DiskUrl(image, "/Ziel"), "", "", "", "/FTP_DEL")});
  EXPECT_EQ(run.status, 1);
  const std::string src = dir / "src/";
  for (const char* name : {"x:y", "tab\tx", "l\xE4t", "a\\b"})
    EXPECT_NE(run.errors.find("Das Ziel kann diesen Namen nicht aufnehmen:\n" + src + name +
                              "\nDer Eintrag wurde übergangen."),
              std::string::npos)
        << run.errors;
  for (const auto& [first, second] : {std::pair{"A.txt", "a.txt"}, {"abc", "abc."}, {"Sub", "sub"}})
    EXPECT_NE(run.errors.find("Die Namen\n" + src + first + "\nund\n" + src + second +
                              "\nbezeichnen im Ziel denselben Eintrag; der zweite wurde übergangen."),
              std::string::npos)
        << run.errors;
  EXPECT_NE(run.errors.find("Fehler beim Hinaufladen von:\n" + image + "/Ziel/huge.bin\n(Die Datei ist zu groß für das Ziel)"),
            std::string::npos)
      << run.errors;
  EXPECT_FSCK_CLEAN(image, kPartitionOffset, kVolume);
  EXPECT_EQ(MdirAll(image, kPartitionOffset),
            (std::vector<std::string>{"/Ziel/", "/Ziel/A.txt", "/Ziel/Sub/", "/Ziel/Sub/x", "/Ziel/abc",
                                      "/Ziel/readme.txt"}));
  EXPECT_EQ(Mtype(image, "/Ziel/readme.txt", kPartitionOffset), "new");
  EXPECT_EQ(Mtype(image, "/Ziel/A.txt", kPartitionOffset), "1");
}

// Each file written ends with the volume written out, but an image is synced once, when the row
// lets it go: a sync per file made a disk-backed image some fifty times slower than mcopy.
TEST_F(FtpDisk, AnImageIsSyncedWhenTheRowLetsItGo) {
  if (!HaveTool("strace")) GTEST_SKIP() << "strace is missing";
  for (int i = 0; i < 40; ++i) Put(dir / ("src/f" + std::to_string(i)), "x");
  WriteJobRows(job, {JobRow(dir / "src", DiskUrl(image, "/viele"), "", "", "", "/FTP")});
  const std::string log = dir / "strace.txt";
  int status = -1;
  // LeakSanitizer cannot work under a tracer.
  const std::string noLeakCheck = "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"";
  Shell("env -u DISPLAY " + noLeakCheck + " strace -f -y -e trace=fsync,fdatasync -o " + Quote(log) + " " +
            Quote(kKopiwart) + " " + Quote(job) + " -S -A -N 2>/dev/null",
        &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(MdirAll(image, kPartitionOffset).size(), 41u);
  const std::string calls = ReadFile(log);
  int syncs = 0;
  for (std::size_t at = 0; (at = calls.find("stick.img>", at)) != std::string::npos; ++at) ++syncs;
  EXPECT_EQ(syncs, 1) << calls;
  EXPECT_FSCK_CLEAN(image, kPartitionOffset, kVolume);
}

}  // namespace
