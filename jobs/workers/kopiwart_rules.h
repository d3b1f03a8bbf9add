// The extra cell of "Kopiwart": the pairs of file size and copies kept, and where its head begins.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
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
