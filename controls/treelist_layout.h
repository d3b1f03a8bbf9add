// Column widths and cell tips of the tree list, reckoned without a window.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Pixel widths of columns as the store keeps them: a width of 0 or more is fixed; a negative one
// is a share of what the fixed columns leave of available (none when they leave nothing). The
// last share column takes what rounding left, so that the shares fill the room exactly.
std::vector<int> TreeListColumnPixels(const std::vector<int>& widths, int available);

// The stored widths after the user dragged the right border of column to newPixels: that column
// and every column left of it become fixed at the width they show (so the border follows the
// mouse), the share columns right of it share what is left. pixels are the widths shown before.
std::vector<int> TreeListWidthsAfterResize(const std::vector<int>& widths, const std::vector<int>& pixels,
                                           int column, int newPixels);

// A cell's whole text for its tip, broken into lines of at most lineChars characters: after the
// last "/", "\" or blank of a line when there is one in its second half, else anywhere (never
// inside a UTF-8 sequence). Line breaks of the text itself stay. After maxLines lines the rest
// is left out and the last line ends with "…".
std::string TreeListTipText(std::string_view text, std::size_t lineChars, std::size_t maxLines);
