// The position memory's rule: the screen that holds the saved rectangle, and its margins.
#include "app/dialog_place.h"

#include <algorithm>

namespace {

long long Overlap(const PlaceRect& a, const PlaceRect& b) {
  const long long w = std::min(a.right, b.right) - std::max(a.left, b.left);
  const long long h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return w > 0 && h > 0 ? w * h : 0;
}

}  // namespace

std::optional<PlacePoint> DialogRestorePlace(const PlaceRect& saved, const std::vector<PlaceRect>& screens,
                                             std::size_t primary) {
  const PlaceRect* screen = primary < screens.size() ? &screens[primary] : nullptr;
  long long best = 0;
  for (const PlaceRect& s : screens) {
    if (const long long area = Overlap(saved, s); area > best) {
      best = area;
      screen = &s;
    }
  }
  if (!screen) return std::nullopt;
  const int x = saved.left, y = saved.top;
  if (screen->left - 100 < x && x < screen->right - 100 && screen->top - 10 < y && y < screen->bottom - 100)
    return PlacePoint{x, y};
  return std::nullopt;
}
