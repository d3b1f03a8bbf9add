// The tree panes' key paths without a window: the registry tree's roots and sub-keys, parents, parts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The separator of the registry's key paths.
inline constexpr char kRegPathSeparator = '\\';

// The roots that the registry store keeps, by their full names ("HKEY_CURRENT_USER" first).
std::vector<std::string> RegTreeRoots();
// The sub-key names of a key path written with its root name, in the store's (name) order; empty
// for a key that is missing or cannot be read.
std::vector<std::string> RegTreeSubKeys(const std::string& path);

// Whether two key names are the same, ASCII letter case ignored (as the registry compares them).
bool TreePartEqual(std::string_view a, std::string_view b);
// The path's parts between separators (empty parts left out).
std::vector<std::string> TreePathParts(std::string_view path, char separator);
// The path without its last part; nullopt for a root (a single part).
std::optional<std::string> TreeParentPath(std::string_view path, char separator);
