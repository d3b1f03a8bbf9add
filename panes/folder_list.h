// The file pane's folders without a window: listing a folder, its parent, a folder typed in the path bar.
#pragma once

#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct FolderEntry {
  std::string name;
  bool folder = false;  // a folder, or a link to one
  i64 size = 0;         // bytes; 0 for folders
  i64 modified = 0;     // seconds since 1970 UTC
};

// Folders first, then by name: letter case ignored (ASCII), then byte order.
bool FolderEntryLess(const FolderEntry& a, const FolderEntry& b);
// The entries of a folder ("." and ".." left out) in FolderEntryLess order; a link is judged by
// its target, a link whose target is missing counts as a file of size 0. False with errno set
// when the folder cannot be read.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>& out);

// The folder above an absolute folder path; nullopt for "/" (the parent-available flag).
std::optional<std::string> FolderParent(std::string_view folder);
// A name inside a folder.
std::string FolderJoin(std::string_view folder, std::string_view name);
// The folder a user typed: "$(NAME)" expanded, "~" and "~/..." below home, then absolute paths
// only ("/" first), "." and ".." resolved and the separators tidied ("\" is part of a name here).
// nullopt for anything else.
std::optional<std::string> FolderFromText(std::string_view text, const std::string& home);
