// Links to folders below a row's folders: nothing is written into them or deleted beneath them.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Answers, for paths relative to one root, whether a folder on the way is a link (the root itself
// and the links on the way to it are the cell's and count as followed). Each folder is looked at
// once; the links found are kept for the row's note.
class CFolderLinkGuard {
 public:
  // root: the folder the relative paths start in (a "/" is added when missing).
  explicit CFolderLinkGuard(std::string root);

  // Whether a folder on the way to rel is a link; with withLast rel itself counts as a folder on
  // the way (rel names a folder that is about to be made or filled).
  bool Blocks(std::string_view rel, bool withLast);
  // Records a link that the caller found itself (an entry of a listing).
  void Add(std::string_view rel);
  // The links found, as full paths, in the order found.
  const std::vector<std::string>& Found() const { return m_found; }

 private:
  bool IsLink(const std::string& rel);

  std::string m_root;
  std::unordered_map<std::string, bool> m_known;
  std::vector<std::string> m_found;
};
