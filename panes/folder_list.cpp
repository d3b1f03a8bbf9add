// The file pane's folders without a window.
#include "panes/folder_list.h"

#include "lib/system/sys_path.h"
#include "lib/system/vars.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

bool FolderEntryLess(const FolderEntry& a, const FolderEntry& b) {
  if (a.folder != b.folder) return a.folder;
  const int c = CompareNoCase(a.name, b.name);
  return c != 0 ? c < 0 : a.name < b.name;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& out) {
  out.clear();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  errno = 0;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry entry;
    entry.name = name;
    struct stat st {};
    if (::fstatat(fd, e->d_name, &st, 0) == 0 || ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.folder = S_ISDIR(st.st_mode);
      entry.size = entry.folder ? 0 : static_cast<i64>(st.st_size);
      entry.modified = static_cast<i64>(st.st_mtim.tv_sec);
    }
    out.push_back(std::move(entry));
    errno = 0;
  }
  const int err = errno;
  ::closedir(dir);
  std::sort(out.begin(), out.end(), FolderEntryLess);
  errno = err;
  return err == 0;
}

std::optional<std::string> FolderParent(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  if (folder.empty() || folder == "/" || folder[0] != '/') return std::nullopt;
  const std::size_t slash = folder.rfind('/');
  return std::string(slash == 0 ? std::string_view("/") : folder.substr(0, slash));
}

std::string FolderJoin(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  return path += name;
}

std::optional<std::string> FolderFromText(std::string_view text, const std::string& home) {
  std::string path = VarExpandString(text);
  if (path == "~" || path.starts_with("~/")) path = home + path.substr(1);
  if (path.empty() || path[0] != '/') return std::nullopt;
  return SysPathDots(path, SYS_DOTS_FROM_ROOT);
}
