// Base64 in the standard alphabet with '=' padding.
#include "lib/text/enc.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int memtobase64(const BYTE* bytes, int count, char* text) {
  int out = 0;
  for (int i = 0; i + 2 < count; i += 3) {
    u32 v = (u32{bytes[i]} << 16) | (u32{bytes[i + 1]} << 8) | bytes[i + 2];
    text[out++] = kAlphabet[v >> 18];
    text[out++] = kAlphabet[(v >> 12) & 63];
    text[out++] = kAlphabet[(v >> 6) & 63];
    text[out++] = kAlphabet[v & 63];
  }
  int rest = count > 0 ? count % 3 : 0;
  if (rest) {
    const BYTE* tail = bytes + count - rest;
    u32 v = u32{tail[0]} << 16 | (rest == 2 ? u32{tail[1]} << 8 : 0);
    text[out++] = kAlphabet[v >> 18];
    text[out++] = kAlphabet[(v >> 12) & 63];
    text[out++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    text[out++] = '=';
  }
  text[out] = 0;
  return out;
}

int base64tomem(BYTE* dst, int size, const char* text, int length) {
  if (!dst || !text || size <= 0) return 0;
  int out = 0;
  u32 bits = 0;
  int have = 0;  // characters of the current group of four
  for (int i = 0; (length < 0 || i < length) && text[i] && out < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      // Padding ends a group: what it held is already out, the leftover bits are dropped. So
      // blocks that were encoded one by one and joined still decode.
      have = 0;
      bits = 0;
      continue;
    }
    int v = Value(c);
    if (v < 0) continue;  // line breaks, blanks and other characters are skipped
    bits = (bits << 6) | static_cast<u32>(v);
    ++have;
    // A byte is complete after the 2nd, 3rd and 4th character of a group.
    if (have >= 2) dst[out++] = static_cast<BYTE>(bits >> (2 * (4 - have)) & 0xFF);
    if (have == 4) {
      have = 0;
      bits = 0;
    }
  }
  return out;
}
