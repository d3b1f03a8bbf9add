// The splitter bar's arithmetic.
#include "controls/splitter_track.h"

#include <algorithm>

int SplitterTrack(int split, int distance, int height) {
  const long long moved = static_cast<long long>(split) + distance;  // no overflow at the extremes
  return static_cast<int>(std::max(0LL, std::min(moved, static_cast<long long>(height) - 1)));
}
