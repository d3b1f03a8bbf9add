// ShellGetFileIcon: icon keys from a path's kind and name, numbered in the small-icon list.
#include "controls/gui/shell_icons.h"

#include "controls/gui/treelist_icons.h"

#include <QMimeDatabase>

#include <sys/stat.h>

std::optional<std::string> ShellFileIconKey(const std::string& path, bool byNameOnly) {
  if (!byNameOnly) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    if (S_ISDIR(st.st_mode)) return "folder";
  }
  // QMimeDatabase is thread-safe and needs no GUI; by the name's extension only.
  static const QMimeDatabase db;
  const QMimeType type = db.mimeTypeForFile(QString::fromStdString(path), QMimeDatabase::MatchExtension);
  return type.isValid() ? type.name().toStdString() : "application/octet-stream";
}

CTreeListIcons& ShellSmallIcons() {
  static CTreeListIcons icons;
  return icons;
}

int ShellGetFileIcon(const char* path, UINT flags) {
  if (!path) return -1;
  const std::optional<std::string> key = ShellFileIconKey(path, (flags & SHELL_ICON_BY_NAME) != 0);
  return key ? ShellSmallIcons().IndexOf(*key) : -1;
}
