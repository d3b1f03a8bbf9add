// CTreeListIcons: image numbers by key on any thread, icons on the main thread.
#include "controls/gui/treelist_icons.h"

#include <QApplication>
#include <QStyle>

int CTreeListIcons::IndexOf(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [it, added] = m_index.try_emplace(key, static_cast<int>(m_keys.size()));
  if (added) m_keys.push_back(key);
  return it->second;
}

std::string CTreeListIcons::KeyOf(int index) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return index >= 0 && index < static_cast<int>(m_keys.size()) ? m_keys[index] : std::string();
}

void CTreeListIcons::SetIcon(const std::string& key, const QIcon& icon) {
  m_icons[IndexOf(key)] = icon;
}

QIcon CTreeListIcons::Icon(int index) {
  if (auto it = m_icons.find(index); it != m_icons.end()) return it->second;
  const std::string key = KeyOf(index);
  if (key.empty()) return {};
  QStyle* style = QApplication::style();
  QIcon icon;
  if (key == "folder") {
    icon = QIcon::fromTheme("folder", style->standardIcon(QStyle::SP_DirIcon));
  } else if (key == "missing") {
    icon = QIcon::fromTheme("dialog-error", style->standardIcon(QStyle::SP_MessageBoxWarning));
  } else {
    // A mime name such as "text/plain" has the theme name "text-plain".
    QString name = QString::fromUtf8(key.c_str()).replace('/', '-');
    icon = QIcon::fromTheme(name, style->standardIcon(QStyle::SP_FileIcon));
  }
  m_icons[index] = icon;
  return icon;
}
