// The tree panes' key paths without a window.
#include "panes/tree_paths.h"

#include "lib/system/registry.h"

std::vector<std::string> RegTreeRoots() {
  return {RegRootName(HKEY_CURRENT_USER), RegRootName(HKEY_LOCAL_MACHINE)};
}

std::vector<std::string> RegTreeSubKeys(const std::string& path) {
  int rest = 0;
  const HKEY root = RegRootFromName(path.c_str(), &rest);
  if (!root) return {};
  CRegistry reg;
  if (!reg.Open(root, path.c_str() + rest, REG_OPEN_READ)) return {};
  return reg.SubKeyNames();
}

bool TreePartEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string> TreePathParts(std::string_view path, char separator) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const std::size_t end = path.find(separator);
    if (end != 0) parts.emplace_back(path.substr(0, end));
    path = end == std::string_view::npos ? std::string_view{} : path.substr(end + 1);
  }
  return parts;
}

std::optional<std::string> TreeParentPath(std::string_view path, char separator) {
  std::vector<std::string> parts = TreePathParts(path, separator);
  if (parts.size() < 2) return std::nullopt;
  parts.pop_back();
  std::string parent = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) (parent += separator) += parts[i];
  return parent;
}
