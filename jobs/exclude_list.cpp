// Excluded folders of a run: building the list from the cell, matching paths, the one-pattern cache.
#include "jobs/exclude_list.h"

#include "jobs/job_extra.h"
#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>

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
