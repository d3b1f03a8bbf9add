// ZIP64 for many entries and huge files.
#include "archive_test_util.h"

#include <fcntl.h>
#include <unistd.h>

using namespace ziptest;

TEST(Zip64, MoreThan65535Entries) {
  // Tens of thousands of files are made much faster in memory where there is such a folder.
  TempDir dir("zip", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  const std::string src = dir / "src";
  const int kFiles = 66000;
  for (int d = 0; d < 66; ++d) {
    const std::string folder = src + "/d" + std::to_string(d);
    fs::create_directories(folder);
    for (int f = 0; f < kFiles / 66; ++f) {
      const std::string path = folder + "/" + std::to_string(f);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::write(fd, path.data() + path.size() - 3, 3), 3);
      ::close(fd);
    }
  }
  const std::string archive = dir / "many.zip";
  EXPECT_EQ(Pack(archive, src), kFiles);
  // Update an archive past the limit: the old entries are carried over.
  WriteFile(dir / "more/extra.txt", "one more");
  Pack(archive, dir / "more", ARC_OPEN_UPDATE);
  const int entries = kFiles + 66 + 1;
  {
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
    EXPECT_EQ(zip.GetEntryCount(), entries);
  }
  const RunResult py = Python(
      "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\nprint(len(z.infolist()))\n"
      "assert z.testzip() is None\nassert z.read('extra.txt')==b'one more'\n",
      {archive});
  EXPECT_EQ(py.output, std::to_string(entries) + "\n");
  for (const std::string check : {"unzip -tq", "7zz t"}) {
    const RunResult t = Shell(check + " " + kpwtest::Quote(archive));
    EXPECT_EQ(t.status, 0) << check << ": " << t.output.substr(0, 2000);
  }
  EXPECT_EQ(Shell("bsdtar -tf " + kpwtest::Quote(archive) + " | wc -l").output,
            std::to_string(entries) + "\n");
}

// Opt-in: an entry over 4 GiB from a sparse file (KPW_ZIP_SLOW_TESTS=1).
TEST(Zip64, EntryOver4GiB) {
  if (!std::getenv("KPW_ZIP_SLOW_TESTS")) GTEST_SKIP() << "slow: set KPW_ZIP_SLOW_TESTS=1 to run it";
  TempDir dir;
  const std::string src = dir / "src";
  const u64 size = (u64{4} << 30) + 12345;
  WriteFile(src + "/huge.bin", "");
  fs::resize_file(src + "/huge.bin", size - 5);
  std::ofstream(src + "/huge.bin", std::ios::binary | std::ios::app) << "tail!";
  WriteFile(src + "/after.txt", "after the huge one");
  const std::string archive = dir / "huge.zip";
  for (int level : {0, 6}) {
    EXPECT_EQ(Pack(archive, src, ARC_OPEN_CREATE, level), 2);
    for (const std::string check : {"unzip -tq", "7zz t"}) {
      const RunResult t = Shell(check + " " + kpwtest::Quote(archive));
      EXPECT_EQ(t.status, 0) << check << ": " << t.output;
    }
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0);
    EXPECT_EQ(zip.ExtractAll((dir / "out").c_str(), nullptr), 0) << zip.GetErrorText();
    EXPECT_EQ(
        Shell("cmp " + kpwtest::Quote(src + "/huge.bin") + " " + kpwtest::Quote(dir / "out/huge.bin")).status,
        0);
    fs::remove_all(dir / "out");
  }
}
