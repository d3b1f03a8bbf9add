// Substring and character search, with and without regard to ASCII letter case.
#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>

using kpw::text::AsciiLower;

namespace {

int BoundedLength(const char* s, int limit) {
  int n = 0;
  while ((limit < 0 || n < limit) && s[n] != '\0') ++n;
  return n;
}

int Find(const char* text, int tlen, const char* pat, int plen, bool nocase) {
  for (int i = 0; i + plen <= tlen; ++i) {
    int k = 0;
    if (nocase) {
      while (k < plen && AsciiLower(static_cast<unsigned char>(text[i + k])) ==
                             AsciiLower(static_cast<unsigned char>(pat[k])))
        ++k;
    } else {
      while (k < plen && text[i + k] == pat[k]) ++k;
    }
    if (k == plen) return i;
  }
  return -1;
}

}  // namespace

bool StrEqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StrStartsWithNoCase(a, b);
}

bool StrStartsWithNoCase(std::string_view text, std::string_view head) {
  if (text.size() < head.size()) return false;
  for (std::size_t i = 0; i < head.size(); ++i)
    if (AsciiLower(static_cast<unsigned char>(text[i])) != AsciiLower(static_cast<unsigned char>(head[i])))
      return false;
  return true;
}

bool StrEndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && StrEqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

int StrFindA(const char* text, const char* pattern) {
  if (!text || !pattern) return -1;
  const char* p = std::strstr(text, pattern);
  return p ? static_cast<int>(p - text) : -1;
}

int StrFindNoCaseA(const char* text, const char* pattern) { return StrFindNoCaseNA(text, pattern, -1); }

int StrFindNoCaseNA(const char* text, const char* pattern, int n) {
  if (!text || !pattern) return -1;
  return Find(text, BoundedLength(text, n), pattern, BoundedLength(pattern, -1), true);
}

int StrFindBytesNoCaseA(const char* text, const char* pattern, int textLength, int patternLength) {
  if (!text || !pattern) return -1;
  if (textLength < 0) textLength = BoundedLength(text, -1);
  if (patternLength < 0) patternLength = BoundedLength(pattern, -1);
  return Find(text, textLength, pattern, patternLength, true);
}

int StrFindCharA(const char* text, char ch) {
  if (!text) return 0;
  int n = 0;
  while (text[n] != '\0' && text[n] != ch) ++n;
  return n;
}

int StrSkipPastCharA(const char* text, char ch) {
  if (!text) return 0;
  const int n = StrFindCharA(text, ch);
  return text[n] != '\0' ? n + 1 : n;
}
