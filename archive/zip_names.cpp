// Entry names: decoding the stored bytes to UTF-8 and the checks that keep unpacking inside its folder.
#include "archive/crc32.h"
#include "archive/zip_format.h"

#include <cctype>

using namespace zipfmt;

namespace {

// Code page 437, bytes 0x80-0xFF.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

bool ZipIsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int more;
    char32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { more = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { more = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { more = 3; cp = c & 0x07; }
    else return false;
    if (i + static_cast<std::size_t>(more) >= s.size()) return false;
    for (int k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

namespace {

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string ZipDecodeName(std::string_view raw, u16 flags, u8 host, std::string_view extra) {
  if (IsAscii(raw)) return std::string(raw);
  if ((flags & kFlagUtf8) && ZipIsUtf8(raw)) return std::string(raw);
  std::string fromField;
  bool haveField = false;
  ForEachExtra(extra, [&](u16 id, const u8* data, std::size_t size) {
    if (id != kExtraUnicodePath || size < 5 || data[0] != 1 || haveField) return;
    if (Get32(data + 1) != Crc32Update(0, raw.data(), raw.size())) return;
    std::string_view text(reinterpret_cast<const char*>(data + 5), size - 5);
    if (!ZipIsUtf8(text)) return;
    fromField.assign(text);
    haveField = true;
  });
  if (haveField) return fromField;
  // Unix names are bytes, whatever they hold (as unzip reads them). Earlier versions of this
  // program also set the flag on names that are not UTF-8: those are the file's bytes too.
  if (host == kHostUnix) return std::string(raw);
  std::string out;
  out.reserve(raw.size() * 2);
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c < 0x80 ? char32_t{c} : char32_t{kCp437High[c - 0x80]});
  }
  return out;
}

int ZipSafeRelativeName(std::string_view name, std::string& out) {
  out.clear();
  if (name.find('\0') != std::string_view::npos) return -1;
  std::string text(name);
  for (char& c : text)
    if (c == '\\') c = '/';
  if (!text.empty() && text[0] == '/') return -1;
  if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) return -1;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('/', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view part(text.data() + pos, end - pos);
    if (part == "..") return -1;
    if (!part.empty() && part != ".") {
      if (!out.empty()) out.push_back('/');
      out.append(part);
    }
    pos = end + 1;
  }
  return out.empty() ? 0 : 1;
}
