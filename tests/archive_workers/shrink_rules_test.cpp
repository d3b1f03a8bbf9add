// The thinning rules: the number list of the extra cell, its zones, and the copies that thinning
// never touches (the vectors run through the worker on real folders).
#include "jobs/workers/shrink_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<i64> Spacings(const std::string& cell) { return ShrinkParseExtra(cell).zones.spacing; }
std::vector<i64> Thresholds(const std::string& cell) { return ShrinkParseExtra(cell).zones.threshold; }

TEST(ShrinkNumbers, DefaultsOneAndTwoNumbers) {
  EXPECT_EQ(Spacings(""), (std::vector<i64>{7, 28, 84, 365}));
  EXPECT_EQ(Thresholds(""), (std::vector<i64>{28, 84, 365}));
  EXPECT_EQ(Spacings("1"), (std::vector<i64>{1, 28}));
  EXPECT_EQ(Thresholds("1"), (std::vector<i64>{28}));
  // Two numbers are a spacing and a threshold; the even-count rule does not cut them.
  EXPECT_EQ(Spacings("3,10"), (std::vector<i64>{3, 28}));
  EXPECT_EQ(Thresholds("3,10"), (std::vector<i64>{10}));
}

TEST(ShrinkNumbers, EvenCountDropsTheLastRaisingAndDoubling) {
  EXPECT_EQ(Spacings("3,50,10,20"), (std::vector<i64>{3, 10}));
  EXPECT_EQ(Thresholds("3,50,10,20"), (std::vector<i64>{50}));
  // The threshold 20 below 50 is raised to 50; the spacing 5 below 10 becomes 20.
  EXPECT_EQ(Spacings("3,50,10,20,5"), (std::vector<i64>{3, 10, 20}));
  EXPECT_EQ(Thresholds("3,50,10,20,5"), (std::vector<i64>{50, 50}));
  // Below 1 becomes 1 first: a threshold of -4 is 1; a spacing of 0 is 1, then below 2 it
  // becomes twice that.
  EXPECT_EQ(Spacings("2,-4,0"), (std::vector<i64>{2, 4}));
  EXPECT_EQ(Thresholds("2,-4,0"), (std::vector<i64>{1}));
  EXPECT_EQ(Spacings("0,5,1"), (std::vector<i64>{1, 1}));
}

TEST(ShrinkNumbers, BlanksHexNineAtMostAndWhereTheRestBegins) {
  EXPECT_EQ(Spacings(" 2 , 0x1C ,4"), (std::vector<i64>{2, 4}));
  EXPECT_EQ(Thresholds(" 2 , 0x1C ,4"), (std::vector<i64>{28}));
  // Up to nine numbers count; the tenth and eleventh are read past but not used.
  EXPECT_EQ(Spacings("1,2,3,4,5,6,7,8,9,10,11").size(), 5u);
  EXPECT_EQ(Thresholds("1,2,3,4,5,6,7,8,9,10,11").back(), 8);

  const std::string cell = "7, 28 ,28 ; *[pc1];*;tmp";
  const ShrinkExtra extra = ShrinkParseExtra(cell);
  EXPECT_EQ(cell.substr(extra.restOffset), " *[pc1];*;tmp");
  EXPECT_EQ(ShrinkParseExtra("*[pc1];cache").restOffset, 0u);
  EXPECT_EQ(ShrinkParseExtra(";cache").restOffset, 1u);
  EXPECT_EQ(ShrinkParseExtra("5 x").restOffset, 2u);
  EXPECT_EQ(Spacings("5 x"), (std::vector<i64>{5, 28}));
}

// The ages that stay when a series of these ages is thinned.
std::set<i64> Kept(const std::vector<i64>& ages, bool madeCopy, const ShrinkZones& zones = ShrinkZonesFrom({})) {
  std::set<i64> kept(ages.begin(), ages.end());
  for (const std::size_t i : ShrinkSelectDeletions(ages, madeCopy, zones)) kept.erase(ages[i]);
  return kept;
}

TEST(ShrinkThinning, SmallSeriesAndTheShieldedYoungest) {
  EXPECT_EQ(Kept({0, 1}, true), (std::set<i64>{0, 1}));
  EXPECT_EQ(Kept({0, 1, 2}, false), (std::set<i64>{0, 1, 2}));
  EXPECT_EQ(Kept({0, 1, 2}, true), (std::set<i64>{0, 2}));
  EXPECT_TRUE(ShrinkSelectDeletions({}, true, ShrinkZonesFrom({})).empty());
}

TEST(ShrinkThinning, CopiesWithoutAPlaceInTimeAreNeverDeleted) {
  // -1: no usable time; -3: dated after today. Neither is deleted nor shields anything.
  const std::vector<i64> ages = {-1, -3, 0, 1, 2, 3, 10};
  const std::set<i64> kept = Kept(ages, false);
  EXPECT_TRUE(kept.count(-1));
  EXPECT_TRUE(kept.count(-3));
  EXPECT_EQ(kept, (std::set<i64>{-3, -1, 0, 1, 3, 10}));
  // Two such copies alone with two dated ones: too few to thin.
  EXPECT_TRUE(ShrinkSelectDeletions({-1, -1, 0, 5}, true, ShrinkZonesFrom({})).empty());
}

}  // namespace
