// The excluded folders of a run: patterns from the extra cell, matched against listed paths.
#pragma once

#include <string>
#include <vector>

// A list of excluded-folder patterns with the pattern of the last match remembered. Used by one
// thread at a time (the worker thread of a run).
class CExcludeList {
 public:
  int Count() const { return static_cast<int>(m_patterns.size()); }
  const std::string& Pattern(int i) const { return m_patterns[static_cast<std::size_t>(i)]; }
  const std::vector<std::string>& Patterns() const { return m_patterns; }
  // The remembered pattern; empty when none.
  const std::string& Remembered() const { return m_remembered; }

 private:
  friend int ExcludeListBuild(CExcludeList& list, const char* text, int flags);
  friend int ExcludeListMatch(CExcludeList& list, const char* path, int length);
  friend int ExcludeListCacheMatch(CExcludeList& list, const char* path);
  std::vector<std::string> m_patterns;
  std::string m_remembered;
};

enum : int { EXCLUDE_TARGET_SIGN = 1 };

// Fills the list from the folder part of an extra cell (after the host restriction). With
// EXCLUDE_TARGET_SIGN a leading "*" alone or "*;" is consumed and the result is 1; else 0.
int ExcludeListBuild(CExcludeList& list, const char* text, int flags);
// 1 when a pattern names the folder path (relative, "/" or "\" separators; length -1 = to the
// NUL) or a folder above it, letter case ignored; the pattern is then remembered. 0 otherwise.
int ExcludeListMatch(CExcludeList& list, const char* path, int length);
// 1 when the remembered pattern, compared literally, names the path or a folder above it;
// otherwise 0 and the pattern is forgotten. Spares the wildcard test for the many entries of one
// excluded folder that follow each other.
int ExcludeListCacheMatch(CExcludeList& list, const char* path);
