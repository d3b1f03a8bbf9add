// "Ftp" rows between local folders and an exFAT volume in an image, run by the program unattended.
#include "tests/support/exfat_images.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

std::string Escaped(const std::string& path) {
  std::string out;
  for (const char c : path) out += c == '/' ? std::string("%2F") : std::string(1, c);
  return out;
}

TEST(FtpExfat, RowsCopyATreeIntoAnExfatVolumeAndBack) {
  TempDir dir("ftp-exfat", ImageBase());
  const std::string image = MakeExfatImage(dir, "stick.img", "4K", 32);
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/Ordner mit Ümlaut/b.txt", std::string(300000, 'b'));
  Put(dir / "up/sub/tiefer/c.txt", "C");
  // The image's one volume needs no name in the path.
  const std::string volume = "disk://" + Escaped(image) + "/";
  const std::string job = dir / "disk.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "up", volume + "ziel", "", "", "", "/FTP"),
                        JobRow(volume + "ziel", dir / "back", "", "", "", "/FTP"),
                    });
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Contents(dir / "back"), Contents(dir / "up"));
  EXPECT_EXFAT_CLEAN(image);
  const std::map<std::string, std::string> names = FlsAll(image);
  EXPECT_TRUE(names.count("ziel/Ordner mit Ümlaut/b.txt"));
  EXPECT_TRUE(Icat(image, names.at("ziel/sub/tiefer/c.txt")) == "C");
}

}  // namespace
