// Hexadecimal digit pairs to bytes.
#include "lib/text/enc.h"

int EncHexToMem(BYTE* dst, int size, const char* text, int* consumed) {
  int i = 0;
  int out = 0;
  if (text) {
    while (text[i] == ' ' || text[i] == '\t') ++i;
    while (out < size) {
      int hi = EncHexDigit(text[i]);
      if (hi < 0) break;
      int lo = EncHexDigit(text[i + 1]);
      if (lo < 0) break;  // a lone digit is left unconsumed
      dst[out++] = static_cast<BYTE>(hi << 4 | lo);
      i += 2;
    }
  }
  if (consumed) *consumed = i;
  return out;
}

int EncHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
