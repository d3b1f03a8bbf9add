// Links to folders below a row's folders, found once per folder.
#include "jobs/workers/folder_links.h"


#include <sys/stat.h>


CFolderLinkGuard::CFolderLinkGuard(std::string root) : m_root(std::move(root)) {
  if (!m_root.empty() && m_root.back() != '/') m_root += '/';
}

bool CFolderLinkGuard::IsLink(const std::string& rel) {
  if (const auto it = m_known.find(rel); it != m_known.end()) return it->second;
  struct stat st {};
  const std::string path = m_root + rel;
  bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  if (link) {
    // A link to a file is no folder on the way; one that leads nowhere fails the write itself,
    // which then says why.
    struct stat target {};
    link = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    if (link) m_found.push_back(path);
  }
  m_known.emplace(rel, link);
  return link;
}

bool CFolderLinkGuard::Blocks(std::string_view rel, bool withLast) {
  std::size_t end = rel.find('/');
  while (end != std::string_view::npos) {
    if (end > 0 && IsLink(std::string(rel.substr(0, end)))) return true;
    end = rel.find('/', end + 1);
  }
  return withLast && !rel.empty() && IsLink(std::string(rel));
}

void CFolderLinkGuard::Add(std::string_view rel) {
  const std::string key(rel);
  if (m_known[key]) return;
  m_known[key] = true;
  m_found.push_back(m_root + key);
}
