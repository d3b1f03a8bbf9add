// Links to folders that a row met below its folders, recorded for the row's note.
#include "jobs/workers/folder_links.h"

#include "platform/last_error.h"

#include <cerrno>

CFolderLinkNotes::CFolderLinkNotes(std::string root) : m_root(std::move(root)) {
  if (!m_root.empty() && m_root.back() != '/') m_root += '/';
}

void CFolderLinkNotes::Add(std::string_view rel) {
  std::string key(rel);
  if (!m_known.insert(key).second) return;
  m_found.push_back(m_root + key);
}

bool CFolderLinkNotes::Covers(std::string_view rel) const {
  if (m_known.empty()) return false;
  for (std::size_t end = rel.find('/'); end != std::string_view::npos; end = rel.find('/', end + 1))
    if (m_known.count(std::string(rel.substr(0, end)))) return true;
  return m_known.count(std::string(rel)) != 0;
}

int EntryFolder(SysTree& tree, std::string_view relDir, bool make, CFolderLinkNotes& notes, bool* byLink,
                bool* created) {
  *byLink = false;
  const int fd = make ? tree.MakeFolders(relDir, created) : tree.Folder(relDir);
  if (fd >= 0) return fd;
  const int err = errno;
  if (err != ELOOP && err != ENOTDIR && err != EEXIST) return -1;
  const DWORD code = GetLastError();
  const std::string link = tree.LinkOnWay(relDir);
  if (link.empty()) {
    // Something that is no folder: the entry fails with its own reason.
    SetLastError(code);
    errno = err;
    return -1;
  }
  notes.Add(link);
  *byLink = true;
  return -1;
}
