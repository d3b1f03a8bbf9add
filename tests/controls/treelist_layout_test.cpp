// Tree-list layout without a window: share columns, the user's drag of a border, cell tips.
#include "controls/treelist_layout.h"

#include <gtest/gtest.h>

namespace {

// The job list's columns: five shares around two fixed columns.
const std::vector<int> kJobWidths = {-35, -25, -12, -12, 45, 70, -15};

int Sum(const std::vector<int>& v) {
  int s = 0;
  for (int x : v) s += x;
  return s;
}

TEST(TreeListLayout, SharesFillWhatTheFixedColumnsLeave) {
  for (const int width : {0, 114, 115, 600, 1001}) {
    SCOPED_TRACE(width);
    const std::vector<int> px = TreeListColumnPixels(kJobWidths, width);
    EXPECT_EQ(px[4], 45);
    EXPECT_EQ(px[5], 70);
    EXPECT_EQ(Sum(px), std::max(width, 115));  // the shares never take room that is not there
  }
  EXPECT_EQ(TreeListColumnPixels(kJobWidths, 1105)[0], 350);
  EXPECT_EQ(TreeListColumnPixels({100, 50}, 400), (std::vector<int>{100, 50}));
}

TEST(TreeListLayout, ADraggedBorderFollowsTheMouseAndTheSharesBehindGiveTheRoom) {
  const std::vector<int> before = TreeListColumnPixels(kJobWidths, 1115);
  // The border behind "Ziel" moves 40 pixels right: "Quelle" keeps what it shows.
  const std::vector<int> widths = TreeListWidthsAfterResize(kJobWidths, before, 1, before[1] + 40);
  EXPECT_EQ(widths, (std::vector<int>{before[0], before[1] + 40, -12, -12, 45, 70, -15}));
  const std::vector<int> after = TreeListColumnPixels(widths, 1115);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1] + 40);
  EXPECT_EQ(Sum(after), 1115);
  EXPECT_LT(after[6], before[6]);
  // A narrower window keeps the user's columns; the shares shrink.
  const std::vector<int> narrow = TreeListColumnPixels(widths, 900);
  EXPECT_EQ(narrow[1], before[1] + 40);
  EXPECT_EQ(Sum(narrow), 900);
  // A bad column changes nothing.
  EXPECT_EQ(TreeListWidthsAfterResize(kJobWidths, before, 7, 10), kJobWidths);
}

TEST(TreeListLayout, TipsBreakLongTextsAfterSeparatorsOrAnywhere) {
  EXPECT_EQ(TreeListTipText("/kurz", 10, 5), "/kurz");
  EXPECT_EQ(TreeListTipText("/daten/sicherung/ordner", 10, 5), "/daten/\nsicherung/\nordner");
  // No separator in the second half of a line: the line is cut anywhere, never inside a character.
  EXPECT_EQ(TreeListTipText("/ääääääääääääää", 5, 5), "/ääää\näääää\näääää");
  EXPECT_EQ(TreeListTipText("eins\r\nzwei", 10, 5), "eins\nzwei");
  // Past the last line the rest is left out.
  EXPECT_EQ(TreeListTipText("aaaaabbbbbcccccddddd", 5, 2), "aaaaa\nbbbbb…");
  EXPECT_EQ(TreeListTipText("aaaaabbbbb", 5, 2), "aaaaa\nbbbbb");
}

}  // namespace
