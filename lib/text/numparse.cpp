// Integer text: parsing with radix prefixes and formatting in decimal or hexadecimal.
#include "lib/text/num.h"

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

i32 NumParseIntA(const char* text, int /*reserved*/, int /*flags*/) {
  if (!text) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  unsigned base = 10;
  if (p[0] == '0') {
    char c = static_cast<char>(p[1] | 0x20);
    unsigned prefixed = c == 'x' ? 16 : c == 'd' ? 10 : c == 'o' ? 8 : c == 'b' ? 2 : 0;
    // A prefix counts only with a digit of its radix behind it; "0x" alone is the number 0.
    if (prefixed && static_cast<unsigned>(DigitValue(p[2])) < prefixed) {
      base = prefixed;
      p += 2;
    }
  }
  u32 value = 0;  // wraps modulo 2^32, so "0xFFFFFFFF" gives the bit pattern of all ones
  for (; static_cast<unsigned>(DigitValue(*p)) < base; ++p) value = value * base + DigitValue(*p);
  return static_cast<i32>(negative ? 0u - value : value);
}

int NumFormatIntA(i32 value, char* buffer, int flags) {
  char digits[16];
  int n = 0;
  int len = 0;
  if (flags & 1) {
    u32 v = static_cast<u32>(value);
    do {
      digits[n++] = "0123456789ABCDEF"[v & 15];
      v >>= 4;
    } while (v);
    buffer[len++] = '0';
    buffer[len++] = 'x';
  } else {
    u32 v = static_cast<u32>(value);
    if (value < 0) {
      buffer[len++] = '-';
      v = 0u - v;
    }
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
  }
  while (n > 0) buffer[len++] = digits[--n];
  buffer[len] = 0;
  return len;
}
