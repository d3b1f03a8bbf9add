// Path compaction: what is kept and dropped, the width limit, UTF-8 and width tables.
#include "lib/text/compact_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const GdiWidthTable kOne = GdiWidthTable::Uniform(1);

TEST(CompactPath, FormsInTheirOrder) {
  struct Case {
    const char* path;
    int width;
    const char* out;
  } cases[] = {
      {"/a/b/c.txt", 10, "/a/b/c.txt"},
      {"/home/user/projects/deep/file.txt", 20, "/home/.../file.txt"},
      {"/home/user/projects/deep/file.txt", 11, "...file.txt"},
      {"/home/user/projects/deep/file.txt", 3, "..."},
      {"/home/user/projects/deep/file.txt", 2, ""},
      {"src\\lib\\text\\str.h", 16, "src\\...\\str.h"},
      {"a/bbbbbbbb/cccccccc/", 16, "a/.../cccccccc/"},
      {"//server/share/dir/sub/file", 22, "//server/.../sub/file"},
      {"/daten/äöü/ÄÖÜ/größe.txt", 20, "/daten/.../größe.txt"},  // characters count, not bytes
      {"/ä/€€€/𝄞𝄞𝄞/ö€𝄞.txt", 8, "...𝄞.txt"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GdiCompactPath(c.path, c.width, kOne), c.out) << c.path << " " << c.width;
}

TEST(CompactPath, WidthTableWithoutAWidthForOtherCharactersTakesTheWidest) {
  GdiWidthTable z;
  z.widths['a'] = 3;
  z.widths['b'] = 7;
  EXPECT_EQ(GdiTextWidth("a\xE2\x82\xAC", z), 3 + 7);
}

TEST(GdiCompactPathEx, ReservesHeadAndTailAndBoundsTheBuffer) {
  char buf[64];
  const char* p = "/home/user/projects/deep/file.txt";
  EXPECT_EQ(GdiCompactPathEx(p, buf, sizeof buf, 40, kOne, 2, "Von: ", " (2)", 1024, 1024), 23);
  EXPECT_STREQ(buf, "/home/.../deep/file.txt");
  // headMax counts: only the first two bytes of the head are reserved.
  EXPECT_EQ(GdiCompactPathEx(p, buf, sizeof buf, 35, kOne, 2, "abcdefgh", nullptr, 2, 1024), 33);
  char small[8];
  EXPECT_EQ(GdiCompactPathEx("/a/äääääää", small, sizeof small, 100, kOne, 2, nullptr, nullptr, 0, 0), 7);
  EXPECT_STREQ(small, "/a/ää");
  EXPECT_EQ(GdiCompactPathEx(p, nullptr, 10, 40, kOne, 2, nullptr, nullptr, 0, 0), 0);
}

}  // namespace
