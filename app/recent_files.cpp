// The list of recently opened job files.
#include "app/recent_files.h"

#include "app/kopiwart_view.h"
#include "lib/system/registry.h"
#include "lib/text/fmt.h"

#include <algorithm>

void CRecentFileList::Load() {
  m_files.clear();
  m_changed = false;
  CRegistry reg;
  if (!reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_READ) || !reg.OpenSub(kRecentFileSection)) return;
  for (int i = 1; i <= m_size; ++i) {
    std::string path;
    if (reg.GetString(FmtString("File%d", i).c_str(), path) && !path.empty()) m_files.push_back(path);
  }
}

bool CRecentFileList::Save() {
  if (!m_changed) return true;
  CRegistry reg;
  if (!reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE) || !reg.OpenSub(kRecentFileSection, REG_OPEN_CREATE))
    return false;
  bool ok = true;
  for (int i = 1; i <= m_size; ++i) {
    const std::string name = FmtString("File%d", i);
    if (i <= static_cast<int>(m_files.size())) {
      ok = reg.SetString(name.c_str(), m_files[static_cast<std::size_t>(i - 1)]) && ok;
    } else {
      reg.DeleteValue(name.c_str());
    }
  }
  if (ok) m_changed = false;
  return ok;
}

void CRecentFileList::Add(const std::string& path) {
  const std::string full = ViewFullPath(path);
  if (!m_files.empty() && m_files.front() == full) return;
  std::erase(m_files, full);
  m_files.insert(m_files.begin(), full);
  if (static_cast<int>(m_files.size()) > m_size) m_files.resize(static_cast<std::size_t>(m_size));
  m_changed = true;
}
