// Trees deeper than the kernel's path limit (4,096 bytes): the modes walk them by folder, so
// they copy, synchronise, pack, unpack and delete them like any other.
#include "jobs/workers/archive_workers.h"
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace kpwtest;

constexpr int kLevels = 40;  // 40 names of 120 bytes: about 4,840 bytes below the root

std::vector<std::string> Levels() {
  std::vector<std::string> names;
  for (int i = 0; i < kLevels; ++i) names.push_back(std::string(119, static_cast<char>('a' + i % 26)) + "x");
  return names;
}

// Opens the deepest folder below root, making the folders when make is set; -1 when one is missing.
int OpenDeep(const std::string& root, bool make) {
  if (make) ::mkdir(root.c_str(), 0777);
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (const std::string& name : Levels()) {
    if (fd < 0) return -1;
    if (make) ::mkdirat(fd, name.c_str(), 0777);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    ::close(fd);
    fd = next;
  }
  return fd;
}

void PutDeep(const std::string& root, const std::string& name, const std::string& text, std::int64_t t) {
  const int dir = OpenDeep(root, true);
  ASSERT_GE(dir, 0);
  const int fd = ::openat(dir, name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  ::futimens(fd, times);
  ::close(fd);
  ::close(dir);
}

// The deep file's text, or "-" when it is not there.
std::string ReadDeep(const std::string& root, const std::string& name) {
  const int dir = OpenDeep(root, false);
  if (dir < 0) return "-";
  const int fd = ::openat(dir, name.c_str(), O_RDONLY);
  ::close(dir);
  if (fd < 0) return "-";
  char buf[256];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

TEST(DeepTree, EveryModeWalksItWhole) {
  const ScopedTestEnv env;
  TempDir dir("deep");
  const std::string src = dir / "src", dst = dir / "dst", other = dir / "other";
  PutDeep(src, "f", "deep", kT + 100);
  RunRig run;
  EXPECT_EQ(run.Call(RunCopy, src, dst), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(ReadDeep(dst, "f"), "deep");

  PutDeep(src, "f", "newer", kT + 200);
  EXPECT_EQ(run.Call(RunUpdate, src, dst), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(ReadDeep(dst, "f"), "newer");

  PutDeep(dst, "g", "from the target", kT + 300);
  EXPECT_EQ(run.Call(RunSynch, src, dst), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(ReadDeep(src, "g"), "from the target");

  PutDeep(other, "f", "x", kT);
  PutDeep(other, "surplus", "x", kT);
  EXPECT_EQ(run.Call(RunCopyDel, src, other), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(ReadDeep(other, "surplus"), "-");
  EXPECT_EQ(ReadDeep(other, "g"), "from the target");

  // Packed from such a tree and unpacked into another one.
  EXPECT_EQ(run.Call(RunZip, src, dir / "deep.zip"), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(run.Call(RunZip, dir / "deep.zip", dir / "unpacked"), JOB_DONE) << run.TakeBoxes();
  EXPECT_EQ(ReadDeep(dir / "unpacked", "f"), "newer");
  EXPECT_EQ(ReadDeep(dir / "unpacked", "g"), "from the target");

  EXPECT_EQ(run.Call(RunDel, dst, ""), JOB_DONE) << run.TakeBoxes();
  struct stat st {};
  EXPECT_NE(::stat(dst.c_str(), &st), 0);
}

}  // namespace
