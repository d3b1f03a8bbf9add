// A version number read out of a text file by three wildcard tokens.
#include "jobs/tags/version_text.h"
#include "lib/system/sys_fdio.h"

#include "lib/system/sys_ospath.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int kTokenChars = 128;
constexpr int kLineChars = 1023;
constexpr u32 kWordClass = 31;        // digits and letters
constexpr u32 kIndentClass = 0xA0;    // blanks and tabs

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

enum class Filter { None, LineStart, Anywhere };

struct Tokens {
  char t[3][kTokenChars + 1] = {};
  Filter filter = Filter::None;
  std::string word;
};

void ParseTokens(const char* text, Tokens* out) {
  const char* p = text ? text : "";
  for (auto& token : out->t) {
    p += StrSpanClassA(p, kIndentClass);
    if (!*p) break;
    const int used = StrReadTokenA(token, p, sizeof token, '\\', '"', kTokenChars);
    if (used <= 0) break;
    p += used;
  }
  if (!out->t[2][0]) std::strcpy(out->t[2], "*");

  const char* first = out->t[0];
  if (first[0] == '\\' && first[1] == '.') {
    out->filter = Filter::LineStart;
    out->word.assign(first + 2, static_cast<std::size_t>(StrSpanClassA(first + 2, kWordClass)));
  } else if (first[0] == '*') {
    out->filter = Filter::Anywhere;
    out->word.assign(first + 1, static_cast<std::size_t>(StrSpanClassA(first + 1, kWordClass)));
  }
}

bool Considered(const Tokens& tokens, const char* line) {
  switch (tokens.filter) {
    case Filter::LineStart: return StrStartsWithNoCase(line + StrSpanClassA(line, kIndentClass), tokens.word);
    case Filter::Anywhere: return tokens.word.empty() || StrFindNoCaseA(line, tokens.word.c_str()) >= 0;
    case Filter::None: break;
  }
  return true;
}

// Length of the leading part of text[0, length) that the pattern matches, -1 when none does.
int LeadingMatch(const char* pattern, const char* text, int length) {
  const int n = StrMatchPathPatternA(pattern, -1, text, length, STR_MATCH_NOCASE | STR_MATCH_LEADING);
  return n >= 0 && n <= length ? n : -1;
}

// Reads one line of at most kLineChars characters into line (without its line break) and skips
// the rest of a longer one. False at the end of the file.
bool ReadLine(std::FILE* f, char (&line)[kLineChars + 1]) {
  int n = 0, c;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n < kLineChars) line[n++] = static_cast<char>(c);
  }
  if (n > 0 && line[n - 1] == '\r') --n;
  line[n] = '\0';
  return any;
}

}  // namespace

bool ReadVersionTextFull(const char* filePath, const char* tokenText, std::string* version) {
  version->clear();
  if (!filePath || !*filePath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const SysOsPath osPath(filePath);  // "\" separators; drive and UNC forms are refused
  if (!osPath.ok()) return false;
  const int fd = SysOpenRegular(osPath.c_str());
  std::unique_ptr<std::FILE, FileCloser> file(fd < 0 ? nullptr : ::fdopen(fd, "rb"));
  if (!file) {
    SetLastErrorFromErrno(osPath.c_str());
    if (fd >= 0) ::close(fd);
    return false;
  }
  Tokens tokens;
  ParseTokens(tokenText, &tokens);

  char line[kLineChars + 1];
  while (ReadLine(file.get(), line)) {
    if (!Considered(tokens, line)) continue;
    const int length = static_cast<int>(std::strlen(line));  // a NUL byte ends the line's text
    const int first = LeadingMatch(tokens.t[0], line, length);
    if (first <= 0) continue;
    const int second = LeadingMatch(tokens.t[1], line + first, length - first);
    if (second <= 0) continue;
    if (LeadingMatch(tokens.t[2], line + first + second, length - first - second) < 0) continue;
    version->assign(line + first, static_cast<std::size_t>(second));
    return true;
  }
  SetLastError(std::ferror(file.get()) ? ERROR_READ_FAULT : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return false;
}

int ReadVersionText(const char* filePath, const char* tokenText, char* buffer, int bufferSize) {
  if (!buffer || bufferSize <= 0) return -1;
  buffer[0] = '\0';
  std::string version;
  if (!ReadVersionTextFull(filePath, tokenText, &version)) return -1;
  return StrCopyA(buffer, version.c_str(), bufferSize);
}
