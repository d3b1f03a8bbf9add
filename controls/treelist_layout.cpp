// Column widths and cell tips of the tree list.
#include "controls/treelist_layout.h"

#include "lib/text/enc.h"

#include <algorithm>

std::vector<int> TreeListColumnPixels(const std::vector<int>& widths, int available) {
  long long fixed = 0, shares = 0;
  for (const int w : widths) {
    if (w >= 0)
      fixed += w;
    else
      shares -= w;
  }
  const long long free = std::max(0LL, available - fixed);
  std::vector<int> pixels(widths.size(), 0);
  long long given = 0, sharesLeft = shares;
  for (std::size_t c = 0; c < widths.size(); ++c) {
    const int w = widths[c];
    if (w >= 0) {
      pixels[c] = w;
      continue;
    }
    const long long p = sharesLeft == -static_cast<long long>(w) ? free - given : free * -w / shares;
    sharesLeft += w;
    given += p;
    pixels[c] = static_cast<int>(p);
  }
  return pixels;
}

std::vector<int> TreeListWidthsAfterResize(const std::vector<int>& widths, const std::vector<int>& pixels,
                                           int column, int newPixels) {
  std::vector<int> out = widths;
  if (column < 0 || static_cast<std::size_t>(column) >= widths.size()) return out;
  for (int c = 0; c < column && static_cast<std::size_t>(c) < pixels.size(); ++c) out[c] = std::max(0, pixels[c]);
  out[column] = std::max(0, newPixels);
  return out;
}

namespace {

// Bytes of the first n characters of text.
std::size_t Chars(std::string_view text, std::size_t n) {
  return EncUtf8Prefix(text, n);
}

}  // namespace

std::string TreeListTipText(std::string_view text, std::size_t lineChars, std::size_t maxLines) {
  if (lineChars == 0 || maxLines == 0) return std::string(text);
  std::string out;
  std::size_t lines = 0;
  while (!text.empty()) {
    if (lines == maxLines) {
      out += "…";
      break;
    }
    if (lines > 0) out += '\n';
    ++lines;
    std::size_t cut = Chars(text, lineChars);
    const std::size_t own = text.substr(0, cut).find_first_of("\r\n");
    if (own != std::string_view::npos) {
      // The text's own line end.
      out += text.substr(0, own);
      std::size_t next = own + 1;
      if (text[own] == '\r' && next < text.size() && text[next] == '\n') ++next;
      text.remove_prefix(next);
      continue;
    }
    if (cut < text.size()) {
      const std::size_t half = Chars(text, lineChars / 2);
      const std::size_t at = text.substr(0, cut).find_last_of("/\\ ");
      if (at != std::string_view::npos && at >= half) cut = at + 1;
    }
    out += text.substr(0, cut);
    text.remove_prefix(cut);
  }
  return out;
}
