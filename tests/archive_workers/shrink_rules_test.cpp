// The thinning rules: the number list of the extra cell, its zones, and which copies go, with the
// vectors worked out by hand and a year of daily runs.
#include "jobs/shrink_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ShrinkZones, SpacingByAge) {
  const ShrinkZones zones = ShrinkZonesFrom({});
  EXPECT_EQ(ShrinkSpacing(zones, 0), 7);
  EXPECT_EQ(ShrinkSpacing(zones, 27), 7);
  EXPECT_EQ(ShrinkSpacing(zones, 28), 28);
  EXPECT_EQ(ShrinkSpacing(zones, 84), 84);
  EXPECT_EQ(ShrinkSpacing(zones, 364), 84);
  EXPECT_EQ(ShrinkSpacing(zones, 365), 365);
  EXPECT_EQ(ShrinkSpacing(zones, 100000), 365);
}

TEST(ShrinkDue, NewestMoreThanTheFirstSpacingOld) {
  const ShrinkZones zones = ShrinkZonesFrom({});
  EXPECT_TRUE(ShrinkDue(zones, false, 0, 20000));
  EXPECT_FALSE(ShrinkDue(zones, true, 20000 - 7, 20000));
  EXPECT_TRUE(ShrinkDue(zones, true, 20000 - 8, 20000));
  EXPECT_FALSE(ShrinkDue(zones, true, 20005, 20000));  // dated after today
  const ShrinkZones one = ShrinkZonesFrom({1});
  EXPECT_FALSE(ShrinkDue(one, true, 19999, 20000));
  EXPECT_TRUE(ShrinkDue(one, true, 19998, 20000));
}

// The ages that stay when a series of these ages is thinned.
std::set<i64> Kept(const std::vector<i64>& ages, bool madeCopy, const ShrinkZones& zones = ShrinkZonesFrom({})) {
  std::set<i64> kept(ages.begin(), ages.end());
  for (const std::size_t i : ShrinkSelectDeletions(ages, madeCopy, zones)) kept.erase(ages[i]);
  return kept;
}

TEST(ShrinkThinning, HandWorkedVectors) {
  // Ages 0 to 10, no new copy: the two youngest stay, 3 is a week below 10.
  EXPECT_EQ(Kept({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false), (std::set<i64>{0, 1, 3, 10}));
  // A new copy was made (it is not in the list); the youngest listed one stays.
  EXPECT_EQ(Kept({8, 9, 10, 11, 12, 13, 14, 30, 31, 60, 100, 400, 401}, true),
            (std::set<i64>{8, 14, 31, 60, 100, 401}));
  // Order does not matter.
  EXPECT_EQ(Kept({401, 8, 60, 9, 400, 31, 14, 13, 100, 12, 30, 11, 10}, true),
            (std::set<i64>{8, 14, 31, 60, 100, 401}));
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

// Daily runs over a series that starts empty: copy when due, then thin what was there before.
std::vector<i64> DailyRuns(const ShrinkZones& zones, int days, std::vector<int>* copyDays = nullptr) {
  std::vector<i64> made;  // day numbers of the copies
  for (i64 today = 0; today < days; ++today) {
    const bool have = !made.empty();
    const i64 newest = have ? *std::max_element(made.begin(), made.end()) : 0;
    std::vector<i64> before = made;
    bool madeCopy = false;
    if (ShrinkDue(zones, have, newest, today)) {
      made.push_back(today);
      madeCopy = true;
      if (copyDays) copyDays->push_back(static_cast<int>(today));
    }
    std::vector<i64> ages;
    for (const i64 d : before) ages.push_back(today - d);
    std::vector<i64> gone;
    for (const std::size_t i : ShrinkSelectDeletions(ages, madeCopy, zones)) gone.push_back(before[i]);
    for (const i64 d : gone) made.erase(std::find(made.begin(), made.end(), d));
  }
  std::vector<i64> ages;
  for (const i64 d : made) ages.push_back(days - 1 - d);
  std::sort(ages.begin(), ages.end());
  return ages;
}

TEST(ShrinkThinning, FourHundredDailyRunsWithTheDefaults) {
  EXPECT_EQ(DailyRuns(ShrinkZonesFrom({}), 400), (std::vector<i64>{7, 15, 23, 47, 79, 111, 207, 303, 399}));
}

TEST(ShrinkThinning, SpacingOneMakesACopyEveryOtherDay) {
  std::vector<int> copyDays;
  const std::vector<i64> ages = DailyRuns(ShrinkZonesFrom({1}), 60, &copyDays);
  ASSERT_GE(copyDays.size(), 3u);
  for (std::size_t i = 1; i < copyDays.size(); ++i) EXPECT_EQ(copyDays[i] - copyDays[i - 1], 2);
  // One day apart below 28 days means every copy there stays; beyond, 28 days apart.
  for (const i64 a : ages) {
    if (a < 28) {
      EXPECT_EQ(a % 2, 1) << a;
    }
  }
  EXPECT_LE(std::count_if(ages.begin(), ages.end(), [](i64 a) { return a >= 28; }), 3);
}

}  // namespace
