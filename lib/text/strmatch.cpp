// Wildcard matching of names and paths: whole-name, leading-part and pattern-list forms.
#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>
#include <vector>

using kpw::text::AsciiLower;
using kpw::text::Utf16SeqLen;
using kpw::text::Utf8SeqLen;

namespace {

// Pattern elements; a pattern is simulated as a set of active offsets into its text, so no
// input makes the matcher backtrack.
enum class Kind { Literal, AnyOne, Star, Blanks, Separator };

struct Elem {
  Kind kind;
  int at;    // offset of the literal character
  int len;   // its length in code units
  int next;  // offset of the following element
};

template <class C>
int SeqLen(const C* p, const C* end) {
  if constexpr (sizeof(C) == 1) return Utf8SeqLen(p, end);
  else return Utf16SeqLen(p, end);
}

template <class C>
unsigned Unit(C c) {
  if constexpr (sizeof(C) == 1) return static_cast<unsigned char>(c);
  else return static_cast<unsigned>(c);
}

template <class C>
bool IsSep(C c) { return c == C('/') || c == C('\\'); }

template <class C>
struct Matcher {
  const C* pat;
  int plen;
  const C* name;
  int nlen;
  bool nocase;
  bool path;  // separators are special

  Elem Parse(int k) const {
    const C c = pat[k];
    if (c == C('*')) {
      int n = k + 1;
      while (n < plen && pat[n] == C('*')) ++n;
      return {Kind::Star, k, 0, n};
    }
    if (c == C('?')) return {Kind::AnyOne, k, 0, k + 1};
    if (path && c == C('/')) return {Kind::Separator, k, 0, k + 1};
    if (path && c == C('\\')) {
      if (k + 1 < plen) {
        const C d = pat[k + 1];
        if (d == C('"') || d == C('\'')) return {Kind::Literal, k + 1, 1, k + 2};
        if (d == C('.')) return {Kind::Blanks, k, 0, k + 2};
      }
      return {Kind::Separator, k, 0, k + 1};
    }
    const int len = SeqLen(pat + k, pat + plen);
    return {Kind::Literal, k, len, k + len};
  }

  bool LiteralEquals(const Elem& e, int i, int len) const {
    if (e.len != len) return false;
    if (len == 1) {
      unsigned a = Unit(pat[e.at]), b = Unit(name[i]);
      if (nocase && a < 128 && b < 128) {
        a = AsciiLower(static_cast<unsigned char>(a));
        b = AsciiLower(static_cast<unsigned char>(b));
      }
      return a == b;
    }
    return std::memcmp(pat + e.at, name + i, sizeof(C) * static_cast<size_t>(len)) == 0;
  }
};

// A set of pattern offsets with room for short patterns on the stack.
class OffsetSet {
 public:
  explicit OffsetSet(int count) : words_((count + 63) / 64) {
    if (words_ > kInline) heap_.resize(static_cast<size_t>(words_));
    bits_ = words_ > kInline ? heap_.data() : inline_;
    Clear();
  }
  OffsetSet(const OffsetSet&) = delete;
  OffsetSet& operator=(const OffsetSet&) = delete;
  void Clear() { std::memset(bits_, 0, sizeof(u64) * static_cast<size_t>(words_)); }
  void Set(int k) { bits_[k >> 6] |= u64{1} << (k & 63); }
  bool Has(int k) const { return (bits_[k >> 6] >> (k & 63)) & 1; }
  bool Empty() const {
    for (int w = 0; w < words_; ++w)
      if (bits_[w]) return false;
    return true;
  }
  void Swap(OffsetSet& o) {
    std::swap(bits_, o.bits_);  // both sets have the same size
  }

 private:
  static constexpr int kInline = 4;
  int words_;
  u64 inline_[kInline];
  std::vector<u64> heap_;
  u64* bits_;
};

// Adds the offsets reachable without consuming a character (stars and blank runs may be empty).
template <class C>
void Close(const Matcher<C>& m, OffsetSet& s) {
  for (int k = 0; k < m.plen; ++k) {
    if (!s.Has(k)) continue;
    const Elem e = m.Parse(k);
    if (e.kind == Kind::Star || e.kind == Kind::Blanks) s.Set(e.next);
    if (e.kind == Kind::Star) k = e.next - 1;  // offsets inside a run of stars are no states
  }
}

template <class C>
void Step(const Matcher<C>& m, const OffsetSet& cur, OffsetSet& next, int i, int len) {
  next.Clear();
  const C c = m.name[i];
  const bool sep = m.path && IsSep(c);
  for (int k = 0; k < m.plen; ++k) {
    if (!cur.Has(k)) continue;
    const Elem e = m.Parse(k);
    switch (e.kind) {
      case Kind::Literal:
        if (m.LiteralEquals(e, i, len)) next.Set(e.next);
        break;
      case Kind::AnyOne:
        if (!sep) next.Set(e.next);
        break;
      case Kind::Star:
        if (!sep) next.Set(k);
        break;
      case Kind::Blanks:
        if (c == C(' ') || c == C('\t')) next.Set(k);
        break;
      case Kind::Separator:
        if (IsSep(c)) next.Set(e.next);
        break;
    }
    if (e.kind == Kind::Star) k = e.next - 1;
  }
  Close(m, next);
}

enum class Mode {
  Whole,         // the pattern must match the whole name
  Component,     // shortest leading part that ends before "/" or at the end
  Shortest,      // shortest leading part
};

// Whole: 0 or -1. Leading modes: the matched length, or -1.
template <class C>
int Run(const Matcher<C>& m, Mode mode) {
  OffsetSet cur(m.plen + 1), next(m.plen + 1);
  cur.Set(0);
  Close(m, cur);
  int i = 0;
  for (;;) {
    const bool accept = cur.Has(m.plen);
    if (accept && mode == Mode::Shortest) return i;
    if (accept && mode == Mode::Component && (i == m.nlen || m.name[i] == C('/'))) return i;
    if (i == m.nlen) return accept ? 0 : -1;
    if (cur.Empty()) return -1;
    const int len = SeqLen(m.name + i, m.name + m.nlen);
    Step(m, cur, next, i, len);
    cur.Swap(next);
    i += len;
  }
}

template <class C>
int Length(const C* s) {
  int n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

template <class C>
Matcher<C> Make(const C* pattern, int patternLength, const C* name, int nameLength, int flags, bool path) {
  static const C kEmpty[1] = {0};
  Matcher<C> m{pattern ? pattern : kEmpty, 0, name ? name : kEmpty, 0, (flags & STR_MATCH_NOCASE) != 0, path};
  m.plen = patternLength < 0 || !pattern ? Length(pattern) : patternLength;
  m.nlen = nameLength < 0 || !name ? Length(name) : nameLength;
  if ((flags & STR_MATCH_STARDOT) && m.plen >= 3 && m.pat[m.plen - 3] == C('*') && m.pat[m.plen - 2] == C('.') &&
      m.pat[m.plen - 1] == C('*'))
    m.plen -= 2;
  return m;
}

// Characters over which a trailing "*" of a leading-part path match runs.
bool IsWordChar(unsigned char c) {
  return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
         c == '-' || c == '_' || c == '+';
}

}  // namespace

int StrMatchPatternA(const char* pattern, int patternLength, const char* name, int nameLength, int flags) {
  Matcher<char> m = Make(pattern, patternLength, name, nameLength, flags, false);
  if (flags & STR_MATCH_LEADING) {
    const int r = Run(m, Mode::Component);
    return r < 0 ? m.nlen + 1 : r;
  }
  return Run(m, Mode::Whole) == 0 ? 0 : 1;
}

int StrMatchPathPatternA(const char* pattern, int patternLength, const char* name, int nameLength, int flags) {
  Matcher<char> m = Make(pattern, patternLength, name, nameLength, flags, true);
  if (!(flags & STR_MATCH_LEADING)) return Run(m, Mode::Whole) == 0 ? 0 : 1;
  bool trailingStar = false;
  while (m.plen > 0 && m.pat[m.plen - 1] == '*') {
    --m.plen;
    trailingStar = true;
  }
  int r = Run(m, Mode::Shortest);
  if (r < 0) return m.nlen + 1;
  if (trailingStar)
    while (r < m.nlen && IsWordChar(static_cast<unsigned char>(m.name[r]))) ++r;
  return r;
}

int StrMatchPatternListA(const char* name, int nameLength, const char* patternList, int mode, char separator) {
  if (!patternList) return 0;
  const int nlen = nameLength < 0 || !name ? Length(name) : nameLength;
  int number = 0;
  bool any = false;
  const char* p = patternList;
  for (;;) {
    const char* end = p;
    while (*end && *end != separator) ++end;
    ++number;
    const char* a = p;
    const char* b = end;
    while (a < b && (*a == ' ' || *a == '\t')) ++a;
    while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
    if (a < b) {
      any = true;
      const int r = StrMatchPatternA(a, static_cast<int>(b - a), name, nlen, mode);
      if ((mode & STR_MATCH_LEADING) ? r <= nlen : r == 0) return number;
    }
    if (!*end) break;
    p = end + 1;
  }
  return any ? -1 : 0;
}

int StrWildcardCompareA(const char* text, const char* pattern) {
  return Run(Make(pattern, -1, text, -1, 0, false), Mode::Whole) == 0 ? 0 : 1;
}

int StrWildcardCompareW(const WCHAR* text, const WCHAR* pattern) {
  return Run(Make(pattern, -1, text, -1, 0, false), Mode::Whole) == 0 ? 0 : 1;
}
