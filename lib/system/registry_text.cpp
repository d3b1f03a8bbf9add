// The .reg text syntax: parsing key blocks and value lines, and writing them as regedit does.
#include "lib/system/regstore.h"

#include "lib/text/enc.h"
#include "lib/text/fmt.h"

#include <cstring>

const char kRegHeader5[] = "Windows Registry Editor Version 5.00";
const char kRegHeader4[] = "REGEDIT4";

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}
std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && RegNameEqual(s.substr(0, prefix.size()), prefix);
}

// Reads a quoted text at s (which starts with '"'), resolving \\ and \"; s moves past the
// closing quote. A backslash before any other character stays as it stands.
bool ReadQuoted(std::string_view& s, std::string& out) {
  out.clear();
  std::size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out.push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return false;
}

// "01,ab, 2f" -> bytes; a trailing comma is allowed.
bool ParseHexBytes(std::string_view s, std::vector<BYTE>& out) {
  out.clear();
  s = TrimLeft(TrimRight(s));
  if (s.empty()) return true;
  for (;;) {
    s = TrimLeft(s);
    int value = 0;
    int digits = 0;
    while (!s.empty() && HexDigit(s.front()) >= 0 && digits < 3) {
      value = value * 16 + HexDigit(s.front());
      ++digits;
      s.remove_prefix(1);
    }
    if (digits == 0 || digits > 2) return false;
    out.push_back(static_cast<BYTE>(value));
    s = TrimLeft(s);
    if (s.empty()) return true;
    if (s.front() != ',') return false;
    s.remove_prefix(1);
    if (TrimLeft(s).empty()) return true;
  }
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> BytesOf(std::string_view s) { return std::vector<BYTE>(s.begin(), s.end()); }

std::string Escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void AppendHex(std::string& out, std::string line, const std::vector<BYTE>& bytes, const char* eol) {
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    line.push_back(digits[bytes[i] >> 4]);
    line.push_back(digits[bytes[i] & 15]);
    if (i + 1 < bytes.size()) {
      line.push_back(',');
      // regedit keeps lines below 80 columns, continuing with "\" and two blanks
      if (line.size() >= 76) {
        out += line;
        out += "\\";
        out += eol;
        line = "  ";
      }
    }
  }
  out += line;
  out += eol;
}

}  // namespace

std::string RegUtf16ToUtf8(const BYTE* bytes, std::size_t count) {
  std::string out;
  out.reserve(count / 2);
  const std::size_t units = count / 2;
  char buf[8];
  for (std::size_t i = 0; i < units; ++i) {
    u32 cp = bytes[2 * i] | (u32{bytes[2 * i + 1]} << 8);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units) {
      const u32 low = bytes[2 * i + 2] | (u32{bytes[2 * i + 3]} << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
    if (cp == 0) {
      out.push_back('\0');
      continue;
    }
    const int n = EncUtf8Encode(buf, cp);
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::vector<BYTE> RegUtf8ToUtf16(std::string_view text) {
  const std::string s(text);  // terminated, so that a cut sequence at the end reads as malformed
  std::vector<BYTE> out;
  out.reserve(s.size() * 2);
  std::size_t i = 0;
  while (i < s.size()) {
    u32 cp = 0;
    int n = 1;
    if (s[i] == '\0')
      cp = 0;
    else
      n = EncUtf8Decode(s.data() + i, &cp);
    if (n < 1) n = 1;
    i += static_cast<std::size_t>(n);
    auto unit = [&out](u32 u) {
      out.push_back(static_cast<BYTE>(u & 0xFF));
      out.push_back(static_cast<BYTE>(u >> 8));
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

bool RegParseText(std::string_view text, RegParsedFile& out, RegParseError& error) {
  out = RegParsedFile{};
  error = RegParseError{};
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  // Physical lines, CR LF or LF.
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    lines.push_back(TrimRight(text.substr(0, nl)));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }

  auto fail = [&error](int line, const char* reason) {
    error.line = line;
    error.reason = reason;
    return false;
  };

  bool header = false;
  bool skipValues = false;  // values under a "[-...]" key are ignored, as regedit does
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int lineNo = static_cast<int>(i) + 1;
    std::string_view t = TrimLeft(lines[i]);
    if (!header) {
      if (t.empty()) continue;
      if (t == kRegHeader5) {
        out.version5 = true;
      } else if (t == kRegHeader4) {
        out.version5 = false;
      } else {
        return fail(lineNo, "Kopfzeile fehlt oder ist unbekannt");
      }
      header = true;
      continue;
    }
    if (t.empty() || t.front() == ';') continue;

    if (t.front() == '[') {
      const auto close = t.rfind(']');
      if (close == std::string_view::npos || !TrimLeft(t.substr(close + 1)).empty())
        return fail(lineNo, "Schlüsselzeile ohne schließende Klammer");
      std::string_view path = t.substr(1, close - 1);
      RegParsedKey key;
      key.line = lineNo;
      if (!path.empty() && path.front() == '-') {
        key.remove = true;
        path.remove_prefix(1);
      }
      const std::string pathText(path);
      int rest = 0;
      if (RegRootFromName(pathText.c_str(), &rest) == 0) return fail(lineNo, "unbekannter Stammschlüssel");
      if (path.back() == '\\' || path.find("\\\\") != std::string_view::npos)
        return fail(lineNo, "ungültiger Schlüsselname");
      key.path = pathText;
      skipValues = key.remove;
      out.keys.push_back(std::move(key));
      continue;
    }

    if (t.front() != '@' && t.front() != '"') return fail(lineNo, "ungültige Zeile");
    if (out.keys.empty()) return fail(lineNo, "Wert ohne Schlüssel");
    RegParsedValue value;
    value.line = lineNo;
    if (t.front() == '@') {
      t.remove_prefix(1);
    } else if (!ReadQuoted(t, value.name)) {
      return fail(lineNo, "ungültiger Wertname");
    }
    t = TrimLeft(t);
    if (t.empty() || t.front() != '=') return fail(lineNo, "Gleichheitszeichen fehlt");
    t = TrimLeft(t.substr(1));

    if (t == "-") {
      value.remove = true;
    } else if (!t.empty() && t.front() == '"') {
      std::string s;
      if (!ReadQuoted(t, s) || !TrimLeft(t).empty()) return fail(lineNo, "ungültige Zeichenkette");
      value.type = REG_SZ;
      value.data = BytesOf(s);
      value.data.push_back(0);
    } else if (StartsWithNoCase(t, "dword:")) {
      t.remove_prefix(6);
      if (t.empty() || t.size() > 8) return fail(lineNo, "ungültiger DWORD-Wert");
      u32 v = 0;
      for (const char c : t) {
        const int d = HexDigit(c);
        if (d < 0) return fail(lineNo, "ungültiger DWORD-Wert");
        v = v * 16 + static_cast<u32>(d);
      }
      value.type = REG_DWORD;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<BYTE>(v >> (8 * b)));
    } else if (StartsWithNoCase(t, "hex")) {
      t.remove_prefix(3);
      DWORD type = REG_BINARY;
      if (!t.empty() && t.front() == '(') {
        const auto close = t.find(')');
        if (close == std::string_view::npos || close < 2 || close > 9) return fail(lineNo, "ungültiger Datentyp");
        type = 0;
        for (const char c : t.substr(1, close - 1)) {
          const int d = HexDigit(c);
          if (d < 0) return fail(lineNo, "ungültiger Datentyp");
          type = type * 16 + static_cast<DWORD>(d);
        }
        t.remove_prefix(close + 1);
      }
      if (t.empty() || t.front() != ':') return fail(lineNo, "ungültiger Datentyp");
      t.remove_prefix(1);
      // Hex data continues on the next lines while a line ends in "\".
      std::string joined;
      std::string_view part = t;
      while (!part.empty() && part.back() == '\\') {
        joined.append(part.substr(0, part.size() - 1));
        if (++i >= lines.size()) return fail(lineNo, "Hex-Daten brechen am Dateiende ab");
        part = TrimLeft(lines[i]);
      }
      joined.append(part);
      std::vector<BYTE> bytes;
      if (!ParseHexBytes(joined, bytes)) return fail(lineNo, "ungültige Hex-Daten");
      value.type = type;
      if (IsStringType(type)) {
        std::string s = out.version5 ? RegUtf16ToUtf8(bytes.data(), bytes.size())
                                     : EncToUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                                  bytes.size()));
        if (type != REG_MULTI_SZ && (s.empty() || s.back() != '\0')) s.push_back('\0');
        value.data = BytesOf(s);
      } else {
        value.data = std::move(bytes);
      }
    } else {
      return fail(lineNo, "unbekannter Datentyp");
    }
    if (!skipValues) out.keys.back().values.push_back(std::move(value));
  }
  if (!header) return fail(1, "Kopfzeile fehlt oder ist unbekannt");
  return true;
}

void RegFormatKeyBlock(std::string& out, const RegKey& key, const std::string& fullPath, const RegFormat& format) {
  const char* eol = format.eol;
  out += "[";
  out += fullPath;
  out += "]";
  out += eol;
  for (const auto& v : key.Values()) {
    std::string line = v.name.empty() ? std::string("@=") : "\"" + Escape(v.name) + "\"=";
    const std::string_view data(reinterpret_cast<const char*>(v.data.data()), v.data.size());
    if (v.type == REG_SZ) {
      std::string_view s = data;
      if (!s.empty() && s.back() == '\0') s.remove_suffix(1);
      // A text with a line break or a NUL cannot stand in quotes; hex(1) keeps it whole.
      if (s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos && EncIsValidUtf8(s)) {
        out += line + "\"" + Escape(s) + "\"" + eol;
        continue;
      }
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
      const u32 d = v.data[0] | (u32{v.data[1]} << 8) | (u32{v.data[2]} << 16) | (u32{v.data[3]} << 24);
      out += line + FmtString("dword:%08x", d) + eol;
      continue;
    }
    line += v.type == REG_BINARY ? std::string("hex:") : FmtString("hex(%x):", v.type);
    if (IsStringType(v.type)) {
      std::vector<BYTE> bytes;
      if (format.version5)
        bytes = RegUtf8ToUtf16(data);
      else
        bytes = format.narrow ? BytesOf(format.narrow(data)) : v.data;
      AppendHex(out, std::move(line), bytes, eol);
    } else {
      AppendHex(out, std::move(line), v.data, eol);
    }
  }
  out += eol;
}

void RegFormatKey(std::string& out, const RegKey& key, const std::string& fullPath, const RegFormat& format) {
  RegFormatKeyBlock(out, key, fullPath, format);
  for (const auto& [name, sub] : key.subkeys) RegFormatKey(out, *sub, fullPath + "\\" + name, format);
}
