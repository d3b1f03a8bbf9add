// The buffer list file: reading it strictly, writing it, record order and path checks.
#include "jobs/puffer/puffer_list.h"

#include "lib/text/enc.h"
#include "lib/text/fmt.h"

#include <cstring>
#include <limits>

namespace {

struct Token {
  std::string_view text;
  bool quoted = false;
  bool closed = false;
};

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// One token of a line: after blanks and tabs, either a quoted token, where a backslash keeps the
// next character from closing it (and both stay), or a run up to a control character, a blank,
// "," or ";".
Token ReadToken(std::string_view line, std::size_t& pos) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  Token t;
  if (pos < line.size() && line[pos] == '"') {
    t.quoted = true;
    const std::size_t start = pos + 1;
    std::size_t i = start;
    while (i < line.size() && line[i] != '"') i += (line[i] == '\\' && i + 1 < line.size()) ? 2 : 1;
    t.closed = i < line.size();
    t.text = line.substr(start, std::min(i, line.size()) - start);
    pos = t.closed ? i + 1 : line.size();
    return t;
  }
  const std::size_t start = pos;
  while (pos < line.size()) {
    const unsigned char c = static_cast<unsigned char>(line[pos]);
    if (IsControl(c) || c == ' ' || c == ',' || c == ';') break;
    ++pos;
  }
  t.text = line.substr(start, pos - start);
  return t;
}

bool OnlyBlanks(std::string_view rest) {
  for (const char c : rest)
    if (c != ' ' && c != '\t') return false;
  return true;
}

}  // namespace

bool PufferParseNumber(std::string_view t, u64& value) {
  unsigned base = 10;
  if (t.size() >= 2 && t[0] == '0') {
    switch (t[1] | 0x20) {
      case 'x': base = 16; break;
      case 'd': base = 10; break;
      case 'o': base = 8; break;
      case 'b': base = 2; break;
      default: break;
    }
    if (base != 10 || (t[1] | 0x20) == 'd') t.remove_prefix(2);
  }
  if (t.empty()) return false;
  u64 v = 0;
  for (const char c : t) {
    const int d = EncHexDigit(c);
    if (d < 0 || static_cast<unsigned>(d) >= base) return false;
    if (v > (std::numeric_limits<u64>::max() - static_cast<u64>(d)) / base) return false;
    v = v * base + static_cast<u64>(d);
  }
  value = v;
  return true;
}

namespace {

bool NumberToken(std::string_view line, std::size_t& pos, u64& value) {
  const Token t = ReadToken(line, pos);
  return !t.quoted && PufferParseNumber(t.text, value);
}

// Reads the fields of a record line after its number; a German reason when it does not read.
const char* ReadRecord(std::string_view line, std::size_t pos, PufferRecord& rec, std::string& path) {
  u64 size = 0, time = 0, sum = 0;
  if (!NumberToken(line, pos, size) || !NumberToken(line, pos, time) || !NumberToken(line, pos, sum))
    return "Größe, Zeit oder Prüfsumme fehlt oder ist keine Zahl";
  if (time > static_cast<u64>(std::numeric_limits<i64>::max())) return "ungültige Zeit";
  if (sum == 0 || sum > 0xFFFFFFFFu) return "ungültige Prüfsumme";
  const Token p = ReadToken(line, pos);
  if (!p.quoted) return "der Pfad steht nicht in Anführungszeichen";
  if (!p.closed) return "der Pfad endet nicht mit einem Anführungszeichen";
  if (!OnlyBlanks(line.substr(pos))) return "Text nach dem Pfad";
  const char* reason = nullptr;
  if (!PufferPathFromList(p.text, path, &reason)) return reason;
  rec.size = size;
  rec.time = static_cast<SysUtc>(time);
  rec.checksum = static_cast<u32>(sum);
  return nullptr;
}

void AppendHex(std::string& out, u64 value) {
  char buf[24];
  FmtSnprintfA(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(value));
  out += buf;
}

}  // namespace

PufferRecord PufferGetRecord(const CTextList& list, int i) {
  PufferRecord r;
  if (const BYTE* item = list.Item(i)) std::memcpy(&r, item, sizeof r);
  return r;
}

void PufferSetRecord(CTextList& list, int i, const PufferRecord& record) {
  if (BYTE* item = list.Item(i)) std::memcpy(item, &record, sizeof record);
}

int PufferAddRecord(CTextList& list, std::string_view path, const PufferRecord& record) {
  return list.InsertBytes(static_cast<int>(path.size()), path.data(), -1, &record);
}

bool PufferNameHoldable(std::string_view relativePath) {
  if (relativePath.empty() || !EncIsValidUtf8(relativePath)) return false;
  for (const char c : relativePath) {
    if (IsControl(static_cast<unsigned char>(c)) || c == '"' || c == '\\') return false;
  }
  return true;
}

bool PufferPathFromList(std::string_view path, std::string& listForm, const char** reason) {
  auto fail = [reason](const char* why) {
    if (reason) *reason = why;
    return false;
  };
  listForm.clear();
  if (path.empty()) return fail("leerer Pfad");
  if (!EncIsValidUtf8(path)) return fail("der Pfad ist kein gültiges UTF-8");
  if (path[0] == '/' || path[0] == '\\') return fail("absoluter Pfad");
  if (path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z'))
    return fail("Pfad mit Laufwerksbuchstaben");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty()) return fail("leerer Pfadteil");
    if (part == "." || part == "..") return fail("Pfadteil \".\" oder \"..\"");
    for (const char c : part) {
      if (IsControl(static_cast<unsigned char>(c))) return fail("Steuerzeichen im Pfad");
      if (c == '"') return fail("Anführungszeichen im Pfad");
    }
    if (!listForm.empty()) listForm += '\\';
    listForm.append(part);
    start = end + 1;
  }
  return true;
}

int PufferParseList(std::string_view text, PufferListFile& out, PufferProgressFn callback, void* context) {
  std::string converted;
  if (!EncIsValidUtf8(text)) {
    converted = EncCp1252ToUtf8(text);
    text = converted;
  }
  std::size_t pos = 0;
  u64 lineNo = 0;
  bool endLast = false;
  std::string token;
  while (pos < text.size()) {
    const std::size_t eol = text.find('\n', pos);
    const bool terminated = eol != std::string_view::npos;
    std::string_view line = text.substr(pos, (terminated ? eol : text.size()) - pos);
    pos = terminated ? eol + 1 : text.size();
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::size_t p = 0;
    const Token first = ReadToken(line, p);
    if (first.text.empty() && OnlyBlanks(line)) continue;
    if (endLast) out.headerDamaged = true;  // END stands last or the list is not whole
    endLast = false;
    if (callback) {
      token.assign(first.text);
      if (callback(context, PUFFER_POLL, token.c_str()) != 0) return PUFFER_STOPPED;
    }
    const std::string_view t = first.text;
    if (t == "PLUS") {
      out.plus.assign(ReadToken(line, p).text);
    } else if (t == "MINUS") {
      out.minus.assign(ReadToken(line, p).text);
    } else if (t == "SIZE") {
      const std::string_view rest = line.substr(p);
      std::size_t q = 0;
      u64 room = 0;
      if (NumberToken(rest, q, room) && OnlyBlanks(rest.substr(q))) {
        out.room = room ? room : kPufferDefaultRoom;
      } else {
        out.room = kPufferDefaultRoom;
        out.headerDamaged = true;
      }
    } else if (t.size() == 5 && t.substr(0, 4) == "HOST" && t[4] >= '0' && t[4] <= '9') {
      out.hosts[static_cast<std::size_t>(t[4] - '0')].assign(ReadToken(line, p).text);
    } else if (t.size() == 1 && t[0] >= '0' && t[0] <= '9' && !first.quoted) {
      ++out.recordLines;
      PufferRecord rec;
      rec.number = static_cast<u32>(t[0] - '0');
      std::string path;
      if (const char* reason = ReadRecord(line, p, rec, path)) {
        out.rejected.push_back(FmtString("Zeile %llu der Liste: %s", static_cast<unsigned long long>(lineNo), reason));
      } else {
        PufferAddRecord(out.records, path, rec);
      }
    } else if (t == "END" && !first.quoted) {
      std::size_t q = p;
      u64 count = 0;
      if (terminated && NumberToken(line, q, count) && OnlyBlanks(line.substr(q))) {
        out.endCount = count;
        endLast = true;
      } else {
        out.headerDamaged = true;
      }
    }
  }
  out.hasEnd = endLast;
  return 0;
}

std::string PufferFormatList(const PufferListFile& list, bool withEnd) {
  std::string out;
  out.reserve(256 + static_cast<std::size_t>(list.records.Count()) * 64);
  out += "PLUS  \"";
  out += list.plus;
  out += "\"\nMINUS \"";
  out += list.minus;
  out += "\"\n";
  for (int d = 0; d < kPufferSlots; ++d) {
    const std::string& host = list.hosts[static_cast<std::size_t>(d)];
    if (host.empty()) continue;
    out += "HOST";
    out += static_cast<char>('0' + d);
    out += " \"";
    out += host;
    out += "\"\n";
  }
  char buf[48];
  FmtSnprintfA(buf, sizeof buf, "SIZE  %llu\n", static_cast<unsigned long long>(list.room));
  out += buf;
  for (int i = 0; i < list.records.Count(); ++i) {
    const PufferRecord r = PufferGetRecord(list.records, i);
    FmtSnprintfA(buf, sizeof buf, "%u\t", r.number);
    out += buf;
    AppendHex(out, r.size);
    out += ' ';
    AppendHex(out, r.time > 0 ? static_cast<u64>(r.time) : 0);
    out += ' ';
    AppendHex(out, r.checksum);
    out += "\t\"";
    out.append(list.records.Text(i), static_cast<std::size_t>(list.records.TextLength(i)));
    out += "\"\n";
  }
  if (withEnd) {
    FmtSnprintfA(buf, sizeof buf, "END %d\n", list.records.Count());
    out += buf;
  }
  return EncToWindowsText(out);
}

int PufferList::CompareEntries(const CTextList& list, int i, int j) {
  const int la = list.TextLength(i), lb = list.TextLength(j);
  const int c = std::memcmp(list.Text(i), list.Text(j), static_cast<std::size_t>(std::min(la, lb)));
  if (c != 0) return c < 0 ? -1 : 1;
  if (la != lb) return la < lb ? -1 : 1;
  return static_cast<int>(PufferGetRecord(list, i).number) - static_cast<int>(PufferGetRecord(list, j).number);
}

std::string PufferReport::Text(int maxLines) const {
  std::string out;
  int shown = 0;
  for (const std::string& line : lines) {
    if (shown == maxLines) break;
    if (!out.empty()) out += '\n';
    out += line;
    ++shown;
  }
  const int rest = static_cast<int>(lines.size()) - shown + linesDropped;
  if (rest > 0) {
    if (!out.empty()) out += '\n';
    out += FmtString("… und %d weitere Meldungen", rest);
  }
  return out;
}
