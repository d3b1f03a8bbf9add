// Path compaction: keep the head, the tail and the file name, leave out whole middle components.
#include "lib/text/compact_path.h"

#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::string_view kEllipsis = "...";

bool IsSep(char c) { return c == '/' || c == '\\'; }

// Length and code point of the character at text[i]; an invalid byte stands for itself.
int NextChar(std::string_view text, std::size_t i, char32_t* cp, bool* valid) {
  const char* p = text.data() + i;
  const int len = kpw::text::Utf8SeqLen(p, text.data() + text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  *valid = true;
  if (len == 1) {
    *cp = s[0];
    *valid = s[0] < 0x80;
    return 1;
  }
  char32_t v = s[0] & (0x7F >> len);
  for (int k = 1; k < len; ++k) v = (v << 6) | (s[k] & 0x3F);
  *cp = v;
  return len;
}

int CharWidthAt(std::string_view text, std::size_t i, const GdiWidthTable& widths, int* len) {
  char32_t cp = 0;
  bool valid = true;
  *len = NextChar(text, i, &cp, &valid);
  if (!valid) return widths.Width(0x110000);  // no code point: the width of "any other"
  return widths.Width(cp);
}

// The longest end of text (starting on a character) whose width is at most room.
std::string_view FittingEnd(std::string_view text, int room, const GdiWidthTable& widths) {
  std::vector<std::size_t> starts;
  std::vector<int> w;
  for (std::size_t i = 0; i < text.size();) {
    int len = 0;
    w.push_back(CharWidthAt(text, i, widths, &len));
    starts.push_back(i);
    i += static_cast<std::size_t>(len);
  }
  int used = 0;
  std::size_t from = text.size();
  for (std::size_t k = starts.size(); k-- > 0;) {
    if (used + w[k] > room) break;
    used += w[k];
    from = starts[k];
  }
  return text.substr(from);
}

}  // namespace

int GdiWidthTable::Width(char32_t codePoint) const {
  if (codePoint < 256) return widths[codePoint];
  if (otherWidth > 0) return otherWidth;
  return *std::max_element(widths.begin(), widths.end());
}

GdiWidthTable GdiWidthTable::Uniform(int width) {
  GdiWidthTable t;
  t.widths.fill(static_cast<u8>(std::clamp(width, 0, 255)));
  t.otherWidth = std::max(width, 0);
  return t;
}

int GdiTextWidth(std::string_view text, const GdiWidthTable& widths) {
  int total = 0;
  for (std::size_t i = 0; i < text.size();) {
    int len = 0;
    total += CharWidthAt(text, i, widths, &len);
    i += static_cast<std::size_t>(len);
  }
  return total;
}

std::string GdiCompactPath(std::string_view path, int pixelWidth, const GdiWidthTable& widths) {
  if (GdiTextWidth(path, widths) <= pixelWidth) return std::string(path);
  const auto fits = [&](const std::string& s) { return GdiTextWidth(s, widths) <= pixelWidth; };

  // Trailing separators stay with the name; the name is the last component.
  std::size_t nameEnd = path.size();
  while (nameEnd > 0 && IsSep(path[nameEnd - 1])) --nameEnd;
  std::size_t nameStart = nameEnd;
  while (nameStart > 0 && !IsSep(path[nameStart - 1])) --nameStart;
  const std::string_view name = path.substr(nameStart);  // with any trailing separators

  if (nameStart > 0) {
    const char sep = path[nameStart - 1];
    // The head: leading separators and the first component with the separator behind it.
    std::size_t headEnd = 0;
    while (headEnd < nameStart && IsSep(path[headEnd])) ++headEnd;
    while (headEnd < nameStart && !IsSep(path[headEnd])) ++headEnd;
    while (headEnd < nameStart && IsSep(path[headEnd])) ++headEnd;
    if (headEnd < nameStart) {
      // Start points of the middle components; dropping from the front keeps those nearest the
      // name.
      std::vector<std::size_t> starts;
      for (std::size_t i = headEnd; i < nameStart; ++i)
        if (i == headEnd || (IsSep(path[i - 1]) && !IsSep(path[i]))) starts.push_back(i);
      const std::string head(path.substr(0, headEnd));
      for (std::size_t k = 1; k <= starts.size(); ++k) {
        const std::size_t keepFrom = k < starts.size() ? starts[k] : nameStart;
        std::string s = head + std::string(kEllipsis) + sep + std::string(path.substr(keepFrom));
        if (fits(s)) return s;
      }
    }
    std::string s = std::string(kEllipsis) + sep + std::string(name);
    if (fits(s)) return s;
  }
  const int room = pixelWidth - GdiTextWidth(kEllipsis, widths);
  if (room < 0) return {};
  return std::string(kEllipsis) + std::string(FittingEnd(name, room, widths));
}

int GdiCompactPathEx(const char* text, char* destination, int destinationSize, int pixelWidth,
                     const GdiWidthTable& widths, int, const char* head, const char* tail, int headMax,
                     int tailMax) {
  if (!destination || destinationSize < 1) return 0;
  const auto measured = [&](const char* s, int max) {
    if (!s) return 0;
    const std::size_t n = max < 0 ? std::strlen(s) : ::strnlen(s, static_cast<std::size_t>(max));
    const int cut = kpw::text::Utf8SafeCut(s, static_cast<int>(n), s + n);
    return GdiTextWidth(std::string_view(s, static_cast<std::size_t>(cut)), widths);
  };
  const int room = pixelWidth - measured(head, headMax) - measured(tail, tailMax);
  const std::string out = GdiCompactPath(text ? text : "", room, widths);
  return StrCopyA(destination, out.c_str(), destinationSize);
}
