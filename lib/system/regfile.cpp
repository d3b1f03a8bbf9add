// CRegFile: .reg files in their encodings, written by the durable replace; import all or nothing.
#include "lib/system/regfile.h"

#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_replace.h"
#include "lib/system/vars.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

enum class TextEncoding { Utf16Le, Utf8Bom, Utf8, Cp1252 };

bool ReadFileBytes(const char* path, std::string& out) {
  if (const int err = SysReadWholeFile(path, out)) {
    SetLastErrorFromErrno(err, path);
    return false;
  }
  return true;
}

// The file's text as UTF-8 and the encoding it came in.
std::string Decode(const std::string& bytes, TextEncoding& encoding) {
  if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
    encoding = TextEncoding::Utf16Le;
    return RegUtf16ToUtf8(reinterpret_cast<const BYTE*>(bytes.data()) + 2, bytes.size() - 2);
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    encoding = TextEncoding::Utf8Bom;
    return EncToUtf8(std::string_view(bytes).substr(3));
  }
  if (EncIsValidUtf8(bytes)) {
    encoding = TextEncoding::Utf8;
    return bytes;
  }
  encoding = TextEncoding::Cp1252;
  return EncCp1252ToUtf8(bytes);
}

// UTF-8 to Windows-1252; what the code page lacks becomes "?", as Windows does.
std::string Utf8ToCp1252(std::string_view text) {
  static const u16 kHigh[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  const std::string s(text);
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    u32 cp = 0;
    int n = 1;
    if (s[i] != '\0') n = EncUtf8Decode(s.data() + i, &cp);
    if (n < 1) n = 1;
    i += static_cast<std::size_t>(n);
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    char c = '?';
    for (int k = 0; k < 32; ++k)
      if (kHigh[k] == cp) c = static_cast<char>(0x80 + k);
    out.push_back(c);
  }
  return out;
}

std::string Encode(const std::string& utf8, TextEncoding encoding, bool withMark) {
  switch (encoding) {
    case TextEncoding::Utf16Le: {
      const auto units = RegUtf8ToUtf16(utf8);
      std::string out = withMark ? std::string("\xFF\xFE") : std::string();
      out.append(reinterpret_cast<const char*>(units.data()), units.size());
      return out;
    }
    case TextEncoding::Utf8Bom: return withMark ? "\xEF\xBB\xBF" + utf8 : utf8;
    case TextEncoding::Utf8: return utf8;
    case TextEncoding::Cp1252: return Utf8ToCp1252(utf8);
  }
  return utf8;
}

// Finds the key below the hive root and its path with the names as stored.
const RegKey* FindWithStoredNames(const RegKey& root, std::string_view path, std::string& storedPath) {
  const RegKey* key = &root;
  storedPath.clear();
  while (key) {
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    if (path.empty()) return key;
    const auto sep = path.find('\\');
    const std::string name(path.substr(0, sep));
    path = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
    const auto it = key->subkeys.find(name);
    if (it == key->subkeys.end()) return nullptr;
    storedPath += "\\" + it->first;
    key = it->second.get();
  }
  return nullptr;
}

// String data with $(NAME) expanded, item by item for REG_MULTI_SZ.
std::vector<BYTE> ExpandStrings(const std::vector<BYTE>& data, DWORD type, std::optional<i64> now) {
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return data;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto nul = text.find('\0', i);
    const std::string_view item = text.substr(i, nul == std::string_view::npos ? std::string_view::npos : nul - i);
    out += VarExpandString(item, now);
    if (nul == std::string_view::npos) break;
    out.push_back('\0');
    i = nul + 1;
  }
  return std::vector<BYTE>(out.begin(), out.end());
}

}  // namespace

bool CRegFile::Fail(int line, const std::string& text) {
  m_line = line;
  m_error = text;
  return false;
}

bool CRegFile::Export(const char* target, const char* keyPath, int append) {
  m_error.clear();
  m_line = 0;
  if (!target || !*target || !keyPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Fail(0, "Ungültiger Aufruf des Registry-Exports");
  }
  int rest = 0;
  const HKEY root = RegRootFromName(keyPath, &rest);
  RegHive hive;
  if (!root || !RegHiveOfRoot(root, &hive)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return Fail(0, FmtString("Registry Schlüssel wird nicht unterstützt: %s", keyPath));
  }

  std::string entries;
  bool found = false;
  RegFormat format;
  TextEncoding encoding = TextEncoding::Utf16Le;
  std::string old;
  bool appending = false;
  if (append) {
    struct stat st{};
    if (::stat(target, &st) == 0 && st.st_size > 0) {
      if (!ReadFileBytes(target, old))
        return Fail(0, FmtString("Datei kann nicht gelesen werden: %s", target));
      const std::string text = Decode(old, encoding);
      RegParsedFile parsed;
      RegParseError error;
      // Only the header decides the format; the rest of the old file is kept as it stands.
      const auto headStart = std::min(text.size(), text.find_first_not_of(" \t\r\n"));
      const auto headEnd = text.find('\n', headStart);
      const std::string head = text.substr(headStart, headEnd == std::string::npos ? std::string::npos : headEnd - headStart);
      if (!RegParseText(head, parsed, error)) {
        SetLastError(ERROR_INVALID_DATA);
        return Fail(0, FmtString("Die Datei ist keine Registry-Datei: %s", target));
      }
      format.version5 = parsed.version5;
      format.eol = text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos ? "\r\n" : "\n";
      if (encoding == TextEncoding::Cp1252) format.narrow = &Utf8ToCp1252;
      appending = true;
      // Separate the new entries from the old by one empty line.
      const std::string eol = format.eol;
      std::string sep;
      if (text.size() < eol.size() || text.compare(text.size() - eol.size(), eol.size(), eol) != 0) sep = eol;
      if (text.size() < 2 * eol.size() || text.compare(text.size() - 2 * eol.size(), 2 * eol.size(), eol + eol) != 0)
        sep += eol;
      entries = sep;
    }
  }

  if (!RegStoreRead(hive, [&](const RegKey& tree) {
        std::string stored;
        const RegKey* key = FindWithStoredNames(tree, keyPath + rest, stored);
        if (!key) return;
        found = true;
        RegFormatKey(entries, *key, RegRootName(root) + stored, format);
      }))
    return Fail(0, FmtString("Registry kann nicht gelesen werden: %s", keyPath));
  if (!found) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return Fail(0, FmtString("Registry Schlüssel nicht gefunden: %s", keyPath));
  }

  std::string data;
  if (appending) {
    data = old + Encode(entries, encoding, false);
  } else {
    std::string text = kRegHeader5;
    text += "\r\n\r\n";
    text += entries;
    data = Encode(text, TextEncoding::Utf16Le, true);
  }
  if (SysReplaceFile(target, data, true) != 0)
    return Fail(0, FmtString("Datei kann nicht geschrieben werden: %s", target));
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool CRegFile::Import(const char* file) {
  m_error.clear();
  m_line = 0;
  if (!file || !*file) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Fail(0, "Ungültiger Aufruf des Registry-Imports");
  }
  std::string bytes;
  if (!ReadFileBytes(file, bytes)) return Fail(0, FmtString("Datei kann nicht gelesen werden: %s", file));
  TextEncoding encoding;
  const std::string text = Decode(bytes, encoding);
  RegParsedFile parsed;
  RegParseError error;
  if (!RegParseText(text, parsed, error)) {
    SetLastError(ERROR_INVALID_DATA);
    return Fail(error.line, FmtString("Fehler in Zeile %d der Datei %s: %s", error.line, file, error.reason.c_str()));
  }

  // Check every key before anything is written.
  struct Step {
    RegHive hive;
    const RegParsedKey* key;
    std::string path;  // below the root
  };
  std::vector<Step> steps;
  bool touches[2] = {false, false};
  for (const auto& key : parsed.keys) {
    int rest = 0;
    const HKEY root = RegRootFromName(key.path.c_str(), &rest);
    RegHive hive;
    if (!RegHiveOfRoot(root, &hive)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return Fail(key.line, FmtString("Zeile %d der Datei %s: Stammschlüssel wird nicht unterstützt: %s", key.line,
                                      file, RegRootName(root)));
    }
    if (key.remove && key.path.size() <= static_cast<std::size_t>(rest)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return Fail(key.line, FmtString("Zeile %d der Datei %s: ein Stammschlüssel kann nicht gelöscht werden",
                                      key.line, file));
    }
    if (!RegStoreWritable(hive)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return Fail(key.line, FmtString("Zeile %d der Datei %s: keine Berechtigung zum Schreiben in %s", key.line,
                                      file, RegRootName(root)));
    }
    touches[hive == RegHive::User ? 0 : 1] = true;
    steps.push_back(Step{hive, &key, key.path.substr(static_cast<std::size_t>(rest))});
  }

  // Expand the texts before taking a hive's lock.
  std::vector<std::vector<std::vector<BYTE>>> expanded(steps.size());
  for (std::size_t i = 0; i < steps.size(); ++i)
    for (const auto& v : steps[i].key->values) expanded[i].push_back(ExpandStrings(v.data, v.type, m_now));

  // The machine hive first: it is the one more likely to refuse.
  for (const RegHive hive : {RegHive::Machine, RegHive::User}) {
    if (!touches[hive == RegHive::User ? 0 : 1]) continue;
    const bool ok = RegStoreModify(hive, [&](RegKey& tree) {
      for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.hive != hive) continue;
        if (step.key->remove) {
          tree.Remove(step.path);
          continue;
        }
        RegKey& key = tree.Create(step.path);
        for (std::size_t j = 0; j < step.key->values.size(); ++j) {
          const RegParsedValue& v = step.key->values[j];
          if (v.remove)
            key.DeleteValue(v.name);
          else
            key.SetValue(v.name, v.type, expanded[i][j]);
        }
      }
      return true;
    });
    if (!ok)
      return Fail(0, FmtString("Registry kann nicht geschrieben werden: %s",
                               RegRootName(hive == RegHive::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE)));
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}
