// exFAT names: UTF-8 to UTF-16 with bounds, comparison through the upcase table, the name hash and checksums.
#include "FileSystem/Exfat/exfat_internal.h"

#include "lib/text/enc.h"

int ExfatNameToUtf16(std::string_view utf8, std::u16string& out) {
  out.clear();
  const std::string text(utf8);
  const char* p = text.c_str();
  const char* end = p + text.size();
  while (p < end) {
    u32 cp = 0;
    const int n = EncUtf8Decode(p, &cp);
    // A malformed byte decodes as itself with length 1; a NUL has no place in a name.
    if (n <= 0 || cp == 0 || (n == 1 && cp >= 0x80)) return EXFAT_EILSEQ;
    WCHAR units[2];
    const int k = EncUtf16Encode(units, cp);
    out.append(units, units + k);
    if (out.size() > EXFAT_MAX_NAME) return EXFAT_ENAMETOOLONG;
    p += n;
  }
  return 0;
}

std::string ExfatNameToUtf8(std::u16string_view name) {
  std::string out;
  std::size_t i = 0;
  while (i < name.size()) {
    u32 cp = name[i];
    std::size_t n = 1;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      n = 2;
    }
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(EncUtf8Encode(bytes, cp)));
    i += n;
  }
  return out;
}

bool ExfatNameAllowed(std::u16string_view name) {
  if (name.empty()) return false;
  for (const char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
        return false;
      default: break;
    }
  }
  return true;
}

namespace exfat {


bool NamesEqual(const ExfatFs& v, std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (v.upcase[a[i]] != v.upcase[b[i]]) return false;
  return true;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

}  // namespace exfat

u16 ExfatSetChecksum(const u8* entries, std::size_t count) {
  u16 sum = 0;
  for (std::size_t i = 0; i < count * exfat::kEntry; ++i) {
    if (i == exfat::FILE_CHECKSUM || i == exfat::FILE_CHECKSUM + 1) continue;
    sum = static_cast<u16>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + entries[i]);
  }
  return sum;
}

u16 ExfatNameHash(const ExfatFs& v, std::u16string_view name) {
  u16 hash = 0;
  for (const char16_t c : name) {
    const char16_t up = v.upcase[c];
    for (const u8 byte : {static_cast<u8>(up), static_cast<u8>(up >> 8)})
      hash = static_cast<u16>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
  }
  return hash;
}

u32 ExfatBootChecksum(const u8* region, std::size_t sectorBytes) {
  u32 sum = 0;
  for (std::size_t i = 0; i < sectorBytes * 11; ++i) {
    // The volume flags and the share in use change without the checksum.
    if (i == exfat::BOOT_FLAGS || i == exfat::BOOT_FLAGS + 1 || i == exfat::BOOT_PERCENT) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}
