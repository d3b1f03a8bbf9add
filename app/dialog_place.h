// Where a dialog reopens: the rule of the dialogs' position memory, without a window.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// A screen rectangle; right and bottom lie just outside it.
struct PlaceRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const PlaceRect&) const = default;
};

struct PlacePoint {
  int x = 0;
  int y = 0;
  bool operator==(const PlacePoint&) const = default;
};

// The saved top-left corner of a dialog's last rectangle when it may be used again: the screen
// that holds most of the rectangle decides (the primary one when none holds any of it), and the
// corner must lie less than 100 pixels left of that screen's left edge and more than 100 left of
// its right edge, less than 10 above its top and more than 100 above its bottom. Nothing means
// the default place; so does a primary index that names no screen when none holds the rectangle.
std::optional<PlacePoint> DialogRestorePlace(const PlaceRect& saved, const std::vector<PlaceRect>& screens,
                                             std::size_t primary);
