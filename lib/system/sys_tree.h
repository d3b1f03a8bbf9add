// SysTree: a row's folder opened once; every folder below it is reached through real folders only.
//
// The root is a path a user wrote: links on the way to it are followed, once, when it is opened.
// Folders below it are opened relative to the root's descriptor without following any link
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS; one openat with O_NOFOLLOW per component
// where the kernel lacks it). A folder that another process swaps for a link, even while a row
// runs, therefore never leads a write or a deletion elsewhere: its open fails with ELOOP and the
// name is left alone. Relative paths use "/" and may be longer than PATH_MAX.
#pragma once

#include "lib/system/sys_fd.h"

#include <string>
#include <string_view>
#include <utility>

// Opens the folder rel below the folder open as dirFd ("" opens dirFd's folder again) without
// following any link. -1 with errno: ELOOP for a link on the way (rel itself included), ENOTDIR
// for something that is no folder, ENOENT for a missing one.
int SysOpenBeneath(int dirFd, std::string_view rel);

// Whether name in the folder open as dirFd is a link that leads to a folder.
bool SysIsFolderLinkAt(int dirFd, const char* name);

// A relative path split at its last "/": the folder part ("" for none) and the name.
std::pair<std::string_view, std::string_view> SysSplitRel(std::string_view rel);

class SysTree {
 public:
  SysTree() = default;
  explicit SysTree(std::string root) { SetRoot(std::move(root)); }
  SysTree(const SysTree&) = delete;
  SysTree& operator=(const SysTree&) = delete;

  // Starts over at the folder root (a path; "" is the working folder). Nothing is opened yet.
  void SetRoot(std::string root);
  // The root as given, with a "/" at its end.
  const std::string& Root() const { return m_root; }
  // The root joined with a relative path, for texts.
  std::string Path(std::string_view rel) const { return m_root + std::string(rel); }

  // Opens the root (following links on the way), with create making it and its missing parents
  // first. 0 or an errno; the root stays open for the tree's life once it is.
  int OpenRoot(bool create);
  int RootFd() const { return m_rootFd.Get(); }

  // The folder rel ("" the root), opened without following links. The descriptor belongs to the
  // tree and stays valid until the next Folder or MakeFolders. -1 with errno and last error set.
  int Folder(std::string_view rel);
  // The same, making the missing folders on the way (the root as a path, the rest one component
  // at a time without following links); *created (may be null) tells whether rel itself was made.
  int MakeFolders(std::string_view rel, bool* created = nullptr);
  // An own descriptor of the folder rel, for a caller that holds two folders at once.
  SysFd OpenFolder(std::string_view rel);

  // After an open failed with ELOOP or ENOTDIR: the relative path of the first link to a folder
  // on the way to rel (rel itself counts), or "" when there is none.
  std::string LinkOnWay(std::string_view rel);

 private:
  int Walk(std::string_view rel, bool create, bool* created);
  int Fail(int err);

  std::string m_root;
  SysFd m_rootFd;
  // The last folder handed out, so that the entries of one folder share one open.
  std::string m_cacheRel;
  SysFd m_cacheFd;
};
