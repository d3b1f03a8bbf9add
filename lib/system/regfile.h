// CRegFile: export of registry keys to .reg files and import of .reg files into the store.
//
// Reading takes "REGEDIT4" and "Windows Registry Editor Version 5.00" files in UTF-16LE (with its
// byte-order mark), UTF-8 (with or without mark) or Windows-1252. A new export is written as
// Windows writes it: UTF-16LE with mark, "Windows Registry Editor Version 5.00", CR LF.
#pragma once

#include "platform/win_types.h"

#include <optional>
#include <string>

class CRegFile {
 public:
  CRegFile() = default;
  ~CRegFile() = default;
  CRegFile(const CRegFile&) = delete;
  CRegFile& operator=(const CRegFile&) = delete;

  // Writes the key keyPath ("HKEY_CURRENT_USER\Software\Tavrin", root name in any letter case)
  // and everything below it to target. append != 0 adds the entries to an existing file in that
  // file's format, encoding and line ends, without a second header; a missing or empty file is
  // written anew. The file is replaced through a temporary file beside it and a rename.
  bool Export(const char* target, const char* keyPath, int append);
  // Imports a .reg file: keys and values, "[-key]" and "name"=- deletions. Texts of REG_SZ,
  // REG_EXPAND_SZ and REG_MULTI_SZ values pass through VarExpandString, so $(NAME) is replaced
  // and "$$" becomes "$". The whole file is checked first: a malformed line, a root the store
  // does not keep, or a machine key without the right to write it imports nothing.
  bool Import(const char* file);
  // The time (seconds since 1970) of the date and time variables in imported values: a run's
  // clock. The system's until set.
  void SetNow(i64 now) { m_now = now; }

  // Why the last call failed, in German, with the line number for a malformed line; "" after
  // success.
  const char* GetErrorText() const { return m_error.c_str(); }
  // The line of a malformed or refused line, 0 otherwise.
  int GetErrorLine() const { return m_line; }

 private:
  bool Fail(int line, const std::string& text);

  std::string m_error;
  int m_line = 0;
  std::optional<i64> m_now;
};
