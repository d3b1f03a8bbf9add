// Parallel packing gives the one-thread archive byte for byte; ZIP64 for many entries and huge files.
#include "archive_test_util.h"

#include <fcntl.h>

using namespace ziptest;

TEST(Parallel, SameBytesWhateverTheThreadCount) {
  TempDir dir;
  const std::string src = dir / "src";
  for (int i = 0; i < 300; ++i)
    WriteFile(src + "/small/d" + std::to_string(i % 7) + "/f" + std::to_string(i), TextData(100 + i * 37, i));
  WriteFile(src + "/big/text.txt", TextData(9 * 1024 * 1024 + 5, 1));
  WriteFile(src + "/big/random.bin", RandomData(4 * 1024 * 1024, 2));
  // Random first, text after: the first piece decides, and deflate still stores what it cannot shrink.
  WriteFile(src + "/big/mixed.bin", RandomData(1024 * 1024, 3) + TextData(3 * 1024 * 1024, 4));
  WriteFile(src + "/big/exact.txt", TextData(2 * 1024 * 1024, 5));
  ASSERT_EQ(Shell("find '" + src + "' -exec touch -h -d @1700000000 {} +").status, 0);
  for (int level : {9, 1, 0}) {
    std::string reference;
    for (int threads : {1, 2, 4, 8}) {
      const std::string archive = dir / ("t" + std::to_string(threads) + ".zip");
      Pack(archive, src, ARC_OPEN_CREATE, level, threads);
      const std::string bytes = ReadFile(archive);
      if (threads == 1) {
        reference = bytes;
        if (!Tool("unzip").empty()) {
          EXPECT_EQ(Shell("unzip -tq '" + archive + "'").status, 0);
        }
        CZipFile zip;
        ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0);
        EXPECT_EQ(zip.ExtractAll((dir / "out").c_str(), nullptr), 0) << zip.GetErrorText();
        EXPECT_EQ(Shell("diff -r '" + src + "' '" + (dir / "out") + "'").status, 0);
        Shell("rm -rf '" + (dir / "out") + "'");
      } else {
        EXPECT_TRUE(bytes == reference) << "level " << level << ", " << threads << " threads";
      }
    }
  }
}

TEST(Zip64, MoreThan65535Entries) {
  // Tens of thousands of files are made much faster in memory where there is such a folder.
  struct stat shm {};
  TempDir dir("zip", ::stat("/dev/shm", &shm) == 0 && ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  const std::string src = dir / "src";
  const int kFiles = 66000;
  for (int d = 0; d < 66; ++d) {
    const std::string folder = src + "/d" + std::to_string(d);
    MakeDirs(folder);
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
  const int entries = kFiles + 66;
  {
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
    EXPECT_EQ(zip.GetEntryCount(), entries);
  }
  // Update an archive past the limit: the old entries are carried over.
  WriteFile(dir / "more/extra.txt", "one more");
  Pack(archive, dir / "more", ARC_OPEN_UPDATE);
  const RunResult py = Python("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\nprint(len(z.infolist()))\n"
                              "assert z.testzip() is None\nassert z.read('extra.txt')==b'one more'\n",
                              {archive});
  EXPECT_EQ(py.status, 0) << py.output;
  EXPECT_EQ(py.output, std::to_string(entries + 1) + "\n");
  if (!Tool("unzip").empty()) {
    const RunResult t = Shell("unzip -tq '" + archive + "'");
    EXPECT_EQ(t.status, 0) << t.output.substr(0, 2000);
  }
  if (const std::string seven = SevenZip(); !seven.empty()) {
    const RunResult t = Shell("'" + seven + "' t '" + archive + "'");
    EXPECT_EQ(t.status, 0) << t.output.substr(0, 2000);
  }
  if (const std::string bsdtar = Tool("bsdtar"); !bsdtar.empty()) {
    const RunResult t = Shell("'" + bsdtar + "' -tf '" + archive + "' | wc -l");
    EXPECT_EQ(t.output, std::to_string(entries + 1) + "\n");
  }
}

// Opt-in: an entry over 4 GiB from a sparse file (KPW_ZIP_SLOW_TESTS=1).
TEST(Zip64, EntryOver4GiB) {
  if (!std::getenv("KPW_ZIP_SLOW_TESTS")) GTEST_SKIP() << "slow: set KPW_ZIP_SLOW_TESTS=1 to run it";
  TempDir dir;
  const std::string src = dir / "src";
  MakeDirs(src);
  const u64 size = (u64{4} << 30) + 12345;
  {
    const int fd = ::open((src + "/huge.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size - 5)), 0);
    ASSERT_EQ(::pwrite(fd, "tail!", 5, static_cast<off_t>(size - 5)), 5);
    ::close(fd);
  }
  WriteFile(src + "/after.txt", "after the huge one");
  const std::string archive = dir / "huge.zip";
  for (int level : {0, 6}) {
    EXPECT_EQ(Pack(archive, src, ARC_OPEN_CREATE, level), 2);
    if (!Tool("unzip").empty()) {
      const RunResult t = Shell("unzip -tq '" + archive + "'");
      EXPECT_EQ(t.status, 0) << t.output;
    }
    if (const std::string seven = SevenZip(); !seven.empty()) {
      const RunResult t = Shell("'" + seven + "' t '" + archive + "'");
      EXPECT_EQ(t.status, 0) << t.output;
    }
    const RunResult py = Python("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\n"
                                "i=z.getinfo('huge.bin')\nassert i.file_size==int(sys.argv[2]),i\n"
                                "assert z.read('after.txt')==b'after the huge one'\n",
                                {archive, std::to_string(size)});
    EXPECT_EQ(py.status, 0) << py.output;
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0);
    const std::string out = dir / "out";
    EXPECT_EQ(zip.ExtractAll(out.c_str(), nullptr), 0) << zip.GetErrorText();
    EXPECT_EQ(Shell("cmp '" + src + "/huge.bin' '" + out + "/huge.bin'").status, 0);
    Shell("rm -rf '" + out + "'");
  }
}
