// Shortening a path with an ellipsis so that it fits a pixel width, measured by a width table.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <string>
#include <string_view>

// Pixel widths of a font's characters. Code points 0-255 come from the table; every other code
// point, and a byte that is no valid UTF-8, has otherWidth (0: the widest entry of the table).
struct GdiWidthTable {
  std::array<u8, 256> widths{};
  int otherWidth = 0;

  int Width(char32_t codePoint) const;
  // Every character the same width (tests, fixed-pitch fonts).
  static GdiWidthTable Uniform(int width);
};

// Width of a UTF-8 text, one table entry per code point.
int GdiTextWidth(std::string_view text, const GdiWidthTable& widths);

// The path itself when it fits; else, in this order, the first form that fits: the first
// component and the file name with whole middle components left out ("/home/.../b/file.txt",
// keeping as many components before the name as fit), "..." before the file name
// (".../file.txt"), the end of the file name behind "..." ("...ile.txt"); an empty text when not
// even "..." fits. The result never exceeds the width and never ends inside a UTF-8 sequence.
std::string GdiCompactPath(std::string_view path, int pixelWidth, const GdiWidthTable& widths);

// The same into a buffer, after reserving the widths of head and tail texts (at most headMax
// and tailMax bytes of them are measured; either may be null). flags is kept for callers that
// pass the path mode 2; no other mode exists. Returns the length written, cut at a whole
// sequence when the buffer is too small.
int GdiCompactPathEx(const char* text, char* destination, int destinationSize, int pixelWidth,
                     const GdiWidthTable& widths, int flags, const char* head, const char* tail,
                     int headMax, int tailMax);
