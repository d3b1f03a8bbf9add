// FAT names: long-name checks, short names with their lower-case flags and numbered aliases.
#include "FileSystem/Fat/fat_names.h"

#include "FileSystem/Fat/fat_engine.h"
#include "lib/text/upcase.h"

namespace {

bool IsForbidden(char16_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case u'"': case u'*': case u':': case u'<': case u'>': case u'?': case u'|': case u'/': case u'\\':
      return true;
    default:
      return false;
  }
}

// Characters that a short name takes in another form.
bool IsShortReplaced(char16_t c) {
  switch (c) {
    case u'+': case u',': case u';': case u'=': case u'[': case u']': return true;
    default: return false;
  }
}

bool IsSurrogateLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsSurrogateHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Converts one part (body or extension) into at most limit bytes; the case it had.
struct PartState {
  bool lower = false;
  bool upper = false;
};

void ConvertPart(std::u16string_view part, u8* out, std::size_t limit, std::size_t& written, PartState& state,
                 FatShortForm& form) {
  for (std::size_t i = 0; i < part.size(); ++i) {
    char16_t c = part[i];
    if (c == u' ' || c == u'.') {
      form.lossy = true;  // dropped
      continue;
    }
    int byte;
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z') {
        state.lower = true;
        byte = c - 32;
      } else {
        if (c >= u'A' && c <= u'Z') state.upper = true;
        byte = c;
        if (IsShortReplaced(c)) {
          byte = '_';
          form.lossy = true;
        }
      }
    } else {
      form.needsLong = true;
      if (IsSurrogateLow(c) && i > 0 && IsSurrogateHigh(part[i - 1])) continue;  // one "_" per character
      byte = FatUnicodeToCp850(EncUpcase(c));
      if (byte < 0) {
        byte = '_';
        form.lossy = true;
      }
    }
    if (written >= limit) {
      form.lossy = true;
      return;
    }
    out[written++] = static_cast<u8>(byte);
  }
}

}  // namespace

int FatCheckName(std::u16string& name) {
  for (const char16_t c : name)
    if (IsForbidden(c)) return FAT_INVALID_NAME;
  while (!name.empty() && (name.back() == u' ' || name.back() == u'.')) name.pop_back();
  if (name.empty() || name.size() > FAT_MAX_NAME) return FAT_INVALID_NAME;
  return FAT_OK;
}

FatShortForm FatMakeShortName(std::u16string_view name) {
  FatShortForm form;
  form.name.fill(' ');
  std::size_t start = 0;
  while (start < name.size() && (name[start] == u' ' || name[start] == u'.')) ++start;
  if (start > 0) form.lossy = true;
  const std::u16string_view rest = name.substr(start);
  const std::size_t dot = rest.rfind(u'.');
  const std::u16string_view body = dot == std::u16string_view::npos ? rest : rest.substr(0, dot);
  const std::u16string_view ext = dot == std::u16string_view::npos ? std::u16string_view() : rest.substr(dot + 1);

  std::size_t bodyLength = 0, extLength = 0;
  PartState bodyCase, extCase;
  ConvertPart(body, form.name.data(), 8, bodyLength, bodyCase, form);
  ConvertPart(ext, form.name.data() + 8, 3, extLength, extCase, form);
  if (bodyLength == 0) {
    form.name[0] = '_';
    bodyLength = 1;
    form.lossy = true;
  }
  if (form.name[0] == 0xE5) form.name[0] = 0x05;
  form.bodyLength = static_cast<u8>(bodyLength);

  if (bodyCase.lower && bodyCase.upper) form.needsLong = true;
  else if (bodyCase.lower) form.caseFlags |= FAT_CASE_LOWER_BODY;
  if (extCase.lower && extCase.upper) form.needsLong = true;
  else if (extCase.lower) form.caseFlags |= FAT_CASE_LOWER_EXT;
  if (form.lossy) form.needsLong = true;
  // A long name carries the case itself; the flags are for names without one.
  if (form.needsLong) form.caseFlags = 0;
  return form;
}

FatShortName FatAliasName(const FatShortForm& form, std::u16string_view longName, int n) {
  u32 number = static_cast<u32>(n);
  if (n > 5) {
    // Every unit and the try's number reach every bit of the tail: a hash that only rotates and
    // adds gives names that differ in one digit tails that differ in a bit or two, and a folder
    // of similar names runs out of aliases after some hundred.
    u32 hash = 2166136261u ^ static_cast<u32>(n);
    for (const char16_t c : longName) hash = (hash ^ c) * 16777619u;
    hash ^= static_cast<u32>(n) * 0x9E3779B1u;
    number = (hash ^ (hash >> 16)) & 0xFFFF;
  }
  char tail[8];
  int t = 0;
  char digits[8];
  int d = 0;
  do {
    digits[d++] = "0123456789ABCDEF"[number & 0xF];
    number >>= 4;
  } while (number);
  tail[t++] = '~';
  while (d) tail[t++] = digits[--d];

  FatShortName out = form.name;
  std::size_t keep = std::min<std::size_t>(form.bodyLength, 8 - static_cast<std::size_t>(t));
  for (std::size_t i = 0; i < keep; ++i)
    if (out[i] == ' ') keep = i;
  for (std::size_t i = keep; i < 8; ++i) out[i] = ' ';
  for (int i = 0; i < t; ++i) out[keep + static_cast<std::size_t>(i)] = static_cast<u8>(tail[i]);
  return out;
}

u8 FatShortNameChecksum(const u8* name11) {
  u8 sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<u8>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

std::u16string FatShortNameText(const u8* name11, u8 caseFlags) {
  std::u16string out;
  const auto put = [&](u8 byte, bool lower) {
    char16_t c;
    if (byte < 0x20 || byte == 0x7F || (byte < 0x80 && IsForbidden(byte))) c = u'_';
    else if (byte >= 0x80) c = FatCp850ToUnicode(byte);
    else c = byte;
    if (lower && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    out += c;
  };
  int bodyEnd = 8;
  while (bodyEnd > 0 && name11[bodyEnd - 1] == ' ') --bodyEnd;
  int extEnd = 11;
  while (extEnd > 8 && name11[extEnd - 1] == ' ') --extEnd;
  for (int i = 0; i < bodyEnd; ++i) put(i == 0 && name11[0] == 0x05 ? 0xE5 : name11[i], caseFlags & FAT_CASE_LOWER_BODY);
  // A damaged entry of blanks still gets a name that can be listed and opened.
  if (bodyEnd == 0) out += u'_';
  if (extEnd > 8) {
    out += u'.';
    for (int i = 8; i < extEnd; ++i) put(name11[i], caseFlags & FAT_CASE_LOWER_EXT);
  }
  return out;
}

bool FatNamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && EncUpcase(a[i]) != EncUpcase(b[i])) return false;
  return true;
}

bool FatMatchPattern(std::u16string_view pattern, std::u16string_view name) {
  // Greedy with one backtrack point: the last "*" seen.
  std::size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || pattern[p] == name[n] || EncUpcase(pattern[p]) == EncUpcase(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}
