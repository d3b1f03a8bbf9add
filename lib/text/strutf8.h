// Internal helpers of the string functions: UTF-8 sequence lengths and cut points.
#pragma once

#include "platform/win_types.h"

namespace kpw::text {

inline bool IsUtf8Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the UTF-8 sequence at p (1-4); a malformed or truncated sequence counts as one byte.
// Never reads at or beyond end, and never past a NUL (a NUL is no continuation byte).
inline int Utf8SeqLen(const char* p, const char* end) {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const auto avail = end - p;
  const unsigned char c = s[0];
  if (c < 0xC2 || c > 0xF4) return 1;
  int len = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (avail < len) return 1;
  // Second-byte ranges exclude overlong forms, surrogates and code points above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (c == 0xE0) lo = 0xA0;
  else if (c == 0xED) hi = 0x9F;
  else if (c == 0xF0) lo = 0x90;
  else if (c == 0xF4) hi = 0x8F;
  if (s[1] < lo || s[1] > hi) return 1;
  for (int i = 2; i < len; ++i)
    if (!IsUtf8Continuation(s[i])) return 1;
  return len;
}

// Largest cut point <= n at which text[0..cut) ends on a whole sequence, for a text of which at
// least n bytes and any bytes up to end may be read. Stray continuation bytes are ordinary bytes.
inline int Utf8SafeCut(const char* text, int n, const char* end) {
  for (int back = 1; back <= 3 && back <= n; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[n - back]);
    if (!IsUtf8Continuation(c)) {
      // text[n - back] starts a sequence; the cut splits it when the sequence reaches past n.
      return Utf8SeqLen(text + n - back, end) > back ? n - back : n;
    }
  }
  return n;
}

// UTF-16 twin: a surrogate pair counts as one character.
inline int Utf16SeqLen(const WCHAR* p, const WCHAR* end) {
  if (p[0] >= 0xD800 && p[0] <= 0xDBFF && end - p >= 2 && p[1] >= 0xDC00 && p[1] <= 0xDFFF) return 2;
  return 1;
}

inline unsigned char AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace kpw::text
