// Windows-1252 to UTF-8 and back, and the reading and writing rules for files shared with Windows.
#include "lib/text/enc.h"

namespace {

// Code points of the bytes 0x80-0x9F. The five bytes that Windows-1252 leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) become their C1 control code points, as Windows itself converts them:
// nothing is lost and the text converts back byte for byte.
constexpr u16 kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

// The byte of a code point from 0x80 up, or -1.
int Cp1252Byte(u32 cp) {
  if (cp >= 0xA0 && cp <= 0xFF) return static_cast<int>(cp);
  for (int k = 0; k < 32; ++k)
    if (kHigh[k] == cp) return 0x80 + k;
  return -1;
}

}  // namespace

u32 EncCp1252ToCodePoint(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : byte;
}

std::string EncCp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out += c;
      continue;
    }
    char seq[4];
    int n = EncUtf8Encode(seq, EncCp1252ToCodePoint(static_cast<unsigned char>(c)));
    out.append(seq, static_cast<std::size_t>(n));
  }
  return out;
}

std::string EncToUtf8(std::string_view text) {
  return EncIsValidUtf8(text) ? std::string(text) : EncCp1252ToUtf8(text);
}

bool EncUtf8ToCp1252(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  const std::string copy(text);  // EncUtf8Decode reads up to a NUL
  for (std::size_t i = 0; i < copy.size();) {
    const unsigned char c = static_cast<unsigned char>(copy[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    u32 cp = 0;
    const int n = EncUtf8Decode(copy.c_str() + i, &cp);
    if (n < 2) return false;  // a malformed byte
    const int byte = Cp1252Byte(cp);
    if (byte < 0) return false;
    out += static_cast<char>(byte);
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string EncToWindowsText(std::string_view utf8) {
  std::string bytes;
  if (!EncUtf8ToCp1252(utf8, bytes)) return std::string(utf8);
  // As long as the UTF-8 text, it is all ASCII; else it must not read as UTF-8 ("Ã¼" gives C3 BC).
  if (bytes.size() == utf8.size() || !EncIsValidUtf8(bytes)) return bytes;
  return std::string(utf8);
}
