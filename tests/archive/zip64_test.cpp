// ZIP64 for many entries and huge files.
#include "archive/zip_internal.h"
#include "archive_test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

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

// 65,535 entries fill the short count fields: the marker value 0xFFFF stands there, so the ZIP64
// end records must hold the count; one entry fewer needs none.
TEST(Zip64, ExactlyAsManyEntriesAsTheShortCountHolds) {
  TempDir dir("zip", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  const std::string src = dir / "src";
  fs::create_directories(src);
  const int kFiles = 0xFFFF - 1;
  for (int f = 0; f < kFiles; ++f) {
    const int fd = ::open((src + "/" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  // The end record's count, and the ZIP64 end record's when it and its locator stand before it.
  const auto ends = [](const std::string& archive) {
    const std::string bytes = ReadFile(archive);
    const auto* end = reinterpret_cast<const u8*>(bytes.data() + bytes.size() - 22);
    const u16 shortCount = static_cast<u16>(end[10] | end[11] << 8);
    const std::size_t locator = bytes.size() - 22 - 20, record = locator - 56;
    const bool zip64 =
        bytes.compare(locator, 4, "PK\x06\x07") == 0 && bytes.compare(record, 4, "PK\x06\x06") == 0;
    u64 count64 = 0;
    for (int i = 7; zip64 && i >= 0; --i) count64 = count64 << 8 | static_cast<u8>(bytes[record + 32 + i]);
    return std::to_string(shortCount) + (zip64 ? " zip64 " + std::to_string(count64) : "");
  };
  const std::string archive = dir / "full.zip";
  EXPECT_EQ(Pack(archive, src, ARC_OPEN_CREATE, 0), kFiles);
  EXPECT_EQ(ends(archive), "65534");
  WriteFile(dir / "more/last", "");
  EXPECT_EQ(Pack(archive, dir / "more", ARC_OPEN_UPDATE, 0), 1);
  EXPECT_EQ(ends(archive), "65535 zip64 65535");
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.GetEntryCount(), 0xFFFF);
  const RunResult t = Shell("unzip -tq " + kpwtest::Quote(archive));
  EXPECT_EQ(t.status, 0) << t.output.substr(0, 2000);
}

// An entry over 4 GiB: sizes past 32 bits in its records. Zeros from a sparse file deflate fast
// and into little, so neither the source nor the archive takes room; the unpacked bytes are
// checked as they stream out, not written.
TEST(Zip64, EntryOver4GiB) {
  // In memory where there is such a folder: holes read there cost nothing.
  TempDir dir("zip", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  const std::string src = dir / "src";
  const u64 size = (u64{4} << 30) + 12345;
  const std::string tail = "tail!";
  WriteFile(src + "/huge.bin", "");
  fs::resize_file(src + "/huge.bin", size - tail.size());
  std::ofstream(src + "/huge.bin", std::ios::binary | std::ios::app) << tail;
  WriteFile(src + "/after.txt", "after the huge one");
  const std::string archive = dir / "huge.zip";
  ASSERT_EQ(Pack(archive, src, ARC_OPEN_CREATE, 1), 2);
  EXPECT_LT(fs::file_size(archive), u64{64} << 20);
  const RunResult tested = Shell("7zz t " + kpwtest::Quote(archive));
  EXPECT_EQ(tested.status, 0) << tested.output;
  const RunResult listed = Shell("unzip -Zl " + kpwtest::Quote(archive));
  EXPECT_NE(listed.output.find(" " + std::to_string(size) + " "), std::string::npos) << listed.output;

  const int fd = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ZipInput input(fd, fs::file_size(archive));
  std::vector<ZipEntryRec> entries;
  std::string detail;
  ASSERT_EQ(ZipReadDirectory(input, entries, detail), ARC_OK) << detail;
  ASSERT_EQ(entries.size(), 2u);
  const std::vector<u8> zeros(1 << 20, 0);
  std::map<std::string, std::string> ends;  // per entry: its size, and its last bytes
  for (const ZipEntryRec& entry : entries) {
    SCOPED_TRACE(entry.name);
    // All bytes of the huge entry up to its tail are zeros.
    const u64 zeroEnd = entry.name == "huge.bin" ? size - tail.size() : 0;
    u64 seen = 0;
    std::string last;
    const int rc = ZipDecodeEntry(input, entry, nullptr, [&](const u8* data, std::size_t length) {
      const std::size_t zeroPart = seen < zeroEnd ? static_cast<std::size_t>(std::min<u64>(length, zeroEnd - seen)) : 0;
      for (std::size_t at = 0; at < zeroPart; at += zeros.size()) {
        if (std::memcmp(data + at, zeros.data(), std::min(zeroPart - at, zeros.size())) != 0) {
          ADD_FAILURE() << "a byte that is not zero near " << seen + at;
          return false;
        }
      }
      seen += length;
      const std::size_t keep = std::min<std::size_t>(length, 32);
      last.append(reinterpret_cast<const char*>(data) + length - keep, keep);
      if (last.size() > 32) last.erase(0, last.size() - 32);
      return true;
    }, detail);
    EXPECT_EQ(rc, ARC_OK) << detail;
    ends[entry.name] = std::to_string(seen) + ":" + last.substr(last.size() - std::min<std::size_t>(last.size(), 18));
  }
  ::close(fd);
  EXPECT_EQ(ends["huge.bin"], std::to_string(size) + ":" + std::string(13, '\0') + tail);
  EXPECT_EQ(ends["after.txt"], "18:after the huge one");
}
