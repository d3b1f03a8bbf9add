// CDirListing: listing of a folder (and its subfolders) with include and exclude pattern lists.
//
// Entries of one folder come in byte order of their names; subfolders are read after the folder
// that holds them, in the same order. A symbolic link is listed with SYS_ATTR_LINK and is never
// entered: a link to a folder counts as a folder entry (SYS_ATTR_FOLDER | SYS_ATTR_LINK). The
// listed folder is opened as its path says; the folders below it through its descriptor, never
// through a link (a folder swapped for one meanwhile is not read: the listing is incomplete).
//
// What is listed. The path names a folder (its contents are listed), a file, or a last component
// with "*" and "?" (the matching names of its folder, letter case counting). A name from the path
// must match every entry, files and folders, at every level. The include list (";"-separated,
// wildcards, letter case ignored, "*.*" = "*") selects files; folders are never held back by it.
// The exclude list drops files and folders alike, and an excluded folder is not entered.
//
// Read state: 0 everything could be read and something was listed, 1 everything could be read
// and nothing was listed, 2 some folder (or the named folder itself) could not be read: the
// listing is incomplete and callers must not take it as the whole truth.
#pragma once

#include "lib/system/sys_fd.h"
#include "lib/system/sys_types.h"

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

class CDirListing {
 public:
  enum : int {
    DL_READ_ALL = 0x1000,      // read every queued folder at once (else as Next reaches them)
    DL_SUBDIRS = 0x2000,       // queue every subfolder, so that all levels are listed
    DL_FOLDERS = 0x4000,       // list folders as entries too (else only files)
    DL_ONLY_FOLDERS = 0x8000,  // list only folders, no files: a series of dated folder copies
  };
  // Modes of Next.
  enum : int { DL_NEXT_NAME = 0, DL_NEXT_FULL = 1, DL_NEXT_RELATIVE = 2 };
  // Modes of GetPath, GetPathLength and GetEntryPath.
  enum : int { DL_PATH_FULL = 0, DL_PATH_RELATIVE = 1, DL_PATH_NAME = 2 };
  // Sort keys and flags.
  enum : int { DL_SORT_NAME = 0, DL_SORT_FOLDER = 6, DL_SORT_USER = 9 };
  enum : int { DL_SORT_FOLDERS_MIXED = 0x4000 };

  // One entry. The first word is free for the caller.
  struct Entry {
    DWORD dwUser = 0;
    u32 folder = 0;      // index into the folder table
    u32 nameOffset = 0;  // into the name store
    u32 nameLength = 0;
    SysFileInfo info;
    bool IsFolder() const { return (info.dwAttr & SYS_ATTR_FOLDER) != 0; }
  };

  CDirListing();
  // With a path the listing is opened at once; all null gives an empty listing.
  CDirListing(const char* path, int flags, const char* include, const char* exclude);
  ~CDirListing();
  CDirListing(const CDirListing&) = delete;
  CDirListing& operator=(const CDirListing&) = delete;

  // A fresh listing of path (see Read).
  int Open(const char* path, int flags, const char* include, const char* exclude);
  // With a path: starts afresh, reads the named folder (and with DL_READ_ALL all below it) and
  // returns the number of entries, or -1 when the folder could not be read. With a null path:
  // reads the next queued folder; the number of entries, -1 when none is left.
  int Read(const char* path, int flags, const char* include, const char* exclude);

  // The next entry (reading queued folders as needed): its name, full or relative path; null
  // when none is left. The text lives in the listing's path buffer until the next call.
  const char* Next(int mode, int* outLength = nullptr);
  // Path of entry i by mode (DL_PATH_*); null when i is out of range.
  const char* GetPath(int i, int* outLength, int mode);
  int GetPathLength(int i, int mode);
  const char* GetEntryPath(const Entry* entry, int* outLength, int mode);

  // Sum of the sizes of the file entries.
  u64 GetTotalSize() const;
  // Removes entry i; 1, or 0 when out of range.
  int Remove(int i);
  // Sorts the entries. DL_SORT_FOLDER: by the path of the containing folder (letter case
  // ignored), ties by name; DL_SORT_USER: by the first word as a signed number, ties by name;
  // DL_SORT_NAME: by name. Folders come first unless DL_SORT_FOLDERS_MIXED is given. The walk
  // of Next starts again at the first entry.
  void Sort(int key, int flags);

  int GetCount() const { return static_cast<int>(m_entries.size()); }
  // The listed folder as the relative paths start in it ("" for the working folder, else with a
  // "/" at its end); "" before a listing.
  const std::string& GetRootPath() const { return m_folders.empty() ? m_noRoot : m_folders.front(); }
  int GetCurrent() const { return m_current; }
  Entry* GetEntry(int i);
  int GetReadState() const;
  // Bytes the listing holds (entries, names, folders).
  std::size_t GetMemoryUsage() const;

 private:
  void Clear();
  bool ReadFolder(u32 folder);
  bool ReadPending();
  bool NameMatches(const char* name, int length) const;
  bool FileWanted(const char* name, int length) const;
  const char* Build(u32 folder, const char* name, u32 nameLength, int pathMode, int* outLength);

  std::vector<Entry> m_entries;
  std::string m_names;                // the names, each followed by a NUL
  std::vector<std::string> m_folders; // full folder paths with a trailing "/" ("" for the working folder)
  std::deque<u32> m_pending;          // folders still to be read
  std::size_t m_rootLength = 0;       // length of the listed folder's path in m_folders
  SysFd m_rootFd;                     // the listed folder; every folder below is opened through it
  std::string m_namePattern;          // the wildcard name from the path, or empty
  std::string m_include;
  std::string m_exclude;
  std::string m_path;                 // the path buffer of the text results
  std::string m_noRoot;
  int m_flags = 0;
  int m_current = -1;
  bool m_failed = false;
};
