// The listing parser on the lines real servers send, and on lines it must refuse.
#include "remote/ftp/ftp_client.h"
#include "remote/url_connection.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

FtpListClock March2026() {
  FtpListClock c;
  c.year = 2026;
  c.month = 3;
  c.now = 1773900000;
  return c;
}

struct Parsed {
  int kind = -1;
  FtpListEntry e;
  u32 flags = 0;
  std::string name() const { return e.data.cFileName; }
  u64 size() const { return (u64{e.data.nFileSizeHigh} << 32) | e.data.nFileSizeLow; }
  u32 mode() const { return e.data.dwFileAttributes >> 16; }
  bool dir() const { return e.data.dwFileAttributes & URL_ATTR_DIRECTORY; }
  // The write time as "YYYY-MM-DD HH:MM" (UTC).
  std::string when() const {
    const i64 seconds =
        static_cast<i64>(FileTimeToU64(e.data.ftLastWriteTime) / 10'000'000) - kFileTimeEpochOffset;
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
  }
};

Parsed Parse(const std::string& line, u32 flags = 0) {
  Parsed p;
  p.flags = flags;
  p.kind = FtpParseListLine(line, &p.flags, March2026(), &p.e);
  return p;
}

TEST(FtpList, UnixLinesOfTheRealServers) {
  // vsftpd: zero-padded day, numeric owners, a year for old files.
  Parsed p = Parse("-rw-r--r--    1 102      105             6 Jan 01  2020 h.txt");
  ASSERT_EQ(p.kind, FTP_LINE_ENTRY);
  EXPECT_EQ(p.name(), "h.txt");
  EXPECT_EQ(p.size(), 6u);
  EXPECT_EQ(p.when(), "2020-01-01 00:00");
  EXPECT_TRUE(p.e.askTime);
  EXPECT_EQ(p.mode(), 0644u);
  EXPECT_FALSE(p.e.data.dwFileAttributes & URL_ATTR_READONLY);
  p = Parse("drwxr-xr-x    3 102      0            4096 Dec 07 07:55 .");
  EXPECT_TRUE(p.dir());
  EXPECT_EQ(p.name(), ".");
  EXPECT_EQ(p.size(), 0u);  // a folder's listed size is its own blocks
  EXPECT_EQ(p.when(), "2025-12-07 07:55");
  // proftpd: space-padded day, owner names; a May time read in March is this year's.
  p = Parse("-r--r--r--   1 anna     users        1234 May  6 16:54 notes.txt");
  EXPECT_EQ(p.when(), "2026-05-06 16:54");
  EXPECT_FALSE(p.e.askTime);
  EXPECT_TRUE(p.e.data.dwFileAttributes & URL_ATTR_READONLY);
  // A server that prints no group, lone LF line ends, a name with blanks and a leading blank.
  p = Parse("-rw-r--r-- 1 owner 12 Nov 10 10:00  lead and blanks\n");
  EXPECT_EQ(p.name(), " lead and blanks");
  EXPECT_EQ(p.size(), 12u);
  EXPECT_EQ(p.when(), "2025-11-10 10:00");
  // Sizes beyond 4 GiB.
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 5000000000 Jan 05  2020 big").size(), 5000000000u);
}

TEST(FtpList, SpecialModeLettersAndATenthMarkAreListed) {
  EXPECT_EQ(Parse("drwxrwsr-x   2 0 0 4096 Jan 05  2020 setgid").mode(), 0x4000u | 02775u);
  EXPECT_EQ(Parse("drwxrwxrwt   2 0 0 4096 Jan 05  2020 sticky").mode(), 0x4000u | 01777u);
  EXPECT_EQ(Parse("drwxrwxrwT+  2 0 0 4096 Jan 05  2020 acl").mode(), 0x4000u | 01776u);
  EXPECT_EQ(Parse("-rwSr--r--.  1 0 0   12 Jan 05  2020 selinux").mode(), 04644u);
  EXPECT_EQ(Parse("-rwsr-xr-x@  1 0 0   12 Jan 05  2020 mac").mode(), 04755u);
  EXPECT_EQ(Parse("-rwsr-xr-x@  1 0 0   12 Jan 05  2020 mac").name(), "mac");
}

TEST(FtpList, LinksKeepTheirTarget) {
  const Parsed p = Parse("lrwxrwxrwx   1 0 0    1 Jan  5  2020 a -> b");
  ASSERT_EQ(p.kind, FTP_LINE_ENTRY);
  EXPECT_EQ(p.name(), "a");
  EXPECT_TRUE(p.e.isLink);
  EXPECT_EQ(p.e.linkTarget, "b");
  EXPECT_EQ(p.when(), "2020-01-05 00:00");
  EXPECT_TRUE(p.e.askTime);
  EXPECT_TRUE(p.e.data.dwFileAttributes & URL_ATTR_LINK);
  EXPECT_EQ(p.mode() & 0xF000, 0xA000u);
}

TEST(FtpList, DosLinesSwitchToLatin1Names) {
  Parsed p = Parse("12-06-26  04:53PM       <DIR>          docs");
  ASSERT_EQ(p.kind, FTP_LINE_ENTRY);
  EXPECT_TRUE(p.dir());
  EXPECT_EQ(p.name(), "docs");
  EXPECT_EQ(p.when(), "2026-12-06 16:53");
  EXPECT_TRUE(p.flags & FTP_RAW_NAMES);
  p = Parse("12-06-26  04:53PM                 3000 a file \xe4.bin");
  EXPECT_EQ(p.size(), 3000u);
  EXPECT_EQ(p.name(), "a file \xc3\xa4.bin");  // Latin-1 from the wire, UTF-8 inside
  EXPECT_FALSE(p.dir());
  // The caller's 0x0002 keeps the names as they come.
  p = Parse("12-06-26  04:53PM                 3000 x.bin", FTP_KEEP_NAMES);
  EXPECT_FALSE(p.flags & FTP_RAW_NAMES);
}

TEST(FtpList, TheYearOfATimeWithoutYear) {
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 Nov 10 10:00 f").when(), "2025-11-10 10:00");
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 May 10 10:00 f").when(), "2026-05-10 10:00");
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 Mar 01 09:30 f").when(), "2026-03-01 09:30");
  // A month this parser does not know: the exact time is asked for.
  const Parsed p = Parse("-rw-r--r-- 1 0 0 1 M\xc3\xa4r 10 10:00 f");
  EXPECT_EQ(p.kind, FTP_LINE_ENTRY);
  EXPECT_TRUE(p.e.askTime);
}

TEST(FtpList, LinesThatMustNotPassSilently) {
  EXPECT_EQ(Parse("total 12").kind, FTP_LINE_SKIP);
  EXPECT_EQ(Parse("").kind, FTP_LINE_SKIP);
  EXPECT_EQ(Parse("prw-r--r--   1 0 0 0 Jan 05  2020 fifo").kind, FTP_LINE_SKIP);
  EXPECT_EQ(Parse("crw-rw-rw-   1 0 0 1, 3 Jan 05  2020 null").kind, FTP_LINE_SKIP);
  EXPECT_EQ(Parse("this is no listing line").kind, FTP_LINE_BAD);
  EXPECT_EQ(Parse("-rwxzwxrwx 1 0 0 1 Jan 05  2020 f").kind, FTP_LINE_BAD);
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 Jan 05  2020 ../escape").kind, FTP_LINE_BAD);
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 Jan 05  2020 " + std::string(300, 'n')).kind, FTP_LINE_BAD);
  EXPECT_EQ(Parse("-rw-r--r-- 1 0 0 1 Jan 05  2020").kind, FTP_LINE_BAD);  // no name
}

TEST(FtpList, NormalizedPaths) {
  std::string p = "/a/./b/../c/";
  EXPECT_EQ(FtpNormalizePath(p), 4);
  EXPECT_EQ(p, "/a/c");
  p = "/../x";
  FtpNormalizePath(p);
  EXPECT_EQ(p, "/x");
}

}  // namespace
