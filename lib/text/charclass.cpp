// The character-class table and the class span functions over it.
#include "lib/text/str.h"

#include <array>

namespace {

constexpr std::array<u32, 256> MakeTable() {
  std::array<u32, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] |= CC_DIGIT;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= CC_UPPER;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= CC_LOWER;
  for (int c = 'A'; c <= 'F'; ++c) t[c] |= CC_HEXLETTER;
  for (int c = 'a'; c <= 'f'; ++c) t[c] |= CC_HEXLETTER;
  t['_'] |= CC_UNDERSCORE;
  t['\t'] |= CC_TAB;
  t['\r'] |= CC_CRLF;
  t['\n'] |= CC_CRLF;
  t[' '] |= CC_BLANK;
  t['\\'] |= CC_BACKSLASH;
  t['/'] |= CC_SLASH;
  t[':'] |= CC_COLON;
  t['*'] |= CC_STAR;
  t['?'] |= CC_QUESTION;
  t['-'] |= CC_MINUS;
  t[0] |= CC_NUL;
  return t;
}

constexpr std::array<u32, 256> kTable = MakeTable();

inline u32 ClassOf(char c) { return kTable[static_cast<unsigned char>(c)]; }

}  // namespace

// A plain array, as callers index it by the byte.
const u32 CharClassTable[256] = {
#define KPW_ROW(i)                                                                                     \
  kTable[i + 0], kTable[i + 1], kTable[i + 2], kTable[i + 3], kTable[i + 4], kTable[i + 5], kTable[i + 6], \
      kTable[i + 7], kTable[i + 8], kTable[i + 9], kTable[i + 10], kTable[i + 11], kTable[i + 12],       \
      kTable[i + 13], kTable[i + 14], kTable[i + 15]
    KPW_ROW(0),   KPW_ROW(16),  KPW_ROW(32),  KPW_ROW(48),  KPW_ROW(64),  KPW_ROW(80),
    KPW_ROW(96),  KPW_ROW(112), KPW_ROW(128), KPW_ROW(144), KPW_ROW(160), KPW_ROW(176),
    KPW_ROW(192), KPW_ROW(208), KPW_ROW(224), KPW_ROW(240),
#undef KPW_ROW
};

int StrSpanClassA(const char* text, u32 classMask) {
  int n = 0;
  if (text)
    while (text[n] != '\0' && (ClassOf(text[n]) & classMask)) ++n;
  return n;
}

int StrSpanNotClassA(const char* text, u32 classMask) {
  int n = 0;
  if (text)
    while (text[n] != '\0' && !(ClassOf(text[n]) & classMask)) ++n;
  return n;
}

int StrSpanClassReverseA(const char* textEnd, u32 classMask, int maxCount) {
  int n = 0;
  if (textEnd)
    while (n < maxCount && (ClassOf(textEnd[-1 - n]) & classMask)) ++n;
  return n;
}

int StrSpanNotClassReverseA(const char* textEnd, u32 classMask, int maxCount) {
  int n = 0;
  if (textEnd)
    while (n < maxCount && !(ClassOf(textEnd[-1 - n]) & classMask)) ++n;
  return n;
}
