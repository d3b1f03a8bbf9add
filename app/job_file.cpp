// The .kpw job-file format: lenient line reader and the CR LF writer.
#include "app/job_file.h"

#include "lib/text/enc.h"
#include "lib/text/num.h"
#include "lib/text/str.h"

namespace {

// A number after a schedule key, read as job files written on Windows need it: a sign, the
// prefixes "0x", "0d", "0o", "0b", and whatever follows the digits ignored.
i64 ParseNumber(std::string_view text) {
  const std::string copy(text);
  return NumParseIntA(copy.c_str(), 0, 0);
}

// The first of the given characters (find_first_of looks each character up in the set, which
// is slow on the long files the reader gets).
template <typename... Chars>
std::size_t FindAny(std::string_view text, Chars... chars) {
  for (std::size_t i = 0; i < text.size(); ++i)
    if (((text[i] == chars) || ...)) return i;
  return std::string_view::npos;
}

// A switch line the job file defines: a mode's word, "/UNTER", "/ZEITPLAN=", "/LETZTE=" (from the
// "/" on).
bool IsSwitchLine(std::string_view from) {
  return JobModeFromSwitch(from) >= 0 || StrEqualsNoCase(from, "/UNTER") || StrStartsWithNoCase(from, "/ZEITPLAN=") ||
         StrStartsWithNoCase(from, "/LETZTE=");
}

// Kept whole, however long: a cut path would name another folder, and a save writes it back.
std::string CellValue(std::string_view value) { return std::string(value); }

// Calls line for each line of the text until it answers false. CR LF is one line end; a lone CR
// or LF is one of its own.
template <typename Fn>
void ForEachLine(std::string_view rest, Fn line) {
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  while (!rest.empty()) {
    const std::size_t end = FindAny(rest, '\r', '\n');
    if (end == std::string_view::npos) {
      line(rest);
      break;
    }
    if (!line(rest.substr(0, end))) break;
    std::size_t next = end + 1;
    if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n') ++next;
    rest.remove_prefix(next);
  }
}

class Reader {
 public:
  JobFileContent Run(std::string_view bytes) {
    const std::string text = EncToUtf8(bytes);
    ForEachLine(text, [this](std::string_view line) {
      Line(line);
      return true;
    });
    Finish();
    return std::move(m_out);
  }

  // Reads a line.
  void Line(std::string_view line) {
    const std::size_t k = FindAny(line, ':', '[', '/');
    if (k == std::string_view::npos) return;
    const std::string_view from = line.substr(k);
    switch (line[k]) {
      case '[':
        if (StrEqualsNoCase(from, "[EINTRAG]")) {
          Finish();
          m_row = JobFileRow{};
        }
        break;
      case '/':
        Switch(from);
        break;
      case ':':
        if (k > 0 && from.size() > 1) Key(line[k - 1], from.substr(1));
        break;
    }
  }

 private:
  void Switch(std::string_view from) {
    const int mode = JobModeFromSwitch(from);
    if (mode >= 0) m_row.mode = mode;
    if (StrEqualsNoCase(from, "/UNTER")) m_row.subdirs = true;
    if (StrStartsWithNoCase(from, "/ZEITPLAN=")) {
      const std::string_view value = from.substr(10);
      const std::size_t comma = value.find(',');
      if (comma != std::string_view::npos) {
        m_interval = static_cast<i32>(ParseNumber(value.substr(comma + 1)));
      }
      m_out.schedule.word = static_cast<u32>(ParseNumber(value));
      m_out.schedule.interval = m_interval;
    }
    if (StrStartsWithNoCase(from, "/LETZTE=")) {
      m_out.schedule.lastRun = static_cast<u32>(ParseNumber(from.substr(8)));
    }
  }

  void Key(char key, std::string_view value) {
    switch (key) {
      case 'Q': case 'q': m_row.source = CellValue(value); break;
      case 'Z': case 'z': m_row.target = CellValue(value); break;
      case 'P': case 'p': m_row.plus = CellValue(value); break;
      case 'M': case 'm': m_row.minus = CellValue(value); break;
      case 'X': case 'x': m_row.extra = CellValue(value); break;
      default: break;
    }
  }

  void Finish() {
    if (m_row.source.empty()) return;
    if (m_row.target.empty() && !JobModeHas(m_row.mode, MODE_FILE_NO_TARGET)) return;
    m_out.rows.push_back(std::move(m_row));
    m_row = JobFileRow{};
  }

  JobFileContent m_out;
  JobFileRow m_row;
  i32 m_interval = 0;  // the pending interval count of "/ZEITPLAN=" lines without a comma
};

void AppendHex(std::string& out, u32 value) {
  char buf[16];
  NumFormatIntA(static_cast<i32>(value), buf, 1);
  out += buf;
}

void AppendCellLine(std::string& out, char key, const std::string& cell) {
  if (cell.empty()) return;
  out += '\t';
  out += key;
  out += ':';
  for (char c : cell) out += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
  out += "\r\n";
}

}  // namespace

JobFileContent JobFileParse(std::string_view bytes) { return Reader().Run(bytes); }

std::string JobFileNameWithExtension(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string out(path);
  if (!name.empty() && name.find('.') == std::string_view::npos) out += ".kpw";
  return out;
}

bool JobFileAccepted(std::string_view bytes) {
  if (bytes.find('\0') != std::string_view::npos) return false;
  // The grammar's words are ASCII: the bytes need no conversion to be looked at. A key line alone
  // proves nothing ("siehe Q:/daten" is a note): every job file has an entry or a switch line.
  bool known = bytes.empty();
  ForEachLine(bytes, [&](std::string_view line) {
    const std::size_t k = FindAny(line, ':', '[', '/');
    if (k != std::string_view::npos && line[k] == '[') known = StrEqualsNoCase(line.substr(k), "[EINTRAG]");
    if (k != std::string_view::npos && line[k] == '/') known = IsSwitchLine(line.substr(k));
    return !known;
  });
  return known;
}

std::string JobFileFormat(const std::vector<JobEntry>& entries, const JobSchedule& schedule) {
  std::string out;
  for (const JobEntry& e : entries) {
    out += "[EINTRAG]\r\n";
    AppendCellLine(out, 'Q', e.Cell(JOB_COL_SOURCE));
    AppendCellLine(out, 'Z', e.Cell(JOB_COL_TARGET));
    AppendCellLine(out, 'P', e.Cell(JOB_COL_PLUS));
    AppendCellLine(out, 'M', e.Cell(JOB_COL_MINUS));
    AppendCellLine(out, 'X', e.Cell(JOB_COL_EXTRA));
    if (JobSubdirsFromCell(e.Cell(JOB_COL_SUBDIRS))) out += "\t/UNTER\r\n";
    const int mode = JobModeFindName(e.Cell(JOB_COL_MODE));
    if (const char* word = JobModeSwitch(mode)) {
      out += '\t';
      out += word;
      out += "\r\n";
    }
  }
  out += "/ZEITPLAN=";
  AppendHex(out, schedule.word);
  out += ',';
  char buf[16];
  NumFormatIntA(schedule.interval, buf, 0);
  out += buf;
  out += "\r\n";
  if (schedule.lastRun != 0) {
    out += "/LETZTE=";
    AppendHex(out, schedule.lastRun);
    out += "\r\n";
  }
  return EncToWindowsText(out);
}

u64 JobFileRowsHash(const std::vector<JobFileRow>& rows) {
  // FNV-1a over each field with its length, so that no two row lists run together alike.
  u64 hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
  };
  auto field = [&mix](std::string_view text) {
    const u64 n = text.size();
    mix(std::string_view(reinterpret_cast<const char*>(&n), sizeof n));
    mix(text);
  };
  for (const JobFileRow& r : rows) {
    for (const std::string* cell : {&r.source, &r.target, &r.plus, &r.minus, &r.extra}) field(*cell);
    const char flags[2] = {static_cast<char>(r.subdirs ? 1 : 0), static_cast<char>(r.mode)};
    field(std::string_view(flags, 2));
  }
  return hash;
}

JobEntry JobFileRowToEntry(const JobFileRow& row) {
  JobEntry e;
  e.Cell(JOB_COL_SOURCE) = row.source;
  e.Cell(JOB_COL_TARGET) = row.target;
  e.Cell(JOB_COL_PLUS) = row.plus;
  e.Cell(JOB_COL_MINUS) = row.minus;
  e.Cell(JOB_COL_SUBDIRS) = JobSubdirsCell(row.subdirs);
  e.Cell(JOB_COL_MODE) = JobModeName(row.mode);
  e.Cell(JOB_COL_EXTRA) = row.extra;
  return e;
}
