// Links to folders below a row's folders: nothing is written into them or deleted beneath them.
#pragma once

#include "lib/system/sys_tree.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The links to folders a row left alone, each told once, in the order found. They are found
// where they matter: an open of a folder below the row's root that meets a link fails, and the
// worker records it here instead of failing the entry.
class CFolderLinkNotes {
 public:
  // root: the folder the relative paths start in (a "/" is added when missing).
  explicit CFolderLinkNotes(std::string root);

  // Records rel (relative to the root) as a link that was left alone.
  void Add(std::string_view rel);
  // Whether rel is a recorded link or lies below one (no look at the file system).
  bool Covers(std::string_view rel) const;
  // The links found, as full paths.
  const std::vector<std::string>& Found() const { return m_found; }

 private:
  std::string m_root;
  std::unordered_set<std::string> m_known;
  std::vector<std::string> m_found;
};

// The folder relDir of tree for an entry of the row, made when make is set (-1 on failure). When
// the open failed because a link to a folder lies on the way (relDir itself included), the link
// is recorded in notes and *byLink is set: the entry is left alone, no failure. Otherwise errno
// and the last error tell why. *created (may be null) tells whether make made relDir itself.
int EntryFolder(SysTree& tree, std::string_view relDir, bool make, CFolderLinkNotes& notes, bool* byLink,
                bool* created = nullptr);
