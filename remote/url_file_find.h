// CUrlFileFind: lists one folder of any connection, in the manner of a file finder.
#pragma once

#include "lib/system/sys_types.h"
#include "lib/text/textlist.h"
#include "platform/win_types.h"

#include <string>

class CUrlConnection;

// Open flags of FindFile.
enum : u32 {
  URL_FIND_NO_FOLDERS = 0x200,
  URL_FIND_FOLDERS_UNFILTERED = 0x400,  // folders without any mask test; the connection lists all
  URL_FIND_NO_DOTS = 0x1000,            // leave out "." and ".."
  URL_FIND_NO_FILES = 0x2000,
  URL_FIND_REREAD = 0x80000000,  // read the listing again even when entries are stored
};

// The whole listing is read at FindFile through the connection's ReadDir, filtered while it
// arrives and kept; stepping never touches the connection again.
//
// Use one enumerator per folder, or pass URL_FIND_REREAD: without it a second FindFile returns
// the stored entries from the start, whatever it names (debug builds assert that it names the
// same). After FindFile returned FALSE, a last error of 0 means the folder was listed and
// nothing matched; any other value that the listing failed.
//
// FindNextFile returns TRUE while more entries follow the one it made current; the last entry
// is made current by the call that returns FALSE, so a caller handles the current entry after
// each call:
//   if (find.FindFile(...)) { BOOL more; do { more = find.FindNextFile(); ... } while (more); }
class CUrlFileFind {
 public:
  explicit CUrlFileFind(CUrlConnection* connection);
  virtual ~CUrlFileFind() = default;
  CUrlFileFind(const CUrlFileFind&) = delete;
  CUrlFileFind& operator=(const CUrlFileFind&) = delete;

  // pattern: a folder, or a folder, "/" and a name mask with "*" or "?". A relative folder is
  // taken against the connection's current folder.
  virtual BOOL FindFile(const char* pattern, u32 flags);
  // The folder as it stands with ";"-separated include and exclude patterns; an include text of
  // one pattern acts as a single mask. Patterns ignore letter case ("*.*" is "*").
  virtual BOOL FindFile(const char* directory, const char* include, const char* exclude, u32 flags);
  virtual BOOL FindNextFile();
  // Whether a name passes include and exclude texts as FindFile with lists takes them (an include
  // of one pattern as a single mask); null or empty texts pass every name.
  static bool PassesLists(const std::string& name, const char* include, const char* exclude);
  // Drops the entries; the enumerator stays closed, later FindFile calls find nothing.
  virtual BOOL Close();

  std::string GetFileName() const { return m_current.cFileName; }
  std::string GetFilePath() const;
  const std::string& GetRoot() const { return m_root; }
  // The name without its extension.
  std::string GetFileTitle() const;
  // The connection's URL prefix and host, "/" and the file path without its leading "/".
  std::string GetFileURL() const;
  u32 GetLength() const { return m_current.nFileSizeLow; }
  u64 GetLength64() const { return (u64{m_current.nFileSizeHigh} << 32) | m_current.nFileSizeLow; }
  BOOL MatchesMask(u32 mask) const { return (m_current.dwFileAttributes & mask) != 0; }
  BOOL IsDots() const;
  const WIN32_FIND_DATAA& GetFindData() const { return m_current; }

  BOOL GetCreationTime(FILETIME* out) const;
  BOOL GetLastAccessTime(FILETIME* out) const;
  BOOL GetLastWriteTime(FILETIME* out) const;
  BOOL GetCreationTime(SysUtc* out) const;
  BOOL GetLastAccessTime(SysUtc* out) const;
  BOOL GetLastWriteTime(SysUtc* out) const;
  SysUtc GetCreationTime() const;
  SysUtc GetLastAccessTime() const;
  SysUtc GetLastWriteTime() const;

 private:
  static BOOL EntryFn(void* context, const WIN32_FIND_DATAA* entry);
  BOOL Entry(const WIN32_FIND_DATAA* entry);
  bool Rewind(const std::string& request);
  void TakeFlags(u32 flags);
  std::string MakeRoot(const std::string& directory) const;
  BOOL Read(const char* filter, bool foldersOnly);
  // The name tests: a single mask, an include list, an exclude list (each null for none).
  static bool NamePasses(const std::string& name, const char* mask, const char* include, const char* exclude);

  CTextList m_entries{kUserArea};
  std::string m_mask;  // the single mask, "" for none
  std::string m_exclude;
  std::string m_include;
  bool m_hasMask = false;
  bool m_hasInclude = false;
  bool m_hasExclude = false;
  bool m_endSeen = false;
  bool m_closed = false;
  bool m_skipDots = false;
  bool m_skipFolders = false;
  bool m_foldersUnfiltered = false;
  bool m_skipFiles = false;
  CUrlConnection* m_connection;
  WIN32_FIND_DATAA m_current;
  std::string m_root;
  int m_next = 0;
  std::string m_request;  // what the stored listing was read for (the debug check of a rewind)

  // The record's head (attributes, times, size, reserved words) as each entry keeps it.
  static constexpr int kUserArea = 60;
};
