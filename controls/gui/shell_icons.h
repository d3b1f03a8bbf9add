// ShellGetFileIcon: the small icon of a path, as a number in the program's small-icon list.
#pragma once

#include "platform/win_types.h"

#include <optional>
#include <string>

class CTreeListIcons;

// Flags of ShellGetFileIcon.
inline constexpr UINT SHELL_ICON_SMALL = 0x01;     // the small icon (the only size there is)
inline constexpr UINT SHELL_ICON_BY_NAME = 0x10;   // from the name alone; the path need not exist

// The icon key of a path: "folder", or a mime type name; by name only, no file is read. Without
// byNameOnly the path must exist (nullopt when it does not). Uses no GUI class: any thread.
std::optional<std::string> ShellFileIconKey(const std::string& path, bool byNameOnly);

// The program's small-icon list, shared by the lists that show file icons.
CTreeListIcons& ShellSmallIcons();

// The number of the path's icon in ShellSmallIcons(); flags 17 by name only, 1 the real file.
// Negative for a null path, and for a missing one without SHELL_ICON_BY_NAME. Any thread.
int ShellGetFileIcon(const char* path, UINT flags);
