// The printf-style engine: conversion parsing, integer and text fields, bounded and file sinks.
#include "lib/text/fmt.h"
#include "lib/text/enc.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>

namespace {

enum : unsigned {
  kLeft = 0x01,   // '-'
  kPlus = 0x02,   // '+'
  kSpace = 0x04,  // ' '
  kZero = 0x08,   // '0'
  kAlt = 0x10,    // '#'
};

enum class Len { kNone, kHH, kH, kL, kLL, kZ, kJ, kT, kBigL };

struct Conversion {
  unsigned flags = 0;
  int width = 0;
  int precision = -1;  // -1: none given
  Len len = Len::kNone;
  char conv = 0;
};

// Collects output for one FmtOutputA call; stops calling the sink once it said no.
class Writer {
 public:
  Writer(FmtSinkFn sink, void* context) : sink_(sink), context_(context) {}

  void Put(const char* text, std::size_t count) {
    if (count == 0) return;
    total_ += count;
    if (open_ && !sink_(context_, text, count)) open_ = false;
  }
  void Fill(char c, std::size_t count) {
    char block[64];
    std::memset(block, c, sizeof block);
    while (count > 0) {
      std::size_t n = std::min(count, sizeof block);
      Put(block, n);
      count -= n;
    }
  }
  std::size_t total() const { return total_; }

 private:
  FmtSinkFn sink_;
  void* context_;
  std::size_t total_ = 0;
  bool open_ = true;
};

// Writes prefix, zeros, digits into a field of the conversion's width.
void PutField(Writer& w, const Conversion& s, const char* prefix, std::size_t prefixLen, std::size_t zeros,
              const char* body, std::size_t bodyLen) {
  std::size_t len = prefixLen + zeros + bodyLen;
  std::size_t pad = static_cast<std::size_t>(s.width) > len ? s.width - len : 0;
  if (!(s.flags & kLeft) && !(s.flags & kZero)) w.Fill(' ', pad);
  w.Put(prefix, prefixLen);
  if (!(s.flags & kLeft) && (s.flags & kZero)) w.Fill('0', pad);
  w.Fill('0', zeros);
  w.Put(body, bodyLen);
  if (s.flags & kLeft) w.Fill(' ', pad);
}

void PutInteger(Writer& w, Conversion s, std::uintmax_t magnitude, bool negative) {
  char digits[72];
  char* end = digits + sizeof digits;
  char* p = end;
  unsigned base = 10;
  const char* set = "0123456789abcdef";
  switch (s.conv) {
    case 'o': base = 8; break;
    case 'x': case 'p': base = 16; break;
    case 'X': base = 16; set = "0123456789ABCDEF"; break;
    default: break;
  }
  for (std::uintmax_t v = magnitude; v != 0; v /= base) *--p = set[v % base];
  std::size_t n = static_cast<std::size_t>(end - p);

  char prefix[3];
  std::size_t prefixLen = 0;
  bool isSigned = s.conv == 'd' || s.conv == 'i';
  if (isSigned) {
    if (negative) prefix[prefixLen++] = '-';
    else if (s.flags & kPlus) prefix[prefixLen++] = '+';
    else if (s.flags & kSpace) prefix[prefixLen++] = ' ';
  }
  if ((s.flags & kAlt) && magnitude != 0 && (s.conv == 'x' || s.conv == 'X' || s.conv == 'p')) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = s.conv == 'X' ? 'X' : 'x';
  }

  std::size_t zeros = 0;
  if (s.precision >= 0) {
    s.flags &= ~kZero;  // a precision overrides the zero flag for integers
    if (static_cast<std::size_t>(s.precision) > n) zeros = s.precision - n;
  } else if (n == 0) {
    zeros = 1;  // the value 0 without precision prints "0"
  }
  // '#' with 'o' makes the first digit a zero.
  if (s.conv == 'o' && (s.flags & kAlt) && zeros == 0 && (n == 0 || *p != '0')) zeros = 1;
  if (s.flags & kLeft) s.flags &= ~kZero;
  PutField(w, s, prefix, prefixLen, zeros, p, n);
}

// Text of bounded length: a precision cuts it, but never inside a UTF-8 sequence.
void PutText(Writer& w, Conversion s, const char* text, std::size_t length) {
  s.flags &= ~kZero;
  PutField(w, s, nullptr, 0, 0, text, length);
}

// Bytes of a "%.Ns" text: up to the NUL or the precision, backed off to the start of a UTF-8
// sequence that the precision would cut. Never reads past the precision (the text need not end
// in a NUL then).
std::size_t BoundedLength(const char* text, int precision) {
  if (precision < 0) return std::strlen(text);
  const void* nul = std::memchr(text, 0, static_cast<std::size_t>(precision));
  if (nul) return static_cast<std::size_t>(static_cast<const char*>(nul) - text);
  std::size_t n = static_cast<std::size_t>(precision);
  if (n == 0) return 0;
  std::size_t start = n - 1;
  std::size_t back = 0;
  while (start > 0 && back < 3 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
    ++back;
  }
  unsigned char lead = static_cast<unsigned char>(text[start]);
  if (lead < 0xC0) return n;  // ASCII or a stray continuation byte: nothing to protect
  std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  return need > n - start ? start : n;
}

// "%ls": a wide (UTF-32) text written as UTF-8; the precision limits the bytes written.
void PutWideText(Writer& w, Conversion s, const wchar_t* text) {
  std::string utf8;
  for (; *text; ++text) {
    char seq[4];
    std::size_t n = EncUtf8Encode(seq, static_cast<std::uint32_t>(*text));
    if (s.precision >= 0 && utf8.size() + n > static_cast<std::size_t>(s.precision)) break;
    utf8.append(seq, n);
  }
  s.precision = -1;
  PutText(w, s, utf8.data(), utf8.size());
}

// Floating conversions are not part of the promised set but must at least consume their argument;
// digits come from std::to_chars, which rounds as printf does. "%#g" keeps the point but not the
// trailing zeros.
void PutFloat(Writer& w, Conversion s, long double value) {
  std::chars_format format = std::chars_format::fixed;
  char lower = static_cast<char>(s.conv | 0x20);
  if (lower == 'e') format = std::chars_format::scientific;
  else if (lower == 'g') format = std::chars_format::general;
  else if (lower == 'a') format = std::chars_format::hex;
  bool negative = std::signbit(value);
  long double magnitude = negative ? -value : value;
  std::string text;
  bool finite = std::isfinite(magnitude);
  if (!finite) {
    text = std::isnan(magnitude) ? "nan" : "inf";
    s.flags &= ~kZero;
  } else {
    int precision = s.precision;
    if (precision < 0 && lower != 'a') precision = 6;
    if (lower == 'g' && precision == 0) precision = 1;
    precision = std::min(precision, 4000);
    for (std::size_t cap = 512;; cap *= 4) {
      text.resize(cap);
      std::to_chars_result r = precision >= 0
                                   ? std::to_chars(text.data(), text.data() + cap, magnitude, format, precision)
                                   : std::to_chars(text.data(), text.data() + cap, magnitude, format);
      if (r.ec == std::errc{}) {
        text.resize(static_cast<std::size_t>(r.ptr - text.data()));
        break;
      }
    }
    if ((s.flags & kAlt) && text.find('.') == std::string::npos) {
      // '#' keeps the decimal point; it goes before an exponent if there is one.
      std::size_t at = text.find(lower == 'a' ? 'p' : 'e');
      text.insert(at == std::string::npos ? text.size() : at, 1, '.');
    }
  }
  if (s.conv >= 'A' && s.conv <= 'Z') {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  char prefix[3];
  std::size_t prefixLen = 0;
  if (negative) prefix[prefixLen++] = '-';
  else if (s.flags & kPlus) prefix[prefixLen++] = '+';
  else if (s.flags & kSpace) prefix[prefixLen++] = ' ';
  if (lower == 'a' && finite) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = s.conv == 'A' ? 'X' : 'x';
  }
  if (s.flags & kLeft) s.flags &= ~kZero;
  PutField(w, s, prefix, prefixLen, 0, text.data(), text.size());
}

template <typename T>
T Arg(va_list* args) {
  return va_arg(*args, T);
}

std::intmax_t SignedArg(Len len, va_list* args) {
  switch (len) {
    case Len::kHH: return static_cast<signed char>(Arg<int>(args));
    case Len::kH: return static_cast<short>(Arg<int>(args));
    case Len::kL: return Arg<long>(args);
    case Len::kLL: return Arg<long long>(args);
    case Len::kZ: return Arg<std::make_signed_t<std::size_t>>(args);
    case Len::kJ: return Arg<std::intmax_t>(args);
    case Len::kT: return Arg<std::ptrdiff_t>(args);
    default: return Arg<int>(args);
  }
}

std::uintmax_t UnsignedArg(Len len, va_list* args) {
  switch (len) {
    case Len::kHH: return static_cast<unsigned char>(Arg<unsigned>(args));
    case Len::kH: return static_cast<unsigned short>(Arg<unsigned>(args));
    case Len::kL: return Arg<unsigned long>(args);
    case Len::kLL: return Arg<unsigned long long>(args);
    case Len::kZ: return Arg<std::size_t>(args);
    case Len::kJ: return Arg<std::uintmax_t>(args);
    case Len::kT: return Arg<std::make_unsigned_t<std::ptrdiff_t>>(args);
    default: return Arg<unsigned>(args);
  }
}

// Parses one conversion after '%'; returns the character after it, or null when the text is not
// a conversion we know (it is then printed as it stands).
const char* ParseConversion(const char* f, Conversion& s, va_list* args) {
  for (;; ++f) {
    if (*f == '-') s.flags |= kLeft;
    else if (*f == '+') s.flags |= kPlus;
    else if (*f == ' ') s.flags |= kSpace;
    else if (*f == '0') s.flags |= kZero;
    else if (*f == '#') s.flags |= kAlt;
    else break;
  }
  if (*f == '*') {
    int width = Arg<int>(args);
    if (width < 0) {
      s.flags |= kLeft;
      width = width == INT_MIN ? INT_MAX : -width;
    }
    s.width = width;
    ++f;
  } else {
    long width = 0;
    for (; *f >= '0' && *f <= '9'; ++f) width = std::min<long>(width * 10 + (*f - '0'), INT_MAX);
    s.width = static_cast<int>(width);
  }
  if (*f == '.') {
    ++f;
    if (*f == '*') {
      int precision = Arg<int>(args);
      s.precision = precision < 0 ? -1 : precision;
      ++f;
    } else {
      long precision = 0;
      for (; *f >= '0' && *f <= '9'; ++f) precision = std::min<long>(precision * 10 + (*f - '0'), INT_MAX);
      s.precision = static_cast<int>(precision);
    }
  }
  switch (*f) {
    case 'h':
      if (f[1] == 'h') {
        s.len = Len::kHH;
        ++f;
      } else {
        s.len = Len::kH;
      }
      ++f;
      break;
    case 'l':
      if (f[1] == 'l') {
        s.len = Len::kLL;
        ++f;
      } else {
        s.len = Len::kL;
      }
      ++f;
      break;
    case 'z': s.len = Len::kZ; ++f; break;
    case 'j': s.len = Len::kJ; ++f; break;
    case 't': s.len = Len::kT; ++f; break;
    case 'L': case 'q': s.len = *f == 'L' ? Len::kBigL : Len::kLL; ++f; break;
    default: break;
  }
  if (!*f || !std::strchr("diuxXocspfFeEgGaA%", *f)) return nullptr;
  s.conv = *f;
  return f + 1;
}

void Convert(Writer& w, const Conversion& s, va_list* args) {
  switch (s.conv) {
    case 'd':
    case 'i': {
      std::intmax_t v = SignedArg(s.len, args);
      std::uintmax_t magnitude = v < 0 ? 0 - static_cast<std::uintmax_t>(v) : static_cast<std::uintmax_t>(v);
      PutInteger(w, s, magnitude, v < 0);
      break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': PutInteger(w, s, UnsignedArg(s.len, args), false); break;
    case 'p': {
      const void* p = Arg<const void*>(args);
      if (!p) {
        PutText(w, s, "(nil)", 5);
      } else {
        Conversion ps = s;
        ps.flags |= kAlt;
        PutInteger(w, ps, reinterpret_cast<std::uintptr_t>(p), false);
      }
      break;
    }
    case 'c': {
      char seq[4];
      std::size_t n = 1;
      if (s.len == Len::kL) {
        n = EncUtf8Encode(seq, static_cast<std::uint32_t>(Arg<std::wint_t>(args)));
      } else {
        seq[0] = static_cast<char>(Arg<int>(args));
      }
      Conversion cs = s;
      cs.precision = -1;
      PutText(w, cs, seq, n);
      break;
    }
    case 's': {
      if (s.len == Len::kL) {
        const wchar_t* text = Arg<const wchar_t*>(args);
        PutWideText(w, s, text ? text : L"(null)");
      } else {
        const char* text = Arg<const char*>(args);
        if (!text) text = "(null)";
        PutText(w, s, text, BoundedLength(text, s.precision));
      }
      break;
    }
    case '%': w.Put("%", 1); break;
    default:  // floating point
      PutFloat(w, s, s.len == Len::kBigL ? Arg<long double>(args) : Arg<double>(args));
      break;
  }
}

struct BufferSink {
  char* buffer;
  std::size_t size;  // capacity without the terminator
  std::size_t used = 0;
  char firstDropped = 0;  // first byte that did not fit, to avoid cutting a sequence
  bool dropped = false;
};

bool BufferSinkFn(void* context, const char* text, std::size_t count) {
  auto* b = static_cast<BufferSink*>(context);
  std::size_t room = b->size - b->used;
  std::size_t n = std::min(room, count);
  if (n) std::memcpy(b->buffer + b->used, text, n);
  b->used += n;
  if (n < count && !b->dropped) {
    b->dropped = true;
    b->firstDropped = text[n];
  }
  return true;  // keep counting to return the full length
}

bool FileSinkFn(void* context, const char* text, std::size_t count) {
  return std::fwrite(text, 1, count, static_cast<std::FILE*>(context)) == count;
}

bool StringSinkFn(void* context, const char* text, std::size_t count) {
  static_cast<std::string*>(context)->append(text, count);
  return true;
}

int ClampCount(std::size_t n) { return n > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(n); }

}  // namespace

int FmtOutputA(FmtSinkFn sink, void* context, const char* format, va_list args) {
  Writer w(sink, context);
  if (!format) return 0;
  va_list ap;
  va_copy(ap, args);
  const char* f = format;
  while (*f) {
    const char* pct = std::strchr(f, '%');
    if (!pct) {
      w.Put(f, std::strlen(f));
      break;
    }
    w.Put(f, static_cast<std::size_t>(pct - f));
    Conversion s;
    const char* next = ParseConversion(pct + 1, s, &ap);
    if (!next) {
      // Unknown conversion: print the '%' as it stands and go on after it.
      w.Put("%", 1);
      f = pct + 1;
      continue;
    }
    Convert(w, s, &ap);
    f = next;
  }
  va_end(ap);
  return ClampCount(w.total());
}

int FmtVsnprintfA(char* buffer, std::size_t size, const char* format, va_list args) {
  BufferSink b{buffer, size > 0 ? size - 1 : 0};
  if (!buffer) b.size = 0;
  int total = FmtOutputA(BufferSinkFn, &b, format, args);
  if (buffer && size > 0) {
    std::size_t end = b.used;
    if (b.dropped && (static_cast<unsigned char>(b.firstDropped) & 0xC0) == 0x80) {
      // The cut fell inside a sequence: give the sequence up entirely.
      std::size_t n = end;
      std::size_t back = 0;
      while (n > 0 && back < 3 && (static_cast<unsigned char>(buffer[n - 1]) & 0xC0) == 0x80) {
        --n;
        ++back;
      }
      if (n > 0 && (static_cast<unsigned char>(buffer[n - 1]) & 0xC0) == 0xC0) end = n - 1;
    }
    buffer[end] = 0;
  }
  return total;
}

int FmtSnprintfA(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FmtVsnprintfA(buffer, size, format, args);
  va_end(args);
  return n;
}

int FmtFprintfA(std::FILE* file, const char* format, ...) {
  if (!file) return -1;
  va_list args;
  va_start(args, format);
  int n = FmtOutputA(FileSinkFn, file, format, args);
  va_end(args);
  return std::ferror(file) ? -1 : n;
}

std::string FmtString(const char* format, ...) {
  std::string out;
  va_list args;
  va_start(args, format);
  FmtOutputA(StringSinkFn, &out, format, args);
  va_end(args);
  return out;
}
