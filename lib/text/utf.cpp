// UTF-8, UTF-16 and Latin-1: single code points, buffer conversions and whole-text measures.
#include "lib/text/enc.h"

namespace {

constexpr u32 kReplacement = 0xFFFD;

inline bool IsCont(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one strict UTF-8 sequence of at most avail bytes (overlong forms, surrogates and values
// above U+10FFFF are malformed). Returns the length, or 0 when the bytes are no valid sequence.
// Stops at the first byte that breaks the sequence, so a NUL is never read past.
int DecodeStrict(const unsigned char* p, std::size_t avail, u32* cp) {
  if (avail == 0) return 0;
  unsigned char c = p[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int need;
  u32 value;
  u32 min;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
    value = c & 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    value = c & 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    value = c & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (avail < static_cast<std::size_t>(need)) return 0;
  for (int i = 1; i < need; ++i) {
    if (!IsCont(p[i])) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return need;
}

// One code point of a text of avail bytes; a malformed byte yields itself with length 1.
inline int DecodeLenient(const unsigned char* p, std::size_t avail, u32* cp) {
  int n = DecodeStrict(p, avail, cp);
  if (n > 0) return n;
  *cp = p[0];
  return 1;
}

int EncodeUtf8(char* out, u32 cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Bytes left in a NUL-terminated text from p, capped at 4 (enough for one sequence).
inline std::size_t Avail4(const unsigned char* p) {
  std::size_t n = 0;
  while (n < 4 && p[n]) ++n;
  return n == 0 ? 1 : n;  // the NUL itself is one byte
}

}  // namespace

int EncUtf8Decode(const char* text, u32* codePoint) {
  auto* p = reinterpret_cast<const unsigned char*>(text);
  u32 cp = 0;
  int n = DecodeLenient(p, Avail4(p), &cp);
  if (codePoint) *codePoint = cp;
  return n;
}

int EncUtf8Encode(char* out, u32 codePoint) { return EncodeUtf8(out, codePoint); }

int EncUtf16Decode(const WCHAR* text, u32* codePoint) {
  u32 first = text[0];
  u32 cp = first;
  int n = 1;
  if (first >= 0xD800 && first <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
    cp = 0x10000 + ((first - 0xD800) << 10) + (static_cast<u32>(text[1]) - 0xDC00);
    n = 2;
  }
  if (codePoint) *codePoint = cp;
  return n;
}

int EncUtf16Encode(WCHAR* out, u32 codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = kReplacement;
  if (codePoint < 0x10000) {
    out[0] = static_cast<WCHAR>(codePoint);
    return 1;
  }
  codePoint -= 0x10000;
  out[0] = static_cast<WCHAR>(0xD800 + (codePoint >> 10));
  out[1] = static_cast<WCHAR>(0xDC00 + (codePoint & 0x3FF));
  return 2;
}

int EncLatin1ToUtf8A(char* dst, const char* src, int size) {
  if (!dst || size <= 0) return 0;
  int used = 0;
  for (auto* p = reinterpret_cast<const unsigned char*>(src ? src : ""); *p; ++p) {
    char seq[2];
    int n = EncodeUtf8(seq, *p);
    if (used + n > size - 1) break;  // whole sequences only
    for (int i = 0; i < n; ++i) dst[used++] = seq[i];
  }
  dst[used] = 0;
  return used;
}

int EncUtf8ToLatin1NA(char* dst, const char* src, int size, int n) {
  if (!dst || size <= 0) return 0;
  int used = 0;
  if (src && n > 0) {
    auto* p = reinterpret_cast<const unsigned char*>(src);
    std::size_t left = static_cast<std::size_t>(n);
    while (left > 0 && *p && used < size - 1) {
      // The sequence must end inside the n bytes and before a NUL.
      std::size_t avail = 0;
      while (avail < left && avail < 4 && p[avail]) ++avail;
      u32 cp;
      int len = DecodeLenient(p, avail, &cp);
      dst[used++] = static_cast<char>(cp > 0xFF ? 0xFF : cp);
      p += len;
      left -= static_cast<std::size_t>(len);
    }
  }
  dst[used] = 0;
  return used;
}

int EncUtf8ToLatin1A(char* dst, const char* src, int size) {
  return EncUtf8ToLatin1NA(dst, src, size, 0x7FFFFFFF);
}

int EncUtf8ToUtf16(WCHAR* out, const char* text, int size) {
  if (!out || size <= 0) return 0;
  int used = 0;
  for (auto* p = reinterpret_cast<const unsigned char*>(text ? text : ""); *p;) {
    u32 cp;
    int len = DecodeLenient(p, Avail4(p), &cp);
    WCHAR units[2];
    int n = EncUtf16Encode(units, cp);
    if (used + n > size - 1) break;  // never half a surrogate pair
    for (int i = 0; i < n; ++i) out[used++] = units[i];
    p += len;
  }
  out[used] = 0;
  return used;
}

bool EncIsValidUtf8(std::string_view text) {
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  while (left > 0) {
    if (*p < 0x80) {
      ++p;
      --left;
      continue;
    }
    u32 cp;
    int n = DecodeStrict(p, left, &cp);
    if (n == 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t EncUtf8Length(std::string_view text) {
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  std::size_t count = 0;
  while (left > 0) {
    u32 cp;
    int n = DecodeLenient(p, left, &cp);
    p += n;
    left -= static_cast<std::size_t>(n);
    ++count;
  }
  return count;
}

std::size_t EncUtf8Prefix(std::string_view text, std::size_t maxChars) {
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t pos = 0;
  for (std::size_t i = 0; i < maxChars && pos < text.size(); ++i) {
    u32 cp;
    pos += static_cast<std::size_t>(DecodeLenient(p + pos, text.size() - pos, &cp));
  }
  return pos;
}

std::size_t EncUtf8FitBytes(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  // Only a valid sequence that crosses the limit is given up; stray bytes are single characters.
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t start = maxBytes;
  for (int back = 0; back < 3 && start > 0 && IsCont(p[start]); ++back) --start;
  if (start == maxBytes) return maxBytes;
  u32 cp;
  int n = DecodeStrict(p + start, text.size() - start, &cp);
  return n > 0 && start + static_cast<std::size_t>(n) > maxBytes ? start : maxBytes;
}
