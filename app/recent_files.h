// The list of recently opened job files, kept under the application's registry key.
#pragma once

#include <string>
#include <vector>

// Kept as "File1" ... "FileN" under "Recent File List" of the application's key, newest first.
class CRecentFileList {
 public:
  explicit CRecentFileList(int size = 9) : m_size(size > 0 ? size : 1) {}

  // Reads the list; a missing key gives an empty list.
  void Load();
  // Writes the list when it changed since Load; FALSE when the store could not be written.
  bool Save();
  // Puts a path first (as a full path), dropping an older entry of the same path.
  void Add(const std::string& path);
  const std::vector<std::string>& Files() const { return m_files; }
  int Size() const { return m_size; }

 private:
  int m_size;
  std::vector<std::string> m_files;
  bool m_changed = false;
};

inline constexpr char kRecentFileSection[] = "Recent File List";
