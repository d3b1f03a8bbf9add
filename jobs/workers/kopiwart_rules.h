// The extra cell of "Kopiwart": the pairs of file size and copies kept, and where its head begins.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct KopiwartPair {
  i64 size = 0;   // KiB; the first pair's is 0
  i64 value = 0;  // the first pair: days a file whose source vanished is kept; then copies
  bool operator==(const KopiwartPair&) const = default;
};

// The first sixteen numbers of the cell's number list (ExtraParseNumbers) as pairs: none gives
// (0,30) (64,4) (256,3) (1024,2) (4096,1); a list whose first number is not 0 gets (0,30) in front
// of at most seven of its pairs; one beginning with 0 stands as it is. A size without its count
// (an odd count of numbers) has the count 0. From the second pair on, a size below the one before
// is raised to it, and a count is kept within 1..9. The rest (host restriction, target sign,
// excluded folders) begins at restOffset.
struct KopiwartExtra {
  std::vector<KopiwartPair> pairs;
  std::size_t restOffset = 0;
};
KopiwartExtra KopiwartParseExtra(std::string_view cell);

// The copies kept of a file of size bytes (the current one included): the last pair from the
// second on whose size in KiB does not exceed the file's; the second pair when none fits.
int KopiwartCopiesFor(const std::vector<KopiwartPair>& pairs, u64 size);

// Versions: the file's own name is version 0; version k (1..10) is the name with ".bak" and the
// digit k - 1. The version that name is of base (".bak" in any letter case), or -1.
int KopiwartVersionOf(std::string_view name, std::string_view base);
// The base and version of a name that looks like a version ("x.bak3" gives "x" and 4); false
// for any other name (version 0 of itself).
bool KopiwartSplitVersion(std::string_view name, std::string* base, int* version);
std::string KopiwartVersionName(std::string_view base, int version);

// One step of making room for a new copy: delete version `from`, or rename version from to to.
struct KopiwartStep {
  bool rename = false;
  int from = 0;
  int to = 0;
  bool operator==(const KopiwartStep&) const = default;
};
// The steps that make version 0 free for a new copy when n copies are kept and the bits of
// existing say which versions exist (bit k: version k): when versions 0..n-1 all exist every
// existing one from n-1 up is deleted, else every one from n up; then each version from the
// lowest free one (at most n) down to 1 takes the one below it. With n = 1 version 0 stays
// (the new copy replaces it through a temporary name).
std::vector<KopiwartStep> KopiwartPlanRotation(int n, u32 existing);

// Differences of two FILETIME values in seconds and in days, each kept within +-0x7000000.
i64 FileTimeDiffSeconds(u64 a, u64 b);
i64 FileTimeDiffDays(u64 a, u64 b);
// Two write times (seconds) count as equal within 3 seconds, or 3558 to 3602 seconds apart (a
// daylight-saving hour).
bool KopiwartTimesEqual(i64 a, i64 b);
