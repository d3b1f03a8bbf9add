// Bounded string copies and appends that always terminate and never split a UTF-8 sequence.
#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>

using kpw::text::Utf16SeqLen;
using kpw::text::Utf8SafeCut;

namespace {

// Copies at most n bytes of src (stopping at its NUL) into dst of size bytes.
int CopyBounded(char* dst, const char* src, int size, long long n) {
  if (!dst || size <= 0) return 0;
  if (!src || n <= 0) {
    dst[0] = '\0';
    return 0;
  }
  const long long room = size - 1;
  long long len = 0;
  while (len < n && len < room && src[len] != '\0') ++len;
  int count = static_cast<int>(len);
  // Cut short by the buffer while the source goes on: keep whole sequences only. Bytes up to
  // src + n may be read, and the NUL stops every look beyond the cut.
  if (len == room && len < n && src[len] != '\0') {
    const char* end = src + (n < len + 4 ? n : len + 4);
    count = Utf8SafeCut(src, count, end);
  }
  std::memmove(dst, src, static_cast<size_t>(count));
  dst[count] = '\0';
  return count;
}

}  // namespace

int StrCopyA(char* dst, const char* src, int size) { return CopyBounded(dst, src, size, 1LL << 62); }

int StrCopyNA(char* dst, const char* src, int size, int n) { return CopyBounded(dst, src, size, n); }

int StrCopyNW(WCHAR* dst, const WCHAR* src, int size, int n) {
  if (!dst || size <= 0) return 0;
  if (!src || n <= 0) {
    dst[0] = 0;
    return 0;
  }
  int len = 0;
  while (len < n && len < size - 1 && src[len] != 0) {
    const int step = Utf16SeqLen(src + len, src + len + (n - len >= 2 ? 2 : 1));
    if (len + step > size - 1) break;  // no room for the whole surrogate pair
    len += step;
  }
  std::memmove(dst, src, static_cast<size_t>(len) * sizeof(WCHAR));
  dst[len] = 0;
  return len;
}

int StrCatA(char* target, const char* src, int size) {
  if (!target || size <= 0) return 0;
  int len = 0;
  while (len < size && target[len] != '\0') ++len;
  if (len == size) {
    // No terminator within the buffer: terminate it rather than write past it.
    len = Utf8SafeCut(target, size - 1, target + size);
    target[len] = '\0';
    return len;
  }
  return len + StrCopyA(target + len, src, size - len);
}
