// Decoding of percent escapes in URL parts and escaped host names.
#include <vector>

#include "lib/text/enc.h"

int EncDecodeEscapesA(const char* src, int length, char* dst, int size, int flags, int* consumed) {
  std::string out;
  std::vector<int> srcEnd;  // source position after each output byte
  int i = 0;
  if (src) {
    while ((length < 0 || i < length) && src[i]) {
      char c = src[i];
      int step = 1;
      if ((flags & ENC_PERCENT) && c == '%' && (length < 0 || i + 2 < length)) {
        int hi = EncHexDigit(src[i + 1]);
        int lo = hi < 0 ? -1 : EncHexDigit(src[i + 2]);
        // "%00" would cut the text short: it stays as it stands.
        if (lo >= 0 && (hi | lo) != 0) {
          c = static_cast<char>(hi << 4 | lo);
          step = 3;
        }
      } else if ((flags & ENC_PLUS_BLANK) && c == '+') {
        c = ' ';
      }
      i += step;
      out.push_back(c);
      srcEnd.push_back(i);
    }
  }
  std::size_t n = 0;
  if (dst && size > 0) {
    n = EncUtf8FitBytes(out, static_cast<std::size_t>(size - 1));
    out.copy(dst, n);
    dst[n] = 0;
  }
  if (consumed) *consumed = n == out.size() ? i : (n ? srcEnd[n - 1] : 0);
  return static_cast<int>(n);
}
