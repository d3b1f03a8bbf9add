// Archives written by CZipFile against unzip, zipinfo, Python's zipfile, 7-Zip and bsdtar.
#include "archive_test_util.h"

#include <sys/stat.h>

using namespace ziptest;

namespace {

constexpr time_t kTime = 1700000001;  // an odd second: only the exact field keeps it

// A tree with text, random, empty and multi-piece files, an empty folder, UTF-8 names and modes.
void MakeTree(const std::string& root) {
  WriteFile(root + "/a.txt", TextData(100000, 1));
  WriteFile(root + "/sub/b.bin", RandomData(50000, 2));
  WriteFile(root + "/sub/deep/empty.dat", "");
  fs::create_directories(root + "/empty_folder");
  WriteFile(root + "/Grüße/Straße ü.txt", TextData(3000, 3));
  WriteFile(root + "/big/text5m.txt", TextData(5 * 1024 * 1024 + 123, 4));
  WriteFile(root + "/big/rand3m.bin", RandomData(3 * 1024 * 1024 + 7, 5));
  WriteFile(root + "/ro.txt", "read only\n");
  ::chmod((root + "/ro.txt").c_str(), 0444);
  WriteFile(root + "/run.sh", "#!/bin/sh\necho hi\n");
  ::chmod((root + "/run.sh").c_str(), 0755);
  const RunResult r =
      Shell("find " + kpwtest::Quote(root) + " -exec touch -h -d @" + std::to_string(kTime) + " {} +");
  ASSERT_EQ(r.status, 0) << r.output;
}

// Every entry against the tree: data, Unix mode, UTF-8 flag, DOS and exact times; the methods.
const char* kPythonCheck = R"PY(
import os, sys, time, zipfile, struct, stat
archive, root, level = sys.argv[1], sys.argv[2], int(sys.argv[3])
with zipfile.ZipFile(archive) as z:
    assert z.testzip() is None
    for info in z.infolist():
        path = os.path.join(root, info.filename)
        st = os.lstat(path)
        assert info.create_system == 3, info
        assert (info.external_attr >> 16) == st.st_mode, (info.filename, oct(info.external_attr >> 16))
        assert bool(info.flag_bits & 0x800) == (not info.filename.isascii()), info.filename
        assert info.date_time[:5] == tuple(time.localtime(st.st_mtime)[:5]), info.filename
        extra, found = info.extra, None
        while len(extra) >= 4:
            hid, size = struct.unpack("<HH", extra[:4])
            if hid == 0x5455:
                found = struct.unpack("<i", extra[5:9])[0]
            extra = extra[4 + size:]
        assert found == int(st.st_mtime), (info.filename, found)
        if info.is_dir():
            assert stat.S_ISDIR(st.st_mode) and info.external_attr & 0x10
        else:
            assert z.read(info) == open(path, "rb").read(), info.filename
    m = {i.filename: i for i in z.infolist()}
    for name in ["a.txt", "big/text5m.txt"]:
        assert m[name].compress_type == (8 if level else 0), name
    for name in ["big/rand3m.bin", "sub/b.bin", "sub/deep/empty.dat"]:
        assert m[name].compress_type == 0, name  # what does not shrink is stored
    assert level != 9 or m["a.txt"].flag_bits & 0x6 == 0x2
    assert m["ro.txt"].external_attr & 1
)PY";

}  // namespace

class WriteOracles : public ::testing::TestWithParam<int> {};

TEST_P(WriteOracles, EveryToolAcceptsWhatWeWrite) {
  const int level = GetParam();
  TempDir dir;
  const std::string src = dir / "src";
  MakeTree(src);
  const std::string archive = dir / "out.zip";
  EXPECT_EQ(Pack(archive, src, ARC_OPEN_CREATE, level), 8);
  const std::string zipPath = kpwtest::Quote(archive);
  const RunResult py = Python(kPythonCheck, {archive, src, std::to_string(level)});
  EXPECT_EQ(py.status, 0) << py.output;
  const RunResult info = Shell("zipinfo -v " + zipPath);
  EXPECT_EQ(info.status, 0) << info.output;
  EXPECT_EQ(info.output.find("warning"), std::string::npos) << info.output;
  const RunResult seven = Shell("7zz t " + zipPath);
  EXPECT_NE(seven.output.find("Everything is Ok"), std::string::npos) << seven.output;
  // unzip, bsdtar and our own reader give the tree back, with times and modes.
  for (const std::string tool : {"unzip", "bsdtar", "ours"}) {
    const std::string out = dir / tool;
    fs::create_directories(out);
    if (tool == "ours") {
      CZipFile zip;
      ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
      EXPECT_EQ(zip.GetEntryCount(), 13);
      EXPECT_EQ(zip.ExtractAll(out.c_str(), nullptr), 0) << zip.GetErrorText();
    } else {
      const std::string command =
          tool == "unzip" ? "unzip -q " + zipPath + " -d " : "bsdtar -xf " + zipPath + " -C ";
      const RunResult x = Shell(command + kpwtest::Quote(out));
      EXPECT_EQ(x.status, 0) << x.output;
    }
    ExpectTreesEqual(src, out);
    EXPECT_EQ(MTime(out + "/big/text5m.txt"), kTime) << tool;
    struct stat st {};
    ::stat((out + "/run.sh").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << tool;
  }
  EXPECT_EQ(MTime(dir / "ours/sub/deep"), kTime);
}

INSTANTIATE_TEST_SUITE_P(Levels, WriteOracles, ::testing::Values(9, 1, 0));

TEST(WriteFormat, UpdateOfAMissingFileStartsAnEmptyArchive) {
  TempDir dir;
  const std::string archive = dir / "new.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_UPDATE, 9), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.GetEntryCount(), 0);
  EXPECT_EQ(zip.Close(), 0);
  EXPECT_EQ(ReadFile(archive), std::string("PK\x05\x06", 4) + std::string(18, '\0'));  // the end record only
}
