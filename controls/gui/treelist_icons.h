// CTreeListIcons: the icon table of the tree-list widget, numbered by icon key.
#pragma once

#include <QIcon>

#include <map>
#include <mutex>
#include <string>
#include <vector>

// Workers name icons by key ("folder", "missing" or a mime type name) without touching Qt's GUI
// classes; IndexOf hands out the image number to store in a cell and may run on any thread. The
// main thread turns a number into a QIcon, from the theme or the style, made once per key.
class CTreeListIcons {
 public:
  // The number of key, added when new. Any thread.
  int IndexOf(const std::string& key);
  // The key of a number; empty for an unknown one. Any thread.
  std::string KeyOf(int index) const;
  // Main thread: the icon of a number (a null icon for negative or unknown numbers).
  QIcon Icon(int index);
  // Main thread: sets the icon of a key (a program's own pictures, or a test's).
  void SetIcon(const std::string& key, const QIcon& icon);

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_keys;
  std::map<std::string, int> m_index;
  std::map<int, QIcon> m_icons;  // main thread only
};
