// The words and lines of the controller protocol, shared by the library and the simulator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Header-only, so that the simulator speaks the protocol without linking the library.
namespace ctlwords {

// A word as it travels: bytes outside 0x21-0x7E and "%" as %XX.
inline std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x21 || b > 0x7E || b == '%') {
      out += '%';
      out += "0123456789ABCDEF"[b >> 4];
      out += "0123456789ABCDEF"[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// False for a "%" without two hex digits after it.
inline bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text[i + 1]);
    const int lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// Moves the first line (without its "\n") from in to line; false while in holds no whole line.
inline bool TakeLine(std::string& in, std::string& line) {
  const std::size_t end = in.find('\n');
  if (end == std::string::npos) return false;
  line.assign(in, 0, end);
  in.erase(0, end + 1);
  return true;
}

}  // namespace ctlwords
