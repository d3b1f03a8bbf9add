// Token reading, trimming and escape resolution of narrow texts.
#include "lib/text/str.h"
#include "lib/text/enc.h"

#include <cstring>
#include <string>

namespace {

bool EndsUnquoted(unsigned char c) { return c < 0x20 || c == 0x7F || c == ' ' || c == ',' || c == ';'; }

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

int StrReadTokenA(char* target, const char* text, int targetSize, char escape, char quote, int maxLength) {
  if (target && targetSize > 0) target[0] = '\0';
  if (!text) return 0;
  auto more = [&](int i) { return (maxLength < 0 || i < maxLength) && text[i] != '\0'; };
  int i = 0;
  while (more(i) && (text[i] == ' ' || text[i] == '\t')) ++i;
  int start = i;
  int end = i;
  if (quote != '\0' && more(i) && text[i] == quote) {
    start = ++i;
    for (;;) {
      if (!more(i)) {  // no closing quote: the token runs to the end
        end = i;
        break;
      }
      const char c = text[i];
      if (escape != '\0' && c == escape) {
        // The escape keeps the next character from closing the token; with the quote as its own
        // escape only a doubled quote is an escape.
        if (escape == quote) {
          if (more(i + 1) && text[i + 1] == quote) {
            i += 2;
            continue;
          }
          end = i++;
          break;
        }
        i += more(i + 1) ? 2 : 1;
        continue;
      }
      if (c == quote) {
        end = i++;
        break;
      }
      ++i;
    }
  } else {
    while (more(i) && !EndsUnquoted(static_cast<unsigned char>(text[i]))) ++i;
    end = i;
  }
  if (target) StrCopyNA(target, text + start, targetSize, end - start);
  return i;
}

int StrTrimA(char* dst, const char* src) {
  if (!dst) return 0;
  if (!src) {
    dst[0] = '\0';
    return 0;
  }
  while (IsTrimmed(*src)) ++src;
  size_t n = std::strlen(src);
  while (n > 0 && IsTrimmed(src[n - 1])) --n;
  std::memmove(dst, src, n);
  dst[n] = '\0';
  return static_cast<int>(n);
}

int StrUnescapeA(char* dst, const char* src, int size) {
  if (!dst || size <= 0) return 0;
  std::string out;
  for (const char* p = src ? src : ""; *p != '\0';) {
    const char c = *p++;
    if (c == '"') continue;  // quotes only group; they are no part of the text
    if (c != '\\' || *p == '\0') {
      out += c;
      continue;
    }
    const char e = *p++;
    int value = -1;
    switch (e) {
      case 'n': value = '\n'; break;
      case 'r': value = '\r'; break;
      case 't': value = '\t'; break;
      case 'a': value = '\a'; break;
      case 'b': value = '\b'; break;
      case 'f': value = '\f'; break;
      case 'v': value = '\v'; break;
      case '\\': case '"': case '\'': case '?': value = static_cast<unsigned char>(e); break;
      case 'x':
        if (EncHexDigit(*p) >= 0) {
          value = EncHexDigit(*p++);
          if (EncHexDigit(*p) >= 0) value = value * 16 + EncHexDigit(*p++);
        }
        break;
      default:
        if (e >= '0' && e <= '7') {
          value = e - '0';
          for (int k = 0; k < 2 && *p >= '0' && *p <= '7'; ++k) value = value * 8 + (*p++ - '0');
          value &= 0xFF;
        }
    }
    if (value < 0) {  // not an escape: both characters stand as written
      out += '\\';
      out += e;
    } else if (value != 0) {  // a NUL cannot live inside the text: it is dropped
      out += static_cast<char>(value);
    }
  }
  return StrCopyA(dst, out.c_str(), size);
}
