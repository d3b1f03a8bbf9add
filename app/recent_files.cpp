// The list of recently opened job files.
#include "app/recent_files.h"

#include "app/kopiwart_view.h"
#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "lib/text/fmt.h"

#include <algorithm>
#include <vector>

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
  // One change of the store for the whole list; a list the store holds already writes nothing.
  const std::string keyPath = CRegistry::ApplicationKeyPath() + "\\" + kRecentFileSection;
  const bool ok = RegStoreModify(RegHive::User, [&](RegKey& root) {
    RegKey& key = root.Create(keyPath);
    for (int i = 1; i <= m_size; ++i) {
      const std::string name = FmtString("File%d", i);
      if (i <= static_cast<int>(m_files.size())) {
        const std::string& path = m_files[static_cast<std::size_t>(i - 1)];
        std::vector<BYTE> data(path.begin(), path.end());
        data.push_back(0);
        key.SetValue(name, REG_SZ, std::move(data));
      } else {
        key.DeleteValue(name);
      }
    }
    return true;
  });
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
