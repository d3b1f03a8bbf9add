// Unpacking entry by entry: a failed entry never harms the next, and none has its name before it is whole.
#include "archive_test_util.h"
#include "tests/support/deadline.h"
#include "tests/support/replace_fault.h"
#include "tests/support/time_zone.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

using namespace ziptest;

namespace {

u32 Get(const std::string& b, std::size_t at, int bytes) {
  u32 v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

// An archive of two deflated entries, a.txt and then b.txt, each more than the reader takes in
// one piece.
class TwoEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "src/a.txt", TextData(640 << 10, 1));
    WriteFile(dir / "src/b.txt", b);
    Pack(archive, dir / "src");
  }
  // Makes the central directory give the first entry, a.txt, another size.
  void SetFirstSize(u32 size) {
    std::string bytes = ReadFile(archive);
    const std::size_t at = Get(bytes, bytes.rfind(std::string("PK\x05\x06", 4)) + 16, 4);
    ASSERT_EQ(bytes.compare(at + 46, 5, "a.txt"), 0);
    for (int i = 0; i < 4; ++i)
      bytes[at + 24 + static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
    WriteFile(archive, bytes);
  }
  int Unpack(const std::string& target) {
    CZipFile zip;
    return ziptest::Unpack(archive, target, log, zip);
  }

  TempDir dir;
  const std::string archive = dir / "two.zip";
  const std::string b = TextData(320 << 10, 2);
  EventLog log;
};

TEST_F(TwoEntries, AnIntactEntryAfterOneWhoseSizeLiesIsUnpacked) {
  SetFirstSize(1000);
  EXPECT_EQ(Unpack(dir / "out"), ARC_ERR_DATA);
  EXPECT_EQ(log.Count(ARC_EVENT_ERROR), 1);
  EXPECT_TRUE(ReadFile(dir / "out/b.txt") == b);
  EXPECT_EQ(Names(dir / "out"), std::set<std::string>{"b.txt"});
}

// Also where files cannot be unnamed: the named temporary files go with their entries.
TEST_F(TwoEntries, AnIntactEntryAfterAFailedWriteIsUnpacked) {
  for (const bool unnamed : {true, false}) {
    const std::string out = dir / (unnamed ? "unnamed" : "named");
    int writes = 0;
    const kpwtest::ReplaceFault fault([&](SysReplaceStep s) {
      if (s == SysReplaceStep::Unnamed) return unnamed ? 0 : EOPNOTSUPP;
      return s == SysReplaceStep::Write && ++writes == 1 ? ENOSPC : 0;
    });
    EXPECT_EQ(Unpack(out), ARC_ERR_CREATE);
    EXPECT_TRUE(ReadFile(out + "/b.txt") == b);
    EXPECT_EQ(Names(out), std::set<std::string>{"b.txt"});
  }
}

// The entry's file was not there when the entry came up: one that appears meanwhile stays.
TEST_F(TwoEntries, AFileThatAppearsWhileItsEntryIsUnpackedStays) {
  for (const bool unnamed : {true, false}) {
    const std::string out = dir / (unnamed ? "unnamed" : "named");
    bool made = false;
    const kpwtest::ReplaceFault fault([&](SysReplaceStep s) {
      if (s == SysReplaceStep::Unnamed) return unnamed ? 0 : EOPNOTSUPP;
      if (s == SysReplaceStep::Write && !made) {
        made = true;
        WriteFile(out + "/a.txt", "made meanwhile");
      }
      return 0;
    });
    EXPECT_EQ(Unpack(out), ARC_ERR_CREATE);
    EXPECT_EQ(ReadFile(out + "/a.txt"), "made meanwhile");
    EXPECT_TRUE(ReadFile(out + "/b.txt") == b);
    EXPECT_EQ(Names(out), (std::set<std::string>{"a.txt", "b.txt"}));
  }
}

// Newer only: a local file as new as its entry stays, to the second where the entry has an exact
// time, within the two seconds of a DOS stamp where it has none; an older one is replaced.
TEST(NewerOnly, ALocalFileAsNewAsItsEntryStays) {
  const kpwtest::ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  TempDir dir;
  const i64 exact = 1700000000;
  WriteFile(dir / "src/same.txt", "entry");
  WriteFile(dir / "src/older.txt", "entry");
  SetMTime(dir / "src/same.txt", exact);
  SetMTime(dir / "src/older.txt", exact);
  Pack(dir / "exact.zip", dir / "src");
  // Written by Python's zipfile: a DOS stamp (local time, even seconds) and no exact time.
  const RunResult py = Python(R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr(zipfile.ZipInfo("dos.txt", (2024, 5, 6, 10, 20, 30)), b"entry")
)PY",
                              {dir / "dos.zip"});
  ASSERT_EQ(py.status, 0) << py.output;
  std::tm stamp{};
  stamp.tm_year = 124, stamp.tm_mon = 4, stamp.tm_mday = 6, stamp.tm_hour = 10, stamp.tm_min = 20, stamp.tm_sec = 30;
  stamp.tm_isdst = -1;
  const i64 dos = std::mktime(&stamp);

  const std::string out = dir / "out";
  WriteFile(out + "/same.txt", "local");
  WriteFile(out + "/older.txt", "local");
  WriteFile(out + "/dos.txt", "local");
  SetMTime(out + "/same.txt", exact);
  SetMTime(out + "/older.txt", exact - 1);
  SetMTime(out + "/dos.txt", dos + 1);
  for (const char* archive : {"exact.zip", "dos.zip"}) {
    CZipFile zip;
    ASSERT_EQ(zip.Open((dir / archive).c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
    zip.SetFlags(ARC_FLAG_NEWER_ONLY);
    EXPECT_EQ(zip.ExtractAll(out.c_str(), nullptr), 0) << zip.GetErrorText();
  }
  EXPECT_EQ(ReadFile(out + "/same.txt"), "local");
  EXPECT_EQ(ReadFile(out + "/dos.txt"), "local");
  EXPECT_EQ(ReadFile(out + "/older.txt"), "entry");
}

TEST_F(TwoEntries, AProcessKilledInsideAnEntryLeavesNoHalfFile) {
  const std::string out = dir / "out";
  fs::create_directories(out);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_DFL);  // the write past the limit kills the process
    const rlimit limit{64 << 10, 64 << 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Unpack(out);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_TRUE(kpwtest::WaitProcess(pid, &status, "unpacking past the file size limit"));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_TRUE(Names(out).empty());
}

}  // namespace
