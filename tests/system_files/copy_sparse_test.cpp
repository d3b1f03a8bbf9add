// The copy engine on sparse files and across file systems: holes stay holes, data arrives whole.
#include "lib/system/sys_copy.h"
#include "tests/support/files.h"
#include "tests/support/other_fs.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

struct Piece {
  off_t at;
  std::string data;
};

void WriteAt(const std::string& path, const std::vector<Piece>& pieces, off_t size) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  for (const Piece& p : pieces)
    ASSERT_EQ(::pwrite(fd, p.data.data(), p.data.size(), p.at), static_cast<ssize_t>(p.data.size()));
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

std::string ReadAt(const std::string& path, off_t at, std::size_t n) {
  std::string out(n, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY);
  const ssize_t got = fd < 0 ? -1 : ::pread(fd, out.data(), n, at);
  if (fd >= 0) ::close(fd);
  out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return out;
}

std::string Noise(std::size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A 20 GB image with a few KiB in it copies in no time and takes no more room than the source.
TEST(CopySparse, HolesStayHolesAndTheDataArrivesWhereItWas) {
  TempDir dir;
  const std::string src = dir / "image.img", dst = dir / "copy.img";
  const off_t size = (off_t{20} << 30) + 123;  // ends in a hole, at no block boundary
  const std::vector<Piece> pieces = {{0, std::string(4096, 'a')},
                                     {off_t{300} << 20, Noise(8192)},
                                     {(off_t{12} << 30) + 5, "middle"}};
  WriteAt(src, pieces, size);
  struct stat in {};
  ASSERT_EQ(::stat(src.c_str(), &in), 0);
  if (static_cast<off_t>(in.st_blocks) * 512 >= size) GTEST_SKIP() << "this file system keeps no holes";

  SysByteCounter counter{0};
  u64 total = 0;
  ASSERT_EQ(SysFileCopyEx(0x3B0, src.c_str(), dst.c_str(), &counter, &total, nullptr), 1);
  EXPECT_EQ(total, static_cast<u64>(size));
  EXPECT_EQ(counter.load(), static_cast<u64>(size));  // holes count as done for the progress
  struct stat out {};
  ASSERT_EQ(::stat(dst.c_str(), &out), 0);
  EXPECT_EQ(out.st_size, size);
  EXPECT_LE(out.st_blocks, in.st_blocks + 64);  // at most a few blocks more than the source
  for (const Piece& p : pieces) EXPECT_EQ(ReadAt(dst, p.at, p.data.size()), p.data) << p.at;
  EXPECT_EQ(ReadAt(dst, off_t{1} << 30, 16), std::string(16, '\0'));
  EXPECT_EQ(ReadAt(dst, size - 3, 16), std::string(3, '\0'));
}

// To another file system the kernel's in-place copy is refused: the plain path carries the data,
// every byte of it, and a move deletes the source only then.
TEST(CopySparse, AcrossFileSystemsEveryByteArrives) {
  TempDir dir;
  const OtherFileSystem other(dir.path());
  if (!other.ok()) GTEST_SKIP() << other.why();
  const std::string data = Noise((std::size_t{20} << 20) + 77);
  for (const bool move : {false, true}) {
    const std::string src = other / "src", dst = dir / "dst";
    WriteFile(src, data);
    const int flags = 0x3B0 | (move ? 0x400 : 0);
    ASSERT_EQ(SysFileCopyEx(flags, src.c_str(), dst.c_str(), nullptr, nullptr, nullptr), 1) << move;
    EXPECT_TRUE(ReadFile(dst) == data) << move;
    EXPECT_EQ(Exists(src), !move);
  }
}

}  // namespace
