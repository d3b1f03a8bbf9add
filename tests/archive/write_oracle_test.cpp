// Archives written by CZipFile against unzip, zipinfo, Python's zipfile, 7-Zip and bsdtar.
#include "archive_test_util.h"

#include <fcntl.h>

#include <set>

using namespace ziptest;

namespace {

constexpr time_t kTime = 1700000001;  // an odd second: only the exact field keeps it

// A tree with text, random, empty and multi-piece files, an empty folder, UTF-8 names and modes.
void MakeTree(const std::string& root) {
  WriteFile(root + "/a.txt", TextData(100000, 1));
  WriteFile(root + "/sub/b.bin", RandomData(50000, 2));
  WriteFile(root + "/sub/deep/empty.dat", "");
  MakeDirs(root + "/empty_folder");
  WriteFile(root + "/Grüße/Straße ü.txt", TextData(3000, 3));
  WriteFile(root + "/big/text5m.txt", TextData(5 * 1024 * 1024 + 123, 4));
  WriteFile(root + "/big/rand3m.bin", RandomData(3 * 1024 * 1024 + 7, 5));
  WriteFile(root + "/ro.txt", "read only\n");
  ::chmod((root + "/ro.txt").c_str(), 0444);
  WriteFile(root + "/run.sh", "#!/bin/sh\necho hi\n");
  ::chmod((root + "/run.sh").c_str(), 0755);
  const RunResult r = Shell("find '" + root + "' -exec touch -h -d @" + std::to_string(kTime) + " {} +");
  ASSERT_EQ(r.status, 0) << r.output;
}

void ExpectTreesEqual(const std::string& a, const std::string& b) {
  const RunResult r = Shell("diff -r '" + a + "' '" + b + "'");
  EXPECT_EQ(r.status, 0) << r.output;
}

const char* kPythonCheck = R"PY(
import os, sys, time, zipfile, struct, stat
archive, root = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive) as z:
    bad = z.testzip()
    assert bad is None, "bad entry %s" % bad
    names = set()
    for info in z.infolist():
        names.add(info.filename)
        path = os.path.join(root, info.filename)
        st = os.lstat(path)
        assert info.create_system == 3, info
        assert (info.external_attr >> 16) == st.st_mode, (info.filename, oct(info.external_attr >> 16), oct(st.st_mode))
        ascii = all(ord(c) < 128 for c in info.filename)
        assert bool(info.flag_bits & 0x800) == (not ascii), info.filename
        lt = time.localtime(st.st_mtime)
        assert info.date_time[:5] == tuple(lt[:5]), (info.filename, info.date_time, lt)
        extra, found = info.extra, None
        while len(extra) >= 4:
            hid, size = struct.unpack("<HH", extra[:4])
            if hid == 0x5455:
                found = struct.unpack("<i", extra[5:9])[0]
            extra = extra[4 + size:]
        assert found == int(st.st_mtime), (info.filename, found)
        if info.is_dir():
            assert stat.S_ISDIR(st.st_mode)
        else:
            assert z.read(info) == open(path, "rb").read(), info.filename
    expected = set()
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        if rel != ".":
            expected.add(rel + "/")
        for f in files:
            expected.add(os.path.normpath(os.path.join(rel, f)))
    assert names == expected, (names ^ expected)
print("OK")
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

  if (!Tool("unzip").empty()) {
    const RunResult t = Shell("unzip -t '" + archive + "'");
    EXPECT_EQ(t.status, 0) << t.output;
    EXPECT_NE(t.output.find("No errors detected"), std::string::npos) << t.output;
    const std::string out = dir / "unzipped";
    const RunResult x = Shell("unzip -q '" + archive + "' -d '" + out + "'");
    EXPECT_EQ(x.status, 0) << x.output;
    ExpectTreesEqual(src, out);
    EXPECT_EQ(MTime(out + "/a.txt"), kTime);
    struct stat st {};
    ::stat((out + "/run.sh").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
  } else {
    GTEST_LOG_(INFO) << "unzip is not installed: its checks are skipped";
  }
  if (!Tool("zipinfo").empty()) {
    const RunResult v = Shell("zipinfo -v '" + archive + "'");
    EXPECT_EQ(v.status, 0) << v.output;
    EXPECT_NE(v.output.find("Unix"), std::string::npos);
    EXPECT_NE(v.output.find("0x5455"), std::string::npos);
    EXPECT_EQ(v.output.find("warning"), std::string::npos) << v.output;
  }
  const RunResult py = Python(kPythonCheck, {archive, src});
  EXPECT_EQ(py.status, 0) << py.output;

  if (const std::string seven = SevenZip(); !seven.empty()) {
    const RunResult t = Shell("'" + seven + "' t '" + archive + "'");
    EXPECT_EQ(t.status, 0) << t.output;
    EXPECT_NE(t.output.find("Everything is Ok"), std::string::npos) << t.output;
  } else {
    GTEST_LOG_(INFO) << "7-Zip is not installed: its check is skipped";
  }
  if (const std::string bsdtar = Tool("bsdtar"); !bsdtar.empty()) {
    const RunResult t = Shell("'" + bsdtar + "' -tvf '" + archive + "'");
    EXPECT_EQ(t.status, 0) << t.output;
    EXPECT_NE(t.output.find("Straße ü.txt"), std::string::npos) << t.output;
    const std::string out = dir / "bsdtar";
    MakeDirs(out);
    const RunResult x = Shell("'" + bsdtar + "' -xf '" + archive + "' -C '" + out + "'");
    EXPECT_EQ(x.status, 0) << x.output;
    ExpectTreesEqual(src, out);
  } else {
    GTEST_LOG_(INFO) << "bsdtar is not installed: its check is skipped";
  }

  // Our own reader gives the tree back with exact times and modes.
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.GetEntryCount(), 13);
  const std::string out = dir / "ours";
  EXPECT_EQ(zip.ExtractAll(out.c_str(), nullptr), 0) << zip.GetErrorText();
  ExpectTreesEqual(src, out);
  EXPECT_EQ(MTime(out + "/big/text5m.txt"), kTime);
  EXPECT_EQ(MTime(out + "/sub/deep"), kTime);
  struct stat st {};
  ::stat((out + "/ro.txt").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(zip.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Levels, WriteOracles, ::testing::Values(9, 1, 0));

TEST(WriteFormat, StoredAndDeflatedEntriesAsExpected) {
  TempDir dir;
  const std::string src = dir / "src";
  MakeTree(src);
  const std::string archive = dir / "out.zip";
  Pack(archive, src, ARC_OPEN_CREATE, 9);
  const RunResult py = Python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
m = {i.filename: i for i in z.infolist()}
assert m["a.txt"].compress_type == 8 and m["a.txt"].compress_size < 30000
assert m["big/text5m.txt"].compress_type == 8
assert m["big/rand3m.bin"].compress_type == 0, "incompressible data is stored"
assert m["sub/b.bin"].compress_type == 0
assert m["sub/deep/empty.dat"].compress_type == 0 and m["sub/deep/empty.dat"].file_size == 0
assert m["empty_folder/"].is_dir() and m["empty_folder/"].external_attr & 0x10
assert m["ro.txt"].external_attr & 1
assert m["a.txt"].flag_bits & 0x6 == 0x2
print("OK")
)PY", {archive});
  EXPECT_EQ(py.status, 0) << py.output;
}

TEST(WriteFormat, FolderInsideTheArchiveAndFilters) {
  TempDir dir;
  WriteFile(dir / "src/keep.txt", "k");
  WriteFile(dir / "src/skip.log", "s");
  WriteFile(dir / "src/sub/keep2.txt", "k2");
  const std::string archive = dir / "out.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(ARC_FLAG_RECURSE);
  EXPECT_EQ(zip.AddTree((dir / "src").c_str(), "*.txt", nullptr, "\\arch\\..\\dir/"), 2);
  std::set<std::string> names;
  for (int i = 0; i < zip.GetEntryCount(); ++i) {
    std::string n;
    ASSERT_TRUE(zip.GetEntryName(i, n));
    names.insert(n);
  }
  EXPECT_EQ(names, (std::set<std::string>{"arch/dir/keep.txt", "arch/dir/sub/keep2.txt"}));
  EXPECT_EQ(zip.Close(), 0);
  // Without recursion only the top level.
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(0);
  EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, "*.log", nullptr), 1);
  EXPECT_EQ(zip.Close(), 0);
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0);
  ASSERT_EQ(zip.GetEntryCount(), 1);
  std::string n;
  zip.GetEntryName(0, n);
  EXPECT_EQ(n, "keep.txt");
}

TEST(WriteFormat, EmptyArchiveIsValid) {
  TempDir dir;
  const std::string archive = dir / "new.zip";
  CZipFile zip;
  // Update on a missing file starts a new, empty archive.
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_UPDATE, 9), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.GetEntryCount(), 0);
  EXPECT_EQ(zip.Close(), 0);
  EXPECT_EQ(ReadFile(archive).size(), 22u);
  const RunResult py = Python("import zipfile,sys\nassert zipfile.ZipFile(sys.argv[1]).namelist()==[]\n", {archive});
  EXPECT_EQ(py.status, 0) << py.output;
}
