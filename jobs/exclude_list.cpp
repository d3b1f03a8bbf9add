// Excluded folders of the extra cell: parsing the head, matching paths, the one-pattern cache.
#include "jobs/worker_support.h"

#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>

namespace {

// In the cell, text a user writes, "\\" separates like "/".
bool IsCellSep(char c) { return c == '/' || c == '\\'; }
bool IsBlankLike(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::size_t ExtraTargetSignSpan(std::string_view text) {
  if (text == "*") return 1;
  if (text.size() >= 2 && text[0] == '*' && text[1] == ';') return 2;
  return 0;
}

void ExtraExcludedFolders(std::string_view list, std::vector<std::string>& out) {
  std::size_t pos = 0;
  while (pos < list.size()) {
    if (IsCellSep(list[pos])) {
      ++pos;
      if (pos == list.size()) break;  // a separator at the very end ends the walk
    }
    std::size_t end = list.find(';', pos);
    if (end == std::string_view::npos) end = list.size();
    std::size_t itemEnd = end;
    while (itemEnd > pos && IsBlankLike(list[itemEnd - 1])) --itemEnd;
    if (itemEnd > pos) {
      std::string item(list.substr(pos, itemEnd - pos));
      for (char& c : item) {
        if (c == '\\') c = '/';
        else c = static_cast<char>(kpw::text::AsciiLower(static_cast<unsigned char>(c)));
      }
      out.push_back(std::move(item));
    }
    pos = end < list.size() ? end + 1 : end;
  }
}

JobExtraHead ExtraHeadParse(std::string_view cell) {
  JobExtraHead head;
  std::size_t pos = ExtraHostSpan(cell, &head.host);
  head.hostRestricted = pos > 0;
  const std::size_t sign = ExtraTargetSignSpan(cell.substr(pos));
  head.targetMustExist = sign > 0;
  pos += sign;
  head.restOffset = pos;
  ExtraExcludedFolders(cell.substr(pos), head.excludedFolders);
  return head;
}

int ExcludeListBuild(CExcludeList& list, const char* text, int flags) {
  list.m_patterns.clear();
  list.m_remembered.clear();
  if (!text) return 0;
  std::string_view rest(text);
  int result = 0;
  if (flags & EXCLUDE_TARGET_SIGN) {
    if (const std::size_t sign = ExtraTargetSignSpan(rest)) {
      rest.remove_prefix(sign);
      result = 1;
    }
  }
  ExtraExcludedFolders(rest, list.m_patterns);
  return result;
}

int ExcludeListMatch(CExcludeList& list, const char* path, int length) {
  if (!path) length = 0;
  else if (length < 0) length = static_cast<int>(std::strlen(path));
  else length = static_cast<int>(::strnlen(path, static_cast<std::size_t>(length)));
  // Paths come from listings: "\\" is a byte of a name there, never a separator.
  if (length > 0 && path[0] == '/') {
    ++path;
    --length;
  }
  if (length <= 0) {
    list.m_remembered.clear();
    return 0;
  }
  // The whole path is tested: cutting it to a buffer could make a deep path look like a match.
  const std::string copy(path, static_cast<std::size_t>(length));
  const int n = static_cast<int>(copy.size());
  for (const std::string& pattern : list.m_patterns) {
    const int matched = StrMatchPatternA(pattern.c_str(), static_cast<int>(pattern.size()), copy.c_str(), n,
                                         STR_MATCH_NOCASE | STR_MATCH_LEADING);
    if (matched <= n && (matched == n || copy[static_cast<std::size_t>(matched)] == '/')) {
      list.m_remembered = pattern;
      return 1;
    }
  }
  list.m_remembered.clear();
  return 0;
}

int ExcludeListCacheMatch(CExcludeList& list, const char* path) {
  if (list.m_remembered.empty()) return 0;
  if (!path) path = "";
  if (*path == '/') ++path;
  const std::string& pattern = list.m_remembered;
  std::size_t i = 0;
  for (; i < pattern.size(); ++i) {
    char c = path[i];
    if (c == '\0') break;
    c = static_cast<char>(kpw::text::AsciiLower(static_cast<unsigned char>(c)));
    if (c != pattern[i]) break;
  }
  if (i == pattern.size() && (path[i] == '\0' || path[i] == '/')) return 1;
  list.m_remembered.clear();
  return 0;
}
