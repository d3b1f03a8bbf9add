// Thinning out a series of dated copies: the zones of the number list and which copies go.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The number list that begins the extra cell of "Shrink" and "Kopiwart": numbers separated by ","
// (blanks allowed, each read with the number prefixes, so "0x1C" is hexadecimal; empty items
// between commas skipped), ending at the first character that is neither; then blanks and one ";"
// are skipped, and the rest begins at restOffset. Every number is kept; each mode takes as many
// as it reads.
struct ExtraNumbers {
  std::vector<i64> numbers;
  std::size_t restOffset = 0;
};
ExtraNumbers ExtraParseNumbers(std::string_view cell);
// The list that ExtraParseNumbers reads back: the numbers in decimal, joined by ",".
std::string ExtraFormatNumbers(const std::vector<i64>& numbers);

// Spacings S0..Sk and thresholds T1..Tk in days: below T1 one copy per S0 days, from Ti on one
// per Si days. spacing.size() == threshold.size() + 1; both rise monotonically.
struct ShrinkZones {
  std::vector<i64> spacing;
  std::vector<i64> threshold;
};

// The extra cell of a "Shrink" row: the first nine numbers of its number list; the rest (host
// restriction, target sign, excluded folders) begins at restOffset.
struct ShrinkExtra {
  ShrinkZones zones;
  std::size_t restOffset = 0;
};
ShrinkExtra ShrinkParseExtra(std::string_view cell);

// The zones of a number list: none gives 7,28,28,84,84,365,365; one v gives v,28,28; two v,t give
// v,t,28; a longer even count drops its last number. Values below 1 become 1; a threshold below
// the one before is raised to it; a spacing below the one before becomes twice that one.
ShrinkZones ShrinkZonesFrom(const std::vector<i64>& numbers);

// The spacing of the zone that an age in days falls into.
i64 ShrinkSpacing(const ShrinkZones& zones, i64 age);

// Whether the series wants a new copy today: its newest copy is more than S0 days old (a series
// without copies always does). The one test for both the rotation and the copy.
bool ShrinkDue(const ShrinkZones& zones, bool haveCopies, i64 newestDay, i64 today);

// Which copies to delete, by age in days (any order). The oldest is always kept, and so is the
// youngest; when no copy was made in this run the two youngest are; a series of two or fewer is
// left alone. Going from old to young, a copy is kept when it lies at least its zone's spacing
// below the last kept one. Copies of a negative age (dated after today, or without
// a usable time) are never deleted and take no part. Returns indices into ages, oldest first.
std::vector<std::size_t> ShrinkSelectDeletions(const std::vector<i64>& ages, bool madeCopy, const ShrinkZones& zones);
