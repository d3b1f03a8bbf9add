// Path compaction: what is kept and dropped, the width limit, UTF-8 and width tables.
#include "controls/compact_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const GdiWidthTable kOne = GdiWidthTable::Uniform(1);

std::string C(const std::string& path, int width, const GdiWidthTable& w = kOne) {
  const std::string out = GdiCompactPath(path, width, w);
  EXPECT_LE(GdiTextWidth(out, w), width) << path << " -> " << out;
  return out;
}

TEST(CompactPath, FittingPathsStayAsTheyAre) {
  EXPECT_EQ(C("/a/b/c.txt", 10), "/a/b/c.txt");
  EXPECT_EQ(C("", 0), "");
  EXPECT_EQ(C("x", 1), "x");
}

TEST(CompactPath, WholeMiddleComponentsGoFirst) {
  const std::string p = "/home/user/projects/deep/file.txt";  // 33
  EXPECT_EQ(C(p, 32), "/home/.../projects/deep/file.txt");
  EXPECT_EQ(C(p, 28), "/home/.../deep/file.txt");
  EXPECT_EQ(C(p, 20), "/home/.../file.txt");
  EXPECT_EQ(C(p, 17), ".../file.txt");
  EXPECT_EQ(C(p, 12), ".../file.txt");
  EXPECT_EQ(C(p, 11), "...file.txt");
  EXPECT_EQ(C(p, 8), "...e.txt");
  EXPECT_EQ(C(p, 3), "...");
  EXPECT_EQ(C(p, 2), "");
  EXPECT_EQ(GdiCompactPath(p, -5, kOne), "");
}

TEST(CompactPath, RelativeBackslashAndTrailingSeparators) {
  EXPECT_EQ(C("src\\lib\\text\\str.h", 16), "src\\...\\str.h");
  EXPECT_EQ(C("a/bbbbbbbb/cccccccc/", 16), "a/.../cccccccc/");
  EXPECT_EQ(C("nameonlyverylong.txt", 10), "...ong.txt");
  EXPECT_EQ(C("//server/share/dir/sub/file", 22), "//server/.../sub/file");
  EXPECT_EQ(C("//server/share/dir/sub/file", 20), "//server/.../file");
}

TEST(CompactPath, CodePointsAndWidthTables) {
  // "ä" is two bytes but one character.
  const std::string p = "/daten/äöü/ÄÖÜ/größe.txt";
  EXPECT_EQ(GdiTextWidth(p, kOne), 24);
  EXPECT_EQ(C(p, 20), "/daten/.../größe.txt");
  EXPECT_EQ(C(p, 8), "...e.txt");
  const std::string cut = C("/x/äöüäöü", 5);
  EXPECT_EQ(cut, "...öü");

  GdiWidthTable w = GdiWidthTable::Uniform(2);
  w.widths['i'] = 1;
  w.widths['.'] = 1;
  w.otherWidth = 5;
  EXPECT_EQ(GdiTextWidth("ii..ab€", w), 1 + 1 + 1 + 1 + 2 + 2 + 5);
  EXPECT_EQ(C("/iiii/mm/file", 20, w), "/iiii/.../file");
  EXPECT_EQ(C("/iiii/mm/file", 19, w), ".../file");
  // An invalid byte measures as any other character and is kept whole.
  EXPECT_EQ(GdiTextWidth(std::string("a\xff"), w), 2 + 5);
  // otherWidth 0 takes the widest entry.
  GdiWidthTable z;
  z.widths['a'] = 3;
  z.widths['b'] = 7;
  EXPECT_EQ(GdiTextWidth("a€", z), 3 + 7);
}

TEST(CompactPath, NeverCutsInsideASequence) {
  for (int width = 0; width < 30; ++width) {
    const std::string out = GdiCompactPath("/ä/€€€/𝄞𝄞𝄞/ö€𝄞.txt", width, kOne);
    EXPECT_LE(GdiTextWidth(out, kOne), width);
    // Every sequence complete: re-measuring byte by byte finds no stray continuation.
    for (std::size_t i = 0; i < out.size();) {
      const unsigned char c = static_cast<unsigned char>(out[i]);
      const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      ASSERT_GE(c < 0x80 || c >= 0xC0, true) << width;
      ASSERT_LE(i + len, out.size()) << width;
      i += len;
    }
  }
}

TEST(GdiCompactPathEx, ReservesHeadAndTailAndBoundsTheBuffer) {
  char buf[64];
  const char* p = "/home/user/projects/deep/file.txt";
  EXPECT_EQ(GdiCompactPathEx(p, buf, sizeof buf, 40, kOne, 2, "Von: ", " (2)", 1024, 1024), 23);
  EXPECT_STREQ(buf, "/home/.../deep/file.txt");
  EXPECT_EQ(GdiCompactPathEx(p, buf, sizeof buf, 40, kOne, 2, nullptr, nullptr, 1024, 1024), 33);
  // headMax counts: only the first two bytes of the head are reserved.
  EXPECT_EQ(GdiCompactPathEx(p, buf, sizeof buf, 35, kOne, 2, "abcdefgh", nullptr, 2, 1024), 33);
  char small[8];
  const int n = GdiCompactPathEx("/a/äääääää", small, sizeof small, 100, kOne, 2, nullptr, nullptr, 0, 0);
  EXPECT_EQ(n, 7);
  EXPECT_STREQ(small, "/a/ää");
  EXPECT_EQ(GdiCompactPathEx(p, nullptr, 10, 40, kOne, 2, nullptr, nullptr, 0, 0), 0);
}

}  // namespace
